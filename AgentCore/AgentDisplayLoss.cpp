#include "Agent.h"

#include "CloseCodes.h"
#include "Log.h"
#include "Session.h"
#include "Threads.h"

#include <QCoreApplication>

namespace core {

// Without its X server the agent has nothing left to show or drive, and Qt's own connection to
// that server is gone with it (Qt ends the process when it notices). A new server means a new
// desktop session, whose autostart launches the agent again; so the agent closes its sessions with
// a reason the phone can show and leaves with a failure status, rather than wait for a display that
// a different process will serve.
void Agent::displayServerLost()
{
    assertOwnThread(this);
    log(QStringLiteral("desktop: the X display is gone, exiting (the next desktop session starts the agent again)"));
    std::vector<Session*> open;
    for (const auto& s : sessions_)
        open.push_back(s.get());
    // Closing ends a session, which takes it out of sessions_.
    for (Session* s : open)
        s->close(Close::desktopGone);
    QCoreApplication::exit(kExitDisplayLost);
}

} // namespace core
