#pragma once

// Real saves in a process of their own (quorbel-test-saver), broken from outside: strace fails,
// interrupts or kills each system call the save makes in the session folder, and a tiny tmpfs
// fills up halfway through a write. Whatever happens, session.json must hold the old or the new
// document, a failure must be reported, and no temporary file may stay behind.

#include "samplesessions.h"
#include "sessiondisk.h"
#include "testfiles.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

/// What a failed write reports: the saver prints it, and the store's own tests expect it.
inline QString couldNotWrite(const QString &path, const QString &reason)
{
    return QStringLiteral("Could not write “%1”: %2").arg(path, reason);
}

class SaveFaultTest : public QObject
{
    Q_OBJECT

    /// One system call of the save in its folder, as strace shows it.
    struct Call
    {
        QString name; ///< "fsync", "renameat", …
        int occurrence = 0; ///< its number among the process's calls of that name: when= for strace
        QString signature; ///< without its result; the folder as F, the temporary name as *
        QString result; ///< "0", "-1 EIO (Input/output error) (INJECTED)", "?" when killed in it
        [[nodiscard]] bool onTemporary() const { return signature.contains(u".tmp-*"); }
    };

    struct Run
    {
        int exit = -1; ///< -1 when it crashed or did not end
        QString output; ///< standard output and error, where the saver reports a failure
        QList<Call> calls; ///< under strace, its calls in the folder
    };

    static bool isWrite(const QString &name) { return name.contains(u"write"); }
    static bool isFlush(const QString &name) { return name.endsWith(u"sync"); }

    static Run run(const QString &program, const QStringList &arguments, const QString &folder)
    {
        QProcess process;
        process.setWorkingDirectory(folder);
        process.setProcessChannelMode(QProcess::MergedChannels);
        // LeakSanitizer cannot work under ptrace and would fail every save of a sanitized build.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
        environment.insert(QStringLiteral("ASAN_OPTIONS"),
            asan + QLatin1String(asan.isEmpty() ? "" : ":") + QStringLiteral("detect_leaks=0"));
        process.setProcessEnvironment(environment);
        process.start(program, arguments);
        // Only a guard against a hung helper: a save takes milliseconds, even under strace.
        if (!process.waitForFinished(60'000)) {
            process.kill();
            process.waitForFinished();
            return {};
        }
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromUtf8(process.readAll()), {}};
    }

    /// Saves the big session over the old one in `folder` under strace, with `injection` as
    /// strace's inject= value when one is given.
    [[nodiscard]] Run saveUnderStrace(const QString &folder, const QString &injection = {}) const
    {
        const QString trace = folder + QStringLiteral(".trace");
        // Every call that takes a path or a descriptor, so each call of the save in its folder
        // shows up and the count of each name is the one strace's when= uses.
        QStringList arguments {"-f", "-y", "-o", trace, "-e", "trace=%file,%desc"};
        if (!injection.isEmpty())
            arguments << QStringLiteral("-e") << QStringLiteral("inject=") + injection;
        Run result = run(m_strace, arguments << m_saver << QStringLiteral("big") << folder, m_root);

        static const QRegularExpression shape(
            QStringLiteral(R"(^(?:\d+\s+)?(\w+)\((.*)\s+= (.+)$)"));
        static const QRegularExpression temporary(QStringLiteral(R"(\.session\.json\.tmp-\w+)"));
        QHash<QString, int> occurrences;
        for (const QString &line : QString::fromUtf8(readFile(trace)).split(u'\n')) {
            const QRegularExpressionMatch match = shape.match(line);
            const QString name = match.captured(1);
            const int occurrence = match.hasMatch() ? ++occurrences[name] : 0;
            QString signature = name + u'(' + match.captured(2).trimmed();
            // execve names the folder among the saver's arguments, before the save begins.
            if (match.hasMatch() && name != u"execve" && signature.contains(folder)) {
                signature.replace(folder, QStringLiteral("F"))
                    .replace(temporary, QStringLiteral(".session.json.tmp-*"));
                result.calls.append({name, occurrence, signature, match.captured(3)});
            }
        }
        return result;
    }

