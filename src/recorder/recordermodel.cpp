#include "recordermodel.h"

#include "apperror.h"
#include "atomicfile.h"
#include "exportprofile.h"
#include "scriptimport.h"
#include "sessiondisk.h"

#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString everyTakeSaved = QStringLiteral("Every take is saved automatically.");
const QString sessionRestored = QStringLiteral("Session restored. All changes save automatically.");
const QString noMicrophone = QStringLiteral("No microphone detected");
const QString microphoneOff = QStringLiteral("Microphone access is off. Open System Settings → "
                                             "Privacy & Security → Microphone and enable Quorbel, "
                                             "then try again.");

/// The meter's peaks past which a take just filed is called very quiet or too loud, in dBFS.
constexpr float quietDb = -55.0f;
constexpr float loudDb = -0.5f;

/// The person's words for any failure that reaches a command's boundary.
QString describe(const std::exception_ptr &failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const Error &error) {
        return error.description();
    } catch (const std::exception &other) {
        return QString::fromLocal8Bit(other.what());
    }
}

/// Runs `work`; a failure comes back as its description.
template<class Work>
std::optional<QString> attempt(Work &&work)
{
    try {
        work();
        return std::nullopt;
    } catch (...) {
        return describe(std::current_exception());
    }
}

/// Files again the takes in `folder` that `session` does not name: audio recorded when Quorbel
/// was killed, the disk filled up or another window saved over this one. Each goes after its
/// line's takes, and the take that stood for the line stays chosen. A file that is no audio, is
/// too short to be a take, or cannot be mended is left where it is. Returns how many were filed.
int recoverOrphans(Session &session, const QString &folder, Platform::AudioInput &input)
{
    const QList<SessionDisk::Orphan> orphans
        = SessionDisk::orphanedTakes(session, folder, [&input](const QString &path) {
              const Platform::AudioFileInfo info = input.recoverFile(path);
              return std::pair(info.frames, info.sampleRate);
          });
    int recovered = 0;
    for (const SessionDisk::Orphan &orphan : orphans) {
        // Without a selection, the newest take stands for the line: the recovered one would.
        if (const Take *chosen = session.chosen(orphan.line);
            chosen && !session.selected.contains(orphan.line))
            session.selected.insert(orphan.line, chosen->id);
        session.takes[orphan.line].append(orphan.take);
        ++recovered;
    }
    return recovered;
}

} // namespace

RecorderModel::RecorderModel(RecorderServices services, QObject *parent)
    : QObject(parent)
    , m_services(std::move(services))
    , m_message(everyTakeSaved)
    , m_inputName(QStringLiteral("System default microphone"))
{
    Q_ASSERT(m_services.input && m_services.output && m_services.desktop && m_services.environment);
    // Made first, so that they follow the session the start-up reopens.
    m_lines = new LineListModel(this);
    m_checks = new TakeChecks(this);
    m_lines->setAttention(
        [this](const Take &take) {
            const AnalysisCache::Entry *entry = m_checks->entry(take.file);
            return entry && entry->needsAttention();
        },
        false);
    connect(m_checks, &TakeChecks::checked, this, [this] {
        m_lines->attentionChanged();
        Q_EMIT takeCheckChanged();
    });
    connect(m_checks, &TakeChecks::progressChanged, this, &RecorderModel::checkingChanged);
    startUp();
}

RecorderModel::~RecorderModel()
{
    stopExport();
    // A check cut off by the end of the program leaves no file behind.
    if (m_checkingMicrophone)
        QFile::remove(m_checkPath);
}

void RecorderModel::startUp()
{
    Platform::Environment &environment = *m_services.environment;
    const std::optional<QString> override
        = environment.variable(QString::fromLatin1(dataDirVariable));
    if (override) {
        m_root = QDir::cleanPath(QDir::current().absoluteFilePath(*override));
        m_defaults = environment.settings(QString::fromLatin1(testingStoreName));
    } else {
        m_root = QDir::cleanPath(environment.applicationDataFolder() + u"/Quorbel/Sessions"_s);
        m_defaults = environment.settings();
    }

    const std::optional<QString> failure = attempt([&] {
        createFolders(m_root);
        const std::optional<QString> stored = m_defaults->text(QString::fromLatin1(lastSessionKey));
        if (!stored || !m_services.restoreLastSession)
            return;
        // With the override, only sessions inside the data folder are restored: a test run must
        // never wander into the person's own sessions.
        // The path is tidied first, so a stored "…/Sessions/name/" still has "…/Sessions" above
        // it rather than itself.
        if (override
            && QDir::cleanPath(QFileInfo(QDir::cleanPath(*stored)).absolutePath()) != m_root)
            return;
        if (!SessionDisk::exists(*stored))
            return;
        open(*stored);
    });
    if (failure)
        setError(u"Could not restore the last session: "_s + *failure);

    refreshInput();
    connect(
        m_services.input, &Platform::AudioInput::inputsChanged, this, &RecorderModel::refreshInput);

    m_checkTimer.setSingleShot(true);
    connect(&m_checkTimer, &QTimer::timeout, this, [this] { endMicrophoneCheck(); });
    m_timer.setInterval(tickIntervalMs);
    connect(&m_timer, &QTimer::timeout, this, &RecorderModel::tick);
    m_timer.start();
}

