#pragma once

// One test executable per folder may hold several test classes. With a class name as its first
// argument it runs only that class (CTest registers one test per class), otherwise all of them.

#include <QCoreApplication>
#include <QStandardPaths>
#include <QTest>

#include <cstring>

template<class... Tests>
int runTestClasses(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
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
