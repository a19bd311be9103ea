#pragma once

#include "audio.h"
#include "desktop.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QPointer>
#include <QQueue>

#include <map>

// The platform services without a device, a desktop or a home folder, scripted by the tests
// through their public members. A test emits a recorder's or player's signals itself, from its
// own code, as the real services do from the event loop.

/// A take being "recorded": nothing is captured; the meters and the clock read what the test
/// set.
class FakeRecorder final : public Platform::Recorder
{
    Q_OBJECT
public:
    [[nodiscard]] bool record() override { return recordResult; }
    [[nodiscard]] std::optional<QString> stop() override { return stopFailure; }
    void updateMeters() override {}
    [[nodiscard]] float averagePower() const override { return average; }
    [[nodiscard]] float peakPower() const override { return peak; }
    [[nodiscard]] double currentTime() const override { return seconds; }

    /// The take's file.
    QString path;
    bool recordResult = true;
    /// What `stop()` reports of writing the file.
    std::optional<QString> stopFailure;
    float average = Platform::silenceDb;
    float peak = Platform::silenceDb;
    double seconds = 0;
};

/// A take being "played": nothing is heard; the clock reads what the test set.
class FakePlayer final : public Platform::Player
{
    Q_OBJECT
public:
    [[nodiscard]] bool play() override { return playResult; }
    void stop() override {}
    [[nodiscard]] double currentTime() const override { return seconds; }

    bool playResult = true;
    double seconds = 0;
};

/// The microphone and the speakers. Recorders create their (empty) take file, as the real ones
/// do; a take's length is what the test puts in `files`.
class FakeAudio final : public Platform::AudioInput, public Platform::AudioOutput
{
    Q_OBJECT
public:
    /// What `fileInfo` throws for a file the test gave no length.
    static constexpr auto unreadable = "Could not read the take: not a WAV file";

    void requestPermission(QObject *receiver, std::function<void(bool granted)> answer) override
    {
        ++permissionRequests;
        held.append({receiver, std::move(answer)});
        if (permission)
            releasePermission(*permission);
    }
    [[nodiscard]] Platform::DefaultInput defaultInput() override { return input; }
    [[nodiscard]] std::unique_ptr<Platform::Recorder> makeRecorder(const QString &path) override
    {
        if (recorderFailure)
            throw SystemError(*recorderFailure);
        if (QFile file(path); !file.open(QIODevice::NewOnly))
            throw SystemError(QStringLiteral("Could not create “%1”").arg(path));
        auto recorder = std::make_unique<FakeRecorder>();
        recorder->path = path;
        recorder->recordResult = recordResult;
        recorders.append(recorder.get());
        return recorder;
    }
    [[nodiscard]] Platform::AudioFileInfo fileInfo(const QString &path) override
    {
        if (!files.contains(path))
            throw SystemError(QString::fromUtf8(unreadable));
        return files.value(path);
    }
    /// Mends nothing: the length is what `files` holds, as for `fileInfo`.
    [[nodiscard]] Platform::AudioFileInfo recoverFile(const QString &path) override
    {
        return fileInfo(path);
    }
    [[nodiscard]] std::unique_ptr<Platform::Player> makePlayer(const QString &path) override
    {
        playerPaths.append(path);
        if (playerFailure)
            throw SystemError(*playerFailure);
        auto player = std::make_unique<FakePlayer>();
        player->playResult = playResult;
        players.append(player.get());
        return player;
    }
    /// Answers the requests held so far, each on a later turn of its receiver's event loop.
    void releasePermission(bool granted)
    {
        // Posted to the receiver, so the answer is dropped with it if it goes first.
        for (const auto &[receiver, answer] : std::exchange(held, {})) {
            if (receiver)
                QMetaObject::invokeMethod(
                    receiver, [answer, granted] { answer(granted); }, Qt::QueuedConnection);
        }
    }

    /// The answer to permission requests; none holds them until `releasePermission`.
    std::optional<bool> permission = true;
    Platform::DefaultInput input {true, QStringLiteral("Fake Microphone")};
    /// What `record()` and `play()` answer on recorders and players made from now on.
    bool recordResult = true;
    bool playResult = true;
    /// While set, `makeRecorder` and `makePlayer` throw SystemError with them.
    std::optional<QString> recorderFailure;
    std::optional<QString> playerFailure;
    QMap<QString, Platform::AudioFileInfo> files;

