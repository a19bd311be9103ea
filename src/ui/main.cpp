// quorbel: the window, on the real sound and desktop services.

#include "appinfo.h"
#include "qtaudioinput.h"
#include "qtdesktop.h"
#include "quorbelapp.h"
#include "wavplayer.h"

#include <QApplication>
#include <QIcon>
#include <QQmlExtensionPlugin>

#include <cstdio>

Q_IMPORT_QML_PLUGIN(QuorbelPlugin)

int main(int argc, char *argv[])
{
    // --help and --version are answered before anything needs a display.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (const AppInfo::CommandLine asked = AppInfo::parseCommandLine(arguments);
        asked.exitCode == 0) {
        std::fputs(asked.text.toLocal8Bit().constData(), stdout);
        return 0;
    }
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
    QApplication::setApplicationVersion(AppInfo::version());
    // The desktop entry's name: launchers and task bars group the window under its icon.
    QApplication::setDesktopFileName(QStringLiteral("org.quorbel.Quorbel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/org.quorbel.Quorbel.svg")));

    // Read again now that Qt has taken its own options (-platform and the like) out.
    const AppInfo::CommandLine commandLine = AppInfo::parseCommandLine(QApplication::arguments());
    if (commandLine.exitCode) {
        std::fputs(commandLine.text.toLocal8Bit().constData(), stderr);
        return *commandLine.exitCode;
    }

    QtAudioInput input;
    QtAudioOutput output;
    QtDesktop desktop;
    QtEnvironment environment;
    QuorbelApp app({&input, &output, &desktop, &environment}, commandLine.path);
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
