#include "windowrig.h"

#include "testfiles.h"

#include <QFile>
#include <QQmlExtensionPlugin>
#include <QTest>
#include <QtQuickTest/quicktest.h>

#include <algorithm>
#include <cmath>
#include <sndfile.h>
#include <vector>

Q_IMPORT_QML_PLUGIN(QuorbelPlugin)

namespace {} // namespace

void WindowRig::writeTake(const QString &path, double seconds, float peakDb)
{
    SF_INFO format {};
    format.samplerate = 48000;
    format.channels = 1;
    format.format = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &format);
    if (!file)
        return;
    const qint64 frames = std::llround(seconds * 48000), edge = 14400;
    const double gain = std::pow(10.0, peakDb / 20.0);
    std::vector<double> samples(size_t(frames), 0.0);
    for (qint64 i = edge; i < frames - edge; ++i)
        samples[size_t(i)]
            = std::clamp(gain * std::sin(2 * M_PI * 220 * double(i) / 48000), -1.0, 1.0);
    sf_writef_double(file, samples.data(), frames);
    sf_close(file);
}

namespace {

QQuickItem *find(QQuickItem *root, const QString &name, bool visibleOnly)
{
    if (root->objectName() == name && (!visibleOnly || root->isVisible()))
        return root;
    for (QQuickItem *child : root->childItems()) {
        if (QQuickItem *found = find(child, name, visibleOnly))
            return found;
    }
    return nullptr;
}

} // namespace

bool WindowRig::launch()
{
    m_app = std::make_unique<QuorbelApp>(services());
    if (!m_app->load())
        qWarning("The window did not load:\n%s", qPrintable(m_app->loadErrors()));
    if (!window() || !QTest::qWaitForWindowExposed(window())
        || !QTest::qWaitForWindowActive(window()))
        return false;
    settle();
    return true;
}

QObject *WindowRig::object(const QString &name) const
{
    if (QQuickItem *found = find(window()->contentItem(), name, true))
        return found;
    if (QQuickItem *found = find(window()->contentItem(), name, false))
        return found;
    return window()->findChild<QObject *>(name);
}

QVariant WindowRig::read(const QString &name, const char *property) const
{
    const QObject *found = object(name);
    return found ? found->property(property) : QVariant();
}

bool WindowRig::isShown(const QString &name) const
{
    const auto *found = qobject_cast<QQuickItem *>(object(name));
    return found && found->isVisible() && found->width() > 0 && found->height() > 0;
}

bool WindowRig::click(const QString &name)
{
    settle();
    // Popups and menus open with a transition.
    QQuickItem *target = nullptr;
    if (!QTest::qWaitFor([&] {
            target = qobject_cast<QQuickItem *>(object(name));
            return target && target->isVisible();
        }))
        return false;
    const QPointF middle = target->mapToScene(QPointF(target->width() / 2, target->height() / 2));
    QTest::mouseClick(window(), Qt::LeftButton, Qt::NoModifier, middle.toPoint());
    settle();
    return true;
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
    if (window()->isExposed())
        QQuickTest::qWaitForPolish(window());
}

bool WindowRig::startRecordingTest()
{
    return click(QStringLiteral("welcomeTestButton")) && model().hasCurrent();
}

bool WindowRig::importScript(const QString &fileName, const QByteArray &content)
{
    desktop.panelAnswers << writeFile(path(fileName), content);
    return click(QStringLiteral("sidebarImportButton")) && model().hasCurrent();
}

FakeRecorder *WindowRig::startTake()
{
    const bool started = click(QStringLiteral("recordButton")) && model().recording();
    return started ? audio.recorders.constLast().data() : nullptr;
}

bool WindowRig::recordTake(double seconds, float peakDb)
{
    const qsizetype before = model().currentTakes().size();
    FakeRecorder *recorder = startTake();
    if (!recorder)
        return false;
    setLength(recorder->path, seconds);
    writeTake(recorder->path, seconds, peakDb);
    recorder->peak = peakDb;
    // The meter timer reads the peak before the take stops, as it would while one speaks.
    QTest::qWait(RecorderModel::tickIntervalMs * 2);
    return click(QStringLiteral("recordButton")) && model().currentTakes().size() == before + 1;
}