    int permissionRequests = 0;
    QList<std::pair<QPointer<QObject>, std::function<void(bool)>>> held;
    /// What was made, oldest first; null once dropped.
    QList<QPointer<FakeRecorder>> recorders;
    QList<QPointer<FakePlayer>> players;
    /// Every path `makePlayer` was asked for, including those that failed.
    QStringList playerPaths;
};

/// The desktop: panels and alerts take their answers in turn from queues the test fills (an
/// empty queue cancels), and everything shown or opened is kept for the test to check.
class FakeDesktop final : public Platform::Desktop
{
public:
    [[nodiscard]] std::optional<QString> chooseFile(const Platform::FilePanel &panel) override
    {
        filePanels.append(panel);
        return panelAnswers.isEmpty() ? std::nullopt : panelAnswers.dequeue();
    }
    [[nodiscard]] std::optional<QString> chooseFolder(const Platform::FolderPanel &panel) override
    {
        folderPanels.append(panel);
        return panelAnswers.isEmpty() ? std::nullopt : panelAnswers.dequeue();
    }
    [[nodiscard]] bool confirm(const Platform::Alert &alert) override
    {
        alerts.append(alert);
        return !confirmAnswers.isEmpty() && confirmAnswers.dequeue();
    }
    /// The three throw SystemError with `openFailure` while it is set.
    void showFolder(const QString &path) override { shownFolders.append(opening(path)); }
    void openSoundSettings() override { ++opening(soundSettingsOpened); }
    void copyText(const QString &text) override { clipboard = text; }
    void openMicrophoneSettings() override { ++opening(microphoneSettingsOpened); }
    /// Runs `beforeTrash`, then moves the item into `trashFolder` by a real rename, or throws
    /// while `trashFailure` is set.
    void moveToTrash(const QString &path) override
    {
        if (beforeTrash)
            beforeTrash();
        // A real rename: the item leaves its place whole, folders and all, or stays.
        if (trashFailure
            || !QDir().rename(path, QDir(trashFolder).filePath(QFileInfo(path).fileName())))
            throw SystemError(QStringLiteral("Could not move “%1” to the Trash: %2")
                                  .arg(path, trashFailure.value_or(u"rename failed"_qs)));
        trashed.append(path);
    }

    /// Paths, or nothing for Cancel, for the file and folder panels alike.
    QQueue<std::optional<QString>> panelAnswers;
    /// True for a click on the alert's action.
    QQueue<bool> confirmAnswers;
    QString trashFolder;
    std::function<void()> beforeTrash;
    std::optional<QString> trashFailure;
    std::optional<QString> openFailure;

    QList<Platform::FilePanel> filePanels;
    QList<Platform::FolderPanel> folderPanels;
    QList<Platform::Alert> alerts;
    QStringList shownFolders;
    QString clipboard;
    int soundSettingsOpened = 0;
    int microphoneSettingsOpened = 0;
    /// The paths moved to the Trash, in order.
    QStringList trashed;

private:
    /// `what` the desktop opens, or SystemError with `openFailure` while it is set.
    template<class What>
    What &opening(What &what) const
    {
        if (openFailure)
            throw SystemError(*openFailure);
        return what;
    }
};

/// The process's surroundings: variables, the data folder, and settings stores in memory that
/// keep their values as long as the environment, as across a relaunch.
class FakeEnvironment final : public Platform::Environment
{
public:
    [[nodiscard]] std::optional<QString> variable(const QString &name) const override
    {
        return variables.contains(name) ? std::optional(variables.value(name)) : std::nullopt;
    }
    [[nodiscard]] QString applicationDataFolder() const override { return dataFolder; }
    [[nodiscard]] std::unique_ptr<Platform::SettingsStore> settings(
        const QString &name = {}) override
    {
        return std::make_unique<Store>(stores[name]);
    }

    QMap<QString, QString> variables;
    QString dataFolder;
    /// Each store's values by its name, "" for the user's own store.
    std::map<QString, std::map<QString, QString>> stores;

private:
    /// A store that keeps its values in the environment's `stores`.
    struct Store final : Platform::SettingsStore
    {
        explicit Store(std::map<QString, QString> &values) : values(values) {}
        [[nodiscard]] std::optional<QString> text(const QString &key) const override
        {
            return values.contains(key) ? std::optional(values.at(key)) : std::nullopt;
        }
        void setText(const QString &key, const QString &value) override { values[key] = value; }

        std::map<QString, QString> &values;
    };
};
