#include "json.h"
#include "scriptimport.h"
#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

namespace {

struct Outcome
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

Outcome runCli(const QStringList &arguments)
{
    QProcess process;
    process.start(QStringLiteral(QUORBEL_CLI), arguments);
    if (!process.waitForFinished(30'000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(), process.readAllStandardError()};
}

const QString arctic = QStringLiteral(QUORBEL_FIXTURES "/scripts/arctic.csv");

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void checkPrintsTheScriptItWouldImport()
    {
        const Outcome outcome = runCli({QStringLiteral("check"), arctic});
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.err, QByteArray());
        const Json::Document printed(outcome.out, QStringLiteral("stdout"));
        QVERIFY2(Json::readScript(printed.root()) == ScriptImport::read(arctic),
            "the printed JSON holds exactly the imported script");
    }

    void reports_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // a prefix of standard output
        QTest::addColumn<QString>("err"); // a prefix of standard error

        const QString missing = QStringLiteral("/nonexistent/script.txt");
        QTest::addRow("unreadable file: the bare message")
            << QStringList {QStringLiteral("check"), missing} << 1 << QString()
            << QStringLiteral("Could not read “%1”: No such file or directory\n").arg(missing);
        QTest::addRow("a device, not a file")
            << QStringList {QStringLiteral("check"), QStringLiteral("/dev/null")} << 1 << QString()
            << QStringLiteral("Could not read “/dev/null”: Not a regular file\n");
        QTest::addRow("help") << QStringList {QStringLiteral("--help")} << 0
                              << QStringLiteral("Usage: quorbel-cli") << QString();
        QTest::addRow("no command")
            << QStringList() << 2 << QString() << QStringLiteral("Usage: quorbel-cli");
        QTest::addRow("check without a file") << QStringList {QStringLiteral("check")} << 2
                                              << QString() << QStringLiteral("Usage: quorbel-cli");
        QTest::addRow("record without a file") << QStringList {QStringLiteral("record")} << 2
                                               << QString() << QStringLiteral("Usage: quorbel-cli");
        QTest::addRow("record for no time")
            << QStringList {QStringLiteral("record"), QStringLiteral("/nonexistent/take.wav"),
                   QStringLiteral("--seconds"), QStringLiteral("0")}
            << 2 << QString() << QStringLiteral("Usage: quorbel-cli");
    }

    void reports()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const Outcome outcome = runCli(arguments);
        QCOMPARE(outcome.exitCode, exitCode);
        QVERIFY2(QString::fromUtf8(outcome.out).startsWith(out), outcome.out.constData());
        QVERIFY2(QString::fromUtf8(outcome.err).startsWith(err), outcome.err.constData());
        if (exitCode != 0)
            QVERIFY2(outcome.out.isEmpty(), "nothing on standard output after a failure");
    }

    void sessionCommands()
    {
        QTemporaryDir dir;
        Session session {1, Script::recordingTest(), 1, {}, {}};
        const QString folder = SessionDisk::create(session.script, dir.path()).folder;
        const auto take = [](const char *id) {
            return Take {
                id, QStringLiteral("takes/%1.wav").arg(id), 2.0, QDateTime::currentDateTimeUtc()};
        };
        session.takes[QStringLiteral("test-welcome")] = {take("t1"), take("t2")};
        SessionDisk::save(session, folder);
        writeFile(folder + QStringLiteral("/takes/t2.wav"), "RIFF");

        Outcome outcome = runCli({QStringLiteral("info"), folder});
        QCOMPARE(outcome.exitCode, 0);
        QCOMPARE(outcome.out,
            QByteArray("Title: Recording test\nLines: 2\nRecorded: 1\nTakes: 2\n"
                       "Current line: 2\nMissing audio files: 1\n"));

        outcome = runCli({QStringLiteral("export"), folder, dir.path()});
        QCOMPARE(outcome.exitCode, 0);
        const QStringList printed = QString::fromUtf8(outcome.out).split(u'\n');
        QCOMPARE(printed.value(0), QStringLiteral("Exported 1 of 2 lines."));
        QVERIFY2(QRegularExpression(QStringLiteral("/Quorbel-Export-[0-9A-F]{8}$"))
                     .match(printed.value(1))
                     .hasMatch(),
            qPrintable(printed.value(1)));
        QVERIFY(QFileInfo::exists(printed.value(1) + QStringLiteral("/test-welcome.wav")));

        session.selected[QStringLiteral("test-welcome")] = QStringLiteral("t1");
        SessionDisk::save(session, folder);
        outcome = runCli({QStringLiteral("export"), folder, dir.path()});
        QCOMPARE(outcome.exitCode, 1);
        QVERIFY2(outcome.err.startsWith(
                     "Export incomplete: Could not copy “" + folder.toUtf8() + "/takes/t1.wav”"),
            outcome.err.constData());
    }

    void checkReportsAFileRuleInItsOwnWords()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("lines.csv"));
        writeFile(path, "id,text\nfirst,One\nFirst,Two\n");
        const Outcome outcome = runCli({QStringLiteral("check"), path});
        QCOMPARE(outcome.exitCode, 1);
        QCOMPARE(outcome.err, QByteArray("Duplicate line ID: First\n"));
    }
};

QUORBEL_TEST_MAIN(CliTest)
#include "tst_cli.moc"
