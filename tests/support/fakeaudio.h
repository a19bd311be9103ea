#pragma once

#include "audio.h"

#include <QList>
#include <QMap>
#include <QPair>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

// Sound services without a device, scripted by the controller's tests. Every signal they emit
// for a test arrives on a later turn of the event loop, as the real services' do, so a test
// waits for it (QTRY_… or QCoreApplication::processEvents) after asking for it.

/// A take being "recorded": nothing is captured; the test sets what the meters and the clock
/// read and when the recorder stops by itself.
class FakeRecorder final : public Platform::Recorder
{
    Q_OBJECT
public:
    /// `recordResult` is what `record()` answers; with `createFile` a successful `record()`
    /// creates an empty file at `path`, as the real recorder creates the take.
    FakeRecorder(QString path, bool recordResult, bool createFile);

    [[nodiscard]] bool record() override;
    void stop() override;
    /// Takes the next queued pair of readings, if any, else keeps the last ones.
    void updateMeters() override;
    [[nodiscard]] float averagePower() const override { return m_average; }
    [[nodiscard]] float peakPower() const override { return m_peak; }
    [[nodiscard]] double currentTime() const override { return m_currentTime; }

    /// The readings every `updateMeters` keeps until others are set or queued.
    void setLevels(float averageDb, float peakDb);
    /// Readings that successive `updateMeters` calls take in turn.
    void queueLevels(float averageDb, float peakDb);
    void setCurrentTime(double seconds) { m_currentTime = seconds; }
    /// Stops the recorder and emits `finished(success)` on the next turn of the event loop.
    void finishLater(bool success);
    /// Stops the recorder and emits `encodeError(description)` on the next turn of the event
    /// loop.
    void failEncodingLater(const QString &description);

    [[nodiscard]] const QString &path() const { return m_path; }
    /// Between a successful `record()` and `stop()`, `finishLater` or `failEncodingLater`.
    [[nodiscard]] bool isRecording() const { return m_recording; }
    [[nodiscard]] int recordCalls() const { return m_recordCalls; }
    /// Every call, including those made once stopped.
    [[nodiscard]] int stopCalls() const { return m_stopCalls; }
    [[nodiscard]] int meterUpdates() const { return m_meterUpdates; }

private:
    QString m_path;
    bool m_recordResult;
    bool m_createFile;
    bool m_recording = false;
    int m_recordCalls = 0;
    int m_stopCalls = 0;
    int m_meterUpdates = 0;
    float m_average = Platform::silenceDb;
    float m_peak = Platform::silenceDb;
    QList<QPair<float, float>> m_queuedLevels;
    double m_currentTime = 0;
};

/// The microphone side. By default permission is granted, the default input is present and
/// named "Fake Microphone", recorders record and create no file, and `fileInfo` knows no file.
class FakeAudioInput final : public Platform::AudioInput
{
    Q_OBJECT
public:
    enum class Permission {
        Granted,
        Refused,
        /// Requests wait until `releasePermission`.
        Held,
    };

    using Platform::AudioInput::AudioInput;

    void requestPermission(QObject *receiver, std::function<void(bool granted)> answer) override;
    [[nodiscard]] Platform::DefaultInput defaultInput() override { return m_defaultInput; }
    /// A FakeRecorder, or throws the SystemError set by `setRecorderFailure`.
    [[nodiscard]] std::unique_ptr<Platform::Recorder> makeRecorder(const QString &path) override;
    /// The length set for `path`, or throws the SystemError set for it; throws a SystemError naming the
    /// path for a path nothing was set for.
    [[nodiscard]] Platform::AudioFileInfo fileInfo(const QString &path) override;

    /// How later permission requests are answered.
    void setPermission(Permission permission) { m_permission = permission; }
    /// Answers every held request, each on the next turn of its receiver's event loop.
    void releasePermission(bool granted);
    [[nodiscard]] int permissionRequests() const { return m_permissionRequests; }
    /// Held requests not yet released, including those whose receiver is gone.
    [[nodiscard]] int heldRequests() const { return int(m_held.size()); }

