#include "savefaults.h"

#include "samplesessions.h"
#include "sessiondisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <optional>
#include <unistd.h>

#ifndef QUORBEL_TEST_SAVER
#    error "QUORBEL_TEST_SAVER must name the quorbel-test-saver executable"
#endif

namespace {

// Only a guard against a hung helper: a save takes milliseconds, even under strace.
constexpr int processTimeoutMs = 60'000;

const QString saver = QStringLiteral(QUORBEL_TEST_SAVER);

// Every call that takes a path or a descriptor, so any call of the save in its folder shows up,
// and the count of each call matches the count strace's when= uses.
const QString traced = QStringLiteral("trace=%file,%desc");

bool isWrite(const QString &name)
{
    return name == u"write" || name == u"pwrite64" || name == u"writev" || name == u"pwritev"
        || name == u"pwritev2";
}

bool isFlush(const QString &name)
{
    return name == u"fsync" || name == u"fdatasync";
}

bool isRename(const QString &name)
{
    return name.startsWith(u"rename");
}

struct Outcome
{
    bool ended = false; ///< false: the process did not start, or did not end
    QProcess::ExitStatus status = QProcess::CrashExit;
    int exitCode = -1;
    QString errors; ///< its standard error, where the saver reports a failure
    QStringList trace; ///< strace's lines, when it ran under strace

