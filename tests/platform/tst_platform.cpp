#include "qtaudioinput.h"
#include "qtdesktop.h"
#include "takefile.h"
#include "testfiles.h"
#include "testmain.h"
#include "wavplayer.h"
#include "wavrecorder.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QLabel>
#include <QLineEdit>
#include <QMediaDevices>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QWindow>

#include <cmath>
#include <csignal>
#include <functional>
#include <numbers>
#include <optional>
#include <sndfile.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr char missingServer[] = "the test sound server is missing: run through ./scripts/test, "
                                 "which starts it";

/// Audio as libsndfile reads and writes it: samples interleaved, full scale at 1.
struct Audio
{
    int rate = 0; // 0: the file could not be read
    int channels = 1;
    int format = 0;
    std::vector<double> samples;
};

constexpr int takeRate = 48000;
constexpr int takeFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
// paplay drops the end of a 24-bit file: what the microphone is fed is written at 32 bits.
constexpr int feedFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
// Longer than any wait below should take when all is well.
constexpr int timeoutMs = 10'000;
const QString cli = QStringLiteral(QUORBEL_CLI);
// The shortest of the speech fixtures, 1.6 s: every take is made in real time.
const QString speech = QStringLiteral(QUORBEL_FIXTURES "/speech/arctic_a0005.wav");

/// The test run's environment, on the given sound server and in English.
QProcessEnvironment environmentFor(
    const QString &server, const QString &clientConfig = qEnvironmentVariable("PULSE_CLIENTCONFIG"))
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"PULSE_SERVER"_s, server);
    environment.insert(u"PULSE_CLIENTCONFIG"_s, clientConfig);
    environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
    return environment;
}

/// Runs `program` to its end, turning the event loop meanwhile; what it printed, when it ended
/// well in time.
std::optional<QString> run(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)
        || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput());
}

/// Plays `file` to its end into the virtual microphone of the server `environment` names.
bool feedMicrophone(const QString &file,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    return run(u"paplay"_s, {u"-d"_s, u"micfeed"_s, file}, environment).has_value();
}

/// Why `take` does not hold all of `fed`, the sound played into the microphone, sample for
/// sample after the silence before it; empty when it does. The way from the feed to the file
/// is lossless at 24 bits: a sample may differ by rounding only.
QString wholeProblem(const Audio &take, const Audio &fed)
{
    const auto firstSound = [](const std::vector<double> &samples) {
        return std::find_if(samples.begin(), samples.end(), [](double s) { return s != 0; })
            - samples.begin();
    };
    const qint64 lag = firstSound(take.samples) - firstSound(fed.samples);
    if (take.rate != takeRate || take.format != takeFormat || lag < 0
        || size_t(lag) + fed.samples.size() > take.samples.size())
        return u"a %1 Hz take of %2 frames, format %3, does not hold the sound whole"_s
            .arg(take.rate)
            .arg(take.samples.size())
            .arg(take.format, 0, 16);
    const auto [differs, _] = std::mismatch(fed.samples.begin(), fed.samples.end(),
        take.samples.begin() + lag, [](double a, double b) { return std::abs(a - b) < 3e-7; });
    return differs == fed.samples.end() ? QString()
                                        : u"the take differs from the sound %1 s into it"_s.arg(
                                            double(differs - fed.samples.begin()) / takeRate);
}

/// A sound server of a test's own, made by scripts/test-audio.sh like the shared one, for what
/// must not touch the shared one: killing it, hanging it, changing its default input. Its shell
/// ends it once the shell's input closes.
class PrivateSoundServer
{
public:
    PrivateSoundServer()
    {
        // A null sink that starts with no listener renders two seconds ahead, and the first
        // take would wait that long for its first samples: the microphone's feed starts again
        // once the script's listener is there, and the server is ready once it delivers. The
        // server is killed, hung or not, and its folder goes once nothing can write there.
        m_shell.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_shell.start(u"bash"_s,
            {u"-c"_s, uR"(source "$1" && start_test_audio >&2 || exit 1
                pid=$TEST_AUDIO_PID dir=$TEST_AUDIO_DIR
                trap 'kill -KILL $pid; stop_test_audio
                      while grep -qs "^State:\s[^Z]" /proc/$pid/status; do sleep 0.02; done
                      rm -rf "$dir"' EXIT
                pactl suspend-sink micfeed 1 && pactl suspend-sink micfeed 0 || exit 1
                timeout 5 parec -d testmic --latency-msec=20 2>/dev/null | head -c 4 >/dev/null
                echo "$PULSE_SERVER $TEST_AUDIO_PID"
                read -r _)"_s,
                u"bash"_s, QStringLiteral(QUORBEL_TEST_AUDIO_SCRIPT)});
        const QStringList told
            = QTest::qWaitFor([this] { return m_shell.canReadLine(); }, timeoutMs)
            ? QString::fromUtf8(m_shell.readLine()).trimmed().split(u' ')
            : QStringList();
        environment = environmentFor(told.value(0));
        pid = told.value(1).toLongLong();
    }

    ~PrivateSoundServer()
    {
        m_shell.closeWriteChannel();
        if (!m_shell.waitForFinished(timeoutMs))
            m_shell.kill();
        m_shell.waitForFinished();
    }

    QProcessEnvironment environment;
    qint64 pid = 0; // 0: it would not start

private:
    QProcess m_shell;
};

Audio readAudio(const QString &path)
{
    SF_INFO info {};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_READ, &info);
    if (!file)
        return {};
    Audio audio {info.samplerate, info.channels, info.format,
        std::vector<double>(size_t(info.frames * info.channels))};
    audio.samples.resize(
        size_t(sf_read_double(file, audio.samples.data(), sf_count_t(audio.samples.size()))));
    sf_close(file);
    return audio;
}