// --- Properties ---------------------------------------------------------------------------------

void RecorderModel::setError(std::optional<QString> error)
{
    if (m_error == error)
        return;
    m_error = std::move(error);
    Q_EMIT errorChanged();
}

void RecorderModel::setErrorText(const QString &error)
{
    setError(error.isEmpty() ? std::nullopt : std::optional<QString>(error));
}

void RecorderModel::setSearch(const QString &search)
{
    if (m_search == search)
        return;
    m_search = search;
    m_lines->setFilter(m_search, m_missingOnly);
    Q_EMIT searchChanged();
}

void RecorderModel::setMissingOnly(bool missingOnly)
{
    if (m_missingOnly == missingOnly)
        return;
    m_missingOnly = missingOnly;
    m_lines->setFilter(m_search, m_missingOnly);
    Q_EMIT missingOnlyChanged();
}

void RecorderModel::setAttentionOnly(bool attentionOnly)
{
    if (m_attentionOnly == attentionOnly)
        return;
    m_attentionOnly = attentionOnly;
    m_lines->setAttention(
        [this](const Take &take) {
            const AnalysisCache::Entry *entry = m_checks->entry(take.file);
            return entry && entry->needsAttention();
        },
        m_attentionOnly);
    Q_EMIT attentionOnlyChanged();
}

QString RecorderModel::checking() const
{
    return m_checks->progress();
}

QVariantMap RecorderModel::takeCheck() const
{
    const Take *take = chosen();
    if (!take || !m_folder)
        return {};
    QVariantMap check {{u"path"_s, SessionDisk::takePath(*m_folder, take->file)},
        {u"duration"_s, take->duration}, {u"checked"_s, false}};
    const AnalysisCache::Entry *entry = m_checks->entry(take->file);
    if (!entry)
        return check;
    check[u"checked"_s] = true;
    if (!entry->failure.isEmpty()) {
        check[u"failure"_s] = u"Could not check this take: "_s + entry->failure;
        return check;
    }
    const Analysis::Report &report = entry->report;
    Analysis::Report flagged = report;
    flagged.flags = entry->flags();
    QVariantList chips;
    for (const Analysis::Advice &advice : Analysis::advice(flagged))
        chips.append(QVariantMap {{u"title"_s, advice.title}, {u"tip"_s, advice.tip}});
    QVariantList clipped;
    for (const double time : report.clippedAt)
        clipped.append(time);
    check[u"chips"_s] = chips;
    check[u"speechStart"_s] = report.speechStart;
    check[u"speechEnd"_s] = report.speechEnd;
    check[u"clippedAt"_s] = clipped;
    if (report.duration > 0)
        check[u"duration"_s] = report.duration;
    return check;
}

void RecorderModel::setFontSize(double fontSize)
{
    if (m_fontSize == fontSize)
        return;
    m_fontSize = fontSize;
    Q_EMIT fontSizeChanged();
}

void RecorderModel::setSession(std::optional<Session> session)
{
    // Every session handed over here was just read from its folder or written there.
    m_session = std::move(session);
    m_unsaved = false;
    // No take of the session before is shown beside a line of this one.
    setElapsed(0);
    sessionUpdated();
}

void RecorderModel::changed()
{
    m_unsaved = true;
    sessionUpdated();
}

void RecorderModel::sessionUpdated()
{
    m_lines->setSession(m_session ? &*m_session : nullptr);
    Q_EMIT sessionChanged();
    Q_EMIT takeCheckChanged();
}

void RecorderModel::setFolder(std::optional<QString> folder)
{
    if (m_folder == folder)
        return;
    m_folder = std::move(folder);
    Q_EMIT folderChanged();
}

void RecorderModel::setRecording(bool recording)
{
    if (m_recording == recording)
        return;
    m_recording = recording;
    Q_EMIT recordingChanged();
    Q_EMIT busyChanged();
}

void RecorderModel::setPlaying(bool playing)
{
    if (m_playing == playing)
        return;
    m_playing = playing;
    Q_EMIT playingChanged();
}

void RecorderModel::setRequestingPermission(bool requesting)
{
    if (m_requestingPermission == requesting)
        return;
    m_requestingPermission = requesting;
    Q_EMIT requestingPermissionChanged();
    Q_EMIT busyChanged();
}

void RecorderModel::setElapsed(double elapsed)
{
    if (m_elapsed == elapsed)
        return;
    m_elapsed = elapsed;
    Q_EMIT elapsedChanged();
}

void RecorderModel::setLevel(float level)
{
    if (m_level == level)
        return;
    m_level = level;
    Q_EMIT levelChanged();
}

void RecorderModel::setPeak(float peak)
{
    if (m_peak == peak)
        return;
    m_peak = peak;
    Q_EMIT peakChanged();
}

