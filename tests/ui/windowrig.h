#pragma once

#include "quorbelapp.h"
#include "servicerig.h"

#include <QQuickItem>

#include <memory>

/// One run of the program's window on the fake services, driven the way a person drives it:
/// clicks and keys on the window. Checks read what the window shows.
class WindowRig : public ServiceRig
{
public:
    /// Starts the program and waits until its window is shown and active; false otherwise.
    bool launch();

    [[nodiscard]] QuorbelApp &app() { return *m_app; }
    [[nodiscard]] RecorderModel &model() { return m_app->model(); }
    [[nodiscard]] QQuickWindow *window() const { return m_app->window(); }
    /// The visible item called `name` (its objectName), else any item or object of that name,
    /// menus included; else null.
    [[nodiscard]] QObject *object(const QString &name) const;
    /// A property of the object called `name`; invalid when there is none.
    [[nodiscard]] QVariant read(const QString &name, const char *property) const;
    [[nodiscard]] QString text(const QString &name) const { return read(name, "text").toString(); }
    /// Visible, with a size, on an item that is visible itself.
    [[nodiscard]] bool isShown(const QString &name) const;

    /// Clicks the middle of the visible item called `name`; false when there is none.
    bool click(const QString &name);
    void key(int key, Qt::KeyboardModifiers modifiers = Qt::ControlModifier);
    /// Types plain ASCII text, key by key.
    void type(const QString &text);
    /// Lets the fakes' posted answers arrive and the window lay itself out anew.
    void settle();

    /// Clicks "Try a recording test" on the welcome panel.
    bool startRecordingTest();
    /// Imports `content` as a script file named `fileName` with the sidebar's button.
    bool importScript(const QString &fileName, const QByteArray &content);
    /// Clicks the record button and waits until the take runs; its recorder, else null.
    FakeRecorder *startTake();
    /// Records a take of `seconds` on the current line whose loudest sample is `peakDb` (a tone
    /// between short silences; clipped above 0), with the record button; false when no take was
    /// filed.
    bool recordTake(double seconds, float peakDb = -12);

    /// Writes a take as a person records it: a 220 Hz tone peaking at `peakDb` between 0.3 s of
    /// silence at each end; above 0 dBFS it is clipped at full scale.
    static void writeTake(const QString &path, double seconds, float peakDb);

    /// The titles of the confirmations answered, in order.
    QStringList asked;

private:
    std::unique_ptr<QuorbelApp> m_app;
};
