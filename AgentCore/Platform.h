#pragma once

#include "Protocol.h"

#include <QString>

// Facts about this computer that the agent reports to clients.
namespace core::Platform {

// The computer's pretty name (hostnamed), else its host name, else "Mac".
QString computerName();
// The login name of the user running the agent.
QString userName();
// Screen capture works (a test capture of the root window) and input can be posted (XTEST).
Permissions permissions();

} // namespace core::Platform