bool writeAudio(const QString &path, const Audio &audio)
{
    SF_INFO info {0, audio.rate, audio.channels, audio.format, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    if (!file)
        return false;
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    const auto size = sf_count_t(audio.samples.size());
    const bool written = sf_write_double(file, audio.samples.data(), size) == size;
    return sf_close(file) == 0 && written;
}

/// How long after a take's length its end may be reported: the output's buffer and the polling
/// of its clock, with room for a loaded machine.
constexpr qint64 finishSlackMs = 500;

/// A silent take of `ms` milliseconds at `path`: only how long it plays matters.
QString writeTake(
    const QString &path, qint64 ms, int rate = 48000, int channels = 1, int format = takeFormat)
{
    if (!writeAudio(
            path, {rate, channels, format, std::vector<double>(rate * ms / 1000 * channels)}))
        qFatal("cannot write %s", qPrintable(path));
    return path;
}

/// How many streams this process plays on the test sound server, where other tests may play
/// meanwhile.
int ownStreams()
{
    QProcess pactl;
    pactl.start(u"pactl"_s, {u"-f"_s, u"json"_s, u"list"_s, u"sink-inputs"_s});
    pactl.waitForFinished();
    const QString self = QString::number(QCoreApplication::applicationPid());
    int streams = 0;
    for (const QJsonValue &input : QJsonDocument::fromJson(pactl.readAllStandardOutput()).array())
        streams += input["properties"]["application.process.id"] == self;
    return streams;
}

/// What a player says, and how long after its play().
struct Listener
{
    explicit Listener(Platform::Player *player) : player(player)
    {
        QObject::connect(player, &Platform::Player::finished, player,
            [this](bool success) { end(success ? u"finished"_s : u"finished(false)"_s); });
        QObject::connect(player, &Platform::Player::decodeError, player,
            [this](const QString &description) { end(description); });
    }

    bool play()
    {
        ends.clear();
        clock.start();
        return player->play();
    }

    void end(const QString &what)
    {
        ends.append(what);
        endMs = clock.elapsed();
    }

    /// Waits for the play's end; empty when a take of `ms` was heard whole: finished once,
    /// neither before its length nor long after, with currentTime at its end.
    QString playedWhole(qint64 ms)
    {
        // An end that never came shows as no end at all.
        (void)QTest::qWaitFor([this] { return !ends.isEmpty(); }, int(ms + 3000));
        if (ends != QStringList {u"finished"_s})
            return u"ended with: "_s + ends.join(u", "_s);
        if (endMs < ms || endMs > ms + finishSlackMs
            || std::abs(player->currentTime() * 1000 - double(ms)) > 1)
            return u"finished %1 ms after play(), for %2 ms of sound, having played %3 s"_s
                .arg(endMs)
                .arg(ms)
                .arg(player->currentTime());
        return QString();
    }

    Platform::Player *player;
    QElapsedTimer clock;
    QStringList ends;
    qint64 endMs = -1;
};

} // namespace

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

