#pragma once

// One test executable per folder may hold several test classes. With a class name as its first
// argument it runs only that class (CTest registers one test per class), otherwise all of them.
// An executable compiled with QUORBEL_TEST_WIDGETS runs under a QApplication, on the offscreen
// platform unless QT_QPA_PLATFORM says otherwise, so no window opens on the developer's screen.

#ifdef QUORBEL_TEST_WIDGETS
#    include <QApplication>
#else
#    include <QCoreApplication>
#endif
#include <QStandardPaths>
#include <QTest>

#include <cstring>

template<class... Tests>
int runTestClasses(int argc, char *argv[])
{
#ifdef QUORBEL_TEST_WIDGETS
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    QStandardPaths::setTestModeEnabled(true);
    const char *only = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
    if (only) {
        // Drop the class name so QTest sees only its own options.
        argv[1] = argv[0];
        --argc;
        ++argv;
    }
    int failures = 0;
    bool ran = false;
    auto run = [&](auto test) {
        if (only && std::strcmp(only, test.metaObject()->className()) != 0)
            return;
        ran = true;
        failures += QTest::qExec(&test, argc, argv);
    };
    (run(Tests()), ...);
    return ran ? failures : 1;
}

#define QUORBEL_TEST_MAIN(...)                                                                     \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        return runTestClasses<__VA_ARGS__>(argc, argv);                                            \
    }
