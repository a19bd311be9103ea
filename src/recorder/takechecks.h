#pragma once

#include "analysiscache.h"
#include "records.h"

#include <QMutex>
#include <QObject>
#include <QQueue>
#include <QThread>
#include <QWaitCondition>

#include <memory>

/// The checks of an open session's takes: what its cache holds, and what a worker thread
/// analyses — the takes the cache lacks when the session opens, and each take as it is filed —
/// while the window stays usable. Results arrive on the owner's thread in batches; the cache is
/// written, on the worker, whenever it falls idle after new results. A cache that cannot be
/// written costs only the time to analyse again: the failure is not the person's concern.
class TakeChecks final : public QObject
{
    Q_OBJECT

public:
    explicit TakeChecks(QObject *parent = nullptr);
    ~TakeChecks() override;

    /// Forgets the checks of the session before and starts on the takes of `session` in
    /// `folder`; none for a null session.
    void open(const Session *session, const QString &folder);
    /// A take just filed, with the flags the status line gave it.
    void add(const QString &file, unsigned filed);

    /// The check of the take file `file` ("takes/x.wav"), or null while it is not done.
    [[nodiscard]] const AnalysisCache::Entry *entry(const QString &file) const;
    /// "Checking takes… 1204 of 30000" while takes the cache lacked are analysed, else empty.
    [[nodiscard]] QString progress() const;

Q_SIGNALS:
    /// New entries arrived.
    void checked();
    void progressChanged();

private:
    struct Job
    {
        QString file;
        unsigned filed = 0;
        /// Counted in the progress.
        bool counted = false;
    };

    void run();
    /// Takes on the worker's results (on the owner's thread).
    void deliver();
    void stopWorker();

    // The owner's view.
    AnalysisCache::Entries m_entries;
    QString m_folder;
    int m_done = 0;
    int m_total = 0;

    // Shared with the worker, under m_mutex.
    QMutex m_mutex;
    QWaitCondition m_wake;
    QQueue<Job> m_queue;
    QList<std::pair<QString, AnalysisCache::Entry>> m_results;
    bool m_delivering = false;
    int m_workDone = 0;
    int m_workTotal = 0;
    bool m_stop = false;
    /// The worker's own: the cache as read when the session opened, and everything since.
    AnalysisCache::Entries m_cache;
    QString m_cacheFolder;
    std::unique_ptr<QThread> m_worker;
};
