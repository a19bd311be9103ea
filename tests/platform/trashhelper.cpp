// quorbel-test-trash PATH: moves PATH to the Trash the way the program does. GLib reads HOME and
// XDG_DATA_HOME once per process, so every test case runs this in a process of its own, with the
// environment the case needs.

#include "qtdesktop.h"

#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 2) {
        std::fputs("usage: quorbel-test-trash PATH\n", stderr);
        return 2;
    }
    try {
        QtDesktop().moveToTrash(QFile::decodeName(argv[1]));
    } catch (const Error &error) {
        // what() is UTF-8 whatever the locale, so the test can compare the path exactly.
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
