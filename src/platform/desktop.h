#pragma once

#include "error.h"

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

// What the controller needs of the desktop: modal panels and alerts, showing folders and the
// sound settings, the Trash, and where it keeps its data. All of it is called on the main thread.

namespace Platform {

/// A modal panel for choosing one existing file.
struct FilePanel
{
    QString title;
    /// Shown at the top of the panel, above the files.
    QString message;
    /// File name extensions that can be chosen, without the dot, in the order the filter lists
    /// them ("json", "csv", "txt").
    QStringList extensions;
};

/// A modal panel for choosing one folder.
struct FolderPanel
{
    QString title;
    QString message;
    /// Where the panel opens; empty leaves it to the desktop.
    QString startFolder;
    /// Whether the person may make a new folder from the panel.
    bool canCreateFolders = false;
};

/// A modal warning alert with "Cancel" and one action button. Return and Escape choose
/// Cancel; only a click chooses the action.
struct Alert
{
    QString title;
    QString detail;
    QString action;
};

class Desktop
{
public:
    virtual ~Desktop() = default;

    /// The absolute path of the file chosen, or nothing when the person cancelled.
    [[nodiscard]] virtual std::optional<QString> chooseFile(const FilePanel &panel) = 0;
    /// The absolute path of the folder chosen, or nothing when the person cancelled.
    [[nodiscard]] virtual std::optional<QString> chooseFolder(const FolderPanel &panel) = 0;
    /// True only when the person clicked the action button.
    [[nodiscard]] virtual bool confirm(const Alert &alert) = 0;
    /// Shows a folder in the file manager. Throws SystemError naming the folder when no
    /// application opens it.
    virtual void showFolder(const QString &path) = 0;
    /// Opens the desktop's settings page where the input device is chosen. Throws SystemError
    /// when the desktop has none, or it would not start.
    virtual void openSoundSettings() = 0;
    /// Puts `text` on the clipboard, for pasting anywhere.
    virtual void copyText(const QString &text) = 0;
    /// Opens the desktop's page where programs are allowed to use the microphone, or else the
    /// sound settings. Throws SystemError as openSoundSettings does.
    virtual void openMicrophoneSettings() = 0;
    /// Moves a file or folder, given by its absolute path, to the user's Trash. Throws SystemError
    /// when it cannot; the item is then where it was.
    virtual void moveToTrash(const QString &path) = 0;
};

/// Text values that outlive the process, by key.
class SettingsStore
{
public:
    virtual ~SettingsStore() = default;

    [[nodiscard]] virtual std::optional<QString> text(const QString &key) const = 0;
    virtual void setText(const QString &key, const QString &value) = 0;
};

/// The process's surroundings: its environment variables, the user's data folder and stored
/// settings.
class Environment
{
public:
    virtual ~Environment() = default;

    /// The value of an environment variable, or nothing when it is not set (an empty value is
    /// set).
    [[nodiscard]] virtual std::optional<QString> variable(const QString &name) const = 0;
    /// The absolute path of the folder where the user's programs keep their data
    /// (~/.local/share on Linux, Application Support on macOS).
    [[nodiscard]] virtual QString applicationDataFolder() const = 0;
    /// The user's own settings store for this program, or, given a name, a separate store
    /// by that name that never shares values with it.
    [[nodiscard]] virtual std::unique_ptr<SettingsStore> settings(const QString &name = {}) = 0;
};

} // namespace Platform
