#include "windowrig.h"

#include <QDir>
#include <QFile>
#include <QQmlExtensionPlugin>
#include <QTest>
#include <QtQuickTest/quicktest.h>

#include <cmath>
#include <functional>

Q_IMPORT_QML_PLUGIN(QuorbelPlugin)

using namespace Qt::Literals::StringLiterals;

namespace {

QQuickItem *findItem(QQuickItem *root, const QString &name, bool visibleOnly)
{
    if (!root)
        return nullptr;
    if (root->objectName() == name && (!visibleOnly || root->isVisible()))
        return root;
    const QList<QQuickItem *> children = root->childItems();
    for (QQuickItem *child : children) {
        if (QQuickItem *found = findItem(child, name, visibleOnly))
            return found;
    }
    return nullptr;
}

} // namespace

QString writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return {};
    return path;
}

WindowRig::WindowRig()
{
    environment.setVariable(QString::fromLatin1(RecorderModel::dataDirVariable), path(u"data"_s));
    QDir().mkpath(path(u"Trash"_s));
    desktop.setTrashFolder(path(u"Trash"_s));
}

WindowRig::~WindowRig() = default;

bool WindowRig::launch()
{
    m_app
        = std::make_unique<QuorbelApp>(RecorderServices {&input, &output, &desktop, &environment});
    if (!m_app->load()) {
        qWarning("The window did not load:\n%s", qPrintable(m_app->loadErrors()));
        return false;
    }
    QQuickWindow *shown = window();
    if (!QTest::qWaitForWindowExposed(shown) || !QTest::qWaitForWindowActive(shown))
        return false;
    settle();
    return true;
}

QQuickItem *WindowRig::item(const QString &name) const
{
    if (!window())
        return nullptr;
    QQuickItem *found = findItem(window()->contentItem(), name, true);
    return found ? found : findItem(window()->contentItem(), name, false);
}

QObject *WindowRig::object(const QString &name) const
{
    if (QQuickItem *found = item(name))
        return found;
    return window() ? window()->findChild<QObject *>(name) : nullptr;
}

QVariant WindowRig::read(const QString &name, const char *property) const
{
    const QObject *found = object(name);
    return found ? found->property(property) : QVariant();
}

QString WindowRig::text(const QString &name) const
{
    return read(name, "text").toString();
}

bool WindowRig::isEnabled(const QString &name) const
{
    return read(name, "enabled").toBool();
}

bool WindowRig::isShown(const QString &name) const
{
    const QQuickItem *found = item(name);
    return found && found->isVisible() && found->width() > 0 && found->height() > 0;
}

bool WindowRig::click(const QString &name)
{
    settle();
    QQuickItem *found = item(name);
    if (!found || !found->isVisible())
        return false;
    click(found);
    return true;
}

void WindowRig::click(QQuickItem *target)
{
    const QPointF middle = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, middle.toPoint());
    settle();
}

void WindowRig::key(int key, Qt::KeyboardModifiers modifiers)
{
    QTest::keyClick(window(), Qt::Key(key), modifiers);
    settle();
}

void WindowRig::type(const QString &text)
{
    for (const QChar character : text)
        QTest::keyClick(window(), character.toLatin1());
    settle();
}

void WindowRig::settle()
{
    QCoreApplication::processEvents();
    // A closed window is never laid out again.
    if (window() && window()->isExposed())
        QQuickTest::qWaitForPolish(window());
}

bool WindowRig::startRecordingTest()
{
    return click(u"welcomeTestButton"_s) && m_app->model().hasCurrent();
}

bool WindowRig::importScript(const QString &fileName, const QByteArray &content)
{
    const QString file = writeFile(path(fileName), content);
    if (file.isEmpty())
        return false;
    desktop.answerFile(file);
    return click(u"welcomeImportButton"_s) || click(u"sidebarImportButton"_s);
}

FakeRecorder *WindowRig::startTake()
{
    if (!click(u"recordButton"_s))
        return nullptr;
    settle();
    return m_app->model().recording() ? input.lastRecorder() : nullptr;
}

bool WindowRig::recordTake(double seconds, float peakDb)
{
    const qsizetype before = m_app->model().currentTakes().size();
    FakeRecorder *recorder = startTake();
    if (!recorder)
        return false;
    input.setFileInfo(recorder->path(), {qint64(std::llround(seconds * 48000)), 48000});
    recorder->setLevels(-30, peakDb);
    recorder->setCurrentTime(seconds);
    // The meter timer reads the levels before the take stops, as it would while one speaks.
    QTest::qWait(RecorderModel::tickIntervalMs * 2);
    if (!click(u"recordButton"_s))
        return false;
    return m_app->model().currentTakes().size() == before + 1;
}
