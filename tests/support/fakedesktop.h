#pragma once

#include "desktop.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QQueue>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

/// The desktop, scripted by a test: panels and alerts take their answers from queues the test
/// fills, and everything shown or opened is recorded for the test to check. A panel or alert
/// shown with no answer queued fails the running test and is cancelled.
class FakeDesktop final : public Platform::Desktop
{
public:
    [[nodiscard]] std::optional<QString> chooseFile(const Platform::FilePanel &panel) override;
    [[nodiscard]] std::optional<QString> chooseFolder(const Platform::FolderPanel &panel) override;
    [[nodiscard]] bool confirm(const Platform::Alert &alert) override;
    void showFolder(const QString &path) override { m_shownFolders.append(path); }
    void openSoundSettings() override { ++m_soundSettingsOpened; }
    void openMicrophoneSettings() override { ++m_microphoneSettingsOpened; }
    /// Moves the item into the folder set by `setTrashFolder` (under a new name when one of
    /// that name is there already), or throws a scripted Failure worded like the real one.
    void moveToTrash(const QString &path) override;

    /// The answer to the next file panel: a path, or nothing for Cancel.
    void answerFile(std::optional<QString> path) { m_fileAnswers.enqueue(std::move(path)); }
    /// The answer to the next folder panel: a path, or nothing for Cancel.
    void answerFolder(std::optional<QString> path) { m_folderAnswers.enqueue(std::move(path)); }
    /// The answer to the next alert: true for a click on its action.
    void answerConfirm(bool action) { m_confirmAnswers.enqueue(action); }

    /// Where trashed items go; it must exist.
    void setTrashFolder(const QString &folder) { m_trashFolder = folder; }
    /// The next `times` moves fail with `reason`.
    void failTrash(const QString &reason, int times = 1);
    /// Moves of paths containing `part` fail with `reason`, until the test ends.
    void failTrashFor(const QString &part, const QString &reason);

    [[nodiscard]] const QList<Platform::FilePanel> &filePanels() const { return m_filePanels; }
    [[nodiscard]] const QList<Platform::FolderPanel> &folderPanels() const
    {
        return m_folderPanels;
    }
    [[nodiscard]] const QList<Platform::Alert> &alerts() const { return m_alerts; }
    [[nodiscard]] const QStringList &shownFolders() const { return m_shownFolders; }
    [[nodiscard]] int soundSettingsOpened() const { return m_soundSettingsOpened; }
    [[nodiscard]] int microphoneSettingsOpened() const { return m_microphoneSettingsOpened; }
    /// Every path `moveToTrash` was called with, in order, whether it moved or failed.
    [[nodiscard]] const QStringList &trashRequests() const { return m_trashRequests; }
    /// The paths that were moved, in order.
    [[nodiscard]] const QStringList &trashed() const { return m_trashed; }
    /// Answers queued but never asked for.
    [[nodiscard]] int unusedAnswers() const
    {
        return int(m_fileAnswers.size() + m_folderAnswers.size() + m_confirmAnswers.size());
    }

private:
    QQueue<std::optional<QString>> m_fileAnswers;
    QQueue<std::optional<QString>> m_folderAnswers;
    QQueue<bool> m_confirmAnswers;
    QList<Platform::FilePanel> m_filePanels;
    QList<Platform::FolderPanel> m_folderPanels;
    QList<Platform::Alert> m_alerts;
    QStringList m_shownFolders;
    int m_soundSettingsOpened = 0;
    int m_microphoneSettingsOpened = 0;
    QString m_trashFolder;
    QString m_failReason;
    int m_failTimes = 0;
    QMap<QString, QString> m_failFor;
    QStringList m_trashRequests;
    QStringList m_trashed;
};

/// The process's surroundings, scripted by a test: variables from a map, a data folder the test
/// chooses, and settings stores in memory. A store keeps its values for as long as the
/// environment lives, so a store asked for again, as after a relaunch, sees what was written.
class FakeEnvironment final : public Platform::Environment
{
public:
    [[nodiscard]] std::optional<QString> variable(const QString &name) const override;
    [[nodiscard]] QString applicationDataFolder() const override { return m_dataFolder; }
    [[nodiscard]] std::unique_ptr<Platform::SettingsStore> settings(
        const QString &name = {}) override;

    void setVariable(const QString &name, const QString &value) { m_variables[name] = value; }
    void unsetVariable(const QString &name) { m_variables.remove(name); }
    void setDataFolder(const QString &folder) { m_dataFolder = folder; }

    /// The values of the store by that name ("" for the user's own store), for the test to look
    /// at or fill in beforehand; filling it in does not count as writing.
    [[nodiscard]] QMap<QString, QString> &stored(const QString &name = {});
    /// The names of the stores `setText` was called on, in the order first written.
    [[nodiscard]] const QStringList &writtenStores() const { return *m_writtenStores; }

private:
    const std::shared_ptr<QMap<QString, QString>> &storeNamed(const QString &name);

    QMap<QString, QString> m_variables;
    QString m_dataFolder;
    QHash<QString, std::shared_ptr<QMap<QString, QString>>> m_stores;
    // Shared with the stores handed out, which may outlive the environment.
    std::shared_ptr<QStringList> m_writtenStores = std::make_shared<QStringList>();
};
