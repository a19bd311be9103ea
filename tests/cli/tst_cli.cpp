#include "sessiondisk.h"
#include "testfiles.h"
#include "testmain.h"

#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

/// quorbel-cli's commands on a script and a session folder: what each prints where, and its exit
/// code. The rules behind them are the import's and the store's, checked in their own tests.
class CliTest : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString expand(QString text) const { return text.replace("$D", m_dir.path()); }
    static constexpr char uuid[] = "5A0E3F52-7C4B-4D8E-9A1F-2B3C4D5E6F70";
    const QString orphan = QStringLiteral("session/takes/test-welcome-%1.wav").arg(uuid);

private slots:
    void initTestCase()
    {
        writeFile(m_dir.filePath("s.csv"), "id,text\nfirst,One\n");
        QVERIFY(QDir(m_dir.path()).mkpath("session/takes"));
        // Three takes of one line: its audio present, a link that leads nowhere, nothing.
        QList<Take> takes;
        for (const char *id : {"t1", "t2", "t3"})
            takes.append(
                {id, QStringLiteral("takes/%1.wav").arg(id), 2, QDateTime::currentDateTimeUtc()});
        SessionDisk::save(
            {1, Script::recordingTest(), 1, {{"test-welcome", takes}}, {{"test-welcome", "t1"}}},
            m_dir.filePath("session"));
        writeFile(m_dir.filePath("session/takes/t1.wav"), "RIFF");
        QVERIFY(QFile::link("gone.wav", m_dir.filePath("session/takes/t2.wav")));
        // Takes no take names: one cut off before its header counted any audio, one too short.
        writeFile(m_dir.filePath(orphan), takeBytes(48000, 0));
        writeFile(m_dir.filePath(QStringLiteral("session/takes/test-ending-%1.wav").arg(uuid)),
            takeBytes(480, 480));
    }

    void run_data()
    {
        QTest::addColumn<QString>("arguments"); // $D: a folder of the test's
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // "Usage: quorbel-cli…": the usage text
        QTest::addColumn<QString>("err");

        auto row = [](const char *name, const char *arguments, int exitCode, const QString &out,
                       const QString &err = {}) {
            QTest::addRow("%s", name) << arguments << exitCode << out << err;
        };
        row("check prints the script as JSON", "check $D/s.csv", 0,
            "{\n  \"lines\": [\n    {\n      \"id\": \"first\",\n      \"text\": \"One\"\n    }\n"
            "  ],\n  \"title\": \"s\"\n}\n");
        row("check says what is wrong", "check $D/none.csv", 1, "",
            "Could not read “$D/none.csv”: No such file or directory\n");
        row("info", "info $D/session", 0,
            "Title: Recording test\nLines: 2\nRecorded: 1\nTakes: 3\nCurrent line: 2\n"
            "Missing audio files: 2\nTakes to recover: 1\n"
            "  takes/test-welcome-5A0E3F52-7C4B-4D8E-9A1F-2B3C4D5E6F70.wav (1.0 s)\n");
        row("export", "export $D/session $D", 0, "Exported 1 of 2 lines.\n$D/Quorbel-Export-…\n");
        row("export into a missing folder", "export $D/session $D/none", 1, "",
            "Could not create the folder “$D/none/Quorbel-Export-…”: No "
            "such file or directory\n");
        row("export into an empty folder name", "export $D/session ''", 2, "",
            "The folder to export into is empty.\nUsage: quorbel-cli…");
        row("help", "--help", 0, "Usage: quorbel-cli…");
        row("no command", "", 2, "", "Usage: quorbel-cli…");
        row("check without a file", "check", 2, "", "Usage: quorbel-cli…");
        row("record for no time", "record $D/take.wav --seconds 0", 2, "", "Usage: quorbel-cli…");
    }

    void run()
    {
        QFETCH(QString, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        QProcess cli;
        QStringList words = expand(arguments).split(u' ', Qt::SkipEmptyParts);
        words.replaceInStrings(QRegularExpression(QStringLiteral("^''$")), QString());
        cli.start(QStringLiteral(QUORBEL_CLI), words);
        QVERIFY(cli.waitForFinished(30'000) && cli.exitStatus() == QProcess::NormalExit);
        QCOMPARE(cli.exitCode(), exitCode);
        // What changes from run to run, and the usage text, which is shown, not checked.
        static const QRegularExpression variable(QStringLiteral(
            R"((?m)(?<=Quorbel-Export-)[0-9A-F]{8}|(?<=^Usage: quorbel-cli)[\s\S]*)"));
        const QString printed = QString::fromUtf8(cli.readAllStandardOutput());
        QCOMPARE(QString(printed).replace(variable, "…"), expand(out));
        QCOMPARE(QString::fromUtf8(cli.readAllStandardError()).replace(variable, "…"), expand(err));
        QVERIFY2(readFile(m_dir.filePath(orphan)) == takeBytes(48000, 0), "only opening mends");
        if (arguments.startsWith(u"export") && exitCode == 0)
            QVERIFY(QFile::exists(printed.section(u'\n', 1, 1) + "/test-welcome.wav"));
    }
};

QUORBEL_TEST_MAIN(CliTest)
#include "tst_cli.moc"
