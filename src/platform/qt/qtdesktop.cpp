#include "qtdesktop.h"

#include "systemtrash.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QList>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QUrl>
#include <QWindow>

#include <utility>

namespace {

/// The program's own settings store, and the organization every store is filed under.
const QString programName = QStringLiteral("Quorbel");

/// "JSON files", "JSON or CSV files", "JSON, CSV or TXT files".
QString describeExtensions(const QStringList &extensions)
{
    QStringList names;
    for (const QString &extension : extensions)
        names.append(extension.toUpper());
    const QString last = names.takeLast();
    const QString all = names.isEmpty()
        ? last
        : QStringLiteral("%1 or %2").arg(names.join(QStringLiteral(", ")), last);
    return QStringLiteral("%1 files").arg(all);
}

QString patternsOf(const QStringList &extensions)
{
    QStringList patterns;
    for (const QString &extension : extensions)
        patterns.append(QStringLiteral("*.") + extension);
    return patterns.join(u' ');
}

/// All the panel's file types at once first, then each by itself.
QStringList nameFilters(const QStringList &extensions)
{
    if (extensions.isEmpty())
        return {};
    QStringList filters {
        QStringLiteral("%1 (%2)").arg(describeExtensions(extensions), patternsOf(extensions))};
    if (extensions.size() > 1) {
        for (const QString &extension : extensions)
            filters.append(QStringLiteral("%1 (%2)").arg(
                describeExtensions({extension}), patternsOf({extension})));
    }
    // Any other file imports as plain text, a script.md among them.
    filters.append(QStringLiteral("All files (*)"));
    return filters;
}

/// Puts `message` in a row of its own above everything else in Qt's file dialog, which has no
/// place for one. The dialog's grid cannot insert a row, so every item moves one row down.
void addMessage(QFileDialog &dialog, const QString &message)
{
    auto *grid = qobject_cast<QGridLayout *>(dialog.layout());
    if (message.isEmpty() || !grid)
        return;
    struct Placed
    {
        QLayoutItem *item;
        int row, column, rowSpan, columnSpan;
    };
    const int rows = grid->rowCount();
    const int columns = grid->columnCount();
    QList<Placed> items;
    while (grid->count() > 0) {
        Placed placed {nullptr, 0, 0, 0, 0};
        grid->getItemPosition(0, &placed.row, &placed.column, &placed.rowSpan, &placed.columnSpan);
        placed.item = grid->takeAt(0);
        items.append(placed);
    }
    for (const Placed &placed : std::as_const(items))
        grid->addItem(
            placed.item, placed.row + 1, placed.column, placed.rowSpan, placed.columnSpan);
    for (int row = rows; row > 0; --row) {
        grid->setRowStretch(row, grid->rowStretch(row - 1));
        grid->setRowMinimumHeight(row, grid->rowMinimumHeight(row - 1));
    }
    grid->setRowStretch(0, 0);
    grid->setRowMinimumHeight(0, 0);

    auto *label = new QLabel(message, &dialog);
    label->setObjectName(QStringLiteral("quorbelMessage"));
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    grid->addWidget(label, 0, 0, 1, columns);
}

/// Opens `dialog` over the program's window rather than in the middle of the screen. The window
/// is a Qt Quick one, which QApplication::activeWindow (widgets only) does not know.
void overTheWindow(QWidget &dialog)
{
    QWindow *owner = QGuiApplication::focusWindow();
    if (!owner && !QGuiApplication::topLevelWindows().isEmpty())
        owner = QGuiApplication::topLevelWindows().constFirst();
    dialog.winId(); // makes the native window that carries the parent
    if (owner && dialog.windowHandle() && dialog.windowHandle() != owner)
        dialog.windowHandle()->setTransientParent(owner);
}

void prepare(QFileDialog &dialog, const QString &title, const QString &message)
{
    overTheWindow(dialog);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setWindowTitle(title);
    addMessage(dialog, message);
}

std::optional<QString> chosenPath(QFileDialog &dialog)
{
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty())
        return std::nullopt;
    return QFileInfo(chosen.first()).absoluteFilePath();
}

/// A button text shown as written: a "&" in it would otherwise make the next letter a keyboard
/// shortcut for the button.
QString withoutMnemonic(QString text)
{
    return text.replace(u'&', QStringLiteral("&&"));
}

void openSettings(SettingsPage page)
{
    const QString what = page == SettingsPage::Sound ? QStringLiteral("the sound settings")
                                                     : QStringLiteral("the microphone settings");
#ifdef Q_OS_MACOS
    if (!QDesktopServices::openUrl(QUrl(page == SettingsPage::Sound
                ? QStringLiteral(
                    "x-apple.systempreferences:com.apple.Sound-Settings.extension?input")
                : QStringLiteral(
                    "x-apple.systempreferences:com.apple.preference.security?Privacy_Microphone"))))
        throw SystemError(QStringLiteral("Could not open %1.").arg(what));
#else
    const QStringList command = settingsCommand(
        page, [](const QString &name) { return QStandardPaths::findExecutable(name); });
    if (command.isEmpty())
        throw SystemError(
            QStringLiteral("Could not open %1: no settings application is installed.").arg(what));
    if (!QProcess::startDetached(command.first(), command.mid(1)))
        throw SystemError(
            QStringLiteral("Could not open %1: “%2” would not start.").arg(what, command.first()));
#endif
}

} // namespace