    /// A new session folder holding the old document.
    QString newFolder()
    {
        const QString folder = QStringLiteral("%1/case-%2").arg(m_root).arg(++m_cases);
        QDir().mkdir(folder);
        writeFile(SessionDisk::documentPath(folder), m_old);
        return folder;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_directory.isValid());
        m_old = SessionDisk::encode(SampleSessions::before());
        m_new = SessionDisk::encode(SampleSessions::big());
        m_root = QFileInfo(m_directory.path()).canonicalFilePath(); // as strace shows paths
        QVERIFY2(QFileInfo(m_saver).isExecutable(), "quorbel-test-saver is built with the tests");
        m_strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
        if (m_strace.isEmpty()) {
            m_straceMissing = QStringLiteral("strace (Debian package strace) is not installed");
            return;
        }
        // A save without faults shows which calls belong to the save rather than to the loader
        // starting up. The saver is single-threaded and starts no event loop, so every later run
        // makes the same calls in the same order.
        const QString folder = newFolder();
        const Run baseline = saveUnderStrace(folder);
        if (baseline.exit != 0 && baseline.output.contains(u"Operation not permitted")) {
            m_straceMissing = QStringLiteral("strace may not trace here: ") + baseline.output;
            return;
        }
        QVERIFY2(baseline.exit == 0 && baseline.output.isEmpty()
                && readFile(SessionDisk::documentPath(folder)) == m_new
                && entries(folder) == QStringList {QStringLiteral("session.json")},
            qPrintable("a save without faults leaves the new document and nothing else: "
                + baseline.output));
        for (qsizetype i = 0; i < baseline.calls.size(); ++i) {
            if (baseline.calls[i].name.startsWith(u"rename")) {
                QVERIFY2(m_rename < 0, "a save moves its document into place with one rename");
                m_rename = i;
            }
        }
        // strace escapes paths that are not printable ASCII, and then no call matches.
        QVERIFY2(m_rename >= 0, "strace shows the save's rename; TMPDIR must be printable ASCII");
        m_calls = baseline.calls;
    }

    // Injected faults cannot catch a missing flush: the save still succeeds, and only a power
    // cut would lose the document. So the order of the flushes is checked on the trace itself.
    void flushesAroundTheRename()
    {
        if (m_calls.isEmpty())
            QSKIP(qPrintable(m_straceMissing));
        qsizetype lastWrite = -1, fileFlush = -1, folderFlush = -1;
        for (qsizetype i = 0; i < m_calls.size(); ++i) {
            const Call &call = m_calls[i];
            QVERIFY2(!call.signature.contains(u"<F/session.json>"),
                qPrintable("session.json itself is never opened, or a crash can leave it "
                           "half-written: "
                    + call.signature));
            if (i < m_rename && call.onTemporary() && isWrite(call.name))
                lastWrite = i;
            if (i < m_rename && call.onTemporary() && isFlush(call.name))
                fileFlush = i;
            if (i > m_rename && !call.onTemporary() && isFlush(call.name))
                folderFlush = i;
        }
        QVERIFY2(lastWrite >= 0 && fileFlush > lastWrite,
            "the temporary file is flushed after its last write and before the rename, or a "
            "power cut can leave session.json empty or cut short");
        QVERIFY2(folderFlush > m_rename,
            "the folder is flushed after the rename, or a power cut can bring back the old "
            "document after the save was reported done");
    }

    void survivesAFaultInEveryCall_data()
    {
        QTest::addColumn<int>("call");
        QTest::addColumn<QString>("fault"); // strace's inject= action
        if (m_calls.isEmpty())
            QTest::addRow("no strace") << -1 << QString();
        for (int i = 0; i < m_calls.size(); ++i) {
            const QString &name = m_calls[i].name;
            QStringList faults {"error=EIO", "error=ENOSPC", "signal=SIGKILL"};
            // A write that takes nothing at all: the disk cannot take more.
            if (isWrite(name))
                faults << QStringLiteral("retval=0");
            // A signal arriving during the call: it is repeated, and the save goes on.
            if (isWrite(name) || isFlush(name) || name == u"close")
                faults << QStringLiteral("error=EINTR");
            for (const QString &fault : faults) {
                QTest::addRow("call %d, %s on %s: %s", i, qPrintable(name),
                    m_calls[i].onTemporary() ? "the temporary file" : "the folder",
                    qPrintable(fault))
                    << i << fault;
            }
        }
    }

    void survivesAFaultInEveryCall()
    {
        QFETCH(int, call);
        QFETCH(QString, fault);
        if (call < 0)
            QSKIP(qPrintable(m_straceMissing));
        const Call &target = m_calls[call];
        const QString folder = newFolder();
        const Run uut = saveUnderStrace(
            folder, QStringLiteral("%1:%2:when=%3").arg(target.name, fault).arg(target.occurrence));

        QStringList broken;
        for (const Call &c : uut.calls) {
            if (c.result == u"?" || c.result.endsWith(u"(INJECTED)"))
                broken.append(c.signature);
        }
        QVERIFY2(broken == QStringList {target.signature},
            qPrintable("strace must break exactly " + target.signature
                + ", or the row tests nothing; it broke: " + broken.join(u"; ")));

        // Killed as the call begins, the call never happens: before the rename, no rename.
        const bool killed = fault.startsWith(u"signal=");
        const bool interrupted = fault == u"error=EINTR";
        const bool renamed = interrupted || call > m_rename;
        QVERIFY2(readFile(SessionDisk::documentPath(folder)) == (renamed ? m_new : m_old),
            renamed ? "session.json holds the new document" : "session.json keeps the old one");
        QStringList left = entries(folder);
        left.removeOne(QStringLiteral("session.json"));
        QVERIFY2(left.isEmpty()
                || (killed && left.size() == 1 && left[0].startsWith(u".session.json.tmp-")),
            qPrintable("only a killed save may leave its temporary file, and nothing else: "
                + left.join(u", ")));
        if (killed) {
            // What a crash left behind must not stand in the way of the next save.
            const Run next = run(m_saver, {QStringLiteral("big"), folder}, m_root);
            QVERIFY2(next.exit == 0 && readFile(SessionDisk::documentPath(folder)) == m_new,
                qPrintable("the next save after a crash succeeds: " + next.output));
            return;
        }
        // The saver sets no locale, so the system's reason comes in the C locale's words. Until
        // the folder is flushed a power cut may undo the rename, so a failed flush is reported
        // too; other calls after the rename cannot lose the document.
        const bool silent = uut.exit == 0 && uut.output.isEmpty();
        const bool reported = uut.exit == 1
            && uut.output
                == couldNotWrite(SessionDisk::documentPath(folder),
                       fault == u"error=EIO" ? "Input/output error" : "No space left on device")
                    + u'\n';
        const bool mustReport = !interrupted && (call <= m_rename || isFlush(target.name));
        QVERIFY2(mustReport ? reported : silent || (!interrupted && reported),
            qPrintable(QStringLiteral("exit code %1, “%2”").arg(uut.exit).arg(uut.output)));
    }

    // A real file system that fills up during the write: the kernel's own short writes and
    // ENOSPC, not injected ones. tmpfs counts whole pages, so its size sets exactly where the big
    // document stops fitting beside the old one. A private mount namespace keeps it out of
    // everyone's way.
    void handlesAFullDisk_data()
    {
        QTest::addColumn<qint64>("diskBytes");
        QTest::addColumn<bool>("fits");
        const qint64 page = ::sysconf(_SC_PAGESIZE);
        const qint64 both = (m_old.size() + page - 1) / page + (m_new.size() + page - 1) / page;
        QTest::addRow("64 KiB: full almost at once") << qint64(64 * 1024) << false;
        // Only the last page is missing, so the save runs out of space in its last piece, where
        // a short write taken for a whole one would leave a cut-short document.
        QTest::addRow("one page short") << (both - 1) * page << false;
        // Proves that the disk above really was short by only that page.
        QTest::addRow("just enough") << both * page << true;
    }

    void handlesAFullDisk()
    {
        const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
        if (unshare.isEmpty())
            QSKIP("unshare (Debian package util-linux) is not installed");
        QFETCH(qint64, diskBytes);
        QFETCH(bool, fits);
        const QString disk = QStringLiteral("%1/disk-%2").arg(m_root).arg(++m_cases);
        QVERIFY(QDir().mkdir(disk));
        // Everything on the tmpfs vanishes with the namespace, so the document is copied out.
        const QString script = QStringLiteral(R"(
            mount -t tmpfs -o "size=$3" quorbel-full "$1" || exit 99
            "$2" old "$1" || exit 98
            "$2" big "$1"; echo "exit $?"; ls -A "$1"; cp "$1/session.json" "$1.json"
        )");
        const Run uut = run(unshare,
            {"-m", "sh", "-c", script, "sh", disk, m_saver, QString::number(diskBytes)}, m_root);
        if (uut.exit == 99)
            QSKIP(qPrintable("cannot mount a tmpfs in a private mount namespace here (that needs "
                             "root or CAP_SYS_ADMIN): "
                + uut.output));
        QCOMPARE(uut.output,
            fits ? QStringLiteral("exit 0\nsession.json\n")
                 : couldNotWrite(SessionDisk::documentPath(disk), "No space left on device")
                    + QStringLiteral("\nexit 1\nsession.json\n"));
        QCOMPARE(readFile(disk + QStringLiteral(".json")), fits ? m_new : m_old);
    }

private:
    QTemporaryDir m_directory;
    QString m_root; ///< m_directory without symbolic links
    const QString m_saver = QStringLiteral(QUORBEL_TEST_SAVER);
    QByteArray m_old; ///< the document each save replaces
    QByteArray m_new; ///< the big one it writes, in several pieces
    QString m_strace;
    QString m_straceMissing; ///< why the strace cases cannot run
    QList<Call> m_calls; ///< the save's calls in the folder, in order, when strace can run
    qsizetype m_rename = -1; ///< the index in m_calls of the rename into place
    int m_cases = 0;
};