    /// `{true, ""}` stands for an input whose name could not be read.
    void setDefaultInput(Platform::DefaultInput input) { m_defaultInput = std::move(input); }

    /// What `record()` answers on recorders made from now on.
    void setRecordResult(bool result) { m_recordResult = result; }
    /// Whether recorders made from now on create their file on `record()`.
    void setRecordersCreateFiles(bool create) { m_createFiles = create; }
    /// While set, `makeRecorder` throws SystemError(description).
    void setRecorderFailure(std::optional<QString> description);
    /// Every path `makeRecorder` was asked for, in order, including those that failed.
    [[nodiscard]] const QStringList &recorderPaths() const { return m_recorderPaths; }
    /// The last recorder made; null once whoever owns it has dropped it.
    [[nodiscard]] FakeRecorder *lastRecorder() const { return m_lastRecorder; }

    void setFileInfo(const QString &path, Platform::AudioFileInfo info);
    /// `fileInfo(path)` throws SystemError(description).
    void setFileInfoFailure(const QString &path, const QString &description);
    /// Every path `fileInfo` was asked about, in order.
    [[nodiscard]] const QStringList &fileInfoPaths() const { return m_fileInfoPaths; }

private:
    struct Request
    {
        QPointer<QObject> receiver;
        std::function<void(bool)> answer;
    };

    Permission m_permission = Permission::Granted;
    int m_permissionRequests = 0;
    QList<Request> m_held;
    Platform::DefaultInput m_defaultInput {true, QStringLiteral("Fake Microphone")};
    bool m_recordResult = true;
    bool m_createFiles = false;
    std::optional<QString> m_recorderFailure;
    QStringList m_recorderPaths;
    QPointer<FakeRecorder> m_lastRecorder;
    QMap<QString, Platform::AudioFileInfo> m_fileInfos;
    QMap<QString, QString> m_fileInfoFailures;
    QStringList m_fileInfoPaths;
};

/// A take being "played": nothing is heard; the test sets the clock and when it ends.
class FakePlayer final : public Platform::Player
{
    Q_OBJECT
public:
    FakePlayer(QString path, bool playResult);

    [[nodiscard]] bool play() override;
    void stop() override;
    [[nodiscard]] double currentTime() const override { return m_currentTime; }

    void setCurrentTime(double seconds) { m_currentTime = seconds; }
    /// Stops the sound and emits `finished(success)` on the next turn of the event loop.
    void finishLater(bool success);
    /// Stops the sound and emits `decodeError(description)` on the next turn of the event loop.
    void failDecodingLater(const QString &description);

    [[nodiscard]] const QString &path() const { return m_path; }
    /// Between a successful `play()` and `stop()`, `finishLater` or `failDecodingLater`.
    [[nodiscard]] bool isPlaying() const { return m_playing; }
    [[nodiscard]] int playCalls() const { return m_playCalls; }
    [[nodiscard]] int stopCalls() const { return m_stopCalls; }

private:
    QString m_path;
    bool m_playResult;
    bool m_playing = false;
    int m_playCalls = 0;
    int m_stopCalls = 0;
    double m_currentTime = 0;
};

/// The speaker side. By default players are made and play.
class FakeAudioOutput final : public Platform::AudioOutput
{
public:
    /// A FakePlayer, or throws the SystemError set by `setPlayerFailure`.
    [[nodiscard]] std::unique_ptr<Platform::Player> makePlayer(const QString &path) override;

    /// What `play()` answers on players made from now on.
    void setPlayResult(bool result) { m_playResult = result; }
    /// While set, `makePlayer` throws SystemError(description).
    void setPlayerFailure(std::optional<QString> description);
    /// Every path `makePlayer` was asked for, in order, including those that failed.
    [[nodiscard]] const QStringList &playerPaths() const { return m_playerPaths; }
    /// The last player made; null once whoever owns it has dropped it.
    [[nodiscard]] FakePlayer *lastPlayer() const { return m_lastPlayer; }

private:
    bool m_playResult = true;
    std::optional<QString> m_playerFailure;
    QStringList m_playerPaths;
    QPointer<FakePlayer> m_lastPlayer;
};