/// QtDesktop's panels and alert, driven by keys and clicks, and the environment and settings
/// stores, kept to a temporary home.
class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // Qt's file dialog keeps its history in the user's settings: that, and the program's own
        // settings, must land in the temporary home.
        QVERIFY(m_home.isValid());
        m_realHome = qgetenv("HOME");
        qputenv("HOME", QFile::encodeName(m_home.path()));
        for (const QSettings::Format format : {QSettings::NativeFormat, QSettings::IniFormat})
            QSettings::setPath(format, QSettings::UserScope, m_home.filePath(u"config"_s));
    }

    void cleanupTestCase() { qputenv("HOME", m_realHome); }

    void confirmTakesTheActionOnlyByClick_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QKeySequence>("keys"); // none: a click on the action
        QTest::addColumn<bool>("closes");

        const QString action = u"Move to Trash"_s;
        QTest::addRow("Return") << action << QKeySequence(u"Return"_s) << true;
        QTest::addRow("Escape") << action << QKeySequence(u"Esc"_s) << true;
        QTest::addRow("Space") << action << QKeySequence(u"Space"_s) << true;
        QTest::addRow("Tab, Space") << action << QKeySequence(u"Tab, Space"_s) << true;
        QTest::addRow("Alt and the letter after an & in the action")
            << u"Delete &Take"_s << QKeySequence(u"Alt+T"_s) << false;
        QTest::addRow("a click on the action") << action << QKeySequence() << true;
    }

    void confirmTakesTheActionOnlyByClick()
    {
        QFETCH(QString, action);
        QFETCH(QKeySequence, keys);
        QFETCH(bool, closes);
        // Script text may look like markup; it must be shown as it is written.
        const Platform::Alert alert {
            u"Delete “<b>Intro</b>”?"_s, u"<i>take 3</i> of line 1 goes to the Trash."_s, action};
        QStringList shown; // the window title, then the labels' texts as they are shown
        QString focused;
        int buttons = 0;
        bool closed = false;
        whenModal([&](QWidget *modal) {
            shown.append(modal->windowTitle());
            for (QLabel *label : modal->findChildren<QLabel *>()) {
                if (label->isVisible() && !label->text().isEmpty())
                    shown.append(
                        label->textFormat() == Qt::PlainText ? label->text() : u"(markup)"_s);
            }
            if (auto *button = qobject_cast<QPushButton *>(QApplication::focusWidget()))
                focused = button->text();
            for (QPushButton *button : modal->findChildren<QPushButton *>()) {
                ++buttons;
                if (keys.isEmpty() && button->text() == action)
                    QTest::mouseClick(button, Qt::LeftButton);
            }
            for (int i = 0; i < keys.count(); ++i) {
                QWidget *focus = QApplication::focusWidget();
                QTest::keyClick(focus ? focus : modal, keys[i].key(), keys[i].keyboardModifiers());
            }
            // A button's keyboard shortcut clicks it only after showing it pressed for a moment.
            const QPointer<QWidget> box = modal;
            closed = QTest::qWaitFor([&box] { return !box || !box->isVisible(); }, 500);
            if (!closed)
                QTest::keyClick(box, Qt::Key_Escape);
        });
        const bool chosen = QtDesktop().confirm(alert);

        QVERIFY2(!m_timedOut, "the alert must be shown, and Escape must close it");
        QCOMPARE(chosen, keys.isEmpty());
        QCOMPARE(closed, closes);
        QVERIFY2(focused == u"Cancel"_s && buttons == 2,
            qPrintable(
                u"Cancel and the action; the keyboard must start on Cancel, not on "_s + focused));
        shown.sort();
        QVERIFY2(shown == QStringList({alert.detail, alert.title, alert.title}),
            qPrintable(u"title and detail must be shown as plain text: "_s + shown.join(u'|')));
    }

    void panelsAnswerThePathOrNothing_data()
    {
        // "%1" stands for a folder holding "my script.json" and the folders start/ and takes/.
        QTest::addColumn<bool>("folder"); // chooseFolder, else chooseFile
        QTest::addColumn<bool>("canCreateFolders");
        QTest::addColumn<QString>("typed"); // into the name field, then Return; empty: Escape

        QTest::addRow("a file") << false << false << "%1/my script.json";
        QTest::addRow("no file") << false << false << "";
        QTest::addRow("a folder") << true << false << "%1/takes";
        QTest::addRow("a folder where new ones may be made") << true << true << "%1/takes";
        QTest::addRow("no folder") << true << false << "";
    }

    void panelsAnswerThePathOrNothing()
    {
        QFETCH(bool, folder);
        QFETCH(bool, canCreateFolders);
        QFETCH(QString, typed);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"my script.json"_s), "[]");
        QVERIFY(QDir(dir.path()).mkdir(u"start"_s) && QDir(dir.path()).mkdir(u"takes"_s));
        typed.replace(u"%1"_s, dir.path());
        const QString title = u"Open Script"_s;
        const QString message = u"Choose the script to record: a JSON, CSV or text file with one "
                                "line of the script to a row. The takes are kept beside it."_s;
        QStringList seen; // title, message, start folder, filters
        bool messageOnTop = false, newFolderOffered = false, overOwner = false;
        // The program's window is a Qt Quick one, no widget: the panel must open over it.
        QWindow owner;
        owner.show();
        owner.requestActivate();
        QVERIFY(QTest::qWaitForWindowActive(&owner));
        whenModal([&](QWidget *modal) {
            overOwner = modal->windowHandle() && modal->windowHandle()->transientParent() == &owner;
            auto *dialog = qobject_cast<QFileDialog *>(modal);
            auto *lookIn = modal->findChild<QComboBox *>(u"lookInCombo"_s);
            auto *field = modal->findChild<QLineEdit *>(u"fileNameEdit"_s);
            auto *newFolder = modal->findChild<QToolButton *>(u"newFolderButton"_s);
            seen.append(modal->windowTitle());
            for (QLabel *label : modal->findChildren<QLabel *>()) {
                if (label->isVisible() && label->wordWrap() && !label->text().isEmpty()) {
                    seen.append(label->text());
                    messageOnTop = lookIn
                        && label->mapTo(modal, QPoint(0, label->height())).y()
                            <= lookIn->mapTo(modal, QPoint()).y();
                }
            }
            if (dialog)
                seen << dialog->directory().absolutePath()
                     << dialog->nameFilters().value(0) + u'|' + dialog->nameFilters().last();
            newFolderOffered = newFolder && newFolder->isVisible() && newFolder->isEnabled();
            if (typed.isEmpty() || !field) {
                QTest::keyClick(modal, Qt::Key_Escape);
            } else {
                // Set rather than typed: the completer's popup would take the Return.
                field->setText(typed);
                QTest::keyClick(field, Qt::Key_Return);
            }
        });
        QtDesktop uut;
        const std::optional<QString> chosen = folder
            ? uut.chooseFolder({title, message, dir.filePath(u"start"_s), canCreateFolders})
            : uut.chooseFile({title, message, {u"json"_s, u"csv"_s, u"txt"_s}});

        QVERIFY2(!m_timedOut, "the panel must close on Return in the name field, or on Escape");
        QCOMPARE(chosen.value_or(u"nothing"_s), typed.isEmpty() ? u"nothing"_s : typed);
        QVERIFY2(overOwner, "the panel opens over the program's window");
        QVERIFY2(seen.size() == 4 && seen[0] == title && seen[1] == message && messageOnTop,
            qPrintable(u"the title, then the message above the rest: "_s + seen.join(u'|')));
        if (folder)
            QVERIFY2(seen[2] == dir.filePath(u"start"_s) && newFolderOffered == canCreateFolders,
                qPrintable(u"opened in "_s + seen[2]));
        else
            QVERIFY2(seen[3].endsWith(u"(*.json *.csv *.txt)|All files (*)"_s),
                qPrintable(u"the first filter must take all three types, in order, the last "
                           u"any file: "_s
                    + seen[3]));
    }

    void settingsCommandTakesTheFirstInstalled_data()
    {
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<bool>("microphone"); // else the sound page
        QTest::addColumn<QStringList>("expected"); // programs named without their folder

        const QStringList all {u"gnome-control-center"_s, u"systemsettings"_s, u"kcmshell6"_s,
            u"systemsettings5"_s, u"kcmshell5"_s, u"pavucontrol"_s};
        const QString kcm = u"kcm_pulseaudio"_s;
        QTest::addRow("sound on GNOME") << all << false << QStringList {all[0], u"sound"_s};
        QTest::addRow("sound on Plasma 6") << all.mid(1) << false << QStringList {all[1], kcm};
        QTest::addRow("sound with only kcmshell6")
            << all.mid(2) << false << QStringList {all[2], kcm};
        QTest::addRow("sound on Plasma 5") << all.mid(3) << false << QStringList {all[3], kcm};
        QTest::addRow("sound with only pavucontrol") << all.mid(5) << false << all.mid(5);
        QTest::addRow("sound with nothing") << QStringList() << false << QStringList();
        QTest::addRow("microphone on GNOME")
            << all << true << QStringList {all[0], u"microphone"_s};
        QTest::addRow("microphone on Plasma 6") << all.mid(1) << true << QStringList {all[1], kcm};
    }

    void settingsCommandTakesTheFirstInstalled()
    {
        QFETCH(QStringList, installed);
        QFETCH(bool, microphone);
        QFETCH(QStringList, expected);
        const QStringList command = settingsCommand(
            microphone ? SettingsPage::Microphone : SettingsPage::Sound, [&](const QString &name) {
                return installed.contains(name) ? u"/bin/"_s + name : QString();
            });
        if (!expected.isEmpty())
            expected.first().prepend(u"/bin/"_s);
        QCOMPARE(command, expected);
    }

    void variableTellsUnsetFromEmpty()
    {
        const char *name = "QUORBEL_DESKTOP_TEST_VARIABLE";
        const auto read = [name] { return QtEnvironment().variable(QString::fromLatin1(name)); };
        qunsetenv(name);
        QVERIFY2(!read(), "an unset variable must read as unset");
        qputenv(name, "");
        QCOMPARE(read(), std::optional(QString()));
        qputenv(name, "/srv/takes");
        QCOMPARE(read(), std::optional(u"/srv/takes"_s));
        qunsetenv(name);
    }

    void namedSettingsAreApartAndOnDisk()
    {
        // A value in the organization's shared file, which QSettings would read for every store.
        const QString config = m_home.filePath(u"config"_s);
        QVERIFY(QDir().mkpath(config));
        writeFile(config + u"/Quorbel.conf"_s, "[General]\nshared=yes\n");

        QtEnvironment uut;
        const std::unique_ptr<Platform::SettingsStore> user = uut.settings();
        const std::unique_ptr<Platform::SettingsStore> testing = uut.settings(u"testing"_s);
        user->setText(u"lastFolder"_s, u"/home/me/scripts"_s);
        QVERIFY2(!testing->text(u"lastFolder"_s), "the user's values must not show");
        testing->setText(u"lastFolder"_s, u"/tmp/run"_s);
        QVERIFY2(user->text(u"lastFolder"_s) == u"/home/me/scripts"_s,
            "a named store must not change the user's");
        QVERIFY2(!user->text(u"shared"_s) && !testing->text(u"shared"_s),
            "the organization's shared values are no store's");
        // On disk already, while the stores are open: a crash now loses nothing.
        QVERIFY(
            readFile(config + u"/Quorbel/Quorbel.conf"_s).contains("lastFolder=/home/me/scripts"));
        QVERIFY(readFile(config + u"/Quorbel/testing.conf"_s).contains("lastFolder=/tmp/run"));
    }

