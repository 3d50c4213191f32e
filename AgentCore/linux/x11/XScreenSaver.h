#pragma once

#include <memory>

namespace core::x11 {

class Connection;

// Restarts the X server's idle clock, as real input would: its screen saver and DPMS blanking key
// off it, and so do the lockers that ignore idle inhibitions. Main thread.
class ScreenSaverReset {
public:
    ScreenSaverReset();
    ~ScreenSaverReset();
    void operator()();

private:
    std::unique_ptr<Connection> conn_; // opened on first use, again after the server went away
};

} // namespace core::x11
