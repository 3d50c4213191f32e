#pragma once

#include <QString>

// Facts about this computer that the agent reports to clients.
namespace core::Platform {

// The computer's pretty name (hostnamed), else its host name, else "Mac".
QString computerName();
// The login name of the user running the agent.
QString userName();

} // namespace core::Platform
