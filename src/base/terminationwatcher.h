#pragma once

#include <QObject>

class QSocketNotifier;

/// Turns SIGINT and SIGTERM (Ctrl+C, `kill`, a logout without a session manager) into a signal
/// on the main thread, so the program can file a running take and save before it ends. The
/// handlers only write a byte to a pipe that the event loop watches. One per process.
class TerminationWatcher final : public QObject
{
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

    /// Installs the handlers. False, with the system's reason in `failure`, when the pipe or a
    /// handler cannot be set up; the signals then end the program as they do by default.
    bool start();
    [[nodiscard]] QString failure() const { return m_failure; }

Q_SIGNALS:
    /// SIGINT or SIGTERM arrived (several in a row arrive as one).
    void requested();

private:
    void drain();

    QSocketNotifier *m_notifier = nullptr;
    QString m_failure;
    bool m_started = false;
};
