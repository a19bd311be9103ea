#pragma once

#include "appdelegate.h"
#include "recordermodel.h"
#include "windowdesktop.h"

#include <QObject>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QString>
#include <QVariantMap>

#include <memory>

class QQmlApplicationEngine;
class TerminationWatcher;

/// The program: the one controller on the services it is given, the delegate that answers the
/// desktop's quit questions with the controller's reply, and the window. Quitting by any road
/// (the Quit command, closing the window, a logout, SIGINT or SIGTERM) asks the delegate
/// first, so a running take is filed and the session saved before the program ends.
///
/// The window's QML reaches it as the singleton `App`, and the controller as `RecorderModel`.
class QuorbelApp final : public QObject
{
    Q_OBJECT
    QML_NAMED_ELEMENT(App)
    QML_SINGLETON
    /// The question the window's confirmation dialog asks, while it asks.
    Q_PROPERTY(WindowDesktop *confirmation READ confirmation CONSTANT)
    /// What the About dialog shows: "version", "description", "license" and "libraries", each
    /// library with its version in use.
    Q_PROPERTY(QVariantMap about READ about CONSTANT)

public:
    /// Starts the controller, which opens `path` (a session folder, its session.json or a
    /// script file) when one is given, and else reopens the last session. The services must
    /// outlive it; the desktop's confirmations are asked in the window once it is shown.
    explicit QuorbelApp(
        RecorderServices services, const QString &path = {}, QObject *parent = nullptr);
    ~QuorbelApp() override;

    /// Builds and shows the window. False when it cannot be built; `loadErrors` says why.
    bool load();
    [[nodiscard]] QString loadErrors() const { return m_loadErrors; }

    /// SIGINT and SIGTERM quit as the Quit command does. False, with the reason in
    /// `loadErrors`, when they cannot be caught.
    bool quitOnTerminationSignals();

    [[nodiscard]] RecorderModel &model() { return m_model; }
    [[nodiscard]] WindowDesktop *confirmation() { return &m_desktop; }
    [[nodiscard]] AppDelegate &delegate() { return m_delegate; }
    [[nodiscard]] QVariantMap about() const;
    [[nodiscard]] QQmlEngine *engine() const;
    /// The window once loaded, else null.
    [[nodiscard]] QQuickWindow *window() const { return m_window; }

    /// The window appeared: the delegate gets the controller and the window comes to the front.
    Q_INVOKABLE void windowShown();
    /// Asks the delegate whether the program may end now; the controller first files a running
    /// take, stops playback and saves. False while the microphone permission is being asked
    /// for, or when the session could not be saved and the person chose not to quit without
    /// saving (a quit by SIGINT, SIGTERM or a logout asks no one, and is refused then).
    Q_INVOKABLE bool mayQuit();
    /// The Quit command: closes the window, which asks `mayQuit`; the program ends with it.
    Q_INVOKABLE void quit();

    /// The instance that owns `engine`, for QML.
    static QuorbelApp *create(QQmlEngine *engine, QJSEngine *);

private:
    WindowDesktop m_desktop;
    RecorderModel m_model;
    AppDelegate m_delegate;
    // Declared after the controller, so the window's bindings go before what they read.
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QPointer<QQuickWindow> m_window;
    TerminationWatcher *m_watcher = nullptr;
    /// The quit under way came from a signal, where no one may be there to answer.
    bool m_unattendedQuit = false;
    QString m_loadErrors;
};

/// The controller as the singleton `RecorderModel` of the window's QML.
struct RecorderModelForeign
{
    Q_GADGET
    QML_FOREIGN(RecorderModel)
    QML_NAMED_ELEMENT(RecorderModel)
    QML_SINGLETON

public:
    static RecorderModel *create(QQmlEngine *engine, QJSEngine *);
};

/// The sidebar's lines, a type QML reads but never makes.
struct LineListModelForeign
{
    Q_GADGET
    QML_FOREIGN(LineListModel)
    QML_ANONYMOUS
};
