#pragma once

#include "desktop.h"

#include <QSettings>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

/// The desktop services on Qt Widgets: Qt's own file dialogs and message boxes, the desktop's
/// file manager and settings programs, and the system Trash. Needs a QApplication.
class QtDesktop final : public Platform::Desktop
{
public:
    /// Qt's own file dialog rather than the desktop's, so the panel's message can stand at its
    /// top. Modal; centred on the program's active window when there is one.
    [[nodiscard]] std::optional<QString> chooseFile(const Platform::FilePanel &panel) override;
    [[nodiscard]] std::optional<QString> chooseFolder(const Platform::FolderPanel &panel) override;
    /// A warning box whose default and escape button is "Cancel"; the action button takes no
    /// focus and is never chosen by a key.
    [[nodiscard]] bool confirm(const Platform::Alert &alert) override;
    void showFolder(const QString &path) override;
    void openSoundSettings() override;
    void copyText(const QString &text) override;
    void openMicrophoneSettings() override;
    void moveToTrash(const QString &path) override;
};

/// A settings page of the desktop.
enum class SettingsPage { Sound, Microphone };

/// The program and arguments that open `page` on a Linux desktop: GNOME's, then KDE Plasma's,
/// then PulseAudio's volume control; empty when none is installed. `findExecutable` gives the
/// path of a program by its name, empty when it is not on the PATH.
[[nodiscard]] QStringList settingsCommand(
    SettingsPage page, const std::function<QString(const QString &name)> &findExecutable);

/// Settings kept with QSettings in the user's configuration (~/.config/Quorbel/<name>.conf on
/// Linux). Every change is written to disk at once, so it survives a crash. The store is best
/// effort: a configuration that cannot be read reads as empty, and a change that cannot be
/// written is lost, since the interface has no way to report either and the program works on
/// without its settings.
class QtSettingsStore final : public Platform::SettingsStore
{
public:
    /// The store named `name` among the program's stores.
    explicit QtSettingsStore(const QString &name);

    [[nodiscard]] std::optional<QString> text(const QString &key) const override;
    void setText(const QString &key, const QString &value) override;

private:
    QSettings m_settings;
};

/// The process's own environment, the user's data folder and QSettings stores.
class QtEnvironment final : public Platform::Environment
{
public:
    [[nodiscard]] std::optional<QString> variable(const QString &name) const override;
    [[nodiscard]] QString applicationDataFolder() const override;
    /// The user's store is "Quorbel"; a named store is kept in a file of its own beside it, so
    /// any name other than "Quorbel" never shares values with it.
    [[nodiscard]] std::unique_ptr<Platform::SettingsStore> settings(
        const QString &name = {}) override;
};
