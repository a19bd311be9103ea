#include "fakeaudio.h"

#include <QFile>

#include <tuple>
#include <utility>

FakeRecorder::FakeRecorder(QString path, bool recordResult, bool createFile)
    : m_path(std::move(path))
    , m_recordResult(recordResult)
    , m_createFile(createFile)
{}

bool FakeRecorder::record()
{
    ++m_recordCalls;
    if (!m_recordResult)
        return false;
    if (m_createFile) {
        // The take must appear where the real recorder would put it, or record() fails as the
        // real one would.
        QFile file(m_path);
        if (!file.open(QIODevice::WriteOnly))
            return false;
    }
    m_recording = true;
    return true;
}

void FakeRecorder::stop()
{
    ++m_stopCalls;
    m_recording = false;
}

void FakeRecorder::updateMeters()
{
    ++m_meterUpdates;
    if (!m_queuedLevels.isEmpty())
        std::tie(m_average, m_peak) = m_queuedLevels.takeFirst();
}

void FakeRecorder::setLevels(float averageDb, float peakDb)
{
    m_queuedLevels.clear();
    m_average = averageDb;
    m_peak = peakDb;
}

void FakeRecorder::queueLevels(float averageDb, float peakDb)
{
    m_queuedLevels.append({averageDb, peakDb});
}

void FakeRecorder::finishLater(bool success)
{
    m_recording = false;
    QMetaObject::invokeMethod(
        this, [this, success] { Q_EMIT finished(success); }, Qt::QueuedConnection);
}

void FakeRecorder::failEncodingLater(const QString &description)
{
    m_recording = false;
    QMetaObject::invokeMethod(
        this, [this, description] { Q_EMIT encodeError(description); }, Qt::QueuedConnection);
}

void FakeAudioInput::requestPermission(QObject *receiver, std::function<void(bool granted)> answer)
{
    ++m_permissionRequests;
    if (m_permission == Permission::Held) {
        m_held.append({receiver, std::move(answer)});
        return;
    }
    // Posted to the receiver, so it is dropped with the receiver if that goes first.
    QMetaObject::invokeMethod(
        receiver,
        [answer = std::move(answer), granted = m_permission == Permission::Granted] {
            answer(granted);
        },
        Qt::QueuedConnection);
}

void FakeAudioInput::releasePermission(bool granted)
{
    for (Request &request : std::exchange(m_held, {})) {
        if (request.receiver)
            QMetaObject::invokeMethod(
                request.receiver,
                [answer = std::move(request.answer), granted] { answer(granted); },
                Qt::QueuedConnection);
    }
}

std::unique_ptr<Platform::Recorder> FakeAudioInput::makeRecorder(const QString &path)
{
    m_recorderPaths.append(path);
    if (m_recorderFailure)
        throw SystemError(*m_recorderFailure);
    auto recorder = std::make_unique<FakeRecorder>(path, m_recordResult, m_createFiles);
    m_lastRecorder = recorder.get();
    return recorder;
}

void FakeAudioInput::setRecorderFailure(std::optional<QString> description)
{
    m_recorderFailure = std::move(description);
}

Platform::AudioFileInfo FakeAudioInput::fileInfo(const QString &path)
{
    m_fileInfoPaths.append(path);
    if (const auto failure = m_fileInfoFailures.constFind(path);
        failure != m_fileInfoFailures.cend())
        throw SystemError(*failure);
    if (const auto info = m_fileInfos.constFind(path); info != m_fileInfos.cend())
        return *info;
    throw SystemError(
        QStringLiteral("Could not read “%1”: the test set no length for it").arg(path));
}

void FakeAudioInput::setFileInfo(const QString &path, Platform::AudioFileInfo info)
{
    m_fileInfoFailures.remove(path);
    m_fileInfos.insert(path, info);
}

void FakeAudioInput::setFileInfoFailure(const QString &path, const QString &description)
{
    m_fileInfos.remove(path);
    m_fileInfoFailures.insert(path, description);
}

FakePlayer::FakePlayer(QString path, bool playResult)
    : m_path(std::move(path))
    , m_playResult(playResult)
{}

bool FakePlayer::play()
{
    ++m_playCalls;
    m_playing = m_playResult;
    return m_playResult;
}

void FakePlayer::stop()
{
    ++m_stopCalls;
    m_playing = false;
}

void FakePlayer::finishLater(bool success)
{
    m_playing = false;
    QMetaObject::invokeMethod(
        this, [this, success] { Q_EMIT finished(success); }, Qt::QueuedConnection);
}

void FakePlayer::failDecodingLater(const QString &description)
{
    m_playing = false;
    QMetaObject::invokeMethod(
        this, [this, description] { Q_EMIT decodeError(description); }, Qt::QueuedConnection);
}

std::unique_ptr<Platform::Player> FakeAudioOutput::makePlayer(const QString &path)
{
    m_playerPaths.append(path);
    if (m_playerFailure)
        throw SystemError(*m_playerFailure);
    auto player = std::make_unique<FakePlayer>(path, m_playResult);
    m_lastPlayer = player.get();
    return player;
}

void FakeAudioOutput::setPlayerFailure(std::optional<QString> description)
{
    m_playerFailure = std::move(description);
}
