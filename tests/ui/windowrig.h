#pragma once

#include "fakeaudio.h"
#include "fakedesktop.h"
#include "quorbelapp.h"

#include <QByteArray>
#include <QQuickItem>
#include <QQuickWindow>
#include <QString>
#include <QTemporaryDir>

#include <memory>

/// One run of the program's window on fake services, in a scratch data folder, driven the way
/// a person drives it: clicks and keys on the window. Checks read what the window shows.
class WindowRig
{
public:
    WindowRig();
    ~WindowRig();

    /// Starts the program and waits until its window is shown and active; false otherwise.
    bool launch();

    [[nodiscard]] QuorbelApp &app() { return *m_app; }
    [[nodiscard]] QQuickWindow *window() const { return m_app ? m_app->window() : nullptr; }
    [[nodiscard]] QString path(const QString &name) const { return m_dir.filePath(name); }

    /// The visible item called `name` (its objectName), else any item of that name, else null.
    [[nodiscard]] QQuickItem *item(const QString &name) const;
    /// The object called `name` anywhere in the window, menus included; else null.
    [[nodiscard]] QObject *object(const QString &name) const;
    /// A property of the item or object called `name`; invalid when there is none.
    [[nodiscard]] QVariant read(const QString &name, const char *property) const;
    [[nodiscard]] QString text(const QString &name) const;
    [[nodiscard]] bool isEnabled(const QString &name) const;
    [[nodiscard]] bool isShown(const QString &name) const;

    /// Clicks the middle of the visible item called `name`; false when there is none.
    bool click(const QString &name);
    /// Clicks `item` at its middle.
    void click(QQuickItem *item);
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier);
    /// Types plain ASCII text, key by key.
    void type(const QString &text);
    /// Lets the fakes' posted answers arrive and the window lay itself out anew.
    void settle();

    /// "Try a recording test" on the welcome panel.
    bool startRecordingTest();
    /// Imports `content` as a script file named `fileName` with the welcome panel's button.
    bool importScript(const QString &fileName, const QByteArray &content);
    /// Records a take of `seconds` on the current line whose loudest sample is `peakDb`, with
    /// the record button; false when no take was filed.
    bool recordTake(double seconds, float peakDb = -12);
    /// Clicks the record button and waits until the take runs; its recorder, else null.
    FakeRecorder *startTake();

    FakeAudioInput input;
    FakeAudioOutput output;
    FakeDesktop desktop;
    FakeEnvironment environment;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QuorbelApp> m_app;
};

/// Writes `content` to a new file; its path, or empty when it could not be written.
QString writeFile(const QString &path, const QByteArray &content);
