#pragma once

// Session folders on disk: creation, removal of takes with its recovery protocol, and export.

#include "apperror.h"
#include "json.h"
#include "sessiondisk.h"
#include "testfiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace Folders {

inline Take take(const QString &id)
{
    return {id, QStringLiteral("takes/%1.wav").arg(id), 1.5,
        QDateTime::fromSecsSinceEpoch(1'796'555'109, Qt::UTC)};
}

/// Lines a, b and c; a has two takes with the second selected, b one, c one whose file is gone.
inline Session recorded()
{
    Session session {1,
        {QStringLiteral("Folders"),
            {{QStringLiteral("a"), QStringLiteral("Alpha / one"), QStringLiteral("soft")},
                {QStringLiteral("b"), QStringLiteral("Beta"), std::nullopt},
                {QStringLiteral("c"), QStringLiteral("Gamma"), std::nullopt}}},
        2, {}, {}};
    session.takes[QStringLiteral("a")] = {take(QStringLiteral("a-1")), take(QStringLiteral("a-2"))};
    session.takes[QStringLiteral("b")] = {take(QStringLiteral("b-1"))};
    session.takes[QStringLiteral("c")] = {take(QStringLiteral("c-1"))};
    session.selected[QStringLiteral("a")] = QStringLiteral("a-2");
    return session;
}

/// A session folder holding recorded() and the audio of every take but c-1.
inline QString makeFolder(const QTemporaryDir &dir)
{
    const QString folder = SessionDisk::create(recorded().script, dir.path()).folder;
    for (const char *id : {"a-1", "a-2", "b-1"})
        writeFile(QDir(folder).filePath(QStringLiteral("takes/%1.wav").arg(id)),
            QByteArray("RIFF ") + id);
    SessionDisk::save(recorded(), folder);
    return folder;
}

} // namespace Folders

class SessionFolderTest : public QObject
{
    Q_OBJECT

private slots:
    void folderName_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("stem");

        QTest::addRow("punctuation runs") << "Chapter 1: Intro!"
                                          << "Chapter-1-Intro-";
        QTest::addRow("blanks around") << " Demo "
                                       << "-Demo-";
        QTest::addRow("only other letters") << "Ελληνικά 日本語"
                                            << "-";
        QTest::addRow("underscores and hyphens kept") << "a__b--c"
                                                      << "a__b--c";
        QTest::addRow("a hyphen then a run") << "a-!"
                                             << "a--";
        QTest::addRow("cut at 60") << QString(100, u'x') << QString(60, u'x');
        QTest::addRow("recording test") << "Recording test"
                                        << "Recording-test";
    }

    void folderName()
    {
        QFETCH(QString, title);
        QFETCH(QString, stem);
        QCOMPARE(SessionDisk::folderName(title, u"0123ABCD"), stem + QStringLiteral("-0123ABCD"));
    }

    void createMakesANewFolderEachTime()
    {
        QTemporaryDir dir;
        const QString under = dir.filePath(QStringLiteral("Sessions/nested"));
        const auto first = SessionDisk::create(Script::recordingTest(), under);
        const auto second = SessionDisk::create(Script::recordingTest(), under);
        QVERIFY2(first.folder != second.folder, "the random suffix keeps sessions apart");
        QVERIFY(QRegularExpression(QStringLiteral("^Recording-test-[0-9A-F]{8}$"))
                    .match(QDir(first.folder).dirName())
                    .hasMatch());
        QVERIFY2(QDir(first.folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot)
                == (QStringList {"session.json", "takes"}),
            "a new session folder holds session.json and an empty takes folder");
        QVERIFY(
            SessionDisk::load(first.folder) == (Session {1, Script::recordingTest(), 0, {}, {}}));
        QVERIFY(first.session == SessionDisk::load(first.folder));
    }

    void createFailsWithoutLeavingTraces()
    {
        QTemporaryDir dir;
        const QString under = dir.filePath(QStringLiteral("never"));
        try {
            (void)SessionDisk::create(Script {QStringLiteral("T"), {}}, under);
            QFAIL("an empty script is refused");
        } catch (const AppError &e) {
            QCOMPARE(e.description(), QStringLiteral("A script must contain 1–10,000 lines."));
        }
        QVERIFY2(!QFileInfo::exists(under), "a refused script creates nothing");

        writeFile(under, "a file where the sessions folder must be");
        try {
            (void)SessionDisk::create(Script::recordingTest(), under);
            QFAIL("a file in the way is reported");
        } catch (const SystemError &e) {
            QCOMPARE(e.description(),
                QStringLiteral("Could not create the folder “%1”: File exists").arg(under));
        }
    }

    void removal_data()
    {
        QTest::addColumn<QString>("action"); // "delete <line> <take>" or "start over"
        QTest::addColumn<QString>("trash"); // "works", "refuses", "breaks the restore"
        QTest::addColumn<QString>("error"); // empty: succeeds
        QTest::addColumn<QStringList>("trashed");
        QTest::addColumn<QString>("takesAfter"); // "line:take,take;…" as session.json holds them
        QTest::addColumn<QString>("selectedAfter");

        const QString refused = QStringLiteral("Could not move it to the Trash: refused");
        QTest::addRow("a take that is not chosen")
            << "delete a a-1"
            << "works" << QString() << QStringList {"takes/a-1.wav"} << "a:a-2;b:b-1;c:c-1"
            << "a:a-2";
        QTest::addRow("the selected take: back to the newest")
            << "delete a a-2"
            << "works" << QString() << QStringList {"takes/a-2.wav"} << "a:a-1;b:b-1;c:c-1"
            << "";
        QTest::addRow("the only take: no empty list")
            << "delete b b-1"
            << "works" << QString() << QStringList {"takes/b-1.wav"} << "a:a-1,a-2;c:c-1"
            << "a:a-2";
        QTest::addRow("audio already gone: no trash")
            << "delete c c-1"
            << "works" << QString() << QStringList() << "a:a-1,a-2;b:b-1"
            << "a:a-2";
        QTest::addRow("a take the session lacks")
            << "delete b a-1"
            << "works"
            << "That take is no longer available." << QStringList() << ""
            << "";
        QTest::addRow("start over") << "start over"
                                    << "works" << QString() << QStringList {"takes"} << ""
                                    << "";
        QTest::addRow("start over without a takes folder: no trash")
            << "start over, no takes folder"
            << "works" << QString() << QStringList() << ""
            << "";
        QTest::addRow("trash refuses: old document back")
            << "delete a a-1"
            << "refuses" << refused << QStringList {"takes/a-1.wav"} << ""
            << "";
        QTest::addRow("start over, trash refuses")
            << "start over"
            << "refuses" << refused << QStringList {"takes"} << ""
            << "";
        QTest::addRow("restore fails too")
            << "delete a a-1"
            << "breaks the restore"
            << "The audio could not be moved and progress could not be restored. A "
               "recovery copy of session.json is in Session Backups. Could not write "
               "“FOLDER/session.json”: Is a directory"
            << QStringList {"takes/a-1.wav"} << "a:a-2;b:b-1;c:c-1"
            << "a:a-2";
    }

    void removal()
    {
        QFETCH(QString, action);
        QFETCH(QString, trash);
        QFETCH(QString, error);
        QFETCH(QStringList, trashed);
        QFETCH(QString, takesAfter);
        QFETCH(QString, selectedAfter);

        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        const QByteArray before = readFile(SessionDisk::documentPath(folder));
        QStringList calls;
        const SessionDisk::TrashFunction fake = [&](const QString &path) {
            calls.append(QDir(folder).relativeFilePath(path));
            if (trash == u"breaks the restore") {
                QFile::remove(SessionDisk::documentPath(folder));
                QDir(folder).mkpath(QStringLiteral("session.json/blocked"));
            }
            if (trash != u"works")
                throw SystemError(QStringLiteral("Could not move it to the Trash: refused"));
        };
        if (action.endsWith(u"no takes folder"))
            QDir(QDir(folder).filePath(QStringLiteral("takes"))).removeRecursively();
        const QStringList words = action.split(u' ');
        try {
            const Session result = action.startsWith(u"start over")
                ? SessionDisk::startOver(Folders::recorded(), folder, fake)
                : SessionDisk::deleteTake(words[2], words[1], Folders::recorded(), folder, fake);
            QVERIFY2(error.isEmpty(), "the removal must fail");
            QVERIFY2(
                SessionDisk::load(folder) == result, "session.json holds the returned session");
        } catch (const Error &e) {
            QCOMPARE(e.description(), QString(error).replace(QLatin1String("FOLDER"), folder));
        }
        QCOMPARE(calls, trashed);

        const QStringList backups = QDir(folder + QStringLiteral("/Session Backups"))
                                        .entryList(QDir::Dirs | QDir::NoDotAndDotDot);
        if (error == u"That take is no longer available.") {
            QVERIFY2(backups.isEmpty(), "nothing is written for a take that is not there");
            QCOMPARE(readFile(SessionDisk::documentPath(folder)), before);
            return;
        }
        QCOMPARE(backups.size(), 1);
        QVERIFY(QRegularExpression(QStringLiteral("^[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$"))
                    .match(backups[0])
                    .hasMatch());
        QCOMPARE(readFile(folder + QStringLiteral("/Session Backups/") + backups[0]
                     + QStringLiteral("/session.json")),
            before);
        if (!error.isEmpty() && trash == u"refuses") {
            QCOMPARE(readFile(SessionDisk::documentPath(folder)), before);
            return;
        }
        if (trash == u"breaks the restore")
            return; // session.json is a folder now; the message above said so
        const Session after = SessionDisk::load(folder);
        QStringList takes, selected;
        for (const QString line : {"a", "b", "c"}) {
            QStringList ids;
            for (const Take &t : after.takes.value(line))
                ids.append(t.id);
            if (after.takes.contains(line))
                takes.append(line + u':' + ids.join(u','));
            if (after.selected.contains(line))
                selected.append(line + u':' + after.selected.value(line));
        }
        QCOMPARE(takes.join(u';'), takesAfter);
        QCOMPARE(selected.join(u';'), selectedAfter);
    }
};