private:
    /// Runs `act` on the modal window from inside its event loop, once it is shown and active;
    /// closes it if it is still open ten seconds later, so a broken case fails instead of hanging.
    void whenModal(std::function<void(QWidget *)> act)
    {
        m_timedOut = false;
        QTimer::singleShot(0, this, [this, act = std::move(act)] {
            QWidget *modal = nullptr;
            const bool shown = QTest::qWaitFor(
                [&modal] {
                    return (modal = QApplication::activeModalWidget()) && modal->isVisible();
                },
                timeoutMs);
            if (!shown || !QTest::qWaitForWindowActive(modal))
                return;
            QTimer::singleShot(timeoutMs, modal, [this, modal] {
                m_timedOut = true;
                modal->close();
            });
            act(modal);
        });
    }

    QTemporaryDir m_home;
    QByteArray m_realHome;

    bool m_timedOut = false;
};

/// QtAudioInput's choice of input, and its answer to a permission request.
class InputDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer); }

    void namesTheServersDefaultSource()
    {
        const Platform::DefaultInput input = QtAudioInput().defaultInput();
        QVERIFY2(
            input.present && input.name == u"Quorbel-Test-Microphone"_s, qPrintable(input.name));
    }

    void cliMarksTheServersDefaultInput()
    {
        // Qt 6.4 on its own would keep the first source as its default.
        const PrivateSoundServer sound;
        QVERIFY2(sound.pid > 0, "a private test sound server must start");
        const QString setup
            = u"pactl load-module module-remap-source source_name=othermic master=micfeed.monitor "
              "source_properties=device.description=Other-Microphone && "
              "pactl set-default-source othermic"_s;
        QVERIFY2(
            run(u"bash"_s, {u"-c"_s, setup}, sound.environment), "a second source must be made");
        QCOMPARE(run(cli, {u"devices"_s}, sound.environment).value_or(u"failed"_s),
            u"  Quorbel-Test-Microphone (testmic)\n* Other-Microphone (othermic)\n"_s);
    }

    void cliFindsNoMicrophoneWithoutAServer_data()
    {
        QTest::addColumn<QStringList>("arguments"); // "%1" stands for a fresh folder
        QTest::addRow("devices") << QStringList {u"devices"_s};
        QTest::addRow("record") << QStringList {u"record"_s, u"%1/take.wav"_s};
    }

    void cliFindsNoMicrophoneWithoutAServer()
    {
        QFETCH(QStringList, arguments);
        QTemporaryDir dir;
        QProcess uut;
        uut.setProcessEnvironment(environmentFor(u"unix:/nonexistent/native"_s));
        uut.start(cli, arguments.replaceInStrings(u"%1"_s, dir.path()));
        QVERIFY2(uut.waitForFinished(timeoutMs) && uut.exitStatus() == QProcess::NormalExit,
            "quorbel-cli must end by itself");
        QCOMPARE(QString::fromUtf8(uut.readAllStandardError()), u"No microphone detected.\n"_s);
        QVERIFY2(uut.exitCode() == 1 && uut.readAllStandardOutput().isEmpty()
                && entries(dir.path()).isEmpty(),
            "nothing printed, nothing left behind");
    }

    void answersPermissionLater()
    {
        QtAudioInput uut;
        QObject receiver;
        QList<bool> answers;
        uut.requestPermission(&receiver, [&](bool granted) { answers.append(granted); });
        auto *gone = new QObject;
        uut.requestPermission(gone, [&](bool granted) { answers.append(granted); });
        delete gone;
        QVERIFY2(answers.isEmpty(), "the answer must come later, not inside the call");
        QTRY_VERIFY2(!answers.isEmpty(), "the answer must come");
        QTest::qWait(50);
        QVERIFY2(answers == QList<bool> {true}, "granted, and only to a receiver still there");
    }
};