    [[nodiscard]] bool exited(int code) const
    {
        return ended && status == QProcess::NormalExit && exitCode == code;
    }
    [[nodiscard]] QString describe() const
    {
        if (!ended)
            return QStringLiteral("it did not start or did not end");
        return QStringLiteral("%1 %2, standard error: “%3”")
            .arg(status == QProcess::NormalExit ? u"exit code" : u"crashed, code")
            .arg(exitCode)
            .arg(errors.trimmed());
    }
};

Outcome runToEnd(const QString &program, const QStringList &arguments, const QString &workingFolder,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess uut;
    uut.setWorkingDirectory(workingFolder);
    uut.setProcessEnvironment(environment);
    uut.start(program, arguments);
    Outcome outcome;
    if (!uut.waitForFinished(processTimeoutMs)) {
        uut.kill();
        uut.waitForFinished();
        return outcome;
    }
    outcome.ended = true;
    outcome.status = uut.exitStatus();
    outcome.exitCode = uut.exitCode();
    outcome.errors = QString::fromUtf8(uut.readAllStandardError());
    return outcome;
}

QByteArray documentIn(const QString &folder)
{
    QFile file(SessionDisk::documentPath(folder));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(no session.json)");
}

QStringList contentsOf(const QString &folder)
{
    return QDir(folder).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

/// What a failed save must print: the document's path, then the system's reason.
QString failureMessage(const QString &folder, const QString &reason)
{
    return QStringLiteral("Could not write “%1”: %2")
        .arg(SessionDisk::documentPath(folder), reason);
}

/// One line of strace's output: a call's name, its arguments and its result.
struct Line
{
    QString name;
    QString call; ///< "name(arguments)" without the result
    QString result; ///< "0", "-1 EIO (Input/output error) (INJECTED)", "?", …
};

std::optional<Line> parse(const QString &text)
{
    static const QRegularExpression shape(QStringLiteral(R"(^(?:\d+\s+)?([a-z0-9_]+)\((.*)$)"));
    const QRegularExpressionMatch match = shape.match(text);
    if (!match.hasMatch())
        return std::nullopt;
    const QString rest = match.captured(2);
    const qsizetype equals = rest.lastIndexOf(u" = ");
    if (equals < 0)
        return std::nullopt;
    return Line {
        match.captured(1), match.captured(1) + u'(' + rest.first(equals), rest.sliced(equals + 3)};
}

/// The call with the folder written as F, so calls from different runs compare equal; empty when
/// it does not touch the folder. -y shows a descriptor's path as <path>, an argument's as "path".
QString inFolder(const Line &line, const QString &folder)
{
    // execve names the folder among the saver's arguments; the save has not begun.
    if (line.name == u"execve")
        return {};
    QString call = line.call;
    call.replace(u'<' + folder + u'>', QStringLiteral("<F>"))
        .replace(u'<' + folder + u'/', QStringLiteral("<F/"))
        .replace(u'"' + folder + u'"', QStringLiteral("\"F\""))
        .replace(u'"' + folder + u'/', QStringLiteral("\"F/"));
    if (call == line.call)
        return {};
    // The temporary file's name is random each time.
    static const QRegularExpression temporary(QStringLiteral(R"(\.session\.json\.tmp-[0-9a-z]+)"));
    return call.replace(temporary, QStringLiteral(".session.json.tmp-*"));
}

QList<SaveFaultTest::Call> callsInFolder(const QStringList &trace, const QString &folder)
{
    QHash<QString, int> occurrences;
    QHash<QString, int> ordinals;
    QList<SaveFaultTest::Call> calls;
    for (const QString &text : trace) {
        const std::optional<Line> line = parse(text);
        if (!line)
            continue;
        const int occurrence = ++occurrences[line->name];
        const QString signature = inFolder(*line, folder);
        if (signature.isEmpty())
            continue;
        const QString target = isRename(line->name)
            ? QStringLiteral("the temporary file onto session.json")
            : signature.contains(u".session.json.tmp-*") ? QStringLiteral("the temporary file")
            : signature.contains(u"F/session.json")      ? QStringLiteral("session.json")
                                                         : QStringLiteral("the folder");
        calls.append({line->name, occurrence, ++ordinals[line->name], signature, target});
    }
    return calls;
}

/// The calls strace failed on purpose. A case whose fault never fired proves nothing.
QStringList injectedCalls(const QStringList &trace, const QString &folder)
{
    QStringList calls;
    for (const QString &text : trace) {
        const std::optional<Line> line = parse(text);
        if (line && line->result.endsWith(u"(INJECTED)")) {
            const QString signature = inFolder(*line, folder);
            calls.append(signature.isEmpty() ? line->call : signature);
        }
    }
    return calls;
}

/// The call the process was killed in: the last one strace shows, left without a result, before
/// "killed by SIGKILL". Empty when it was not killed.
QString killedIn(const QStringList &trace, const QString &folder)
{
    std::optional<Line> last;
    for (const QString &text : trace) {
        if (text.contains(u"+++ killed by SIGKILL +++"))
            return last && last->result == u"?" ? inFolder(*last, folder) : QString();
        if (std::optional<Line> line = parse(text))
            last = std::move(line);
    }
    return {};
}

QString callName(const SaveFaultTest::Call &call)
{
    return QStringLiteral("%1 #%2 on %3").arg(call.name).arg(call.ordinal).arg(call.target);
}

/// Saves `document` (the saver's name for it) into `folder` under strace, with `injection` as
/// strace's inject= value. The trace goes beside the folder, whose contents are checked.
Outcome saveUnderStrace(
    const QString &strace, const QString &document, const QString &folder, const QString &injection)
{
    const QString traceFile = folder + QStringLiteral(".trace");
    QStringList arguments {QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-o"),
        traceFile, QStringLiteral("-e"), traced};
    if (!injection.isEmpty())
        arguments << QStringLiteral("-e") << QStringLiteral("inject=") + injection;
    arguments << saver << document << folder;
    // LeakSanitizer cannot work under ptrace and would fail every save of a sanitized build.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    const QString asan = environment.value(QStringLiteral("ASAN_OPTIONS"));
    environment.insert(QStringLiteral("ASAN_OPTIONS"),
        (asan.isEmpty() ? asan : asan + u':') + QStringLiteral("detect_leaks=0"));
    Outcome outcome = runToEnd(strace, arguments, QFileInfo(folder).path(), environment);
    QFile file(traceFile);
    if (file.open(QIODevice::ReadOnly))
        outcome.trace = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
    return outcome;
}

/// One row per document and call of its save that `wanted` picks, with the fault to inject.
template<class Wanted>
void addCallRows(const QMap<QString, SaveFaultTest::Plan> &plans, Wanted wanted)
{
    QTest::addColumn<QString>("document");
    QTest::addColumn<int>("call");
    QTest::addColumn<QString>("fault");
    if (plans.isEmpty())
        QTest::addRow("no strace") << QString() << -1 << QString();
    for (auto plan = plans.cbegin(); plan != plans.cend(); ++plan) {
        for (qsizetype i = 0; i < plan->calls.size(); ++i) {
            const SaveFaultTest::Call &call = plan->calls[i];
            for (const QString &fault : wanted(call)) {
                QTest::addRow("%s: %s: %s", qPrintable(plan.key()), qPrintable(callName(call)),
                    qPrintable(fault))
                    << plan.key() << int(i) << fault;
            }
        }
    }
}

/// The current row's save, run under strace into `folder` with `action` (strace's inject=
/// action, such as "error=EIO") on the row's call.
struct Injected
{
    const SaveFaultTest::Plan &plan;
    int call;
    const SaveFaultTest::Call &target;
    Outcome uut;
};

Injected injectIntoRow(const QMap<QString, SaveFaultTest::Plan> &plans, const QString &strace,
    const QString &folder, const QString &action)
{
    QFETCH(QString, document);
    QFETCH(int, call);
    const SaveFaultTest::Plan &plan = *plans.constFind(document);
    const SaveFaultTest::Call &target = plan.calls[call];
    return {plan, call, target,
        saveUnderStrace(strace, document, folder,
            QStringLiteral("%1:%2:when=%3").arg(target.name, action).arg(target.occurrence))};
}

} // namespace

QString SaveFaultTest::newFolder()
{
    const QString folder = QStringLiteral("%1/case-%2").arg(m_rootPath).arg(++m_cases);
    QFile document(SessionDisk::documentPath(folder));
    if (!QDir().mkdir(folder) || !document.open(QIODevice::WriteOnly)
        || document.write(m_old) != m_old.size() || !document.flush())
        return {};
    return folder;
}

void SaveFaultTest::initTestCase()
{
    QVERIFY2(m_root.isValid(), "a temporary folder is needed for the session folders");
    m_rootPath = QFileInfo(m_root.path()).canonicalFilePath();
    QVERIFY2(QFileInfo(saver).isExecutable(),
        qPrintable(QStringLiteral("the helper %1 must be built with the tests").arg(saver)));
    m_old = SessionDisk::encode(SampleSessions::before());
    const QMap<QString, QByteArray> documents {
        {QStringLiteral("new"), SessionDisk::encode(SampleSessions::after())},
        {QStringLiteral("big"), SessionDisk::encode(SampleSessions::big())}};
    for (const QByteArray &bytes : documents)
        QVERIFY2(bytes != m_old,
            "each document must differ from the old, or no outcome tells them apart");

    m_strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
    if (m_strace.isEmpty()) {
        m_straceMissing = QStringLiteral("strace is not installed (Debian package strace), so no "
                                         "fault can be injected into a save");
        return;
    }

    // A save without faults shows which calls, and which occurrence of each, belong to the save
    // rather than to the loader or Qt starting up. The saver is single-threaded and deterministic,
    // so every later run of it makes the same calls in the same order.
    for (auto document = documents.cbegin(); document != documents.cend(); ++document) {
        const QString folder = newFolder();
        QVERIFY2(!folder.isEmpty(), "could not prepare a session folder");
        const Outcome baseline = saveUnderStrace(m_strace, document.key(), folder, {});
        if (!baseline.exited(0) && baseline.errors.contains(u"Operation not permitted")) {
            m_straceMissing = QStringLiteral("strace may not trace processes here (ptrace is not "
                                             "permitted): ")
                + baseline.errors.trimmed();
            m_strace.clear();
            m_plans.clear();
            return;
        }
        QVERIFY2(baseline.exited(0),
            qPrintable("a save under strace without faults must succeed; " + baseline.describe()));
        QVERIFY2(documentIn(folder) == *document, "a save without faults must leave its document");

        Plan plan {*document, callsInFolder(baseline.trace, folder), -1};
        QVERIFY2(!plan.calls.isEmpty(),
            qPrintable(QStringLiteral("strace showed no call of the save in %1; it escapes paths "
                                      "that are not printable ASCII, so TMPDIR must be one")
                           .arg(folder)));
        QStringList renames;
        for (qsizetype i = 0; i < plan.calls.size(); ++i) {
            if (isRename(plan.calls[i].name)) {
                renames.append(plan.calls[i].signature);
                plan.rename = i;
            }
        }
        QVERIFY2(renames.size() == 1,
            qPrintable("a save must move its document into place with exactly one rename; it "
                       "made: "
                + renames.join(u"; ")));
        m_plans.insert(document.key(), plan);
    }
}

void SaveFaultTest::savesWithoutFaults()
{
    const QString folder = newFolder();
    QVERIFY2(!folder.isEmpty(), "could not prepare a session folder");

    const Outcome uut = runToEnd(saver, {QStringLiteral("new"), folder}, m_rootPath);

    QVERIFY2(uut.exited(0) && uut.errors.isEmpty(),
        qPrintable("a save on a healthy disk must succeed silently; " + uut.describe()));
    QVERIFY2(documentIn(folder) == SessionDisk::encode(SampleSessions::after()),
        "the save must leave exactly the new document");
    QVERIFY2(contentsOf(folder) == QStringList {QStringLiteral("session.json")},
        qPrintable(
            "a save must leave nothing but session.json: " + contentsOf(folder).join(u", ")));
}

void SaveFaultTest::flushesAroundTheRename_data()
{
    QTest::addColumn<QString>("document");
    if (m_plans.isEmpty())
        QTest::addRow("no strace") << QString();
    for (const QString &document : m_plans.keys())
        QTest::addRow("%s", qPrintable(document)) << document;
}

// Injected faults cannot catch a missing flush: the save still succeeds, and only a power cut
// would lose the document. So the order of the flushes is checked on the trace itself.
void SaveFaultTest::flushesAroundTheRename()
{
    if (m_strace.isEmpty())
        QSKIP(qPrintable(m_straceMissing));
    QFETCH(QString, document);
    const Plan &plan = m_plans[document];

    qsizetype lastWrite = -1;
    qsizetype fileFlush = -1;
    qsizetype folderFlush = -1;
    for (qsizetype i = 0; i < plan.calls.size(); ++i) {
        const Call &call = plan.calls[i];
        QVERIFY2(!call.signature.contains(u"<F/session.json>"),
            qPrintable("session.json itself must never be opened for writing, or a crash can "
                       "leave it half-written: "
                + call.signature));
        if (i < plan.rename && call.target == u"the temporary file") {
            if (isWrite(call.name)) {
                lastWrite = i;
                fileFlush = -1;
            } else if (isFlush(call.name)) {
                fileFlush = i;
            }
        }
        if (i > plan.rename && call.target == u"the folder" && isFlush(call.name)
            && folderFlush < 0)
            folderFlush = i;
    }
    QVERIFY2(lastWrite >= 0, "the save must write its document to a temporary file");
    QVERIFY2(fileFlush > lastWrite,
        "the temporary file must be flushed after its last write and before the rename, or a "
        "power cut can leave session.json empty or cut short");
    QVERIFY2(folderFlush > plan.rename,
        "the folder must be flushed after the rename, or a power cut can bring back the old "
        "document after the save was reported done");
}

void SaveFaultTest::reportsEveryFailedCall_data()
{
    addCallRows(m_plans, [](const Call &call) {
        QStringList faults {QStringLiteral("EIO"), QStringLiteral("ENOSPC")};
        // A write that takes nothing at all: the disk cannot take more.
        if (isWrite(call.name))
            faults.append(QStringLiteral("nothing written"));
        return faults;
    });
}

void SaveFaultTest::reportsEveryFailedCall()
{
    if (m_strace.isEmpty())
        QSKIP(qPrintable(m_straceMissing));
    QFETCH(QString, fault);
    const QString folder = newFolder();
    QVERIFY2(!folder.isEmpty(), "could not prepare a session folder");

    const QString injection = fault == u"nothing written" ? QStringLiteral("retval=0")
                                                          : QStringLiteral("error=") + fault;
    const auto [plan, call, target, uut] = injectIntoRow(m_plans, m_strace, folder, injection);

    QVERIFY2(uut.ended, qPrintable(uut.describe()));
    const QStringList injected = injectedCalls(uut.trace, folder);
    QVERIFY2(injected == QStringList {target.signature},
        qPrintable(QStringLiteral("strace must fail exactly %1, or this case tests nothing; it "
                                  "failed: %2")
                       .arg(target.signature, injected.join(u"; "))));

    const QByteArray bytes = documentIn(folder);
    QVERIFY2(bytes == m_old || bytes == plan.bytes,
        "session.json must hold the old or the new document, never anything else");
    // The saver sets no locale, so its messages carry the C locale's wording.
    const QString reason = fault == u"EIO" ? QStringLiteral("Input/output error")
                                           : QStringLiteral("No space left on device");
    const QString message = failureMessage(folder, reason) + u'\n';
    if (call <= plan.rename) {
        QVERIFY2(uut.exited(1) && uut.errors == message,
            qPrintable(QStringLiteral("a failed save must be reported as “%1”; %2")
                           .arg(message.trimmed(), uut.describe())));
        QVERIFY2(
            bytes == m_old, "a failure before the rename must leave the old document untouched");
    } else {
        QVERIFY2(bytes == plan.bytes, "after the rename, session.json must hold the new document");
        // Until the folder is flushed the rename may be undone by a power cut, so its failure is
        // one the person must hear about. Other calls after it cannot lose the document.
        if (isFlush(target.name)) {
            QVERIFY2(uut.exited(1) && uut.errors == message,
                qPrintable(QStringLiteral("a failed folder flush must be reported as “%1”; %2")
                               .arg(message.trimmed(), uut.describe())));
        } else {
            QVERIFY2(
                (uut.exited(0) && uut.errors.isEmpty()) || (uut.exited(1) && uut.errors == message),
                qPrintable(
                    "the save must succeed or report its failure properly; " + uut.describe()));
        }
    }
    QVERIFY2(contentsOf(folder) == QStringList {QStringLiteral("session.json")},
        qPrintable("a failed save must leave no temporary file behind: "
            + contentsOf(folder).join(u", ")));
}

// A signal arriving during a call interrupts it; the call is repeated, and the save goes on.
void SaveFaultTest::recoversFromInterruptedCalls_data()
{
    addCallRows(m_plans, [](const Call &call) {
        if (isWrite(call.name) || isFlush(call.name) || call.name == u"close")
            return QStringList {QStringLiteral("EINTR")};
        return QStringList();
    });
}

void SaveFaultTest::recoversFromInterruptedCalls()
{
    if (m_strace.isEmpty())
        QSKIP(qPrintable(m_straceMissing));
    QFETCH(QString, fault);
    const QString folder = newFolder();
    QVERIFY2(!folder.isEmpty(), "could not prepare a session folder");

    const auto [plan, call, target, uut]
        = injectIntoRow(m_plans, m_strace, folder, QStringLiteral("error=") + fault);

    const QStringList injected = injectedCalls(uut.trace, folder);
    QVERIFY2(injected == QStringList {target.signature},
        qPrintable(QStringLiteral("strace must fail exactly %1, or this case tests nothing; it "
                                  "failed: %2")
                       .arg(target.signature, injected.join(u"; "))));
    QVERIFY2(uut.exited(0) && uut.errors.isEmpty(),
        qPrintable("a save must ride out an " + fault + "; " + uut.describe()));
    QVERIFY2(documentIn(folder) == plan.bytes, "the save must leave exactly the new document");
    QVERIFY2(contentsOf(folder) == QStringList {QStringLiteral("session.json")},
        qPrintable(
            "a save must leave nothing but session.json: " + contentsOf(folder).join(u", ")));
}

// A crash or a power cut can stop the save at any call. The process is killed as each call
// begins, so that call never happens.
void SaveFaultTest::keepsADocumentWhenKilled_data()
{
    addCallRows(m_plans, [](const Call &) { return QStringList {QStringLiteral("SIGKILL")}; });
}

void SaveFaultTest::keepsADocumentWhenKilled()
{
    if (m_strace.isEmpty())
        QSKIP(qPrintable(m_straceMissing));
    QFETCH(QString, fault);
    const QString folder = newFolder();
    QVERIFY2(!folder.isEmpty(), "could not prepare a session folder");

    const auto [plan, call, target, uut]
        = injectIntoRow(m_plans, m_strace, folder, QStringLiteral("signal=") + fault);

    const QString killed = killedIn(uut.trace, folder);
    QVERIFY2(killed == target.signature,
        qPrintable(QStringLiteral("the saver must be killed as %1 begins, or this case tests "
                                  "nothing; it died in “%2”, %3")
                       .arg(target.signature, killed, uut.describe())));
    QVERIFY2(call <= plan.rename ? documentIn(folder) == m_old : documentIn(folder) == plan.bytes,
        call <= plan.rename ? "killed before its rename, the save must leave the old document"
                            : "killed after its rename, the save must leave the new document");
    QStringList leftovers = contentsOf(folder);
    leftovers.removeOne(QStringLiteral("session.json"));
    QVERIFY2(leftovers.size() <= 1
            && (leftovers.isEmpty() || leftovers[0].startsWith(u".session.json.tmp-")),
        qPrintable("a killed save may leave its one temporary file and nothing else: "
            + leftovers.join(u", ")));

    // What a crash left behind must not stand in the way of the next save.
    QFETCH(QString, document);
    const Outcome next = runToEnd(saver, {document, folder}, m_rootPath);
    QVERIFY2(next.exited(0) && documentIn(folder) == plan.bytes,
        qPrintable("the next save after a crash must succeed; " + next.describe()));
}

// A real file system that fills up during the write: the kernel's own short writes and ENOSPC,
// not injected ones. tmpfs counts whole pages, so its size sets exactly where the big document
// stops fitting beside the old one. A private mount namespace keeps it out of everyone's way.
void SaveFaultTest::handlesAFullDisk_data()
{
    QTest::addColumn<qint64>("diskBytes");
    QTest::addColumn<bool>("fits");
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const auto pages = [page](qint64 bytes) { return (bytes + page - 1) / page; };
    const qint64 both
        = pages(m_old.size()) + pages(SessionDisk::encode(SampleSessions::big()).size());
    QTest::addRow("64 KiB: full almost at once") << qint64(64 * 1024) << false;
    // Only the last page is missing, so the save runs out of space in its last piece, where a
    // short write taken for a whole one would leave a cut-short document.
    QTest::addRow("one page short") << (both - 1) * page << false;
    // Proves that the disk above really was short by only that page.
    QTest::addRow("just enough") << both * page << true;
}

void SaveFaultTest::handlesAFullDisk()
{
    const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
    if (unshare.isEmpty())
        QSKIP("unshare (Debian package util-linux) is not installed, so no full disk can be made");
    QFETCH(qint64, diskBytes);
    QFETCH(bool, fits);
    const QString disk = QStringLiteral("%1/disk-%2").arg(m_rootPath).arg(++m_cases);
    const QString outcome = disk + QStringLiteral("-outcome");
    QVERIFY2(QDir().mkdir(disk) && QDir().mkdir(outcome), "could not prepare the folders");

    // Everything on the tmpfs vanishes with the namespace, so the outcome is copied out first.
    const QString script = QStringLiteral(R"(
        mount -t tmpfs -o "size=$4" quorbel-full "$1" || exit
        : > "$3/mounted"
        "$2" old "$1" 2> "$3/old-errors"; echo $? > "$3/old-exit"
        "$2" big "$1" 2> "$3/errors"; echo $? > "$3/exit"
        cp "$1/session.json" "$3/session.json"
        ls -A "$1" > "$3/contents"
    )");
    const Outcome uut = runToEnd(unshare,
        {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"), script,
            QStringLiteral("sh"), disk, saver, outcome, QString::number(diskBytes)},
        m_rootPath);
    auto read = [&outcome](const char *name) {
        QFile file(outcome + u'/' + QString::fromLatin1(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };

    if (!QFileInfo::exists(outcome + QStringLiteral("/mounted")))
        QSKIP(qPrintable("cannot mount a tmpfs in a private mount namespace here (unshare -m and "
                         "mount need root or CAP_SYS_ADMIN): "
            + uut.describe()));
    QVERIFY2(read("old-exit") == "0\n",
        qPrintable(
            "the old session must fit on the disk: " + QString::fromUtf8(read("old-errors"))));
    const QString errors = QString::fromUtf8(read("errors"));
    const QString result = "the saver exited " + QString::fromUtf8(read("exit")).trimmed()
        + " with “" + errors.trimmed() + "”";
    if (fits) {
        QVERIFY2(read("exit") == "0\n" && errors.isEmpty(),
            qPrintable("a save with just enough room must succeed; " + result));
        QVERIFY2(read("session.json") == SessionDisk::encode(SampleSessions::big()),
            "a save with just enough room must leave exactly the new document");
    } else {
        QVERIFY2(read("exit") == "1\n" && errors.startsWith(failureMessage(disk, {}))
                && errors.contains(u"No space left on device"),
            qPrintable("a save onto a full disk must report it; " + result));
        QVERIFY2(read("session.json") == m_old,
            "a save onto a full disk must leave the old document untouched");
    }
    QVERIFY2(read("contents") == "session.json\n",
        qPrintable("a save must leave no temporary file taking up the disk: "
            + QString::fromUtf8(read("contents")).trimmed()));
}
