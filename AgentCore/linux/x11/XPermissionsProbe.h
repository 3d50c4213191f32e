#pragma once

#include "PermissionsProbe.h"

namespace core::x11 {

// Nothing prompts on X11: the screen can be seen when a test capture of the root window succeeds,
// and input can be posted when the server has XTEST. Each probe uses a connection of its own.
class PermissionsProbe : public core::PermissionsProbe {
public:
    Permissions probe() override;
};

} // namespace core::x11
