#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

/// quorbel-cli's commands on a script and a session folder, and without a sound server: what
/// each prints where, and its exit code. The rules behind them are the import's and the store's,
/// checked in their own tests; recording is the platform tests'.
class CliTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const QString orphan
        = QStringLiteral("session/takes/test-welcome-5A0E3F52-7C4B-4D8E-9A1F-2B3C4D5E6F70.wav");

private slots:
    void initTestCase()
    {
        writeFile(m_dir.filePath("s.csv"), "id,text\nfirst,One\n");
        QVERIFY(QDir(m_dir.path()).mkpath("session/takes"));
        // Three takes of one line: a quiet tone, a link that leads nowhere, nothing.
        QList<Take> takes;
        for (const QString id : {"t1", "t2", "t3"})
            takes.append({id, "takes/" + id + ".wav", 2, QDateTime::currentDateTimeUtc()});
        SessionDisk::save(
            {1, Script::recordingTest(), 1, {{"test-welcome", takes}}, {{"test-welcome", "t1"}}},
            m_dir.filePath("session"));
        writeFile(m_dir.filePath("session/takes/t1.wav"), takeBytes(96000, 96000));
        QVERIFY(QFile::link("gone.wav", m_dir.filePath("session/takes/t2.wav")));
        // A take no take names, cut off before its header counted any audio.
        writeFile(m_dir.filePath(orphan), takeBytes(72000, 0));
        // No sound server: the microphone commands find no microphone.
        qputenv("PULSE_SERVER", "unix:/nonexistent/native");
    }

    void run_data()
    {
        QTest::addColumn<QString>("arguments"); // $D: a folder of the test's
        QTest::addColumn<QString>("out"); // "Usage:…": the usage text
        QTest::addColumn<QString>("err"); // empty: the command succeeded
        auto row = [](const char *name, const char *arguments, const QString &out,
                       const QString &err = {}) {
            QTest::addRow("%s", name) << arguments << out << err;
        };
        // check prints the script as JSON.
        row("check", "check $D/s.csv",
            "{\n  \"lines\": [\n    {\n      \"id\": \"first\",\n"
            "      \"text\": \"One\"\n    }\n  ],\n  \"title\": \"s\"\n}\n");
        row("check says what is wrong", "check $D/none.csv", "",
            "Could not read “$D/none.csv”: No such file or directory\n");
        row("info", "info $D/session",
            "Title: Recording test\nLines: 2\nRecorded: 1\nTakes: 3\nCurrent line: 2\n"
            "Missing audio files: 2\nTakes to recover: 1\n"
            "  takes/test-welcome-5A0E3F52-7C4B-4D8E-9A1F-2B3C4D5E6F70.wav (1.5 s)\n");
        row("takes", "takes $D/session",
            "test-welcome\t1\t*\t2.00 s\t-66.2 dBFS\t-66.2 dB\ttoo-quiet,no-speech\n"
            "test-welcome\t2\t-\t2.00 s\tcould not check: Could not read "
            "“$D/session/takes/t2.wav”: "
            "Too many levels of symbolic links\n"
            "test-welcome\t3\t-\t2.00 s\tcould not check: Could not read "
            "“$D/session/takes/t3.wav”: "
            "No such file or directory\n");
        // $J: the folder as JSON writes it.
        row("takes as JSON", "takes $D/session --json",
            R"([{"line":"test-welcome","take":1,"file":"takes\/t1.wav","chosen":true,"duration":2.0,)"
            R"("peak":-66.22659904607586,"noiseFloor":-66.22659904607586,"flags":["too-quiet",)"
            R"("no-speech"]},{"line":"test-welcome","take":2,"file":"takes\/t2.wav","chosen":false,)"
            R"("duration":2.0,"failure":"Could not read “$J\/session\/takes\/t2.wav”: Too many )"
            R"(levels of symbolic links","flags":[]},{"line":"test-welcome","take":3,"file":)"
            R"("takes\/t3.wav","chosen":false,"duration":2.0,"failure":"Could not read )"
            R"(“$J\/session\/takes\/t3.wav”: No such file or directory","flags":[]}])"
            "\n");
        row("export", "export $D/session $D", "Exported 1 of 2 lines.\n$D/Quorbel-Export-…\n");
        row("export into an empty folder name", "export $D/session ''", "",
            "The folder to export into is empty.\nUsage:…");
        row("help", "--help", "Usage:…");
        row("no command", "", "", "No command given.\nUsage:…");
        row("check without a file", "check", "",
            "Wrong arguments for “check”; see its line below.\nUsage:…");
        // Options are known by the usage text that names them.
        row("an option of no command", "takes $D/session --csv", "",
            "Unknown option “--csv”.\nUsage:…");
        row("record for no time", "record $D/take.wav --seconds 0", "",
            "--seconds needs a number of seconds greater than 0, not “0”.\nUsage:…");
        row("devices, no microphone", "devices", "", "No microphone detected.\n");
        row("record, no microphone", "record $D/take.wav", "", "No microphone detected.\n");
    }

    void run()
    {
        QFETCH(QString, arguments);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess cli;
        QStringList words = arguments.replace("$D", m_dir.path()).split(u' ', Qt::SkipEmptyParts);
        cli.start(QUORBEL_CLI, words.replaceInStrings(QRegularExpression("^''$"), QString()));
        QVERIFY(cli.waitForFinished(30'000) && cli.exitStatus() == QProcess::NormalExit);
        // Exit code 2 for a command used wrongly, 1 for any other failure.
        QCOMPARE(cli.exitCode(), err.isEmpty() ? 0 : err.contains(u"Usage:") ? 2 : 1);
        // What changes from run to run, and the usage text, which is shown, not checked.
        static const QRegularExpression variable(R"((?ms)(?<=Export-)\w{8}|(?<=^Usage:).*)");
        QCOMPARE(QString::fromUtf8(cli.readAllStandardOutput()).replace(variable, "…"),
            out.replace("$D", m_dir.path()).replace("$J", m_dir.path().replace('/', "\\/")));
        QCOMPARE(QString::fromUtf8(cli.readAllStandardError()).replace(variable, "…"),
            err.replace("$D", m_dir.path()));
        QVERIFY2(readFile(m_dir.filePath(orphan)) == takeBytes(72000, 0), "only opening mends");
    }
};

QUORBEL_TEST_MAIN(CliTest)
#include "tst_cli.moc"
