#include "qtaudioinput.h"

#include "defaultinput.h"
#include "error.h"
#include "files.h"
#include "takefile.h"
#include "wavrecorder.h"

#include <QMetaObject>

#include <sndfile.h>
#include <unistd.h>

QtAudioInput::QtAudioInput(QObject *parent) : Platform::AudioInput(parent)
{
    connect(&m_devices, &QMediaDevices::audioInputsChanged, this, &QtAudioInput::inputsChanged);
}

void QtAudioInput::requestPermission(QObject *receiver, std::function<void(bool granted)> answer)
{
    // Later, through the receiver's event loop: the caller must never be answered from inside
    // its own call, and a receiver gone by then is not answered at all.
    QMetaObject::invokeMethod(
        receiver, [answer = std::move(answer)] { answer(true); }, Qt::QueuedConnection);
}

Platform::DefaultInput QtAudioInput::defaultInput()
{
    const QAudioDevice device = systemDefaultInput();
    return {!device.isNull(), device.description()};
}

std::unique_ptr<Platform::Recorder> QtAudioInput::makeRecorder(const QString &path)
{
    const QAudioDevice device = systemDefaultInput();
    if (device.isNull())
        throw SystemError(
            QStringLiteral("No microphone is connected. Connect one, then record again."));
    return std::make_unique<WavRecorder>(device, path);
}

Platform::AudioFileInfo QtAudioInput::recoverFile(const QString &path)
{
    return WavRecording::completeLength(path, true);
}

Platform::AudioFileInfo QtAudioInput::fileInfo(const QString &path)
{
    // Opened here rather than by libsndfile, so that a missing or unreadable file is reported
    // with the system's reason.
    const QString action = fileAction(u"read", path);
    const RegularFile regular = openRegularFile(path, action);
    SF_INFO info {};
    // libsndfile closes a descriptor it fails to open even when told not to: it gets a
    // duplicate of its own, so that ours is closed once and no other file loses its number.
    SNDFILE *file = sf_open_fd(::dup(regular.descriptor.get()), SFM_READ, &info, SF_TRUE);
    if (!file)
        throw SystemError::failed(action, QString::fromUtf8(sf_strerror(nullptr)));
    sf_close(file);
    return {qint64(info.frames), double(info.samplerate)};
}