void RecorderModel::setMessage(const QString &message, const QString &folder)
{
    if (m_message == message && m_messageFolder == folder)
        return;
    m_message = message;
    m_messageFolder = folder;
    Q_EMIT messageChanged();
}

void RecorderModel::setInputName(const QString &name)
{
    if (m_inputName == name)
        return;
    m_inputName = name;
    Q_EMIT inputNameChanged();
}

// --- Derived values -----------------------------------------------------------------------------

const ScriptLine *RecorderModel::current() const
{
    if (!m_session || m_session->index < 0 || m_session->index >= m_session->script.lines.size())
        return nullptr;
    return &m_session->script.lines.at(m_session->index);
}

const Take *RecorderModel::chosen() const
{
    const ScriptLine *line = current();
    return line ? m_session->chosen(line->id) : nullptr;
}

int RecorderModel::recordedCount() const
{
    return m_session ? m_session->recordedCount() : 0;
}

bool RecorderModel::allRecorded() const
{
    return m_session && recordedCount() == m_session->script.lines.size();
}

QString RecorderModel::title() const
{
    return m_session ? glimpse(m_session->script.title, 200) : QString();
}

int RecorderModel::lineCount() const
{
    return m_session ? int(m_session->script.lines.size()) : 0;
}

int RecorderModel::index() const
{
    return m_session ? int(m_session->index) : -1;
}

QString RecorderModel::currentId() const
{
    const ScriptLine *line = current();
    return line ? line->id : QString();
}

QStringList RecorderModel::currentPages() const
{
    // A page lays out in a few milliseconds.
    const ScriptLine *line = current();
    return line ? pages(line->text, 2000) : QStringList {};
}

bool RecorderModel::hasNote() const
{
    const ScriptLine *line = current();
    return line && line->note && !line->note->isEmpty();
}