std::optional<QString> QtDesktop::chooseFile(const Platform::FilePanel &panel)
{
    QFileDialog dialog(QApplication::activeWindow());
    prepare(dialog, panel.title, panel.message);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilters(nameFilters(panel.extensions));
    return chosenPath(dialog);
}

std::optional<QString> QtDesktop::chooseFolder(const Platform::FolderPanel &panel)
{
    QFileDialog dialog(QApplication::activeWindow());
    prepare(dialog, panel.title, panel.message);
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    // Read-only is what takes the "Create New Folder" button (and renaming, deleting) away.
    dialog.setOption(QFileDialog::ReadOnly, !panel.canCreateFolders);
    if (!panel.startFolder.isEmpty())
        dialog.setDirectory(panel.startFolder);
    return chosenPath(dialog);
}

bool QtDesktop::confirm(const Platform::Alert &alert)
{
    QMessageBox box(QApplication::activeWindow());
    overTheWindow(box);
    box.setIcon(QMessageBox::Warning);
    box.setWindowTitle(alert.title);
    box.setTextFormat(Qt::PlainText);
    box.setText(alert.title);
    box.setInformativeText(alert.detail);
    // The detail may hold paths and script text, which Qt would take for markup if they looked
    // like it.
    for (QLabel *label : box.findChildren<QLabel *>())
        label->setTextFormat(Qt::PlainText);

    QPushButton *cancel = box.addButton(QMessageBox::Cancel);
    QPushButton *action = box.addButton(withoutMnemonic(alert.action), QMessageBox::AcceptRole);
    box.setDefaultButton(cancel);
    box.setEscapeButton(cancel);
    // What the action does cannot be undone by the program, so no key may reach it: not
    // Return, not Tab to it and then Space.
    action->setAutoDefault(false);
    action->setFocusPolicy(Qt::NoFocus);

    box.exec();
    return box.clickedButton() == action;
}

void QtDesktop::showFolder(const QString &path)
{
    if (!QDesktopServices::openUrl(QUrl::fromLocalFile(path)))
        throw SystemError(
            QStringLiteral("Could not open “%1”: no application is set to open folders.")
                .arg(path));
}

void QtDesktop::copyText(const QString &text)
{
    QGuiApplication::clipboard()->setText(text);
}

void QtDesktop::openSoundSettings()
{
    openSettings(SettingsPage::Sound);
}

void QtDesktop::openMicrophoneSettings()
{
    openSettings(SettingsPage::Microphone);
}

void QtDesktop::moveToTrash(const QString &path)
{
    moveToSystemTrash(path);
}

QStringList settingsCommand(
    SettingsPage page, const std::function<QString(const QString &name)> &findExecutable)
{
    // Plasma 6 names its programs without a number, Plasma 5 with one.
    static const QList<QStringList> soundCommands {
        {QStringLiteral("gnome-control-center"), QStringLiteral("sound")},
        {QStringLiteral("systemsettings"), QStringLiteral("kcm_pulseaudio")},
        {QStringLiteral("kcmshell6"), QStringLiteral("kcm_pulseaudio")},
        {QStringLiteral("systemsettings5"), QStringLiteral("kcm_pulseaudio")},
        {QStringLiteral("kcmshell5"), QStringLiteral("kcm_pulseaudio")},
        {QStringLiteral("pavucontrol")},
    };
    QList<QStringList> commands;
    // Only GNOME has a page of its own for which programs may use the microphone.
    if (page == SettingsPage::Microphone)
        commands.append({QStringLiteral("gnome-control-center"), QStringLiteral("microphone")});
    commands.append(soundCommands);

    for (QStringList command : std::as_const(commands)) {
        const QString program = findExecutable(command.first());
        if (!program.isEmpty()) {
            command.first() = program;
            return command;
        }
    }
    return {};
}

QtSettingsStore::QtSettingsStore(const QString &name) : m_settings(programName, name)
{
    // Values a system administrator or another program put in the organization's shared file
    // are not this store's.
    m_settings.setFallbacksEnabled(false);
}

std::optional<QString> QtSettingsStore::text(const QString &key) const
{
    if (!m_settings.contains(key))
        return std::nullopt;
    return m_settings.value(key).toString();
}

void QtSettingsStore::setText(const QString &key, const QString &value)
{
    m_settings.setValue(key, value);
    m_settings.sync();
}

std::optional<QString> QtEnvironment::variable(const QString &name) const
{
    const QByteArray key = name.toLocal8Bit();
    if (!qEnvironmentVariableIsSet(key.constData()))
        return std::nullopt;
    return qEnvironmentVariable(key.constData());
}

QString QtEnvironment::applicationDataFolder() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

std::unique_ptr<Platform::SettingsStore> QtEnvironment::settings(const QString &name)
{
    return std::make_unique<QtSettingsStore>(name.isEmpty() ? programName : name);
}
