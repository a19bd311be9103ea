#include "terminationwatcher.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Written by the handler, read by the event loop. A signal handler may touch nothing else.
int wakeFds[2] = {-1, -1};

void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // A full pipe already holds a wake-up; losing this byte loses nothing.
    [[maybe_unused]] const ssize_t written = ::write(wakeFds[0], &byte, 1);
    errno = saved;
}

QString systemError(const char *what)
{
    return QStringLiteral("%1: %2").arg(
        QLatin1String(what), QString::fromLocal8Bit(std::strerror(errno)));
}

} // namespace

TerminationWatcher::TerminationWatcher(QObject *parent) : QObject(parent) {}

TerminationWatcher::~TerminationWatcher()
{
    if (!m_started)
        return;
    // The defaults come back before the pipe goes, so a late signal finds no closed descriptor.
    struct sigaction action
    {
    };
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    delete m_notifier;
    for (int &fd : wakeFds) {
        ::close(fd);
        fd = -1;
    }
}

bool TerminationWatcher::start()
{
    if (m_started)
        return true;
    if (wakeFds[0] >= 0) {
        m_failure = QStringLiteral("Another watcher owns the termination signals.");
        return false;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, wakeFds) != 0) {
        m_failure = systemError("Cannot make the signal pipe");
        return false;
    }
    m_notifier = new QSocketNotifier(wakeFds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationWatcher::drain);

    struct sigaction action
    {
    };
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    m_started = true;
    if (::sigaction(SIGINT, &action, nullptr) != 0 || ::sigaction(SIGTERM, &action, nullptr) != 0) {
        m_failure = systemError("Cannot catch SIGINT and SIGTERM");
        return false;
    }
    return true;
}

void TerminationWatcher::drain()
{
    char bytes[64];
    while (::read(wakeFds[1], bytes, sizeof bytes) > 0) {}
    Q_EMIT requested();
}