/// WavRecorder on the test sound server, whose default input is a virtual microphone that the
/// tests feed; and quorbel-cli record, for what only a process of its own can show: its sound
/// server dying, or itself being killed.
class RecorderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer);
        QVERIFY2(readAudio(speech).rate == takeRate, "the speech fixtures must be in /work/shared");
    }

    void recordsSpeechWhole()
    {
        // The speech with every bit of a 24-bit sample in use: a take made at 16 bits, or with a
        // sample lost or one twice, would not match it.
        Audio fed = readAudio(speech);
        for (double &sample : fed.samples)
            sample = std::round(sample * 0.7 * 0x800000) / 0x800000;
        fed.format = feedFormat;
        QTemporaryDir dir;
        const QString fedPath = dir.filePath(u"fed.wav"_s), path = dir.filePath(u"take.wav"_s);
        QVERIFY(writeAudio(fedPath, fed));

        QtAudioInput input;
        const std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
        QSignalSpy finished(uut.get(), &Platform::Recorder::finished);
        QSignalSpy failed(uut.get(), &Platform::Recorder::encodeError);
        QVERIFY2(uut->record(), "the test microphone must start");
        QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() > 0, "samples must reach the file", timeoutMs);
        QVERIFY2(feedMicrophone(fedPath), "paplay must play into the microphone");
        // Stopped the moment the speech is out, while its end is still on its way to the program.
        QVERIFY2(!uut->stop() && !uut->stop(), "the take is written whole, and stopped once");
        const double stoppedAt = uut->currentTime();
        QTest::qWait(50);
        QVERIFY2(finished.isEmpty() && failed.isEmpty() && uut->currentTime() == stoppedAt,
            "a stop that was asked for is not reported, and holds");

        const Audio take = readAudio(path);
        QCOMPARE(wholeProblem(take, fed), QString());
        const Platform::AudioFileInfo info = input.fileInfo(path);
        QVERIFY2(info.frames == qint64(take.samples.size()) && info.sampleRate == takeRate
                && std::lround(stoppedAt * takeRate) == info.frames,
            "currentTime and fileInfo must tell the audio written");
    }

    void metersFoldEverySampleUntilDestroyed()
    {
        // A quarter second of silence, half a second of a 1 kHz tone at -60 dBFS starting on a
        // crest, a quarter second of silence, a 10 ms full-scale burst, and silence again.
        Audio sound {takeRate, 1, feedFormat, {}};
        for (int i = 0; i < takeRate * 126 / 100; ++i) {
            const bool tone = i >= takeRate / 4 && i < takeRate * 3 / 4;
            const bool burst = i >= takeRate && i < takeRate * 101 / 100;
            sound.samples.push_back(tone
                    ? 0.001 * std::cos(2 * std::numbers::pi * 1000 * i / takeRate)
                    : burst ? (i / 24 % 2 == 0 ? 1.0 : -1.0)
                            : 0.0);
        }
        QTemporaryDir dir;
        const QString soundPath = dir.filePath(u"sound.wav"_s), path = dir.filePath(u"take.wav"_s);
        QVERIFY(writeAudio(soundPath, sound));

        std::unique_ptr<Platform::Recorder> uut = QtAudioInput().makeRecorder(path);
        QVERIFY2(uut->record(), "the test microphone must start");
        QTRY_VERIFY2_WITH_TIMEOUT(uut->currentTime() > 0.1, "silence must be recorded", timeoutMs);
        // Read as the controller reads them, every 80 ms, while the sound plays.
        QList<std::pair<float, float>> readings; // peak, average
        const auto read = [&] {
            uut->updateMeters();
            readings.append({uut->peakPower(), uut->averagePower()});
        };
        read();
        QTimer meters;
        QObject::connect(&meters, &QTimer::timeout, read);
        meters.start(80);
        QVERIFY2(feedMicrophone(soundPath), "paplay must play into the microphone");
        read();
        meters.stop();
        // Destroyed the moment the sound is out: the end must still be kept.
        QElapsedTimer clock;
        clock.start();
        uut.reset();
        QVERIFY2(clock.elapsed() < 1000, "destroying a recorder must not wait long");

        const std::pair silence {Platform::silenceDb, Platform::silenceDb};
        QVERIFY2(
            readings.size() > 10 && readings.first() == silence, "silence must read as silence");
        float toneAverage = Platform::silenceDb, loudest = Platform::silenceDb;
        for (const auto &[peak, average] : std::as_const(readings)) {
            const bool tone = std::abs(peak + 60) < 0.5f && average < peak;
            toneAverage = tone ? std::max(toneAverage, average) : toneAverage;
            loudest = std::max(loudest, peak);
            QVERIFY2(std::pair(peak, average) == silence || tone || peak > -0.5f,
                qPrintable(u"a reading of %1 dBFS peak, %2 dBFS average"_s.arg(peak).arg(average)));
        }
        QVERIFY2(loudest > -0.5f, "a burst between two readings must be caught by the next");
        QVERIFY2(std::abs(toneAverage + 63.01f) < 0.5f,
            qPrintable(
                u"a sine's average is 3 dB under its peak, not at %1 dBFS"_s.arg(toneAverage)));
        const Audio take = readAudio(path);
        QCOMPARE(wholeProblem(take, sound), QString());
        // The header must tell all the audio in the file: 3 bytes a frame, padded to an even size.
        QCOMPARE(QFileInfo(path).size(), 44 + (3 * qint64(take.samples.size()) + 1) / 2 * 2);
    }

    void touchesOnlyItsOwnFiles_data()
    {
        QTest::addColumn<bool>("measure"); // fileInfo; else makeRecorder, never recording
        QTest::addColumn<QString>("name"); // in a folder holding existing.wav, which is not audio
        QTest::addColumn<QByteArray>("replacement"); // put at the path once the recorder made it
        QTest::addColumn<QString>("reason"); // why the file is refused; "-": any reason

        QTest::addRow("a take over an existing file")
            << false << "existing.wav" << QByteArray() << "File exists";
        QTest::addRow("a take in a missing folder")
            << false << "missing/take.wav" << QByteArray() << "No such file or directory";
        QTest::addRow("a take never recorded") << false << "take.wav" << QByteArray() << "";
        QTest::addRow("a take never recorded, replaced meanwhile")
            << false << "take.wav" << QByteArray("another program's") << "";
        QTest::addRow("measuring a missing file")
            << true << "gone.wav" << QByteArray() << "No such file or directory";
        QTest::addRow("measuring what is not audio")
            << true << "existing.wav" << QByteArray() << "-";
    }

    void touchesOnlyItsOwnFiles()
    {
        QFETCH(bool, measure);
        QFETCH(QString, name);
        QFETCH(QByteArray, replacement);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        writeFile(dir.filePath(u"existing.wav"_s), "an earlier take");
        QMap<QString, QByteArray> expected = folderSnapshot(dir.path());
        const QString path = dir.filePath(name);
        QString description;
        try {
            if (measure)
                (void)QtAudioInput().fileInfo(path);
            const std::unique_ptr<Platform::Recorder> uut
                = measure ? nullptr : QtAudioInput().makeRecorder(path);
            QVERIFY2(measure || QFileInfo::exists(path), "the file is made with the recorder");
            if (!replacement.isEmpty() && QFile::remove(path))
                expected.insert(name, readFile(writeFile(path, replacement)));
        } catch (const SystemError &failure) {
            description = failure.description();
        }
        const QString prefix
            = u"Could not %1 “%2”: "_s.arg(measure ? u"read"_s : u"create"_s, path);
        QVERIFY2(reason == u"-"_s
                ? description.startsWith(prefix) && description.size() > prefix.size()
                : description == (reason.isEmpty() ? QString() : prefix + reason),
            qPrintable(u"refused with: "_s + description));
        QCOMPARE(folderSnapshot(dir.path()), expected);
    }

    void mendsAHeaderThatUndercounts_data()
    {
        QTest::addColumn<QByteArray>("bytes"); // empty: a link to a good take
        QTest::addColumn<qint64>("frames"); // -1: refused

        const QByteArray chunk("LIST\4\0\0\0abcd", 12);
        QTest::addRow("counted whole") << takeBytes(4800, 4800) << qint64(4800);
        QTest::addRow("killed before the header caught up")
            << takeBytes(48000, 47000) << qint64(48000);
        QTest::addRow("killed before any header") << takeBytes(48000, 0) << qint64(48000);
        QTest::addRow("half a frame at the end") << takeBytes(48000, 0) + "\1" << qint64(48000);
        QTest::addRow("a chunk after the audio") << takeBytes(4800, 4800) + chunk << qint64(4800);
        QTest::addRow("not audio") << QByteArray("RIFF....WAVEdata") << qint64(-1);
        QTest::addRow("a symbolic link") << QByteArray() << qint64(-1);
    }

    void mendsAHeaderThatUndercounts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, frames);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"take.wav"_s);
        if (bytes.isEmpty())
            QFile::link(writeFile(dir.filePath(u"good.wav"_s), takeBytes(4800, 4800)), path);
        else
            writeFile(path, bytes);
        QtAudioInput uut;
        if (frames < 0) {
            QVERIFY_THROWS_EXCEPTION(SystemError, (void)WavRecording::completeLength(path, false));
            QVERIFY_THROWS_EXCEPTION(SystemError, (void)uut.recoverFile(path));
            QCOMPARE(readFile(path), bytes.isEmpty() ? takeBytes(4800, 4800) : bytes);
            return;
        }
        QCOMPARE(WavRecording::completeLength(path, false).frames, frames);
        QVERIFY2(readFile(path) == bytes, "measuring alone writes nothing");
        QCOMPARE(uut.recoverFile(path).frames, frames);
        const QByteArray mended = readFile(path);
        QCOMPARE(mended.size(), bytes.size());
        QCOMPARE(uut.fileInfo(path).frames, frames);
        QCOMPARE(uut.recoverFile(path).frames, frames);
        QVERIFY2(readFile(path) == mended, "a mended header is left as it is");
    }

    void refusesAnInputThatIsGone()
    {
        // A source that the program saw, gone when the take starts, as a microphone unplugged
        // just then: Qt alone would wait for it without end.
        const std::optional<QString> module = run(u"pactl"_s,
            {u"load-module"_s, u"module-remap-source"_s, u"source_name=gonemic"_s,
                u"master=micfeed.monitor"_s});
        QVERIFY2(module, "a second source must be made");
        const QStringList unload {u"unload-module"_s, module->trimmed()};
        const auto cleanUp = qScopeGuard([&] { run(u"pactl"_s, unload); });
        const QMediaDevices devices;
        QAudioDevice gone;
        QTRY_VERIFY2_WITH_TIMEOUT(
            [&] {
                for (const QAudioDevice &device : QMediaDevices::audioInputs())
                    gone = device.id() == "gonemic" ? device : gone;
                return !gone.isNull();
            }(),
            "Qt must list the second source", timeoutMs);
        QVERIFY2(run(u"pactl"_s, unload), "the second source must go");

        QTemporaryDir dir;
        WavRecorder uut(gone, dir.filePath(u"take.wav"_s));
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(!uut.record(), "a take from a source that is gone must not start");
        QVERIFY2(clock.elapsed() < 1000, "nor make the program wait");
        QVERIFY2(entries(dir.path()).isEmpty(), "nor leave a file");
    }

    void keepsTheTakeWhenInterrupted_data()
    {
        QTest::addColumn<bool>("server"); // who takes the signal: the sound server, or the recorder
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("noticeMs"); // how soon the recorder must notice, with room to spare

        QTest::addRow("sound server killed") << true << int(SIGKILL) << 3000;
        // Only the stall watchdog can tell: the connection stays open.
        QTest::addRow("sound server hung") << true << int(SIGSTOP) << 6000;
        // What it wrote is all there is: the header must have followed every write.
        QTest::addRow("recorder killed") << false << int(SIGKILL) << 0;
    }

    void keepsTheTakeWhenInterrupted()
    {
        QFETCH(bool, server);
        QFETCH(int, signal);
        QFETCH(int, noticeMs);
        const PrivateSoundServer sound;
        QVERIFY2(sound.pid > 0, "a private test sound server must start");
        QTemporaryDir dir;
        const QString path = dir.filePath(u"take.wav"_s);
        QProcess recorder;
        recorder.setProcessEnvironment(sound.environment);
        recorder.start(cli, {u"record"_s, path});
        QVERIFY2(QTest::qWaitFor(
                     [&] { return recorder.peek(1 << 16).contains("\nRecording: "); }, timeoutMs),
            recorder.readAllStandardError().constData());
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(feedMicrophone(speech, sound.environment), "paplay must play into the microphone");
        QTest::qWait(300);

        QVERIFY2(::kill(pid_t(server ? sound.pid : recorder.processId()), signal) == 0,
            "the signal must be taken");
        const double recordedFor = double(clock.restart()) / 1000;
        QVERIFY2(
            QTest::qWaitFor([&] { return recorder.state() == QProcess::NotRunning; }, timeoutMs),
            "the recorder must end");
        const QString errors = QString::fromUtf8(recorder.readAllStandardError());
        QVERIFY2(!server
                || (clock.elapsed() < noticeMs && recorder.exitStatus() == QProcess::NormalExit
                    && recorder.exitCode() == 3 && errors.contains(u"interrupted"_s)
                    && errors.contains(u"kept in “%1”"_s.arg(path))),
            qPrintable(u"after %1 ms, exit code %2: %3"_s.arg(clock.elapsed())
                           .arg(recorder.exitCode())
                           .arg(errors)));

        const Audio take = readAudio(path);
        QCOMPARE(wholeProblem(take, readAudio(speech)), QString());
        const double seconds = double(take.samples.size()) / takeRate;
        QVERIFY2(seconds > recordedFor - 0.5 && seconds < recordedFor + 0.2,
            qPrintable(u"%1 s kept of %2 s"_s.arg(seconds).arg(recordedFor)));
        // Python's wave module believes the header alone.
        const std::optional<QString> told = run(u"python3"_s,
            {u"-c"_s,
                u"import wave, sys; w = wave.open(sys.argv[1]); "
                "print(w.getnframes(), w.getframerate(), w.getsampwidth())"_s,
                path});
        QCOMPARE(told.value_or(QString()), u"%1 48000 3\n"_s.arg(take.samples.size()));
    }

    void keepsWhatWasWrittenWhenWritingFails_data()
    {
        QTest::addColumn<QString>("limit"); // how the room runs out
        QTest::addColumn<QString>("seconds"); // how long the take is asked to run
        QTest::addColumn<QString>("reason");
        QTest::addColumn<double>("kept"); // seconds at least; 0: the file must be gone

        // A file size limit of 150 KiB, reached after about a second: the writes beyond it fail
        // with EFBIG, as they would on a full disk with ENOSPC.
        QTest::addRow("a file size limit, during the take") << "ulimit -f 150"
                                                            << "20"
                                                            << "File too large" << 0.9;
        // A 64 KiB disk fills after 0.45 s, about as the take stops and its last audio comes in.
        QTest::addRow("a full disk, as the take stops") << "size=64k"
                                                        << "0.4"
                                                        << "No space left on device" << 0.3;
        QTest::addRow("a full disk") << "full"
                                     << "2"
                                     << "No space left on device" << 0.0;
    }

    void keepsWhatWasWrittenWhenWritingFails()
    {
        QFETCH(QString, limit);
        QFETCH(QString, seconds);
        QFETCH(QString, reason);
        QFETCH(double, kept);
        QTemporaryDir dir;
        const QString disk = dir.filePath(u"disk"_s), outcome = dir.filePath(u"outcome"_s);
        QVERIFY(QDir().mkdir(disk) && QDir().mkdir(outcome));
        // The sound server's client library would complain about a file size limit on its shared
        // memory: it is told to use none. A tmpfs is mounted in a private mount namespace, and
        // what it holds is copied out before the namespace goes.
        const QString config
            = writeFile(dir.filePath(u"client.conf"_s), "autospawn = no\nenable-shm = no\n");
        const bool ulimit = limit.startsWith(u"ulimit");
        QProcess recorder;
        recorder.setProcessEnvironment(
            environmentFor(qEnvironmentVariable("PULSE_SERVER"), config));
        recorder.start(ulimit ? u"bash"_s : u"unshare"_s,
            QStringList(ulimit ? QStringList() : QStringList {u"-m"_s, u"bash"_s})
                + QStringList {u"-c"_s, uR"(trap "" XFSZ; case "$2" in ulimit*) $2 ;;
                          full) mount -t tmpfs -o size=4k quorbel-full "$1" || exit 99
                                head -c 4096 /dev/zero > "$1/filler" ;;
                          *) mount -t tmpfs -o "$2" quorbel-full "$1" || exit 99 ;; esac
                        "$3" record "$1/take.wav" --seconds "$4" 2> "$5/errors"; echo $? > "$5/exit"
                        cp "$1/take.wav" "$5/" 2>/dev/null; exit 0)"_s,
                    u"bash"_s, disk, limit, cli, seconds, outcome});
        QVERIFY2(recorder.waitForFinished(timeoutMs), "the recorder must stop by itself");
        if (recorder.exitCode() == 99)
            QSKIP("cannot mount a tmpfs in a private mount namespace here (needs root)");
        const QString path = disk + u"/take.wav"_s;
        const QString said = QString::fromUtf8(readFile(outcome + u"/errors"_s));
        QVERIFY2(
            said.startsWith(u"Could not write “%1”: %2\n"_s.arg(path, reason)), qPrintable(said));
        QCOMPARE(readFile(outcome + u"/exit"_s), QByteArray("1\n"));
        const Audio take = readAudio(outcome + u"/take.wav"_s);
        if (kept == 0) {
            QVERIFY2(!QFileInfo::exists(outcome + u"/take.wav"_s) && said.count(u'\n') == 1,
                "a file without a single frame is no take, and goes");
            return;
        }
        QVERIFY2(take.samples.size() > size_t(takeRate * kept),
            "what was written before must stay readable");
        QCOMPARE(said.section(u'\n', 1),
            u"The take was cut short: kept %1 s in “%2”.\n"_s
                .arg(double(take.samples.size()) / takeRate, 0, 'f', 1)
                .arg(path));
    }
};

