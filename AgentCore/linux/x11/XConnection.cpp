#include "XConnection.h"

#include <cstring>

namespace core::x11 {

std::unique_ptr<Connection> Connection::open()
{
    int screenNumber = 0;
    xcb_connection_t* conn = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(conn)) {
        xcb_disconnect(conn);
        return nullptr;
    }
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(conn));
    for (int i = 0; i < screenNumber && it.rem; ++i)
        xcb_screen_next(&it);
    if (!it.rem) {
        xcb_disconnect(conn);
        return nullptr;
    }
    return std::unique_ptr<Connection>(new Connection(conn, it.data));
}

Connection::~Connection()
{
    xcb_disconnect(conn_);
}

xcb_atom_t Connection::atom(const char* name, bool onlyIfExists) const
{
    const auto cookie = xcb_intern_atom(conn_, onlyIfExists, uint16_t(std::strlen(name)), name);
    Reply<xcb_intern_atom_reply_t> reply(xcb_intern_atom_reply(conn_, cookie, nullptr));
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

std::string Connection::atomName(xcb_atom_t atom) const
{
    Reply<xcb_get_atom_name_reply_t> reply(xcb_get_atom_name_reply(conn_, xcb_get_atom_name(conn_, atom), nullptr));
    if (!reply)
        return {};
    return std::string(xcb_get_atom_name_name(reply.get()), size_t(xcb_get_atom_name_name_length(reply.get())));
}

bool Connection::has(xcb_extension_t* extension) const
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(conn_, extension);
    return data && data->present;
}

int Connection::firstEvent(xcb_extension_t* extension) const
{
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(conn_, extension);
    return data && data->present ? data->first_event : -1;
}

} // namespace core::x11
