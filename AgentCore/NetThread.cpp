#include "NetThread.h"

#include "Threads.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <memory>

namespace core::NetThread {

// Where a thread still running at exit is kept, so that it is not taken for a leak.
QThread* abandonedAtExit = nullptr;

namespace {

struct State {
    std::unique_ptr<QThread> thread;
    QObject* home = nullptr; // lives on the thread, destroyed there when it finishes
    bool stopped = false;

    ~State()
    {
        // Still running only when the process ends without its application object going first
        // (Qt calls exit() itself when the X server dies): the thread ends with the process, and
        // destroying a running QThread would abort it instead.
        if (thread && thread->isRunning())
            abandonedAtExit = thread.release();
    }
};

State& state()
{
    static State s;
    return s;
}

// Connections let go just before (the agent closing its sessions as it quits) are still sending
// their close messages and waiting for the client's answer: the thread ends once they are all
// gone, or after this long, so that a client that never answers cannot hold up the exit.
constexpr int kQuitLingerMs = 2000;

// On the thread, after everything the main thread posted before: ends the thread once every
// object living there is gone.
void quitWhenEmpty(QObject* home)
{
    QThread* thread = home->thread();
    auto left = std::make_shared<qsizetype>(home->children().size());
    if (*left == 0) {
        thread->quit();
        return;
    }
    for (QObject* child : home->children()) {
        QObject::connect(child, &QObject::destroyed, home, [thread, left] {
            if (--*left == 0)
                thread->quit();
        });
    }
    QTimer::singleShot(kQuitLingerMs, Qt::PreciseTimer, home, [thread] { thread->quit(); });
}

void stop()
{
    State& s = state();
    s.stopped = true;
    if (!s.thread)
        return;
    QMetaObject::invokeMethod(s.home, [home = s.home] { quitWhenEmpty(home); }, Qt::QueuedConnection);
    s.thread->wait();
    s.thread.reset();
    s.home = nullptr;
}

} // namespace

QObject* home()
{
    State& s = state();
    Q_ASSERT(QCoreApplication::instance() && QThread::currentThread() == QCoreApplication::instance()->thread());
    if (!s.thread && !s.stopped) {
        s.thread = std::make_unique<QThread>();
        s.thread->setObjectName(QStringLiteral("remote-agent.net"));
        auto home = std::make_unique<QObject>();
        home->moveToThread(s.thread.get());
        // A thread that finishes destroys the objects handed to deleteLater on its way out.
        QObject::connect(s.thread.get(), &QThread::finished, home.get(), &QObject::deleteLater);
        s.home = home.release();
        s.thread->start();
        qAddPostRoutine(stop);
    }
    return s.home;
}

bool running() { return state().thread != nullptr; }

} // namespace core::NetThread