/// WavPlayer on the test sound server, whose default output is a null sink playing in real time.
class PlayerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer); }

    void playsToTheEndThenFinishes_data()
    {
        QTest::addColumn<qint64>("ms");
        QTest::addColumn<int>("rate");
        QTest::addColumn<int>("channels");
        QTest::addColumn<int>("format");
        QTest::addColumn<bool>("replaced"); // by another file, while it plays

        // The output goes idle some 150 ms before its last sample is heard.
        QTest::addRow("a take") << qint64(500) << 48000 << 1 << takeFormat << false;
        // Long enough that at half speed it would end past the slack.
        QTest::addRow("a 16-bit stereo recording at 44.1 kHz")
            << qint64(1000) << 44100 << 2 << (SF_FORMAT_WAV | SF_FORMAT_PCM_16) << false;
        QTest::addRow("a take with no sound") << qint64(0) << 48000 << 1 << takeFormat << false;
        // The player holds the file open, so it plays the take it opened to its end.
        QTest::addRow("a take replaced while it plays")
            << qint64(500) << 48000 << 1 << takeFormat << true;
    }

    void playsToTheEndThenFinishes()
    {
        QFETCH(qint64, ms);
        QFETCH(int, rate);
        QFETCH(int, channels);
        QFETCH(int, format);
        QFETCH(bool, replaced);
        QTemporaryDir dir;
        const QString path = writeTake(dir.filePath(u"take.wav"_s), ms, rate, channels, format);
        const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
        Listener listener(uut.get());
        QVERIFY2(listener.play(), "the default output must start");
        QVERIFY2(listener.ends.isEmpty(), "no signal may come from inside play()");
        if (replaced) {
            QTest::qWait(200);
            QVERIFY(QFile::remove(path));
            writeTake(path, 100);
        }
        QCOMPARE(listener.playedWhole(ms), QString());
        QTRY_VERIFY2(ownStreams() == 0, "a finished take must leave the output");
    }

    void stopSilencesAtOnceAndPlayStartsOver()
    {
        QTemporaryDir dir;
        const std::unique_ptr<Platform::Player> uut
            = QtAudioOutput().makePlayer(writeTake(dir.filePath(u"take.wav"_s), 1000));
        Listener listener(uut.get());
        QVERIFY2(listener.play(), "the default output must start");
        QTest::qWait(300);
        QVERIFY2(ownStreams() == 1, "the take must play");
        uut->stop();
        const double stoppedAt = uut->currentTime();
        QVERIFY2(stoppedAt > 0.1 && stoppedAt * 1000 <= double(listener.clock.elapsed()),
            qPrintable(u"%1 s heard when stopped"_s.arg(stoppedAt)));
        QTRY_VERIFY2_WITH_TIMEOUT(
            ownStreams() == 0, "the sound must leave the output on stop()", 300);
        QTest::qWait(int(1000 + finishSlackMs - listener.clock.elapsed()));
        QVERIFY2(listener.ends.isEmpty() && uut->currentTime() == stoppedAt,
            "no signal may follow stop(), and currentTime must stand still");

        QVERIFY2(listener.play(), "the default output must start again");
        QTest::qWait(50);
        QVERIFY2(uut->currentTime() < 0.1, "a new play must start from the beginning");
        QCOMPARE(listener.playedWhole(1000), QString());
    }

    void refusesWhatIsNotAudio_data()
    {
        QTest::addColumn<QByteArray>("contents"); // "<missing>", "<pipe>": no file, a named pipe
        QTest::addColumn<QString>("reason"); // "-": any that libsndfile gives

        QTest::addRow("a missing file") << QByteArray("<missing>") << "No such file or directory";
        QTest::addRow("an empty file") << QByteArray() << "The file is empty";
        // Opening a pipe to read waits for a writer, unless told not to.
        QTest::addRow("a named pipe") << QByteArray("<pipe>") << "Not a regular file";
        QTest::addRow("text") << QByteArray("Line 1: Hello there.\n") << "-";
    }

    void refusesWhatIsNotAudio()
    {
        QFETCH(QByteArray, contents);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"take.wav"_s);
        if (contents == "<pipe>")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (contents != "<missing>")
            writeFile(path, contents);
        QString description;
        try {
            (void)QtAudioOutput().makePlayer(path);
        } catch (const SystemError &failure) {
            description = failure.description();
        }
        const QString prefix = u"Could not open “%1”: "_s.arg(path);
        QVERIFY2(reason == u"-"_s
                ? description.startsWith(prefix) && description.size() > prefix.size()
                : description == prefix + reason,
            qPrintable(u"refused with: "_s + description));
    }

    void reportsItsFileCutShortWhilePlaying()
    {
        QTemporaryDir dir;
        const QString path = writeTake(dir.filePath(u"take.wav"_s), 1000);
        const std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
        Listener listener(uut.get());
        QVERIFY2(listener.play(), "the default output must start");
        QTest::qWait(300);
        // Only the header and a tenth of a second stay, which has been read by then.
        QVERIFY(QFile::resize(path, 44 + 3 * 4800));
        QTRY_VERIFY2(!listener.ends.isEmpty(), "the play must end");
        QCOMPARE(listener.ends,
            QStringList {
                u"Could not read “%1”: The file was cut short while it played"_s.arg(path)});
        QVERIFY2(listener.endMs < 700, "the failure must be reported as soon as it is read");
        const double stoppedAt = uut->currentTime();
        QTest::qWait(100);
        QVERIFY2(uut->currentTime() == stoppedAt && stoppedAt < 0.7,
            "the sound must stop where the take was cut");
        QTRY_VERIFY2(ownStreams() == 0, "the sound must leave the output");
    }

    void mayBeDeletedAnyTime_data()
    {
        QTest::addColumn<bool>("whilePlaying"); // else by the handler of its finished signal
        QTest::addRow("while it plays") << true;
        QTest::addRow("by the handler of its finished signal") << false;
    }

    void mayBeDeletedAnyTime()
    {
        QFETCH(bool, whilePlaying);
        QTemporaryDir dir;
        std::unique_ptr<Platform::Player> uut
            = QtAudioOutput().makePlayer(writeTake(dir.filePath(u"take.wav"_s), 300));
        bool finished = false;
        QObject::connect(uut.get(), &Platform::Player::finished, [&] {
            finished = true;
            uut.reset();
        });
        QVERIFY2(uut->play(), "the default output must start");
        if (whilePlaying) {
            QTest::qWait(100);
            uut.reset();
        }
        QTRY_VERIFY2(!uut, "the player must be gone");
        QVERIFY2(finished != whilePlaying, "finished comes only to a player that plays to its end");
        QTRY_VERIFY2(ownStreams() == 0, "the sound must leave the output");
    }
};

QUORBEL_TEST_MAIN(SystemTrashTest, DesktopTest, InputDeviceTest, RecorderTest, PlayerTest)
#include "tst_platform.moc"
