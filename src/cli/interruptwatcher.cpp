#include "cli/interruptwatcher.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe's ends: [0] read by the notifier, [1] written by the handler.
int pipeEnds[2] = {-1, -1};

constexpr int WatchedSignals[] = {SIGINT, SIGTERM};

extern "C" void onInterrupt(int signalNumber)
{
    const int savedErrno = errno;
    const char byte = char(signalNumber);
    // A full pipe already holds news of an interrupt: nothing is lost by dropping this one.
    [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent) : QObject(parent)
{
    if (::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InterruptWatcher::readPipe);

    struct sigaction action = {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int watched : WatchedSignals)
        sigaction(watched, &action, nullptr);
}

InterruptWatcher::~InterruptWatcher()
{
    if (!notifier)
        return;
    for (const int watched : WatchedSignals)
        std::signal(watched, SIG_DFL);
    delete notifier;
    ::close(pipeEnds[0]);
    ::close(pipeEnds[1]);
    pipeEnds[0] = pipeEnds[1] = -1;
}

void InterruptWatcher::readPipe()
{
    char bytes[16];
    ssize_t count = 0;
    int first = 0;
    while ((count = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0) {
        if (first == 0)
            first = bytes[0];
    }
    int expected = 0;
    if (first != 0 && signalSeen.compare_exchange_strong(expected, first))
        emit interrupted();
}
