// quorbel-test-saver old|big FOLDER: saves one of the sample sessions into FOLDER the way
// the program does, so a test can run the save under strace or on a full disk and see how the
// process ends. It stays single-threaded and starts no QCoreApplication, so the order and number
// of its system calls do not vary from run to run.

#include "error.h"
#include "samplesessions.h"
#include "sessiondisk.h"

#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    const std::optional<Session> session
        = argc == 3 ? SampleSessions::named(QString::fromLocal8Bit(argv[1])) : std::nullopt;
    if (!session) {
        std::fputs("usage: quorbel-test-saver old|big FOLDER\n", stderr);
        return 2;
    }
    try {
        SessionDisk::save(*session, QFile::decodeName(argv[2]));
    } catch (const Error &error) {
        // what() is UTF-8 whatever the locale, so the test can compare the path exactly.
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
