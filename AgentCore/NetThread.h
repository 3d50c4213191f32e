#pragma once

#include <QObject>

namespace core {

// The one thread on which every admitted connection's socket lives: WebSocket framing, UTF-8
// checks, JSON parsing of what clients send and the writing of what the agent sends happen there,
// so that a client's 16 MiB message never holds up the main thread.
//
// Started on first use; stopped and joined when the application object goes away, after which
// objects that still lived there have been destroyed on it.
namespace NetThread {

// The object that parents every object living on the thread: a child of it is destroyed, on the
// thread, when the thread stops. Main thread only; starts the thread if needed.
QObject* home();

// Whether objects on the thread may still be reached: false once it stopped. Main thread only.
bool running();

} // namespace NetThread

} // namespace core
