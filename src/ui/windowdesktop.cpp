#include "windowdesktop.h"

#include <QEventLoop>

WindowDesktop::WindowDesktop(Platform::Desktop &desktop, QObject *parent)
    : QObject(parent)
    , m_desktop(desktop)
{}

void WindowDesktop::answer(bool act)
{
    if (m_loop)
        m_loop->exit(act ? 1 : 0);
}

bool WindowDesktop::confirm(const Platform::Alert &alert)
{
    // A second question while one is open (a quit that cannot save, say) is answered "Cancel":
    // the person has not seen it.
    if (m_loop)
        return false;
    if (!m_window || !m_window->isVisible())
        return m_desktop.confirm(alert);
    QEventLoop loop;
    // Closing the window or quitting ends the question unanswered, as Cancel.
    connect(m_window, &QWindow::visibleChanged, &loop, [&loop](bool visible) {
        if (!visible)
            loop.exit(0);
    });
    m_question = alert;
    m_loop = &loop;
    Q_EMIT questionChanged();
    const bool act = loop.exec(QEventLoop::DialogExec) == 1;
    m_loop = nullptr;
    Q_EMIT questionChanged();
    return act;
}

std::optional<QString> WindowDesktop::chooseFile(const Platform::FilePanel &panel)
{
    return m_desktop.chooseFile(panel);
}

std::optional<QString> WindowDesktop::chooseFolder(const Platform::FolderPanel &panel)
{
    return m_desktop.chooseFolder(panel);
}

void WindowDesktop::showFolder(const QString &path)
{
    m_desktop.showFolder(path);
}

void WindowDesktop::openSoundSettings()
{
    m_desktop.openSoundSettings();
}

void WindowDesktop::copyText(const QString &text)
{
    m_desktop.copyText(text);
}

void WindowDesktop::openMicrophoneSettings()
{
    m_desktop.openMicrophoneSettings();
}

void WindowDesktop::moveToTrash(const QString &path)
{
    m_desktop.moveToTrash(path);
}
