#pragma once

// Saves broken from inside the process. The test executable defines the system calls a save
// makes, so the dynamic linker binds the store's calls, and every library's, to these, which pass
// them on to the C library's own. While a save is watched each call is counted, and one of them
// can fail, write half its bytes or none, or be where the process is killed: from there on
// nothing more reaches the disk.

#include "error.h"

#include <QDir>
#include <QFileInfo>
#include <QScopedValueRollback>

#include <cerrno>
#include <dlfcn.h>
#include <tuple>

using namespace Qt::Literals::StringLiterals;

/// The description of the Error that `f` throws, or nothing when it returns.
template<class F>
QString errorOf(F &&f)
{
    try {
        f();
    } catch (const Error &e) {
        return e.description();
    }
    return {};
}

namespace Watch {

enum Step { Make, Fail, Skip, Half };

bool on = false; ///< while a save is watched
QStringList calls; ///< its calls so far: "write temporary", "fsync folder", "renameat", …
qsizetype broken = -1; ///< the call that `fault` breaks
QString fault; ///< "EIO", "EINTR", "kill", or for a write "nothing" or "half"
bool dead = false; ///< killed: no call reaches the disk any more

/// Watches the calls from here on, `fault` breaking call `broken`.
inline void start(qsizetype broken = -1, const QString &fault = {})
{
    calls.clear();
    std::tie(Watch::broken, Watch::fault, dead, on) = std::tuple(broken, fault, false, true);
}

/// The C library's own `name`, found past the executable's.
template<class F>
F *next(const char *name)
{
    return reinterpret_cast<F *>(::dlsym(RTLD_NEXT, name));
}

/// What the descriptor holds, as a call on it is named.
inline QString held(int fd)
{
    const QFileInfo file(QFile::symLinkTarget(u"/proc/self/fd/%1"_s.arg(fd)));
    if (file.isDir())
        return u" folder"_s;
    return file.fileName().contains(u".tmp-") ? u" temporary"_s : u' ' + file.fileName();
}

/// Counts a watched call and says how to make it.
inline Step step(const char *name, int fd = -1)
{
    if (!on)
        return Make;
    if (dead)
        return Skip;
    const QScopedValueRollback notWhileNaming(on, false);
    calls.append(QString::fromLatin1(name) + (fd < 0 ? QString() : held(fd)));
    if (calls.size() - 1 != broken)
        return Make;
    if (fault == u"half")
        return Half;
    if (fault == u"nothing")
        return Skip;
    dead = fault == u"kill";
    errno = fault == u"EINTR" ? EINTR : EIO;
    return Fail;
}

/// What a call that is made, failed or skipped returns.
template<class F>
int result(Step step, F &&make)
{
    return step == Make ? make() : step == Fail ? -1 : 0;
}

} // namespace Watch

extern "C" ssize_t write(int fd, const void *data, size_t size)
{
    static const auto make = Watch::next<decltype(::write)>("write");
    const Watch::Step step = Watch::step("write", fd);
    return step == Watch::Half ? make(fd, data, size / 2)
                               : Watch::result(step, [&] { return make(fd, data, size); });
}

extern "C" int fsync(int fd)
{
    static const auto make = Watch::next<decltype(::fsync)>("fsync");
    return Watch::result(Watch::step("fsync", fd), [&] { return make(fd); });
}

extern "C" int renameat(int from, const char *old, int to, const char *name) noexcept
{
    static const auto make = Watch::next<decltype(::renameat)>("renameat");
    return Watch::result(Watch::step("renameat"), [&] { return make(from, old, to, name); });
}

extern "C" int unlinkat(int folder, const char *name, int flags) noexcept
{
    static const auto make = Watch::next<decltype(::unlinkat)>("unlinkat");
    return Watch::result(Watch::step("unlinkat"), [&] { return make(folder, name, flags); });
}
