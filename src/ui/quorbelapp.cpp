#include "quorbelapp.h"

#include "appinfo.h"
#include "iconprovider.h"
#include "terminationwatcher.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QSessionManager>

namespace {

RecorderServices askingIn(
    RecorderServices services, Platform::Desktop &desktop, const QString &path)
{
    services.desktop = &desktop;
    // A path of the person's own choosing stands in for the last session; opening both would
    // hold a session, and show its problems, that nobody asked for.
    services.restoreLastSession = services.restoreLastSession && path.isEmpty();
    return services;
}

} // namespace

QuorbelApp::QuorbelApp(RecorderServices services, const QString &path, QObject *parent)
    : QObject(parent)
    , m_desktop(*services.desktop)
    , m_model(askingIn(std::move(services), m_desktop, path))
{
    if (!path.isEmpty())
        m_model.openPath(path);
    QGuiApplication::setQuitOnLastWindowClosed(
        AppDelegate::applicationShouldTerminateAfterLastWindowClosed());
#ifndef QT_NO_SESSIONMANAGER
    // A logout asks first. Only a session manager that lets the program interact can be told
    // to wait; the others end it regardless, and then at least the take was filed and saved.
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
        m_unattendedQuit = true;
        const bool mayEnd = mayQuit();
        m_unattendedQuit = false;
        if (!mayEnd && manager.allowsInteraction()) {
            manager.cancel();
            manager.release();
        }
    });
#endif
    // Coming back from the sound settings, the panel names the input chosen there.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
        [this](Qt::ApplicationState state) {
            if (state == Qt::ApplicationActive)
                m_model.refreshInput();
        });
}

QuorbelApp::~QuorbelApp() = default;

QVariantMap QuorbelApp::about() const
{
    return {{QStringLiteral("version"), AppInfo::version()},
        {QStringLiteral("description"), AppInfo::description()},
        {QStringLiteral("license"), QStringLiteral("MIT")},
        {QStringLiteral("libraries"), AppInfo::libraries()}};
}

QQmlEngine *QuorbelApp::engine() const
{
    return m_engine.get();
}

bool QuorbelApp::load()
{
    if (m_window)
        return true;
    // The engine's parent is how QML's `App` and `RecorderModel` find this instance.
    m_engine = std::make_unique<QQmlApplicationEngine>(this);
    m_engine->addImageProvider(QStringLiteral("icon"), new IconProvider);
    // A window that cannot be built is reported once, by the caller, with every reason.
    m_engine->setOutputWarningsToStandardError(false);
    QStringList errors;
    connect(m_engine.get(), &QQmlEngine::warnings, this, [&errors](const QList<QQmlError> &list) {
        for (const QQmlError &error : list)
            errors.append(error.toString());
    });
    m_engine->load(QUrl(QStringLiteral("qrc:/Quorbel/Main.qml")));
    m_engine->disconnect(this);
    m_engine->setOutputWarningsToStandardError(true);
    const QList<QObject *> roots = m_engine->rootObjects();
    m_window = roots.isEmpty() ? nullptr : qobject_cast<QQuickWindow *>(roots.first());
    if (!m_window) {
        m_loadErrors = errors.isEmpty() ? QStringLiteral("The window could not be built.")
                                        : errors.join(QLatin1Char('\n'));
        return false;
    }
    m_desktop.setWindow(m_window);
    return true;
}

bool QuorbelApp::quitOnTerminationSignals()
{
    if (m_watcher)
        return true;
    auto watcher = std::make_unique<TerminationWatcher>(this);
    if (!watcher->start()) {
        m_loadErrors = watcher->failure();
        return false;
    }
    m_watcher = watcher.release();
    connect(m_watcher, &TerminationWatcher::requested, this, [this] {
        m_unattendedQuit = true;
        quit();
        m_unattendedQuit = false;
    });
    return true;
}

void QuorbelApp::windowShown()
{
    m_delegate.setModel(&m_model);
    if (!m_window)
        return;
    // The offscreen platform of the tests has no stacking to raise the window in.
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        m_window->raise();
    m_window->requestActivate();
}

bool QuorbelApp::mayQuit()
{
    return m_delegate.applicationShouldTerminate(!m_unattendedQuit)
        == AppDelegate::TerminateReply::Now;
}

void QuorbelApp::quit()
{
    if (m_window && m_window->isVisible()) {
        // Closing the last window ends the program, after the same question.
        m_window->close();
        return;
    }
    if (mayQuit())
        QCoreApplication::quit();
}

QuorbelApp *QuorbelApp::create(QQmlEngine *engine, QJSEngine *)
{
    auto *app = qobject_cast<QuorbelApp *>(engine->parent());
    if (app)
        QJSEngine::setObjectOwnership(app, QJSEngine::CppOwnership);
    return app;
}

RecorderModel *RecorderModelForeign::create(QQmlEngine *engine, QJSEngine *)
{
    auto *app = qobject_cast<QuorbelApp *>(engine->parent());
    if (!app)
        return nullptr;
    QJSEngine::setObjectOwnership(&app->model(), QJSEngine::CppOwnership);
    return &app->model();
}
