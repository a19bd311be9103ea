#pragma once

#include "audio.h"

#include <QMediaDevices>

/// The microphone side on Qt Multimedia: the input the system's sound settings select, takes
/// recorded from it by WavRecorder, and take files measured with libsndfile.
class QtAudioInput final : public Platform::AudioInput
{
    Q_OBJECT
public:
    explicit QtAudioInput(QObject *parent = nullptr);

    /// Granted, always: Linux has no permission for microphones, and Qt 6.4 offers no way to
    /// ask macOS for it (the system asks the person itself when the input first starts).
    void requestPermission(QObject *receiver, std::function<void(bool granted)> answer) override;
    [[nodiscard]] Platform::DefaultInput defaultInput() override;
    /// A WavRecorder on the default input. Unlike the interface's wording, the file is made
    /// here, so that a file that cannot be made reaches the person with the system's reason;
    /// a recorder that never records removes it again. Throws SystemError when there is no input
    /// or the file cannot be made.
    [[nodiscard]] std::unique_ptr<Platform::Recorder> makeRecorder(const QString &path) override;
    [[nodiscard]] Platform::AudioFileInfo fileInfo(const QString &path) override;
    [[nodiscard]] Platform::AudioFileInfo recoverFile(const QString &path) override;

private:
    QMediaDevices m_devices;
};
