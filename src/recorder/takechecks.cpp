#include "takechecks.h"

#include "error.h"
#include "sessiondisk.h"

#include <QElapsedTimer>
#include <QSet>

using namespace Qt::Literals::StringLiterals;

namespace {

/// Results reach the window at most this often while takes are analysed, so that a long run
/// of them redraws the sidebar a few times a second, not once per take.
constexpr qint64 deliveryIntervalMs = 100;

} // namespace

TakeChecks::TakeChecks(QObject *parent) : QObject(parent) {}

TakeChecks::~TakeChecks()
{
    stopWorker();
}

void TakeChecks::stopWorker()
{
    if (!m_worker)
        return;
    {
        const QMutexLocker lock(&m_mutex);
        m_stop = true;
        m_wake.wakeAll();
    }
    m_worker->wait();
    m_worker.reset();
    m_stop = false;
    m_queue.clear();
    m_results.clear();
    m_delivering = false;
}

void TakeChecks::open(const Session *session, const QString &folder)
{
    stopWorker();
    m_entries.clear();
    m_folder = session ? folder : QString();
    const bool hadProgress = m_total > 0;
    m_done = m_total = 0;
    if (hadProgress)
        Q_EMIT progressChanged();
    Q_EMIT checked();
    if (!session)
        return;
    for (const QList<Take> &takes : session->takes) {
        for (const Take &take : takes)
            m_queue.enqueue({take.file, 0, false});
    }
    m_cacheFolder = folder;
    m_worker.reset(QThread::create([this] { run(); }));
    m_worker->start(QThread::LowPriority);
}

void TakeChecks::add(const QString &file, unsigned filed)
{
    if (!m_worker)
        return;
    const QMutexLocker lock(&m_mutex);
    m_queue.enqueue({file, filed, false});
    m_wake.wakeAll();
}

const AnalysisCache::Entry *TakeChecks::entry(const QString &file) const
{
    const auto found = m_entries.constFind(file);
    return found == m_entries.cend() ? nullptr : &found.value();
}

QString TakeChecks::progress() const
{
    if (m_total == 0)
        return {};
    return u"Checking takes… %1 of %2"_s.arg(m_done).arg(m_total);
}

void TakeChecks::run()
{
    using AnalysisCache::Entry;
    m_cache = AnalysisCache::load(m_cacheFolder);
    bool dirty = false;
    int done = 0, total = 0;
    QElapsedTimer sinceDelivery;
    sinceDelivery.start();

    const auto post = [&](const QString &file, const Entry &entry, bool force) {
        const QMutexLocker lock(&m_mutex);
        m_results.append({file, entry});
        if (m_delivering || (!force && sinceDelivery.elapsed() < deliveryIntervalMs))
            return;
        m_delivering = true;
        sinceDelivery.restart();
        QMetaObject::invokeMethod(this, &TakeChecks::deliver, Qt::QueuedConnection);
    };
    const auto save = [&] {
        if (!dirty)
            return;
        dirty = false;
        try {
            AnalysisCache::save(m_cacheFolder, m_cache);
        } catch (const Error &error) {
            qWarning("%s", error.what());
        }
    };

    // What the cache holds of the files as they are now is ready at once; the rest is counted,
    // then analysed.
    QQueue<Job> initial;
    {
        const QMutexLocker lock(&m_mutex);
        initial.swap(m_queue);
    }
    QSet<QString> named;
    QQueue<Job> stale;
    for (const Job &job : std::as_const(initial)) {
        named.insert(job.file);
        const auto cached = m_cache.constFind(job.file);
        const auto now = AnalysisCache::stamp(SessionDisk::takePath(m_cacheFolder, job.file));
        if (cached != m_cache.cend() && now && cached->stamp == *now)
            post(job.file, *cached, false);
        else
            stale.enqueue({job.file, 0, true});
    }
    // Files no take names any more are forgotten.
    for (auto it = m_cache.begin(); it != m_cache.end();) {
        if (named.contains(it.key())) {
            ++it;
        } else {
            it = m_cache.erase(it);
            dirty = true;
        }
    }
    total = int(stale.size());
    {
        const QMutexLocker lock(&m_mutex);
        stale.append(m_queue);
        m_queue.swap(stale);
    }

    for (;;) {
        Job job;
        {
            QMutexLocker lock(&m_mutex);
            while (m_queue.isEmpty() && !m_stop) {
                // Idle: the progress line goes, and the cache is written.
                done = total = m_workDone = m_workTotal = 0;
                lock.unlock();
                save();
                post({}, {}, true);
                lock.relock();
                if (m_queue.isEmpty() && !m_stop)
                    m_wake.wait(&m_mutex);
            }
            if (m_stop)
                break;
            job = m_queue.dequeue();
        }
        const auto cached = m_cache.constFind(job.file);
        const Entry entry = AnalysisCache::check(SessionDisk::takePath(m_cacheFolder, job.file),
            cached == m_cache.cend() ? nullptr : &cached.value(), job.filed);
        if (cached == m_cache.cend() || entry != *cached) {
            m_cache.insert(job.file, entry);
            dirty = true;
        }
        done += job.counted;
        {
            const QMutexLocker lock(&m_mutex);
            m_workDone = done;
            m_workTotal = total;
        }
        post(job.file, entry, false);
    }
    save();
}

void TakeChecks::deliver()
{
    QList<std::pair<QString, AnalysisCache::Entry>> results;
    int done, total;
    {
        const QMutexLocker lock(&m_mutex);
        results.swap(m_results);
        m_delivering = false;
        done = m_workDone;
        total = m_workTotal;
    }
    bool any = false;
    for (auto &[file, entry] : results) {
        // The empty name marks the worker falling idle.
        if (file.isEmpty())
            continue;
        m_entries.insert(file, std::move(entry));
        any = true;
    }
    if (any)
        Q_EMIT checked();
    if (done != m_done || total != m_total) {
        m_done = done;
        m_total = total;
        Q_EMIT progressChanged();
    }
}
