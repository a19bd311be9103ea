#pragma once

#include "desktop.h"

#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickWindow>

class QEventLoop;

/// The desktop as the window offers it: every service of the desktop it is given, except that
/// a confirmation is asked in the window itself, by its ConfirmDialog, in the window's style.
///
/// `confirm` still returns the answer: it waits in a local event loop, as a modal alert does,
/// while the dialog (modal over the whole window, menus and key equivalents included) lets no
/// other command run. Until the window is shown, the given desktop asks.
class WindowDesktop final : public QObject, public Platform::Desktop
{
    Q_OBJECT
    QML_ANONYMOUS
    Q_PROPERTY(bool asking READ asking NOTIFY questionChanged)
    Q_PROPERTY(QString title READ title NOTIFY questionChanged)
    Q_PROPERTY(QString detail READ detail NOTIFY questionChanged)
    Q_PROPERTY(QString action READ action NOTIFY questionChanged)

public:
    explicit WindowDesktop(Platform::Desktop &desktop, QObject *parent = nullptr);

    /// The window whose dialog asks from now on.
    void setWindow(QQuickWindow *window) { m_window = window; }

    [[nodiscard]] bool asking() const { return m_loop != nullptr; }
    [[nodiscard]] QString title() const { return m_question.title; }
    [[nodiscard]] QString detail() const { return m_question.detail; }
    [[nodiscard]] QString action() const { return m_question.action; }

    /// The dialog closed: `act` only when its action button was clicked.
    Q_INVOKABLE void answer(bool act);

    [[nodiscard]] std::optional<QString> chooseFile(const Platform::FilePanel &panel) override;
    [[nodiscard]] std::optional<QString> chooseFolder(const Platform::FolderPanel &panel) override;
    [[nodiscard]] bool confirm(const Platform::Alert &alert) override;
    void showFolder(const QString &path) override;
    void openSoundSettings() override;
    void copyText(const QString &text) override;
    void openMicrophoneSettings() override;
    void moveToTrash(const QString &path) override;

Q_SIGNALS:
    void questionChanged();

private:
    Platform::Desktop &m_desktop;
    QPointer<QQuickWindow> m_window;
    Platform::Alert m_question;
    QEventLoop *m_loop = nullptr;
};
