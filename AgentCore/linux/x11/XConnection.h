#pragma once

#include "FreeWith.h"

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace core::x11 {

// xcb replies, events and errors are malloc'ed and released with free().
template <typename T>
using Reply = std::unique_ptr<T, FreeWith<std::free>>;

// One connection to the X display named by $DISPLAY, with its default screen. Every thread that
// talks to X for long (a capture, the display watcher, an input channel) opens its own.
class Connection {
public:
    // Null when the display cannot be opened.
    static std::unique_ptr<Connection> open();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* get() const { return conn_; }
    xcb_screen_t* screen() const { return screen_; }
    xcb_window_t root() const { return screen_->root; }
    // True once the server went away or the connection broke; it never recovers.
    bool broken() const { return xcb_connection_has_error(conn_) != 0; }
    int fd() const { return xcb_get_file_descriptor(conn_); }

    xcb_atom_t atom(const char* name, bool onlyIfExists = false) const;
    std::string atomName(xcb_atom_t atom) const;
    bool has(xcb_extension_t* extension) const;
    // First event code of an extension, or -1 when the server lacks it.
    int firstEvent(xcb_extension_t* extension) const;

private:
    Connection(xcb_connection_t* conn, xcb_screen_t* screen) : conn_(conn), screen_(screen) { }
    xcb_connection_t* conn_;
    xcb_screen_t* screen_;
};

} // namespace core::x11
