#pragma once

#include "fakes.h"
#include "recordermodel.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cmath>

/// What one run of the program stands on: a scratch folder holding the data folder (given
/// through its override) and a Trash, the fake services, a fixed clock and UUIDs that count up.
/// The settings stores live as long as the rig, so a second launch sees what the first stored.
class ServiceRig
{
public:
    ServiceRig()
    {
        environment.variables.insert(
            QString::fromLatin1(RecorderModel::dataDirVariable), dataDir());
        desktop.trashFolder = path(QStringLiteral("Trash"));
        QDir().mkpath(desktop.trashFolder);
    }

    [[nodiscard]] QString path(const QString &name) const { return m_dir.filePath(name); }
    [[nodiscard]] QString dataDir() const { return path(QStringLiteral("data")); }
    [[nodiscard]] RecorderServices services()
    {
        return {&audio, &audio, &desktop, &environment, [this] { return clock; },
            [this] { return uuid(++uuids); }};
    }
    /// The `n`th UUID handed out. The count leads, so they differ in their first eight digits.
    [[nodiscard]] static QUuid uuid(int n)
    {
        return QUuid::fromString(QStringLiteral("%1-abcd-4000-8000-%2")
                                     .arg(n, 8, 16, QLatin1Char('0'))
                                     .arg(n, 12, 16, QLatin1Char('0')));
    }
    /// The take at `path` holds `seconds` of audio.
    void setLength(const QString &path, double seconds)
    {
        audio.files.insert(path, {qint64(std::llround(seconds * 48000)), 48000});
    }

    FakeAudio audio;
    FakeDesktop desktop;
    FakeEnvironment environment;
    QDateTime clock {QDate(2025, 3, 4), QTime(10, 20, 30), QTimeZone::utc()};
    int uuids = 0;

private:
    QTemporaryDir m_dir;
};

/// A plain-text script of `count` prompts; the import names them line-001 onwards.
inline QByteArray prompts(int count)
{
    QByteArray text;
    for (int i = 1; i <= count; ++i)
        text += "Prompt number " + QByteArray::number(i) + ".\n";
    return text;
}
