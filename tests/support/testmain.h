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
    // A class name first is taken away, so QTest sees only its own options.
    const int skip = argc > 1 && argv[1][0] != '-' ? 1 : 0;
    const char *only = skip ? argv[1] : nullptr;
    argv[skip] = argv[0];
    int failures = 0;
    bool ran = false;
    auto run = [&](auto test) {
        if (only && std::strcmp(only, test.metaObject()->className()) != 0)
            return;
        ran = true;
        failures += QTest::qExec(&test, argc - skip, argv + skip);
    };
    (run(Tests()), ...);
    return ran ? failures : 1;
}

#define QUORBEL_TEST_MAIN(...)                                                                     \
    int main(int c, char **v)                                                                      \
    {                                                                                              \
        return runTestClasses<__VA_ARGS__>(c, v);                                                  \
    }
