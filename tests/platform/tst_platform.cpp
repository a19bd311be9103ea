#include "desktoptest.h"
#include "playertest.h"
#include "recordertest.h"
#include "testmain.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUrl>

#ifndef QUORBEL_TEST_TRASH
#    error "QUORBEL_TEST_TRASH must name the quorbel-test-trash executable"
#endif

namespace {

// Only a guard against a hung helper: a move takes milliseconds.
constexpr int processTimeoutMs = 60'000;

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    if (!QDir().mkpath(QFileInfo(path).path()) || !file.open(QIODevice::WriteOnly)
        || file.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

/// The files of a file or folder by their path inside it, with their bytes; empty when there is
/// nothing at `path`.
QMap<QString, QByteArray> contentsOf(const QString &path)
{
    QMap<QString, QByteArray> contents;
    const bool isFolder = QFileInfo(path).isDir();
    QStringList files = isFolder ? QStringList() : QStringList {path};
    for (QDirIterator it(path, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
         isFolder && it.hasNext();)
        files.append(it.next());
    for (const QString &name : files) {
        QFile file(name);
        if (file.open(QIODevice::ReadOnly))
            contents.insert(name.sliced(path.size()), file.readAll());
    }
    return contents;
}

} // namespace

class SystemTrashTest : public QObject
{
    Q_OBJECT

private slots:
    void movesToTheTrashOrReportsWhyNot_data()
    {
        // Paths are relative to a fresh folder holding home/, an empty working folder cwd/, a
        // bystander items/take.wav and a link items/link → sub/deeper; "%1" stands for it.
        QTest::addColumn<QString>("item"); // ending in '/': a folder of takes
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QString>("dataHome"); // XDG_DATA_HOME
        QTest::addColumn<QString>("blocker"); // a regular file made here first
        QTest::addColumn<bool>("readOnly"); // items/ is a read-only bind mount
        QTest::addColumn<QString>("trash"); // where the item lands; empty: the move must fail
        QTest::addColumn<bool>("mayFail");
        QTest::addColumn<QString>("reason"); // part of the failure's message

        const QString data = QStringLiteral("%1/data");
        const QString trash = QStringLiteral("data/Trash");
        const QString item = QStringLiteral("items/a.wav");
        const QString argument = QStringLiteral("%1/items/a.wav");
        QTest::addRow("a take whose name needs escaping")
            << "items/take 50%.wav"
            << "%1/items/take 50%.wav" << data << "" << false << trash << false << "";
        QTest::addRow("a whole takes folder")
            << "items/takes/"
            << "%1/items/takes" << data << "" << false << trash << false << "";
        // Tidying ".." away by the text alone would move the bystander items/take.wav.
        QTest::addRow("a path through a link and ..")
            << "items/sub/take.wav"
            << "%1/items/link/../take.wav" << data << "" << false << trash << false << "";
        QTest::addRow("the XDG data folder missing")
            << item << argument << "%1/missing/share"
            << "" << false << "missing/share/Trash" << true << "";
        // The XDG base directory rules say to ignore a relative XDG_DATA_HOME.
        QTest::addRow("a relative XDG_DATA_HOME")
            << item << argument << "share"
            << "" << false << "home/.local/share/Trash" << true << "";
        QTest::addRow("a file where the Trash folder must be")
            << item << argument << data << "data/Trash" << false << "" << false
            << "Not a directory";
        QTest::addRow("a file where Trash/files must be")
            << item << argument << data << "data/Trash/files" << false << "" << false
            << "Not a directory";
        QTest::addRow("an item on a read-only mount")
            << item << argument << data << "" << true << "" << false << "";
        QTest::addRow("a missing item") << item << "%1/items/gone.wav" << data << "" << false << ""
                                        << false << "No such file or directory";
        QTest::addRow("a relative path") << item << "../items/a.wav" << data << "" << false << ""
                                         << false << "Not an absolute path";
    }

    void movesToTheTrashOrReportsWhyNot()
    {
        QFETCH(QString, item);
        QFETCH(QString, argument);
        QFETCH(QString, dataHome);
        QFETCH(QString, blocker);
        QFETCH(bool, readOnly);
        QFETCH(QString, trash);
        QFETCH(bool, mayFail);
        QFETCH(QString, reason);

        QTemporaryDir dir;
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        const QString working = root + QStringLiteral("/cwd");
        const QString bystander = root + QStringLiteral("/items/take.wav");
        QVERIFY2(!root.isEmpty() && QDir(root).mkpath(QStringLiteral("home"))
                && QDir(root).mkpath(QStringLiteral("cwd"))
                && QDir(root).mkpath(QStringLiteral("items/sub/deeper"))
                && QFile::link(QStringLiteral("sub/deeper"), root + QStringLiteral("/items/link")),
            "could not prepare the folders");
        writeFile(bystander, "bystander");
        const QString itemPath = root + u'/' + item.chopped(item.endsWith(u'/') ? 1 : 0);
        if (item.endsWith(u'/')) {
            writeFile(itemPath + QStringLiteral("/a.wav"), "a");
            writeFile(itemPath + QStringLiteral("/b.wav"), "b");
        } else {
            writeFile(itemPath, "take");
        }
        if (!blocker.isEmpty())
            writeFile(root + u'/' + blocker, "in the way");
        const QMap<QString, QByteArray> before = contentsOf(itemPath);
        argument.replace(QStringLiteral("%1"), root);

        // GLib must find its Trash in this folder only, never in the real HOME, and speak English.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), root + QStringLiteral("/home"));
        environment.insert(
            QStringLiteral("XDG_DATA_HOME"), dataHome.replace(QStringLiteral("%1"), root));
        environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        environment.remove(QStringLiteral("LANGUAGE"));
        QProcess uut;
        uut.setWorkingDirectory(working);
        uut.setProcessEnvironment(environment);
        if (readOnly) {
            const QString unshare = QStandardPaths::findExecutable(QStringLiteral("unshare"));
            if (unshare.isEmpty())
                QSKIP("unshare (Debian package util-linux) is not installed, so no read-only "
                      "mount can be made");
            uut.start(unshare,
                {QStringLiteral("-m"), QStringLiteral("sh"), QStringLiteral("-c"),
                    QStringLiteral(R"(mount --bind "$1" "$1" && mount -o remount,bind,ro "$1" &&
                                      echo mounted && exec "$2" "$3")"),
                    QStringLiteral("sh"), root + QStringLiteral("/items"),
                    QStringLiteral(QUORBEL_TEST_TRASH), argument});
        } else {
            uut.start(QStringLiteral(QUORBEL_TEST_TRASH), {argument});
        }
        QVERIFY2(uut.waitForFinished(processTimeoutMs) && uut.exitStatus() == QProcess::NormalExit,
            "the helper must end by itself");
        const QString errors = QString::fromUtf8(uut.readAllStandardError()).trimmed();
        if (readOnly && !uut.readAllStandardOutput().contains("mounted"))
            QSKIP(qPrintable("cannot make a read-only bind mount in a private mount namespace "
                             "here (unshare -m and mount need root or CAP_SYS_ADMIN): "
                + errors));

        QVERIFY2(QDir(working).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
            "nothing may land in the working folder");
        QVERIFY2(
            contentsOf(bystander).value(QString()) == "bystander", "only the item named may move");
        if (uut.exitCode() == 0) {
            QVERIFY2(!trash.isEmpty(), "this move must be reported as failed");
            QVERIFY2(errors.isEmpty(), qPrintable("a move that succeeds says nothing: " + errors));
            QVERIFY2(contentsOf(itemPath).isEmpty(), "a moved item must have left its place");
            const QString name = QFileInfo(itemPath).fileName();
            QVERIFY2(contentsOf(QStringLiteral("%1/%2/files/%3").arg(root, trash, name)) == before,
                qPrintable("the item and all it holds must be in " + trash + "/files"));
            QFile info(QStringLiteral("%1/%2/info/%3.trashinfo").arg(root, trash, name));
            const QByteArray text = info.open(QIODevice::ReadOnly) ? info.readAll() : "";
            QVERIFY2(text.contains("\nPath=" + QUrl::toPercentEncoding(itemPath, "/") + '\n')
                    && text.contains("\nDeletionDate="),
                qPrintable("the .trashinfo must give the escaped path and a date: " + text));
        } else {
            QVERIFY2(trash.isEmpty() || mayFail, qPrintable("this move must succeed: " + errors));
            QVERIFY2(uut.exitCode() == 1
                    && errors.startsWith(
                        QStringLiteral("Could not move “%1” to the Trash: ").arg(argument))
                    && errors.contains(reason),
                qPrintable("a failure must be reported, naming the item and why: " + errors));
            QVERIFY2(contentsOf(itemPath) == before, "an item that was not moved must stay");
        }
    }
};

QUORBEL_TEST_MAIN(SystemTrashTest, DesktopTest, InputDeviceTest, RecorderTest, PlayerTest)
#include "tst_platform.moc"
