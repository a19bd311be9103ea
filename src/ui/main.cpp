// quorbel: the window, on the real sound and desktop services.

#include "qtaudioinput.h"
#include "qtdesktop.h"
#include "quorbelapp.h"
#include "wavplayer.h"

#include <QApplication>
#include <QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(QuorbelPlugin)

int main(int argc, char *argv[])
{
#ifdef Q_OS_LINUX
    // Without a display Qt would abort with a core dump; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY")
        && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fprintf(stderr,
            "Quorbel needs a display, and none is set (DISPLAY, WAYLAND_DISPLAY). To try it "
            "without one: xvfb-run -a quorbel\n");
        return 1;
    }
#endif
    // Widgets for the desktop's file panels and alerts; the window itself is Qt Quick.
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quorbel"));
    QApplication::setApplicationDisplayName(QStringLiteral("Quorbel"));
    QApplication::setDesktopFileName(QStringLiteral("quorbel"));

    QtAudioInput input;
    QtAudioOutput output;
    QtDesktop desktop;
    QtEnvironment environment;
    QuorbelApp app({&input, &output, &desktop, &environment});
    if (!app.load()) {
        std::fprintf(
            stderr, "Quorbel could not open its window:\n%s\n", qPrintable(app.loadErrors()));
        return 1;
    }
    if (!app.quitOnTerminationSignals())
        std::fprintf(stderr, "Quorbel will not save on Ctrl+C or SIGTERM: %s\n",
            qPrintable(app.loadErrors()));
    return QApplication::exec();
}
