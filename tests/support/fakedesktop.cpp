#include "fakedesktop.h"

#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <cstdio>
#include <utility>

namespace {

SystemError trashFailure(const QString &path, const QString &reason)
{
    return SystemError(
        QStringLiteral("Could not move “%1” to the Trash: %2").arg(path, reason));
}

/// A free name for `path`'s item inside `folder`: its own, else "name 2", "name 3"…
QString freeNameIn(const QString &folder, const QString &path)
{
    const QString name = QFileInfo(path).fileName();
    QString target = folder + u'/' + name;
    for (int number = 2; QFileInfo::exists(target) || QFileInfo(target).isSymLink(); ++number)
        target = QStringLiteral("%1/%2 %3").arg(folder, name).arg(number);
    return target;
}

/// Takes the next answer, or fails the running test: the controller asked for one the test did
/// not expect.
template<class Answer>
Answer nextAnswer(QQueue<Answer> &answers, const char *asked, Answer cancelled)
{
    if (answers.isEmpty()) {
        QTest::qFail(
            qPrintable(QStringLiteral("FakeDesktop: %1 was shown with no answer queued for it")
                           .arg(QLatin1String(asked))),
            __FILE__, __LINE__);
        return cancelled;
    }
    return answers.dequeue();
}

class FakeSettingsStore final : public Platform::SettingsStore
{
public:
    FakeSettingsStore(QString name, std::shared_ptr<QMap<QString, QString>> values,
        std::shared_ptr<QStringList> written)
        : m_name(std::move(name))
        , m_values(std::move(values))
        , m_written(std::move(written))
    {}

    [[nodiscard]] std::optional<QString> text(const QString &key) const override
    {
        const auto value = m_values->constFind(key);
        return value == m_values->cend() ? std::nullopt : std::optional<QString>(*value);
    }

    void setText(const QString &key, const QString &value) override
    {
        m_values->insert(key, value);
        if (!m_written->contains(m_name))
            m_written->append(m_name);
    }

private:
    QString m_name;
    std::shared_ptr<QMap<QString, QString>> m_values;
    std::shared_ptr<QStringList> m_written;
};

} // namespace

std::optional<QString> FakeDesktop::chooseFile(const Platform::FilePanel &panel)
{
    m_filePanels.append(panel);
    return nextAnswer(m_fileAnswers, "a file panel", std::optional<QString>());
}

std::optional<QString> FakeDesktop::chooseFolder(const Platform::FolderPanel &panel)
{
    m_folderPanels.append(panel);
    return nextAnswer(m_folderAnswers, "a folder panel", std::optional<QString>());
}

bool FakeDesktop::confirm(const Platform::Alert &alert)
{
    m_alerts.append(alert);
    return nextAnswer(m_confirmAnswers, "an alert", false);
}

void FakeDesktop::moveToTrash(const QString &path)
{
    m_trashRequests.append(path);
    if (m_failTimes > 0) {
        --m_failTimes;
        throw trashFailure(path, m_failReason);
    }
    for (auto failure = m_failFor.cbegin(); failure != m_failFor.cend(); ++failure) {
        if (path.contains(failure.key()))
            throw trashFailure(path, failure.value());
    }
    if (m_trashFolder.isEmpty()) {
        QTest::qFail(
            "FakeDesktop: moveToTrash was called before setTrashFolder", __FILE__, __LINE__);
        throw trashFailure(path, QStringLiteral("The test set no Trash folder"));
    }
    // A real rename: the item leaves its place whole, folders and all, or stays.
    const QString target = freeNameIn(m_trashFolder, path);
    if (std::rename(QFile::encodeName(path).constData(), QFile::encodeName(target).constData())
        != 0)
        throw trashFailure(path, qt_error_string(errno));
    m_trashed.append(path);
}

void FakeDesktop::failTrash(const QString &reason, int times)
{
    m_failReason = reason;
    m_failTimes = times;
}

void FakeDesktop::failTrashFor(const QString &part, const QString &reason)
{
    m_failFor.insert(part, reason);
}

std::optional<QString> FakeEnvironment::variable(const QString &name) const
{
    const auto value = m_variables.constFind(name);
    return value == m_variables.cend() ? std::nullopt : std::optional<QString>(*value);
}

std::unique_ptr<Platform::SettingsStore> FakeEnvironment::settings(const QString &name)
{
    return std::make_unique<FakeSettingsStore>(name, storeNamed(name), m_writtenStores);
}

QMap<QString, QString> &FakeEnvironment::stored(const QString &name)
{
    return *storeNamed(name);
}

const std::shared_ptr<QMap<QString, QString>> &FakeEnvironment::storeNamed(const QString &name)
{
    std::shared_ptr<QMap<QString, QString>> &values = m_stores[name];
    if (!values)
        values = std::make_shared<QMap<QString, QString>>();
    return values;
}
