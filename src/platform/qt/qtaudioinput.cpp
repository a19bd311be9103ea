#include "qtaudioinput.h"

#include "defaultinput.h"
#include "error.h"
#include "files.h"
#include "wavrecorder.h"

#include <QFile>
#include <QMetaObject>

#include <cerrno>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>

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
        throw Platform::Failure(
            QStringLiteral("No microphone is connected. Connect one, then record again."));
    return std::make_unique<WavRecorder>(device, path);
}

Platform::AudioFileInfo QtAudioInput::fileInfo(const QString &path)
{
    // Opened here rather than by libsndfile, so that a missing or unreadable file is reported
    // with the system's reason. O_NONBLOCK: a FIFO must not hang the program.
    const FileDescriptor fd(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.get() < 0)
        throw Platform::Failure(PlatformError::io(u"read", path, errno).description());
    struct stat status
    {
    };
    if (::fstat(fd.get(), &status) != 0)
        throw Platform::Failure(PlatformError::io(u"read", path, errno).description());
    if (!S_ISREG(status.st_mode))
        throw Platform::Failure(
            QStringLiteral("Could not read “%1”: Not a regular file").arg(path));
    SF_INFO info {};
    SNDFILE *file = sf_open_fd(fd.get(), SFM_READ, &info, SF_FALSE);
    if (!file)
        throw Platform::Failure(QStringLiteral("Could not read “%1”: %2")
                                    .arg(path, QString::fromUtf8(sf_strerror(nullptr))));
    sf_close(file);
    return {qint64(info.frames), double(info.samplerate)};
}