QString RecorderModel::currentNote() const
{
    const ScriptLine *line = current();
    return line ? glimpse(line->note.value_or(QString()), 10'000) : QString();
}

QString RecorderModel::chosenId() const
{
    const Take *take = chosen();
    return take ? take->id : QString();
}

QVariantList RecorderModel::currentTakes() const
{
    QVariantList entries;
    const ScriptLine *line = current();
    if (!line)
        return entries;
    const auto found = m_session->takes.constFind(line->id);
    if (found == m_session->takes.cend())
        return entries;
    entries.reserve(found->size());
    for (const Take &take : *found)
        entries.append(QVariantMap {{u"id"_s, take.id}, {u"duration"_s, take.duration}});
    return entries;
}

// --- Opening and saving -------------------------------------------------------------------------

void RecorderModel::open(const QString &folder)
{
    Session loaded = SessionDisk::load(folder);
    // Only a session that loads is held; one this process holds already stays held.
    std::optional<SessionDisk::SessionLock> lock;
    if (!m_lock || !m_lock->holds(folder))
        lock.emplace(folder);
    stopPlayback();
    const int missing = SessionDisk::missingAudioCount(loaded, folder);
    if (lock)
        m_lock = std::move(lock);
    // Only once the folder is held: no other window may be filing these takes.
    const int recovered = recoverOrphans(loaded, folder, *m_services.input);
    setSession(std::move(loaded));
    setFolder(folder);
    m_checks->open(&*m_session, folder);
    setSearch({});
    setMissingOnly(false);
    setAttentionOnly(false);
    m_defaults->setText(QString::fromLatin1(lastSessionKey), QFileInfo(folder).absoluteFilePath());
    setMessage(recovered == 0 ? sessionRestored
            : recovered == 1
            ? u"Recovered 1 take recorded before Quorbel stopped."_s
            : u"Recovered %1 takes recorded before Quorbel stopped."_s.arg(recovered));
    if (missing > 0)
        setError(QString::number(missing)
            + u" recording file(s) are missing. Restore the takes folder from your backup, or "
              u"re-record the affected lines."_s);
    if (recovered > 0) {
        m_unsaved = true;
        persist();
    }
}

bool RecorderModel::persist()
{
    // Nothing to write when the session is what was saved last: a folder gone or made
    // read-only then stands in the way of no command, quitting included.
    if (!m_session || !m_folder || !m_unsaved)
        return true;
    const std::optional<QString> failure
        = attempt([this] { m_writer.save(std::as_const(*m_session), *m_folder); });
    m_saveFailure = failure.value_or(QString());
    m_unsaved = failure.has_value();
    if (!failure)
        return true;
    setError(u"Progress could not be saved. Keep this session open and retry. Audio remains in "
             u"the session folder. "_s
        + *failure);
    return false;
}

// --- Scripts and sessions -----------------------------------------------------------------------

void RecorderModel::create(const Script &script)
{
    if (!persist())
        return;
    SessionDisk::Created created = SessionDisk::create(script, m_root);
    SessionDisk::SessionLock lock(created.folder);
    stopPlayback();
    m_lock = std::move(lock);
    setSession(std::move(created.session));
    setFolder(created.folder);
    m_checks->open(&*m_session, created.folder);
    setSearch({});
    setMissingOnly(false);
    setAttentionOnly(false);
    m_defaults->setText(
        QString::fromLatin1(lastSessionKey), QFileInfo(created.folder).absoluteFilePath());
    setMessage(QStringLiteral("Ready. Record your first line."));
}

void RecorderModel::startRecordingTest()
{
    if (busy() || m_export)
        return;
    if (const auto failure = attempt([this] { create(Script::recordingTest()); }))
        setError(*failure);
}

void RecorderModel::importScript()
{
    if (busy() || m_export)
        return;
    stopPlayback();
    const std::optional<QString> path = m_services.desktop->chooseFile({
        .title = QStringLiteral("Import a script"),
        .message = QStringLiteral(
            "Text: one prompt per line. CSV: id,text,note columns. JSON: title and lines."),
        .extensions = {QStringLiteral("json"), QStringLiteral("csv"), QStringLiteral("txt")},
    });
    if (path)
        importFile(*path);
}

void RecorderModel::importFile(const QString &path)
{
    if (const auto failure = attempt([&] { create(ScriptImport::read(path)); }))
        setError(u"Could not import script: "_s + *failure);
}

void RecorderModel::openSession()
{
    if (busy() || m_export)
        return;
    if (!persist())
        return;
    stopPlayback();
    const std::optional<QString> folder = m_services.desktop->chooseFolder({
        .title = QStringLiteral("Open a recording session"),
        .message = QStringLiteral("Choose a session folder containing session.json and takes."),
        .startFolder = m_root,
        .canCreateFolders = false,
    });
    if (folder)
        openFolder(*folder);
}

void RecorderModel::openFolder(const QString &folder)
{
    if (const auto failure = attempt([&] { open(folder); }))
        setError(*failure);
}

void RecorderModel::openPath(const QString &path)
{
    if (busy())
        return;
    const QFileInfo info(path);
    if (info.isDir() || info.fileName() == QFileInfo(SessionDisk::documentPath({})).fileName()) {
        if (!persist())
            return;
        stopPlayback();
        openFolder(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
        return;
    }
    stopPlayback();
    importFile(info.absoluteFilePath());
}

// --- Navigation ---------------------------------------------------------------------------------

void RecorderModel::select(const QString &lineId)
{
    if (busy() || !m_session)
        return;
    const QList<ScriptLine> &lines = m_session->script.lines;
    const auto found = std::find_if(lines.cbegin(), lines.cend(),
        [&lineId](const ScriptLine &line) { return line.id == lineId; });
    if (found == lines.cend())
        return;
    stopPlayback();
    m_session->index = found - lines.cbegin();
    changed();
    setElapsed(0);
    setLevel(0);
    setMessage(everyTakeSaved);
    persist();
}

void RecorderModel::next()
{
    if (!m_session || busy())
        return;
    const QList<ScriptLine> &lines = m_session->script.lines;
    if (m_session->index + 1 < lines.size()) {
        select(lines.at(m_session->index + 1).id);
        return;
    }
    const auto unrecorded = std::find_if(lines.cbegin(), lines.cend(),
        [this](const ScriptLine &line) { return !m_session->chosen(line.id); });
    if (unrecorded != lines.cend()) {
        select(unrecorded->id);
        return;
    }
    setMessage(QStringLiteral("All lines recorded. Export your recordings when you’re ready."));
}

void RecorderModel::previous()
{
    if (!m_session || m_session->index <= 0)
        return;
    select(m_session->script.lines.at(m_session->index - 1).id);
}

void RecorderModel::selectTake(const QString &takeId)
{
    if (!m_session || busy())
        return;
    const ScriptLine *line = current();
    if (!line)
        return;
    stopPlayback();
    m_session->selected.insert(line->id, takeId);
    changed();
    const Take *take = chosen();
    setElapsed(take ? take->duration : 0);
    persist();
    setMessage(QStringLiteral("This take will be included in the export."));
}

// --- Recording ----------------------------------------------------------------------------------

void RecorderModel::refreshInput()
{
    const Platform::DefaultInput input = m_services.input->defaultInput();
    if (!input.present)
        setInputName(noMicrophone);
    else if (!input.name.isEmpty())
        setInputName(input.name);
}

void RecorderModel::tick()
{
    if (m_checkRecorder) {
        m_checkRecorder->updateMeters();
        setLevel(std::clamp((m_checkRecorder->averagePower() + 60.0f) / 60.0f, 0.0f, 1.0f));
        setPeak(std::max(m_peak, m_checkRecorder->peakPower()));
    } else if (m_recorder && m_recording) {
        m_recorder->updateMeters();
        setElapsed(m_recorder->currentTime());
        const float average = m_recorder->averagePower();
        setLevel(std::clamp((average + 60.0f) / 60.0f, 0.0f, 1.0f));
        const float peak = m_recorder->peakPower();
        if (peak >= m_peak)
            setPeak(peak);
    } else if (m_player && m_playing) {
        setElapsed(m_player->currentTime());
    }
}

void RecorderModel::toggleRecord()
{
    if (m_recording) {
        stopRecording();
        return;
    }
    if (busy() || m_export || !current())
        return;
    withMicrophone(&RecorderModel::beginRecording);
}

void RecorderModel::withMicrophone(void (RecorderModel::*then)())
{
    stopPlayback();
    setRequestingPermission(true);
    m_services.input->requestPermission(this, [this, then](bool granted) {
        setRequestingPermission(false);
        if (granted)
            (this->*then)();
        else
            setError(microphoneOff);
    });
}

void RecorderModel::toggleMicrophoneCheck()
{
    if (m_checkingMicrophone) {
        endMicrophoneCheck();
        return;
    }
    if (busy() || m_export)
        return;
    withMicrophone(&RecorderModel::beginMicrophoneCheck);
}

void RecorderModel::beginMicrophoneCheck()
{
    refreshInput();
    m_checkPath = QDir(QDir::tempPath())
                      .filePath(u"quorbel-check-"_s
                          + m_services.newUuid().toString(QUuid::WithoutBraces) + u".wav"_s);
    const std::optional<QString> failure = attempt([&] {
        m_checkRecorder.reset(m_services.input->makeRecorder(m_checkPath).release());
        Platform::Recorder *recorder = m_checkRecorder.get();
        connect(recorder, &Platform::Recorder::finished, this, [this, recorder](bool) {
            if (m_checkRecorder.get() == recorder)
                endMicrophoneCheck(u"The microphone stopped recording."_s);
        });
        connect(recorder, &Platform::Recorder::encodeError, this,
            [this, recorder](const QString &description) {
                if (m_checkRecorder.get() == recorder)
                    endMicrophoneCheck(description);
            });
        if (!m_checkRecorder->record())
            throw AppError(QStringLiteral("The microphone could not start. Check the input device "
                                          "in Sound settings and try again."));
    });
    if (failure) {
        m_checkRecorder.reset();
        QFile::remove(m_checkPath);
        setError(*failure);
        return;
    }
    m_checkingMicrophone = true;
    Q_EMIT busyChanged();
    setPeak(Platform::silenceDb);
    m_checkTimer.start(microphoneCheckMs);
}

void RecorderModel::endMicrophoneCheck(const std::optional<QString> &failure)
{
    if (!m_checkingMicrophone)
        return;
    m_checkTimer.stop();
    std::optional<QString> stopped = m_checkRecorder ? m_checkRecorder->stop() : std::nullopt;
    m_checkRecorder.reset();
    m_checkingMicrophone = false;
    Q_EMIT busyChanged();
    setLevel(0);
    QString verdict;
    if (failure || stopped) {
        verdict = u"The check could not finish: "_s + failure.value_or(*stopped);
    } else {
        try {
            verdict = Analysis::verdict(Analysis::analyseFile(m_checkPath));
        } catch (const Error &error) {
            verdict = u"Could not check the recording: "_s + error.description();
        }
    }
    QFile::remove(m_checkPath);
    if (m_microphoneVerdict != verdict) {
        m_microphoneVerdict = verdict;
        Q_EMIT microphoneVerdictChanged();
    }
}

void RecorderModel::stopRecording()
{
    if (!m_recording || !m_recorder)
        return;
    m_requestedStop = true;
    // The last of the audio is written while the recorder stops; a failure there is known
    // before the take is filed.
    const std::optional<QString> failure = m_recorder->stop();
    finishRecording(true, failure);
}

void RecorderModel::beginRecording()
{
    const ScriptLine *line = current();
    if (!line || !m_folder)
        return;
    const QString lineId = line->id;
    if (!persist())
        return;
    refreshInput();

    const QString takeId = m_services.newUuid().toString(QUuid::WithoutBraces).toUpper();
    const QString file = u"takes/"_s + lineId + u'-' + takeId + u".wav"_s;
    const std::optional<QString> failure = attempt([&] {
        createFolders(QDir(*m_folder).filePath(QStringLiteral("takes")));
        std::unique_ptr<Platform::Recorder> made
            = m_services.input->makeRecorder(SessionDisk::takePath(*m_folder, file));
        Platform::Recorder *recorder = made.get();
        connect(recorder, &Platform::Recorder::finished, this,
            [this, recorder](bool success) { recorderFinished(recorder, success); });
        connect(recorder, &Platform::Recorder::encodeError, this,
            [this, recorder](
                const QString &description) { recorderFailed(recorder, description); });
        m_pending = Pending {lineId, file, takeId};
        m_requestedStop = false;
        m_recorder.reset(made.release());
        if (!m_recorder->record())
            throw AppError(QStringLiteral("The microphone could not start. Check the input device "
                                          "in Sound settings and try again."));
    });
    if (failure) {
        m_recorder.reset();
        m_pending.reset();
        setError(*failure);
        return;
    }
    setRecording(true);
    setElapsed(0);
    setPeak(Platform::silenceDb);
    setMessage(QStringLiteral("Recording… read the line, then click Stop & save."));
}

void RecorderModel::finishRecording(bool success, const std::optional<QString> &cutShort)
{
    if (!m_pending || !m_folder)
        return;
    const Pending pending = *std::exchange(m_pending, std::nullopt);
    setRecording(false);
    m_recorder.reset();
    setLevel(0);

    const std::optional<QString> failure = attempt([&] {
        const Platform::AudioFileInfo info
            = m_services.input->fileInfo(SessionDisk::takePath(*m_folder, pending.file));
        const std::optional<double> duration = takeDuration(info.frames, info.sampleRate);
        if (!success || !duration)
            throw AppError(QStringLiteral("No usable audio was captured. Your previous take is "
                                          "still safe. Check the microphone and try again."));
        if (!m_session)
            return;
        m_session->takes[pending.line].append(
            Take {pending.id, pending.file, *duration, m_services.now()});
        m_session->selected.insert(pending.line, pending.id);
        changed();
        if (!persist())
            return;
        // What the status line calls the take stays among its flags.
        const unsigned filed = m_peak < quietDb ? unsigned(Analysis::TooQuiet)
            : m_peak > loudDb                   ? unsigned(Analysis::Clipped)
                                                : 0u;
        m_checks->add(pending.file, filed);
        if (!m_requestedStop || cutShort)
            setMessage(QStringLiteral("Recording interrupted; the captured audio was saved. "
                                      "Listen back before continuing."));
        else if (m_peak < quietDb)
            setMessage(QStringLiteral("Take saved, but the input was very quiet. Check your "
                                      "microphone and listen back."));
        else if (m_peak > loudDb)
            setMessage(
                QStringLiteral("Take saved. The input may be too loud; listen for distortion."));
        else
            setMessage(QStringLiteral("Take saved. Listen back or move to the next line."));
        setElapsed(*duration);
        // The disk, not the microphone, ended it, and what came before is safe.
        if (cutShort)
            setError(u"The take was cut short: "_s + *cutShort
                + u" The audio recorded until then was kept."_s);
    });
    if (!failure)
        return;
    // Nothing is recording any more, whatever the status line said while it did.
    setMessage(everyTakeSaved);
    // When writing failed, that is what spoiled the take, whatever reading it then said.
    setError(cutShort ? u"The take could not be written: "_s + *cutShort : *failure);
}

void RecorderModel::recorderFinished(Platform::Recorder *recorder, bool success)
{
    if (m_recorder && m_recorder.get() == recorder)
        finishRecording(success);
}

void RecorderModel::recorderFailed(Platform::Recorder *recorder, const QString &description)
{
    if (!m_recorder || m_recorder.get() != recorder)
        return;
    // Writing failed: the disk is full or the folder gone. What was written is kept when it
    // can be played. Without a reason there is nothing to tell but the device's trouble.
    if (!description.isEmpty()) {
        finishRecording(true, description);
        return;
    }
    finishRecording(false);
    setError(u"The audio device stopped recording. Check the microphone connection."_s);
}

// --- Playback -----------------------------------------------------------------------------------

void RecorderModel::togglePlayback()
{
    if (m_playing) {
        stopPlayback();
        return;
    }
    if (busy())
        return;
    const Take *take = chosen();
    if (!take || !m_folder)
        return;
    const QString path = SessionDisk::takePath(*m_folder, take->file);
    std::unique_ptr<Platform::Player, DeleteLater> player;
    const std::optional<QString> failure = attempt([&] {
        player.reset(m_services.output->makePlayer(path).release());
        Platform::Player *raw = player.get();
        connect(raw, &Platform::Player::finished, this, [this, raw] { playerFinished(raw); });
        connect(raw, &Platform::Player::decodeError, this, &RecorderModel::playerFailed);
        if (!raw->play())
            throw AppError(QStringLiteral("Could not play this take. Check your sound output."));
    });
    if (failure) {
        setError(*failure);
        return;
    }
    m_player = std::move(player);
    setPlaying(true);
    setElapsed(0);
}

void RecorderModel::stopPlayback()
{
    if (m_player) {
        m_player->stop();
        m_player.reset();
    }
    setPlaying(false);
}

void RecorderModel::playerFinished(Platform::Player *player)
{
    if (m_player && m_player.get() == player)
        stopPlayback();
}

void RecorderModel::playerFailed(const QString &description)
{
    stopPlayback();
    setError(u"This take could not be played. "_s + description);
}

// --- Deleting takes and starting over -----------------------------------------------------------

bool RecorderModel::confirm(const QString &title, const QString &detail, const QString &action)
{
    stopPlayback();
    return m_services.desktop->confirm({.title = title, .detail = detail, .action = action});
}

void RecorderModel::recoverAfterRemovalError(const QString &description, const QString &folder)
{
    // Show what is on disk now: the old document if it was put back, the new one otherwise.
    // When it cannot be read, what is shown may differ from it, and is saved at the next chance.
    try {
        setSession(SessionDisk::load(folder));
    } catch (...) {
        m_unsaved = true;
    }
    setError(u"Could not complete the action: "_s + description);
}

void RecorderModel::confirmDeleteTake()
{
    if (busy() || m_export || !m_session || !m_folder)
        return;
    const ScriptLine *line = current();
    const Take *take = chosen();
    if (!line || !take)
        return;
    const QString lineId = line->id;
    const QString takeId = take->id;
    // The chosen take's place in its line's list: ids may repeat, places do not.
    const qsizetype position = take - m_session->takes.constFind(lineId)->constData();

    if (!confirm(u"Delete take "_s + QString::number(position + 1) + u'?',
            u"This removes the selected take for “"_s + lineId
                + u"” and moves its audio to the Trash. Other takes and exported recordings are "
                  u"kept."_s,
            QStringLiteral("Delete take")))
        return;
    if (!persist())
        return;
    const QString folder = *m_folder;
    std::optional<Session> remaining;
    const std::optional<QString> failure = attempt([&] {
        remaining = SessionDisk::deleteTake(takeId, position, lineId, *m_session, folder,
            [this](const QString &path) { m_services.desktop->moveToTrash(path); });
    });
    if (failure) {
        recoverAfterRemovalError(*failure, folder);
        return;
    }
    setSession(std::move(remaining));
    const Take *left = chosen();
    setElapsed(left ? left->duration : 0);
    setMessage(left ? QStringLiteral("Take deleted. The remaining selected take will be exported.")
                    : QStringLiteral("Take deleted. This line is ready to record again."));
}

void RecorderModel::confirmStartOver()
{
    if (busy() || m_export || !m_session || !m_folder)
        return;
    if (!confirm(QStringLiteral("Start this script over?"),
            u"This removes all "_s + QString::number(m_session->takeCount()) + u" takes from “"_s
                + title()
                + u"” and returns to the first line. The script is kept. Audio moves to the "
                  u"Trash; other sessions and exports are kept."_s,
            QStringLiteral("Start over")))
        return;
    if (!persist())
        return;
    const QString folder = *m_folder;
    std::optional<Session> fresh;
    const std::optional<QString> failure = attempt([&] {
        fresh = SessionDisk::startOver(*m_session, folder,
            [this](const QString &path) { m_services.desktop->moveToTrash(path); });
    });
    if (failure) {
        recoverAfterRemovalError(*failure, folder);
        return;
    }
    setSession(std::move(fresh));
    setElapsed(0);
    setLevel(0);
    setSearch({});
    setMissingOnly(false);
    setAttentionOnly(false);
    setMessage(QStringLiteral("Ready to start over. Record your first line."));
}

// --- Export, reveal, settings and quit ----------------------------------------------------------

struct RecorderModel::ExportRun
{
    std::unique_ptr<QThread> thread;
    std::atomic<bool> cancel {false};
    std::atomic<int> done {0};
    std::atomic<int> total {0};
    /// A progress update waits in the event queue.
    std::atomic<bool> posted {false};
    QString destination;
    qsizetype lineCount = 0;
    // Written by the worker before it posts its end.
    int exported = 0;
    std::optional<QString> failure;
    bool cancelled = false;
};

namespace {

Exporting::ExportOptions toOptions(const QVariantMap &map)
{
    Exporting::ExportOptions options;
    options.profile = map.value(u"profile"_s) == u"ljspeech"_s ? Exporting::Profile::LJSpeech
                                                               : Exporting::Profile::AsRecorded;
    options.sampleRate = map.value(u"rate"_s, options.sampleRate).toInt();
    options.bits = map.value(u"bits"_s, options.bits).toInt();
    const double trim = map.value(u"trim"_s, *options.trimPadding).toDouble();
    options.trimPadding = trim > 0 ? std::optional(trim) : std::nullopt;
    const double loudness = map.value(u"loudness"_s, *options.loudnessLufs).toDouble();
    options.loudnessLufs = loudness < 0 ? std::optional(loudness) : std::nullopt;
    return options;
}

} // namespace

QVariantMap RecorderModel::exportOptions() const
{
    // Kept as "name=value" pairs; anything unreadable falls back to the defaults.
    QVariantMap map {{u"profile"_s, u"as-recorded"_s}, {u"rate"_s, 22'050}, {u"bits"_s, 16},
        {u"trim"_s, 0.2}, {u"loudness"_s, -23.0}};
    const QString stored
        = m_defaults->text(QString::fromLatin1(exportOptionsKey)).value_or(QString());
    for (const QString &pair : stored.split(u';', Qt::SkipEmptyParts)) {
        const QString name = pair.section(u'=', 0, 0), value = pair.section(u'=', 1);
        if (name == u"profile"_s)
            map[name] = value;
        else if (map.contains(name))
            map[name] = value.toDouble();
    }
    return map;
}

QString RecorderModel::exportProgress() const
{
    if (!m_export)
        return {};
    return u"Exporting %1 of %2…"_s.arg(m_export->done.load()).arg(m_export->total.load());
}

double RecorderModel::exportFraction() const
{
    const int total = m_export ? m_export->total.load() : 0;
    return total > 0 ? double(m_export->done.load()) / total : 0;
}

void RecorderModel::exportRecordings()
{
    exportWith(exportOptions());
}

void RecorderModel::exportWith(const QVariantMap &map)
{
    if (busy() || m_export || !m_session || !m_folder)
        return;
    const Exporting::ExportOptions options = toOptions(map);
    if (const QString wrong = Exporting::validationError(options); !wrong.isEmpty()) {
        setError(wrong);
        return;
    }
    QStringList stored;
    for (auto it = map.cbegin(); it != map.cend(); ++it)
        stored << it.key() + u'=' + it.value().toString();
    m_defaults->setText(QString::fromLatin1(exportOptionsKey), stored.join(u';'));
    Q_EMIT exportOptionsChanged();
    if (!persist())
        return;
    stopPlayback();
    const Session session = *m_session;
    const QString from = *m_folder;
    const qsizetype lineCount = session.script.lines.size();
    const std::optional<QString> chosenFolder = m_services.desktop->chooseFolder({
        .title = QStringLiteral("Export recordings"),
        .message = u"Choose where to save a new export folder. Includes one selected WAV per "
                   u"recorded line ("_s
            + QString::number(recordedCount()) + u'/' + QString::number(lineCount) + u")."_s,
        .startFolder = {},
        .canCreateFolders = true,
    });
    if (!chosenFolder)
        return;
    auto run = std::make_unique<ExportRun>();
    run->destination
        = QDir(*chosenFolder).filePath(SessionDisk::exportFolderName(m_services.newUuid()));
    run->lineCount = lineCount;
    ExportRun *r = run.get();
    run->thread.reset(QThread::create([this, r, session, from, options] {
        const auto progress = [this, r](int done, int total) {
            r->done = done;
            r->total = total;
            if (!r->posted.exchange(true))
                QMetaObject::invokeMethod(
                    this,
                    [this] {
                        if (m_export)
                            m_export->posted = false;
                        Q_EMIT exportProgressChanged();
                    },
                    Qt::QueuedConnection);
            return !r->cancel.load();
        };
        try {
            r->exported
                = Exporting::exportSession(session, from, r->destination, options, progress);
        } catch (const SessionDisk::ExportCancelled &) {
            r->cancelled = true;
        } catch (const Error &error) {
            r->failure = error.description();
        } catch (const std::exception &error) {
            r->failure = QString::fromLocal8Bit(error.what());
        }
        // Only this run's end: a run stopped meanwhile was finished by stopExport.
        QMetaObject::invokeMethod(
            this,
            [this, r] {
                if (m_export.get() == r)
                    finishExport();
            },
            Qt::QueuedConnection);
    }));
    m_export = std::move(run);
    m_export->thread->start();
    Q_EMIT exportingChanged();
    Q_EMIT exportProgressChanged();
}

void RecorderModel::cancelExport()
{
    if (m_export)
        m_export->cancel = true;
}

void RecorderModel::stopExport()
{
    if (!m_export)
        return;
    m_export->cancel = true;
    m_export->thread->wait();
    finishExport();
}

void RecorderModel::finishExport()
{
    if (!m_export)
        return;
    // The worker's last act posts this call, so its thread ends at once, if it has not yet:
    // returning without the run while it ends would leave the window exporting for good.
    m_export->thread->wait();
    const std::unique_ptr<ExportRun> run = std::move(m_export);
    Q_EMIT exportingChanged();
    Q_EMIT exportProgressChanged();
    if (run->cancelled) {
        // Asked for: no alert, and the folder still named, with what was finished in it.
        setMessage(QStringLiteral("Export cancelled."), run->destination);
        return;
    }
    if (run->failure) {
        setError(*run->failure);
        return;
    }
    setMessage(u"Exported "_s + QString::number(run->exported) + u" of "_s
            + QString::number(run->lineCount) + u" lines."_s,
        run->destination);
    showDesktop([&] { m_services.desktop->showFolder(run->destination); });
}

void RecorderModel::reveal()
{
    if (m_folder)
        showDesktop([this] { m_services.desktop->showFolder(*m_folder); });
}

void RecorderModel::soundSettings()
{
    showDesktop([this] { m_services.desktop->openSoundSettings(); });
}

void RecorderModel::microphoneSettings()
{
    showDesktop([this] { m_services.desktop->openMicrophoneSettings(); });
}

void RecorderModel::showDesktop(const std::function<void()> &open)
{
    // A click that opens nothing would look as if the program had not heard it.
    if (const std::optional<QString> failure = attempt(open))
        setError(*failure);
}

void RecorderModel::copyLine()
{
    if (const ScriptLine *line = current()) {
        m_services.desktop->copyText(line->text);
        setMessage(QStringLiteral("The line’s text is on the clipboard."));
    }
}

bool RecorderModel::prepareToQuit(bool mayAsk)
{
    if (m_requestingPermission)
        return false;
    if (m_recording)
        stopRecording();
    endMicrophoneCheck();
    stopExport();
    stopPlayback();
    if (persist())
        return true;
    // The person may still leave: a folder that vanished or a full disk must not hold the
    // program open for good. Only a click on the action lets the changes go.
    return mayAsk
        && confirm(QStringLiteral("Quit without saving?"),
            u"The latest changes to “"_s + title() + u"” could not be saved: "_s + m_saveFailure
                + u" Quitting now loses them."_s,
            QStringLiteral("Quit Without Saving"));
}
