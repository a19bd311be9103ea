// bench-persist [--dir PATH]: times saving and loading the session document of a 10,000-line
// script with 30,000 and with 100,000 takes, next to the floor any durable save must pay: the
// same bytes written, flushed and renamed into place with bare system calls.

#include "benchsupport.h"
#include "samplesession.h"
#include "sessiondisk.h"

#include <QCoreApplication>
#include <QFile>
#include <QUuid>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr qsizetype lineCount = 10'000;

// A save may cost at most twice the bare write of its bytes, and a session of this size must
// open without a noticeable wait.
constexpr qsizetype targetTakes = 30'000;
constexpr double maxSaveOverFloor = 2.0;
constexpr double maxLoadMs = 60;

[[noreturn]] void fail(const char *operation, const QByteArray &path)
{
    std::fprintf(stderr, "%s %s: %s\n", operation, path.constData(), std::strerror(errno));
    std::exit(1);
}

/// The least a durable replacement of a file can cost: a careful save's system calls without
/// its care (no unique name, no retries, no clean-up).
void writeFloor(const QByteArray &folder, const QByteArray &bytes)
{
    const QByteArray temporary = folder + "/floor.tmp";
    const QByteArray target = folder + "/floor.json";
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        fail("open", temporary);
    if (::write(fd, bytes.constData(), size_t(bytes.size())) != ssize_t(bytes.size()))
        fail("write", temporary);
    if (::fsync(fd) != 0)
        fail("fsync", temporary);
    if (::close(fd) != 0)
        fail("close", temporary);
    if (::rename(temporary.constData(), target.constData()) != 0)
        fail("rename", target);
    const int dir = ::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        fail("open", folder);
    if (::fsync(dir) != 0)
        fail("fsync", folder);
    if (::close(dir) != 0)
        fail("close", folder);
}

qsizetype takeCount(const Session &session)
{
    qsizetype count = 0;
    for (const QList<Take> &takes : session.takes)
        count += takes.size();
    return count;
}

/// Measures one session size; false when a load did not give back what was saved.
bool measure(const Session &session, const QString &folder)
{
    const qsizetype lines = session.script.lines.size();
    const qsizetype takes = takeCount(session);
    const QByteArray bytes = SessionDisk::encode(session);
    const QByteArray nativeFolder = QFile::encodeName(folder);
    std::printf("\n%lld lines, %lld takes: document %.2f MB\n", qint64(lines), qint64(takes),
        double(bytes.size()) / 1e6);

    // One untimed round first, so that every timed save and floor replaces an existing file of
    // the same size, and so that a load is checked once.
    SessionDisk::save(session, folder);
    writeFloor(nativeFolder, bytes);
    const Session loaded = SessionDisk::load(folder);
    if (loaded.script.lines.size() != lines || takeCount(loaded) != takes) {
        std::fprintf(stderr, "load gave back %lld lines and %lld takes, not %lld and %lld\n",
            qint64(loaded.script.lines.size()), qint64(takeCount(loaded)), qint64(lines),
            qint64(takes));
        return false;
    }

    // The program saves after every change, and a change touches one line: each timed save
    // follows a new take on the next line, so it meets the session as the program does.
    // Saves and floors alternate, and swap places every run, so both meet the same disk.
    Session changing = session;
    QList<double> saves, floors, firstSaves, loads;
    // The program's own writer, kept from save to save.
    SessionDisk::SessionWriter writer;
    writer.save(changing, folder);
    const auto save = [&] { writer.save(changing, folder); };
    const auto floor = [&] { writeFloor(nativeFolder, bytes); };
    for (int run = 0; run < Bench::runs; ++run) {
        // Read through at(): writing access to the shared script would copy it, and a save must
        // then encode the copy as if it had changed.
        const QString &line = changing.script.lines.at(run * 997 % lines).id;
        QList<Take> &takes = changing.takes[line];
        takes.append({QStringLiteral("extra-%1").arg(run), QStringLiteral("takes/extra.wav"), 1.25,
            takes.constLast().created.addSecs(60)});
        if (run % 2 == 0) {
            saves.append(Bench::milliseconds(save));
            floors.append(Bench::milliseconds(floor));
        } else {
            floors.append(Bench::milliseconds(floor));
            saves.append(Bench::milliseconds(save));
        }
    }
    for (int run = 0; run < Bench::runs; ++run) {
        // Declared outside the timing, so freeing the session is not counted.
        Session result;
        loads.append(Bench::milliseconds([&] { result = SessionDisk::load(folder); }));
    }

    // The first save of a session just opened encodes every line: a copy read back from disk
    // shares nothing with what was saved before.
    for (int run = 0; run < Bench::runs; ++run) {
        const Session fresh = SessionDisk::decode(bytes, QStringLiteral("session.json"));
        firstSaves.append(Bench::milliseconds([&] { SessionDisk::save(fresh, folder); }));
    }

    const double saveMs = Bench::median(saves), floorMs = Bench::median(floors);
    const double loadMs = Bench::median(loads), ratio = saveMs / floorMs;
    const bool targeted = takes == targetTakes;
    const qint64 n = takes;
    std::printf("save after a change %lld takes: %.1f ms (median of %d)\n", n, saveMs, Bench::runs);
    std::printf("first save %lld takes: %.1f ms (median of %d)\n", n, Bench::median(firstSaves),
        Bench::runs);
    std::printf("floor %lld takes: %.1f ms (median of %d)\n", n, floorMs, Bench::runs);
    std::printf("save/floor %lld takes: %.2f", n, ratio);
    if (targeted)
        std::printf(
            " (target ≤ %.1f: %s)", maxSaveOverFloor, Bench::verdict(ratio <= maxSaveOverFloor));
    std::printf("\nload %lld takes: %.1f ms (median of %d)", n, loadMs, Bench::runs);
    if (targeted)
        std::printf(" (target ≤ %.0f ms: %s)", maxLoadMs, Bench::verdict(loadMs <= maxLoadMs));
    std::printf("\n");
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString dir
        = Bench::parseDirOption(app, QStringLiteral("Times saving and loading a large session."));

    return Bench::guarded([&] {
        const auto folder = Bench::workFolder(dir);
        if (!folder)
            return 1;

        Bench::Prose prose(20250314);
        const Script script = Bench::makeScript(prose, lineCount);
        for (const int perLine : {3, 10}) {
            if (!measure(Bench::makeSession(script, perLine, prose.random()), folder->path()))
                return 1;
        }
        return 0;
    });
}
