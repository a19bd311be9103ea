#pragma once

#include "audio.h"
#include "desktop.h"
#include "linelistmodel.h"
#include "longtext.h"
#include "records.h"
#include "sessiondisk.h"
#include "takechecks.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUuid>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

/// The services the controller works through, and the clock and UUIDs, which tests fix.
struct RecorderServices
{
    Platform::AudioInput *input = nullptr;
    Platform::AudioOutput *output = nullptr;
    Platform::Desktop *desktop = nullptr;
    Platform::Environment *environment = nullptr;
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTimeUtc(); };
    std::function<QUuid()> newUuid = [] { return QUuid::createUuid(); };
    /// Whether start-up reopens the session opened last; not when the program was started on
    /// a path of its own.
    bool restoreLastSession = true;
};

/// The application's one controller: it holds the open session and its folder, drives
/// recording, metering and playback, carries every command of the person and turns every
/// outcome into the status line (`message`) or a problem to show (`error`).
///
/// Every change to the session is written to disk at once. Commands never throw: failures end
/// in `error`. Everything runs on the main thread; the services' answers arrive through its
/// event loop.
class RecorderModel : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString folder READ folder NOTIFY folderChanged)
    Q_PROPERTY(bool recording READ recording NOTIFY recordingChanged)
    Q_PROPERTY(bool playing READ playing NOTIFY playingChanged)
    Q_PROPERTY(
        bool requestingPermission READ requestingPermission NOTIFY requestingPermissionChanged)
    Q_PROPERTY(double elapsed READ elapsed NOTIFY elapsedChanged)
    Q_PROPERTY(float level READ level NOTIFY levelChanged)
    Q_PROPERTY(float peak READ peak NOTIFY peakChanged)
    Q_PROPERTY(QString message READ message NOTIFY messageChanged)
    /// The folder the status line speaks of, shown under it (the export just made); empty when
    /// it speaks of none.
    Q_PROPERTY(QString messageFolder READ messageFolder NOTIFY messageChanged)
    Q_PROPERTY(QString error READ errorText WRITE setErrorText NOTIFY errorChanged)
    Q_PROPERTY(QString search READ search WRITE setSearch NOTIFY searchChanged)
    Q_PROPERTY(QString inputName READ inputName NOTIFY inputNameChanged)
    Q_PROPERTY(bool missingOnly READ missingOnly WRITE setMissingOnly NOTIFY missingOnlyChanged)
    Q_PROPERTY(
        bool attentionOnly READ attentionOnly WRITE setAttentionOnly NOTIFY attentionOnlyChanged)
    /// "Checking takes… 1204 of 30000" while the takes an opened session's cache lacked are
    /// analysed; empty otherwise.
    Q_PROPERTY(QString checking READ checking NOTIFY checkingChanged)
    /// The check of the chosen take: "checked" (false while it is pending), "failure" ("Could
    /// not check this take: …"), "chips" (each a "title" and a "tip"), "duration",
    /// "speechStart", "speechEnd" (−1 without speech), "clippedAt" (seconds) and "path", the
    /// take file's absolute path. Empty without a chosen take.
    Q_PROPERTY(QVariantMap takeCheck READ takeCheck NOTIFY takeCheckChanged)
    /// An export runs on its worker threads: commands that would change the session, record or
    /// export again wait; moving between lines and playing do not.
    Q_PROPERTY(bool exporting READ exporting NOTIFY exportingChanged)
    /// "Exporting 812 of 2000…" while an export runs.
    Q_PROPERTY(QString exportProgress READ exportProgress NOTIFY exportProgressChanged)
    Q_PROPERTY(double exportFraction READ exportFraction NOTIFY exportProgressChanged)
    /// The export options last used, remembered between sessions: "profile" ("as-recorded" or
    /// "ljspeech"), "rate", "bits", "trim" (seconds, or 0 for no trimming) and "loudness"
    /// (LUFS, or 0 for none).
    Q_PROPERTY(QVariantMap exportOptions READ exportOptions NOTIFY exportOptionsChanged)
    /// The microphone check is listening.
    Q_PROPERTY(bool checkingMicrophone READ checkingMicrophone NOTIFY busyChanged)
    /// What the last microphone check found, one sentence; empty before the first.
    Q_PROPERTY(QString microphoneVerdict READ microphoneVerdict NOTIFY microphoneVerdictChanged)
    Q_PROPERTY(double fontSize READ fontSize WRITE setFontSize NOTIFY fontSizeChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(bool hasFolder READ hasFolder NOTIFY folderChanged)
    // What the window shows of the session; each follows every change of it.
    Q_PROPERTY(bool hasSession READ hasSession NOTIFY sessionChanged)
    Q_PROPERTY(QString title READ title NOTIFY sessionChanged)
    Q_PROPERTY(int lineCount READ lineCount NOTIFY sessionChanged)
    Q_PROPERTY(int index READ index NOTIFY sessionChanged)
    Q_PROPERTY(bool hasCurrent READ hasCurrent NOTIFY sessionChanged)
    Q_PROPERTY(QString currentId READ currentId NOTIFY sessionChanged)
    /// The current line's text in pages, for a view that lays out only what it shows.
    Q_PROPERTY(QStringList currentPages READ currentPages NOTIFY sessionChanged)
    Q_PROPERTY(bool hasNote READ hasNote NOTIFY sessionChanged)
    Q_PROPERTY(QString currentNote READ currentNote NOTIFY sessionChanged)
    Q_PROPERTY(bool hasChosen READ hasChosen NOTIFY sessionChanged)
    Q_PROPERTY(QString chosenId READ chosenId NOTIFY sessionChanged)
    Q_PROPERTY(QVariantList currentTakes READ currentTakes NOTIFY sessionChanged)
    Q_PROPERTY(int recordedCount READ recordedCount NOTIFY sessionChanged)
    Q_PROPERTY(bool allRecorded READ allRecorded NOTIFY sessionChanged)
    Q_PROPERTY(LineListModel *lines READ lines CONSTANT)

public:
    /// The name of the separate settings store used when QUORBEL_DATA_DIR is set.
    static constexpr auto testingStoreName = "org.quorbel.Quorbel.testing";
    /// Where the data folder's override comes from.
    static constexpr auto dataDirVariable = "QUORBEL_DATA_DIR";
    /// The settings key of the folder of the session opened or created last.
    static constexpr auto lastSessionKey = "lastSession";
    /// How often the meters and the elapsed time are read, in milliseconds.
    static constexpr int tickIntervalMs = 80;

    /// Starts up: chooses the data folder and settings store, reopens the last session, reads
    /// the input's name and starts the meter timer. Never fails; problems end in `error`.
    explicit RecorderModel(RecorderServices services, QObject *parent = nullptr);
    ~RecorderModel() override;

    [[nodiscard]] const std::optional<Session> &session() const { return m_session; }
    [[nodiscard]] QString folder() const { return m_folder.value_or(QString()); }
    [[nodiscard]] bool hasFolder() const { return m_folder.has_value(); }
    [[nodiscard]] bool recording() const { return m_recording; }
    [[nodiscard]] bool playing() const { return m_playing; }
    [[nodiscard]] bool requestingPermission() const { return m_requestingPermission; }
    [[nodiscard]] double elapsed() const { return m_elapsed; }
    [[nodiscard]] float level() const { return m_level; }
    [[nodiscard]] float peak() const { return m_peak; }
    [[nodiscard]] QString message() const { return m_message; }
    [[nodiscard]] QString messageFolder() const { return m_messageFolder; }
    [[nodiscard]] const std::optional<QString> &error() const { return m_error; }
    [[nodiscard]] QString errorText() const { return m_error.value_or(QString()); }
    [[nodiscard]] QString search() const { return m_search; }
    [[nodiscard]] QString inputName() const { return m_inputName; }
    [[nodiscard]] bool missingOnly() const { return m_missingOnly; }
    [[nodiscard]] bool attentionOnly() const { return m_attentionOnly; }
    [[nodiscard]] QString checking() const;
    [[nodiscard]] QVariantMap takeCheck() const;
    /// The checks of the session's takes.
    [[nodiscard]] const TakeChecks &checks() const { return *m_checks; }
    [[nodiscard]] double fontSize() const { return m_fontSize; }
    /// The data folder that holds the session folders.
    [[nodiscard]] QString root() const { return m_root; }

    /// The person dismissed the alert (an empty text clears it too).
    void setError(std::optional<QString> error);
    void setErrorText(const QString &error);
    void setSearch(const QString &search);
    void setMissingOnly(bool missingOnly);
    void setAttentionOnly(bool attentionOnly);
    void setFontSize(double fontSize);

    /// A take is being recorded or the microphone permission is being asked for: commands that
    /// would change the line, the session or the sound do nothing meanwhile.
    [[nodiscard]] bool busy() const
    {
        return m_recording || m_requestingPermission || m_checkingMicrophone;
    }
    [[nodiscard]] bool checkingMicrophone() const { return m_checkingMicrophone; }
    [[nodiscard]] bool exporting() const { return m_export != nullptr; }
    [[nodiscard]] QString exportProgress() const;
    [[nodiscard]] double exportFraction() const;
    [[nodiscard]] QVariantMap exportOptions() const;
    /// The settings key of the export options last used.
    static constexpr auto exportOptionsKey = "exportOptions";
    [[nodiscard]] QString microphoneVerdict() const { return m_microphoneVerdict; }
    /// How long the microphone check listens, unless it is stopped sooner.
    static constexpr int microphoneCheckMs = 5000;
    /// The line at the session's position, or none without a session.
    [[nodiscard]] const ScriptLine *current() const;
    /// The take that stands for the current line.
    [[nodiscard]] const Take *chosen() const;
    /// How many lines have at least one take.
    [[nodiscard]] int recordedCount() const;
    [[nodiscard]] bool allRecorded() const;
    /// The lines the sidebar shows, filtered by `search` and `missingOnly`, in script order; it
    /// follows every change.
    [[nodiscard]] LineListModel *lines() const { return m_lines; }

    [[nodiscard]] bool hasSession() const { return m_session.has_value(); }
    /// The script's title, empty without a session; only its start when it is very long.
    [[nodiscard]] QString title() const;
    /// The number of lines of the script, 0 without a session.
    [[nodiscard]] int lineCount() const;
    /// The session's position in the script, -1 without a session.
    [[nodiscard]] int index() const;
    [[nodiscard]] bool hasCurrent() const { return current() != nullptr; }
    [[nodiscard]] QString currentId() const;
    [[nodiscard]] QStringList currentPages() const;
    /// The current line has a note that is not empty.
    [[nodiscard]] bool hasNote() const;
    /// The current line's note; only its start when it is very long.
    [[nodiscard]] QString currentNote() const;
    [[nodiscard]] bool hasChosen() const { return chosen() != nullptr; }
    [[nodiscard]] QString chosenId() const;
    /// The current line's takes, oldest first, each as a map of its "id" and "duration".
    [[nodiscard]] QVariantList currentTakes() const;

    /// Makes the session in `folder` the open one. Throws what loading it throws.
    void open(const QString &folder);
    /// Saves the open session when it differs from what was saved last; false, with `error`
    /// set, when the save failed.
    bool persist();

    /// Creates a session folder for `script` under the data folder and opens it. Throws when
    /// the folder cannot be made; returns quietly when the open session cannot be saved.
    void create(const Script &script);
    Q_INVOKABLE void startRecordingTest();
    Q_INVOKABLE void importScript();
    Q_INVOKABLE void openSession();
    /// Opens what the program was started on: a session folder, or its session.json, as Open
    /// Session… would; anything else is a script file, imported as Import Script… would. What
    /// fails ends in `error` with the same words as those commands'.
    void openPath(const QString &path);

    /// Puts the current line's whole text on the clipboard, however long it is.
    Q_INVOKABLE void copyLine();
    Q_INVOKABLE void select(const QString &lineId);
    Q_INVOKABLE void next();
    Q_INVOKABLE void previous();
    Q_INVOKABLE void selectTake(const QString &takeId);

    /// Stops the running take, or asks for the microphone and starts one.
    Q_INVOKABLE void toggleRecord();
    /// Starts the microphone check, or ends it early: a few seconds of the person reading,
    /// recorded as a take is into a temporary file and judged by the take analysis. It files
    /// no take and leaves the status line alone; the file is removed afterwards.
    Q_INVOKABLE void toggleMicrophoneCheck();
    /// Stops the running take as the person's own stop and files it.
    void stopRecording();
    /// Reads the name of the input a take would use now.
    Q_INVOKABLE void refreshInput();
    /// Reads the meters of the running take, or the position of the running playback.
    void tick();

    Q_INVOKABLE void togglePlayback();
    void stopPlayback();

    Q_INVOKABLE void confirmDeleteTake();
    Q_INVOKABLE void confirmStartOver();

    /// Copies the chosen takes into a new folder inside one the person picks.
    /// Exports with the options last used (the first time: "As recorded").
    Q_INVOKABLE void exportRecordings();
    /// Remembers `options` (see `exportOptions`), then exports with them.
    Q_INVOKABLE void exportWith(const QVariantMap &options);
    /// Stops the running export; what was finished stays, with EXPORT-INCOMPLETE.txt.
    Q_INVOKABLE void cancelExport();
    Q_INVOKABLE void reveal();
    Q_INVOKABLE void soundSettings();
    Q_INVOKABLE void microphoneSettings();
    /// Brings the session to a safe state before the program ends: a running take is filed,
    /// playback stops and what is unsaved is saved. When that save fails, the person is asked
    /// whether to quit without saving if `mayAsk`, and else the answer is no. False when the
    /// program must not end now.
    bool prepareToQuit(bool mayAsk = true);

Q_SIGNALS:
    void sessionChanged();
    void folderChanged();
    void recordingChanged();
    void playingChanged();
    void requestingPermissionChanged();
    void elapsedChanged();
    void levelChanged();
    void peakChanged();
    void messageChanged();
    void errorChanged();
    void searchChanged();
    void inputNameChanged();
    void missingOnlyChanged();
    void attentionOnlyChanged();
    void checkingChanged();
    void takeCheckChanged();
    void microphoneVerdictChanged();
    void exportingChanged();
    void exportProgressChanged();
    void exportOptionsChanged();
    void fontSizeChanged();
    void busyChanged();

private:
    /// The take being recorded: its line, its file relative to the session folder, its id.
    struct Pending
    {
        QString line;
        QString file;
        QString id;
    };

    /// Objects that emit signals are dropped through the event loop, so dropping one from
    /// inside its own signal is safe.
    struct DeleteLater
    {
        void operator()(QObject *object) const { object->deleteLater(); }
    };

    void startUp();
    /// The end of Open Session… and of Import Script…, once the folder or file is known.
    void openFolder(const QString &folder);
    void importFile(const QString &path);
    /// Asks for the microphone, then runs `then` if it is granted.
    void withMicrophone(void (RecorderModel::*then)());
    void beginRecording();
    void beginMicrophoneCheck();
    /// Takes the export's end on the main thread: its files counted, or why it stopped.
    void finishExport();
    /// Blocks until a running export has stopped, cancelling it first.
    void stopExport();
    /// Ends the microphone check; `failure` says why, when the recorder ended it.
    void endMicrophoneCheck(const std::optional<QString> &failure = std::nullopt);
    /// Files the take just ended, when its file holds usable audio. `cutShort` says why
    /// writing it failed, if it did: the take is then filed as an interrupted one, and the
    /// person told what stopped it.
    void finishRecording(bool success, const std::optional<QString> &cutShort = std::nullopt);
    void recorderFinished(Platform::Recorder *recorder, bool success);
    void recorderFailed(Platform::Recorder *recorder, const QString &description);
    void playerFinished(Platform::Player *player);
    void playerFailed(const QString &description);
    [[nodiscard]] bool confirm(const QString &title, const QString &detail, const QString &action);
    void recoverAfterRemovalError(const QString &description, const QString &folder);

    void setSession(std::optional<Session> session);
    /// The session changed, in place or by replacement: the sidebar and the window follow.
    void sessionUpdated();
    /// The session changed in place and differs from what was saved last.
    void changed();
    void setFolder(std::optional<QString> folder);
    void setRecording(bool recording);
    void setPlaying(bool playing);
    void setRequestingPermission(bool requesting);
    void setElapsed(double elapsed);
    void setLevel(float level);
    void setPeak(float peak);
    void setMessage(const QString &message, const QString &folder = {});
    /// Runs `open`, a desktop action; what keeps it from opening becomes the error.
    void showDesktop(const std::function<void()> &open);
    void setInputName(const QString &name);

    RecorderServices m_services;

    std::optional<Session> m_session;
    std::optional<QString> m_folder;
    /// Keeps other windows out of the open session's folder.
    std::optional<SessionDisk::SessionLock> m_lock;
    /// Saves the session after every change, encoding only what the change touched.
    SessionDisk::SessionWriter m_writer;
    /// The session differs from what was saved last; kept here, not read from the disk.
    bool m_unsaved = false;
    /// Why the last save failed.
    QString m_saveFailure;
    bool m_recording = false;
    bool m_playing = false;
    bool m_requestingPermission = false;
    bool m_checkingMicrophone = false;
    struct ExportRun;
    std::unique_ptr<ExportRun> m_export;
    QString m_microphoneVerdict;
    std::unique_ptr<Platform::Recorder, DeleteLater> m_checkRecorder;
    QString m_checkPath;
    QTimer m_checkTimer;
    double m_elapsed = 0;
    float m_level = 0;
    float m_peak = Platform::silenceDb;
    QString m_message;
    QString m_messageFolder;
    std::optional<QString> m_error;
    QString m_search;
    QString m_inputName;
    bool m_missingOnly = false;
    bool m_attentionOnly = false;
    TakeChecks *m_checks = nullptr;
    double m_fontSize = 30.0;

    std::unique_ptr<Platform::Recorder, DeleteLater> m_recorder;
    std::unique_ptr<Platform::Player, DeleteLater> m_player;
    QTimer m_timer;
    std::optional<Pending> m_pending;
    bool m_requestedStop = false;
    QString m_root;
    std::unique_ptr<Platform::SettingsStore> m_defaults;
    LineListModel *m_lines = nullptr;
};
