#pragma once

#include "Display.h"

namespace core {

// Whether the desktop lets the agent see the screen and post input. Main thread.
class PermissionsProbe {
public:
    virtual ~PermissionsProbe() = default;
    // Asks the desktop afresh; may cost a round trip to the display server.
    virtual Permissions probe() = 0;
};

} // namespace core
