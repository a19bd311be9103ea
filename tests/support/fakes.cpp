#include "fakes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

class FakeSettingsStore final : public Platform::SettingsStore
{
public:
    explicit FakeSettingsStore(std::map<QString, QString> &values) : m_values(values) {}

    [[nodiscard]] std::optional<QString> text(const QString &key) const override
    {
        const auto found = m_values.find(key);
        return found == m_values.end() ? std::nullopt : std::optional(found->second);
    }
    void setText(const QString &key, const QString &value) override { m_values[key] = value; }

private:
    std::map<QString, QString> &m_values;
};

} // namespace

void FakeAudio::requestPermission(QObject *receiver, std::function<void(bool granted)> answer)
{
    ++permissionRequests;
    held.append({receiver, std::move(answer)});
    if (permission)
        releasePermission(*permission);
}

void FakeAudio::releasePermission(bool granted)
{
    // Posted to the receiver, so the answer is dropped with it if it goes first.
    for (const auto &[receiver, answer] : std::exchange(held, {})) {
        if (receiver)
            QMetaObject::invokeMethod(
                receiver, [answer, granted] { answer(granted); }, Qt::QueuedConnection);
    }
}

std::unique_ptr<Platform::Recorder> FakeAudio::makeRecorder(const QString &path)
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

Platform::AudioFileInfo FakeAudio::fileInfo(const QString &path)
{
    if (!files.contains(path))
        throw SystemError(QString::fromUtf8(unreadable));
    return files.value(path);
}

std::unique_ptr<Platform::Player> FakeAudio::makePlayer(const QString &path)
{
    playerPaths.append(path);
    if (playerFailure)
        throw SystemError(*playerFailure);
    auto player = std::make_unique<FakePlayer>();
    player->playResult = playResult;
    players.append(player.get());
    return player;
}

void FakeDesktop::moveToTrash(const QString &path)
{
    if (beforeTrash)
        beforeTrash();
    // A real rename: the item leaves its place whole, folders and all, or stays.
    if (trashFailure
        || !QDir().rename(path, QDir(trashFolder).filePath(QFileInfo(path).fileName())))
        throw SystemError(QStringLiteral("Could not move “%1” to the Trash: %2")
                              .arg(path, trashFailure.value_or(QStringLiteral("rename failed"))));
    trashed.append(path);
}

std::unique_ptr<Platform::SettingsStore> FakeEnvironment::settings(const QString &name)
{
    return std::make_unique<FakeSettingsStore>(stores[name]);
}