class ExportTest : public QObject
{
    Q_OBJECT

private slots:
    void exportsTheChosenTakes()
    {
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        QFile::remove(QDir(folder).filePath(QStringLiteral("takes/b-1.wav")));
        Session session = Folders::recorded();
        session.takes.remove(QStringLiteral("c"));
        session.takes[QStringLiteral("b")] = {};
        session.takes[QStringLiteral("c")] = {Folders::take(QStringLiteral("a-1"))};
        const QString to = dir.filePath(QStringLiteral("Export"));

        QCOMPARE(SessionDisk::exportTo(session, folder, to), 2);
        const QDir out(to);
        QCOMPARE(out.entryList(QDir::Files, QDir::Name),
            (QStringList {"README.txt", "a.wav", "c.wav", "recordings.json", "script.json"}));
        QCOMPARE(readFile(out.filePath("a.wav")), QByteArray("RIFF a-2"));
        QCOMPARE(readFile(out.filePath("c.wav")), QByteArray("RIFF a-1"));
        QCOMPARE(readFile(out.filePath("recordings.json")),
            readFile(QStringLiteral(QUORBEL_TEST_DATA "/recordings.json")));
        QCOMPARE(readFile(out.filePath("README.txt")),
            QByteArray("2 of 3 lines recorded.\n48 kHz, mono PCM WAV.\nMissing: b\n"));
        const Json::Document script(
            readFile(out.filePath("script.json")), QStringLiteral("script.json"));
        QVERIFY2(Json::readScript(script.root()) == session.script,
            "script.json holds the script, notes too");
    }

