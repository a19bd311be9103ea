#include "desktoptest.h"
#include "playertest.h"
#include "recordertest.h"
#include "testfiles.h"
#include "testmain.h"

#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QUrl>

using namespace Qt::StringLiterals;

/// QtDesktop::moveToTrash, in a process of its own for each case (see trashhelper.cpp).
class SystemTrashTest : public QObject
{
    Q_OBJECT

private slots:
    void movesToTheTrashOrSaysWhyNot_data()
    {
        // Paths are relative to a fresh folder holding home/, data/ (XDG_DATA_HOME), an empty
        // working folder cwd/, items/a.wav, a bystander items/take.wav and a link
        // items/link → sub/deeper; "%1" stands for it.
        QTest::addColumn<QString>("item"); // made first unless there; ending in '/': a folder
        QTest::addColumn<QString>("argument");
        QTest::addColumn<bool>("relativeHome"); // HOME=home, and no XDG_DATA_HOME
        QTest::addColumn<QString>("blocker"); // a file made here first
        QTest::addColumn<QString>("reason"); // how the message ends; empty: the item is moved

        QTest::addRow("a folder whose name needs escaping") << "items/takes 50%/"
                                                            << "%1/items/takes 50%" << false << ""
                                                            << "";
        // Tidying ".." away by the text alone would move the bystander items/take.wav.
        QTest::addRow("a path through a link and ..") << "items/sub/take.wav"
                                                      << "%1/items/link/../take.wav" << false << ""
                                                      << "";
        QTest::addRow("a link, which goes itself") << "items/link"
                                                   << "%1/items/link" << false << ""
                                                   << "";
        QTest::addRow("a link named with a slash after it, which leads to its folder")
            << "items/link"
            << "%1/items/link/" << false << ""
            << "Its path leads to another item once symbolic links are followed";
        QTest::addRow("a relative HOME")
            << "items/a.wav"
            << "%1/items/a.wav" << true << ""
            << "The Trash folder “home/.local/share/Trash” is not an absolute path; HOME or "
               "XDG_DATA_HOME is set wrongly";
        QTest::addRow("a file where the Trash folder must be")
            << "items/a.wav"
            << "%1/items/a.wav" << false << "data/Trash"
            << "Not a directory";
        QTest::addRow("a missing item") << "items/a.wav"
                                        << "%1/items/gone.wav" << false << ""
                                        << "No such file or directory";
        QTest::addRow("a relative path") << "items/a.wav"
                                         << "../items/a.wav" << false << ""
                                         << "Not an absolute path";
    }

    void movesToTheTrashOrSaysWhyNot()
    {
        QFETCH(QString, item);
        QFETCH(QString, argument);
        QFETCH(bool, relativeHome);
        QFETCH(QString, blocker);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        for (const QString &folder : {u"home"_s, u"data"_s, u"cwd"_s, u"items/sub/deeper"_s})
            QVERIFY(QDir(root).mkpath(folder));
        QVERIFY(QFile::link(u"sub/deeper"_s, root + u"/items/link"_s));
        writeFile(root + u"/items/a.wav"_s, "a");
        writeFile(root + u"/items/take.wav"_s, "bystander");
        if (item.endsWith(u'/')) {
            item.chop(1);
            QVERIFY(QDir(root).mkpath(item));
            writeFile(root + u'/' + item + u"/b.wav"_s, "b");
        } else if (!QFileInfo(root + u'/' + item).isSymLink()) {
            writeFile(root + u'/' + item, "take");
        }
        if (!blocker.isEmpty())
            writeFile(root + u'/' + blocker, "in the way");
        const QMap<QString, QByteArray> before = folderSnapshot(root);
        argument.replace(u"%1"_s, root);

        // GLib must find its Trash in this folder only, never in the real HOME, and speak English.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"HOME"_s, relativeHome ? u"home"_s : root + u"/home"_s);
        environment.insert(u"XDG_DATA_HOME"_s, root + u"/data"_s);
        if (relativeHome)
            environment.remove(u"XDG_DATA_HOME"_s);
        environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
        environment.remove(u"LANGUAGE"_s);
        QProcess uut;
        uut.setWorkingDirectory(root + u"/cwd"_s);
        uut.setProcessEnvironment(environment);
        uut.start(QStringLiteral(QUORBEL_TEST_TRASH), {argument});
        QVERIFY2(uut.waitForFinished() && uut.exitStatus() == QProcess::NormalExit,
            "the helper must end by itself");
        const QString errors = QString::fromUtf8(uut.readAllStandardError()).trimmed();
        QMap<QString, QByteArray> after = folderSnapshot(root);

        if (!reason.isEmpty()) {
            QVERIFY2(uut.exitCode() == 1
                    && errors.startsWith(u"Could not move “%1” to the Trash: "_s.arg(argument))
                    && errors.endsWith(reason),
                qPrintable(errors));
            QCOMPARE(after, before);
            return;
        }
        QVERIFY2(uut.exitCode() == 0 && errors.isEmpty(), qPrintable(errors));
        // The item and all it holds, and nothing else, in the Trash, with a note of its place.
        const QString name = QFileInfo(item).fileName();
        const QString info = u"data/Trash/info/"_s + name + u".trashinfo"_s;
        QVERIFY2(after.take(info).contains(
                     "\nPath=" + QUrl::toPercentEncoding(root + u'/' + item, "/") + '\n'),
            "the .trashinfo must give the item's place");
        QMap<QString, QByteArray> expected;
        for (const QString &folder : {u"data/Trash"_s, u"data/Trash/files"_s, u"data/Trash/info"_s})
            expected.insert(folder, "<folder>");
        for (auto it = before.cbegin(); it != before.cend(); ++it) {
            const bool moved = it.key() == item || it.key().startsWith(item + u'/');
            expected.insert(
                moved ? u"data/Trash/files/"_s + name + it.key().mid(item.size()) : it.key(),
                it.value());
        }
        QCOMPARE(after, expected);
    }
};

QUORBEL_TEST_MAIN(SystemTrashTest, DesktopTest, InputDeviceTest, RecorderTest, PlayerTest)
#include "tst_platform.moc"