    void stopsAtAMissingTake()
    {
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        const QString to = dir.filePath(QStringLiteral("Export"));
        const QString expected = QStringLiteral(
            "Could not copy “%1/takes/c-1.wav” to “%2/c.wav”: No such file or directory")
                                     .arg(folder, to);
        try {
            (void)SessionDisk::exportTo(Folders::recorded(), folder, to);
            QFAIL("a missing take stops the export");
        } catch (const SystemError &e) {
            QCOMPARE(e.description(), expected);
        }
        QCOMPARE(QDir(to).entryList(QDir::Files, QDir::Name),
            (QStringList {"EXPORT-INCOMPLETE.txt", "a.wav", "b.wav"}));
        QCOMPARE(readFile(to + QStringLiteral("/EXPORT-INCOMPLETE.txt")),
            (QStringLiteral("Export incomplete: ") + expected).toUtf8());
    }

    void refusesADestinationThatIsNotNew_data()
    {
        QTest::addColumn<QString>("to");
        QTest::addColumn<QString>("reason");
        QTest::addRow("exists") << "Existing"
                                << "File exists";
        QTest::addRow("parent missing") << "missing/Export"
                                        << "No such file or directory";
    }

    void refusesADestinationThatIsNotNew()
    {
        QFETCH(QString, to);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString folder = Folders::makeFolder(dir);
        QDir(dir.path()).mkdir(QStringLiteral("Existing"));
        const QString path = dir.filePath(to);
        try {
            (void)SessionDisk::exportTo(Folders::recorded(), folder, path);
            QFAIL("the export must fail at once");
        } catch (const SystemError &e) {
            QCOMPARE(e.description(),
                QStringLiteral("Could not create the folder “%1”: %2").arg(path, reason));
        }
        QVERIFY2(QDir(dir.filePath(QStringLiteral("Existing"))).isEmpty(),
            "nothing is written into a folder that existed");
    }
};
