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
#include <QtEndian>

#include <cmath>
#include <csignal>
#include <functional>
#include <numbers>
#include <optional>
#include <sndfile.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

constexpr char missingServer[] = "the test sound server is missing: run through ./scripts/test";
constexpr int takeRate = 48000;
constexpr int takeFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_24;
// paplay drops the end of a 24-bit file: what the microphone is fed is written at 32 bits.
constexpr int feedFormat = SF_FORMAT_WAV | SF_FORMAT_PCM_32;
// Longer than any wait below should take when all is well.
constexpr int timeoutMs = 10'000;
// How long after a take's length its end may be reported: the output's buffer and the polling
// of its clock, with room for a loaded machine.
constexpr qint64 finishSlackMs = 500;
const QString cli = QStringLiteral(QUORBEL_CLI);
// The shortest of the speech fixtures, 1.6 s: every take is made in real time.
const QString speech = QStringLiteral(QUORBEL_FIXTURES "/speech/arctic_a0005.wav");

/// The test run's environment, in English.
QProcessEnvironment english()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"LC_ALL"_s, u"C.UTF-8"_s);
    environment.remove(u"LANGUAGE"_s);
    return environment;
}

/// How a program ended: its exit code, -1 when it did not end by itself in time, and what it
/// printed.
struct Outcome
{
    int exitCode = -1;
    QString out, err;
};

/// Runs `program` to its end in `folder`, turning the event loop meanwhile.
Outcome runToEnd(const QString &program, const QStringList &arguments,
    const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment(),
    const QString &folder = {})
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(program, arguments);
    if (!QTest::qWaitFor([&] { return process.state() == QProcess::NotRunning; }, timeoutMs)
        || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
        QString::fromUtf8(process.readAllStandardError())};
}

/// Audio as libsndfile reads and writes it: samples interleaved, full scale at 1.
struct Audio
{
    int rate = 0, channels = 1, format = 0; // rate 0: the file could not be read
    std::vector<double> samples;
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

/// Writes `audio` at `path`; a file that cannot be written ends the test run.
void writeAudio(const QString &path, const Audio &audio)
{
    SF_INFO info {0, audio.rate, audio.channels, audio.format, 0, 0};
    SNDFILE *file = sf_open(QFile::encodeName(path).constData(), SFM_WRITE, &info);
    const auto size = sf_count_t(audio.samples.size());
    if (file)
        sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    if (!file || sf_write_double(file, audio.samples.data(), size) != size || sf_close(file) != 0)
        qFatal("cannot write %s", qPrintable(path));
}

/// Why `take` does not hold all of `fed`, the sound played into the microphone, sample for
/// sample after the silence before it; empty when it does. The way from the feed to the file
/// is lossless at 24 bits: a sample may differ by rounding only. A reader that believes the
/// take's header alone must find all of its audio too.
QString wholeProblem(const QString &path, const Audio &fed)
{
    const Audio take = readAudio(path);
    const auto firstSound = [](const std::vector<double> &samples) {
        return std::find_if(samples.begin(), samples.end(), [](double s) { return s != 0; })
            - samples.begin();
    };
    const qint64 lag = firstSound(take.samples) - firstSound(fed.samples);
    // Our takes' header is 44 bytes; the audio is padded to an even size once complete.
    const QByteArray bytes = readFile(path);
    const qint64 counted = bytes.size() < 44 ? -1 : qFromLittleEndian<quint32>(bytes.data() + 40);
    if (take.rate != takeRate || take.format != takeFormat || lag < 0
        || size_t(lag) + fed.samples.size() > take.samples.size()
        || counted != 3 * qint64(take.samples.size()) || bytes.size() - 44 - counted > 1)
        return QString::asprintf(
            "a %d Hz take of %zu frames, format %x, %lld of %lld bytes counted", take.rate,
            take.samples.size(), take.format, counted, bytes.size() - 44);
    const auto [differs, _] = std::mismatch(fed.samples.begin(), fed.samples.end(),
        take.samples.begin() + lag, [](double a, double b) { return std::abs(a - b) < 3e-7; });
    return differs == fed.samples.end() ? QString()
                                        : u"the take differs from the sound %1 s into it"_s.arg(
                                            double(differs - fed.samples.begin()) / takeRate);
}

/// A sound server of a test's own, made by scripts/test-audio.sh like the shared one, for what
/// must not touch the shared one: killing it, hanging it, changing its default input. Its
/// default input is Other-Microphone, a second source on the virtual microphone's feed. Its
/// shell ends it once the shell's input closes.
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
                pactl load-module module-remap-source source_name=othermic \
                    master=micfeed.monitor source_properties=device.description=Other-Microphone \
                    >/dev/null && pactl set-default-source othermic || exit 1
                timeout 5 parec -d testmic --latency-msec=20 2>/dev/null | head -c 4 >/dev/null
                echo "$PULSE_SERVER $TEST_AUDIO_PID"
                read -r _)"_s,
                u"bash"_s, QStringLiteral(QUORBEL_TEST_AUDIO_SCRIPT)});
        const QStringList told
            = QTest::qWaitFor([this] { return m_shell.canReadLine(); }, timeoutMs)
            ? QString::fromUtf8(m_shell.readLine()).trimmed().split(u' ')
            : QStringList();
        environment.insert(u"PULSE_SERVER"_s, told.value(0));
        pid = told.value(1).toLongLong();
    }

    ~PrivateSoundServer()
    {
        m_shell.closeWriteChannel();
        m_shell.waitForFinished(timeoutMs);
    }

    QProcessEnvironment environment = english();
    qint64 pid = 0; // 0: it would not start

private:
    QProcess m_shell;
};

/// How many streams this process plays on the test sound server, where other tests may play
/// meanwhile.
int ownStreams()
{
    const Outcome listed = runToEnd(u"pactl"_s, {u"-f"_s, u"json"_s, u"list"_s, u"sink-inputs"_s});
    const QString self = QString::number(QCoreApplication::applicationPid());
    int streams = 0;
    for (const QJsonValue &input : QJsonDocument::fromJson(listed.out.toUtf8()).array())
        streams += input["properties"]["application.process.id"] == self;
    return streams;
}

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
        QTest::addColumn<QString>("setUp"); // "HOME=home": and no XDG_DATA_HOME; else a file
        QTest::addColumn<QString>("reason"); // how the message ends; empty: the item is moved
        const auto row = [](const char *name, const char *item, const char *argument,
                             const QString &reason = {}, const char *setUp = "") {
            QTest::addRow("%s", name) << item << argument << setUp << reason;
        };
        row("a folder whose name needs escaping", "items/takes 50%/", "%1/items/takes 50%");
        // Tidying ".." away by the text alone would move the bystander items/take.wav.
        row("a path through a link and ..", "items/sub/take.wav", "%1/items/link/../take.wav");
        row("a link, which goes itself", "items/link", "%1/items/link");
        row("a link named with a slash after it, which leads to its folder", "items/link",
            "%1/items/link/", u"Its path leads to another item once symbolic links are followed"_s);
        row("a relative HOME", "items/a.wav", "%1/items/a.wav",
            u"The Trash folder “home/.local/share/Trash” is not an absolute path; HOME or "
            "XDG_DATA_HOME is set wrongly"_s,
            "HOME=home");
        row("a file where the Trash folder must be", "items/a.wav", "%1/items/a.wav",
            u"Not a directory"_s, "data/Trash");
        row("a missing item", "items/a.wav", "%1/items/gone.wav", u"No such file or directory"_s);
        row("a relative path", "items/a.wav", "../items/a.wav", u"Not an absolute path"_s);
    }

    void movesToTheTrashOrSaysWhyNot()
    {
        QFETCH(QString, item);
        QFETCH(QString, argument);
        QFETCH(QString, setUp);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString root = QFileInfo(dir.path()).canonicalFilePath();
        for (const QString &folder : {u"home"_s, u"data"_s, u"cwd"_s, u"items/sub/deeper"_s})
            QVERIFY(QDir(root).mkpath(folder));
        QVERIFY(QFile::link(u"sub/deeper"_s, root + u"/items/link"_s));
        writeFile(root + u"/items/take.wav"_s, "bystander");
        if (item.endsWith(u'/')) {
            item.chop(1);
            QVERIFY(QDir(root).mkpath(item));
            writeFile(root + u'/' + item + u"/b.wav"_s, "b");
        } else if (!QFileInfo(root + u'/' + item).isSymLink()) {
            writeFile(root + u'/' + item, "take");
        }
        const bool relativeHome = setUp == u"HOME=home"_s;
        if (!relativeHome && !setUp.isEmpty())
            writeFile(root + u'/' + setUp, "in the way");
        const QMap<QString, QByteArray> before = folderSnapshot(root);
        argument.replace(u"%1"_s, root);

        // GLib must find its Trash in this folder only, never in the real HOME, and speak English.
        QProcessEnvironment environment = english();
        environment.insert(u"HOME"_s, relativeHome ? u"home"_s : root + u"/home"_s);
        environment.insert(u"XDG_DATA_HOME"_s, root + u"/data"_s);
        if (relativeHome)
            environment.remove(u"XDG_DATA_HOME"_s);
        const Outcome uut = runToEnd(
            QStringLiteral(QUORBEL_TEST_TRASH), {argument}, environment, root + u"/cwd"_s);
        const QString errors = uut.err.trimmed();
        QMap<QString, QByteArray> after = folderSnapshot(root);
        if (!reason.isEmpty()) {
            QVERIFY2(uut.exitCode == 1
                    && errors.startsWith(u"Could not move “%1” to the Trash: "_s.arg(argument))
                    && errors.endsWith(reason),
                qPrintable(errors));
            QCOMPARE(after, before);
            return;
        }
        QVERIFY2(uut.exitCode == 0 && errors.isEmpty(), qPrintable(errors));
        // The item and all it holds, and nothing else, in the Trash, with a note of its place.
        const QString name = QFileInfo(item).fileName();
        QVERIFY2(after.take(u"data/Trash/info/"_s + name + u".trashinfo"_s)
                     .contains("\nPath=" + QUrl::toPercentEncoding(root + u'/' + item, "/") + '\n'),
            "the .trashinfo must give the item's place");
        QMap<QString, QByteArray> expected {{u"data/Trash"_s, "<folder>"},
            {u"data/Trash/files"_s, "<folder>"}, {u"data/Trash/info"_s, "<folder>"}};
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
        for (const char *keys : {"Return", "Esc", "Tab, Space"})
            QTest::addRow("%s", keys)
                << u"Move to Trash"_s << QKeySequence(QString::fromLatin1(keys)) << true;
        QTest::addRow("Alt and the letter after an & in the action")
            << u"Delete &Take"_s << QKeySequence(u"Alt+T"_s) << false;
        QTest::addRow("a click on the action") << u"Move to Trash"_s << QKeySequence() << true;
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
        QStringList buttons; // the one with the keyboard focus first
        bool closed = false;
        whenModal([&](QWidget *modal) {
            shown.append(modal->windowTitle());
            for (QLabel *label : modal->findChildren<QLabel *>()) {
                if (label->isVisible() && !label->text().isEmpty())
                    shown.append(label->textFormat() == Qt::PlainText ? label->text() : u"<>"_s);
            }
            for (QPushButton *button : modal->findChildren<QPushButton *>()) {
                buttons.insert(button->hasFocus() ? 0 : buttons.size(), button->text());
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
        QCOMPARE(buttons, QStringList({u"Cancel"_s, QString(action).replace(u"&"_s, u"&&"_s)}));
        shown.sort();
        QCOMPARE(shown, QStringList({alert.detail, alert.title, alert.title}));
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
        const QString message = u"Choose the script to record. The takes are kept beside it."_s;
        // What the panel shows: title, message (only when above the folders), then a folder
        // panel's start folder and new folder button, a file panel's first and last filters.
        QStringList shown;
        bool overOwner = false;
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
            if (!dialog || !lookIn || !field || !newFolder)
                return QTest::keyClick(modal, Qt::Key_Escape);
            shown.append(modal->windowTitle());
            for (QLabel *label : modal->findChildren<QLabel *>()) {
                if (label->isVisible() && label->wordWrap()
                    && label->mapTo(modal, QPoint(0, label->height())).y()
                        <= lookIn->mapTo(modal, QPoint()).y())
                    shown.append(label->text());
            }
            if (folder)
                shown << dialog->directory().absolutePath()
                      << (newFolder->isVisible() && newFolder->isEnabled() ? u"new"_s : u"none"_s);
            else
                shown << dialog->nameFilters().value(0) << dialog->nameFilters().last();
            // Set rather than typed: the completer's popup would take the Return.
            field->setText(typed);
            QTest::keyClick(field, typed.isEmpty() ? Qt::Key_Escape : Qt::Key_Return);
        });
        QtDesktop uut;
        const std::optional<QString> chosen = folder
            ? uut.chooseFolder({u"Title"_s, message, dir.filePath(u"start"_s), canCreateFolders})
            : uut.chooseFile({u"Title"_s, message, {u"json"_s, u"csv"_s, u"txt"_s}});

        QVERIFY2(!m_timedOut, "the panel must close on Return in the name field, or on Escape");
        QCOMPARE(chosen.value_or(u"nothing"_s), typed.isEmpty() ? u"nothing"_s : typed);
        QVERIFY2(overOwner, "the panel opens over the program's window");
        // The message above the folders, a new folder only where the person may make one.
        QCOMPARE(shown,
            QStringList({u"Title"_s, message})
                + (folder ? QStringList(
                       {dir.filePath(u"start"_s), canCreateFolders ? u"new"_s : u"none"_s})
                          : QStringList({u"JSON, CSV or TXT files (*.json *.csv *.txt)"_s,
                              u"All files (*)"_s})));
    }

    void settingsCommandTakesTheFirstInstalled_data()
    {
        QTest::addColumn<QStringList>("installed");
        QTest::addColumn<bool>("microphone"); // else the sound page
        QTest::addColumn<QString>("expected"); // the program named without its folder
        const QStringList all {u"gnome-control-center"_s, u"systemsettings"_s, u"kcmshell6"_s,
            u"systemsettings5"_s, u"kcmshell5"_s, u"pavucontrol"_s};
        const auto row = [&all](const char *name, int from, bool microphone, const char *command) {
            QTest::addRow("%s", name) << all.mid(from) << microphone << command;
        };
        row("sound on GNOME", 0, false, "gnome-control-center sound");
        row("sound on Plasma 6", 1, false, "systemsettings kcm_pulseaudio");
        row("sound with only pavucontrol", 5, false, "pavucontrol");
        row("sound with nothing", 6, false, "");
        row("microphone on GNOME", 0, true, "gnome-control-center microphone");
        row("microphone on Plasma 6", 1, true, "systemsettings kcm_pulseaudio");
    }

    void settingsCommandTakesTheFirstInstalled()
    {
        QFETCH(QStringList, installed);
        QFETCH(bool, microphone);
        QFETCH(QString, expected);
        const QStringList command = settingsCommand(
            microphone ? SettingsPage::Microphone : SettingsPage::Sound, [&](const QString &name) {
                return installed.contains(name) ? u"/bin/"_s + name : QString();
            });
        QCOMPARE(command.join(u' '), expected.isEmpty() ? expected : u"/bin/"_s + expected);
    }

    void variableTellsUnsetFromEmpty()
    {
        const char *name = "QUORBEL_DESKTOP_TEST_VARIABLE";
        QStringList read;
        for (const char *value : {static_cast<const char *>(nullptr), "", "/srv/takes"}) {
            value ? qputenv(name, value) : qunsetenv(name);
            read.append(QtEnvironment().variable(QString::fromLatin1(name)).value_or(u"unset"_s));
        }
        qunsetenv(name);
        QCOMPARE(read, QStringList({u"unset"_s, QString(), u"/srv/takes"_s}));
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
        QCOMPARE(user->text(u"lastFolder"_s), std::optional(u"/home/me/scripts"_s));
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
            if (!QTest::qWaitFor(
                    [&] {
                        return (modal = QApplication::activeModalWidget()) && modal->isVisible();
                    },
                    timeoutMs)
                || !QTest::qWaitForWindowActive(modal))
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

/// QtAudioInput's answer to a permission request. Its choice of input is checked where the
/// recorder uses it, in RecorderTest.
class InputDeviceTest : public QObject
{
    Q_OBJECT

private slots:
    void answersPermissionLater()
    {
        QtAudioInput uut;
        QList<bool> answers;
        QObject receiver, *gone = new QObject;
        for (QObject *asker : {&receiver, gone})
            uut.requestPermission(asker, [&](bool granted) { answers.append(granted); });
        delete gone;
        QVERIFY2(answers.isEmpty(), "the answer must come later, not inside the call");
        QTRY_VERIFY2(!answers.isEmpty(), "the answer must come");
        QTest::qWait(50);
        QVERIFY2(answers == QList<bool> {true}, "granted, and only to a receiver still there");
    }
};

/// WavRecorder on the test sound server, whose default input is a virtual microphone that the
/// tests feed; quorbel-cli record, for what only a process of its own can show: its sound
/// server dying, or itself being killed; and the take files the recorder, the measure and the
/// player refuse.
class RecorderTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer);
        QVERIFY2(readAudio(speech).rate == takeRate, "the speech fixtures must be in /work/shared");
    }

    void recordsEverySampleAndItsLevels_data()
    {
        QTest::addColumn<bool>("destroyed"); // else stopped
        QTest::addRow("stopped") << false;
        QTest::addRow("destroyed") << true;
    }

    void recordsEverySampleAndItsLevels()
    {
        QFETCH(bool, destroyed);
        // Half a second of a 1 kHz tone at -60 dBFS starting on a crest, a quarter second of
        // silence, a 10 ms full-scale burst, a quarter second of silence, then speech with every
        // bit of a 24-bit sample in use: a take made at 16 bits, or with a sample lost or one
        // twice, would not match it.
        Audio fed {takeRate, 1, feedFormat, {}};
        for (int i = 0; i < takeRate; ++i)
            fed.samples.push_back(i < takeRate / 2 ? 0.001 * std::cos(2 * std::numbers::pi * i / 48)
                    : i >= takeRate * 3 / 4 && i < takeRate * 76 / 100 ? (i / 24 % 2 ? -1.0 : 1.0)
                                                                       : 0.0);
        for (const double sample : readAudio(speech).samples)
            fed.samples.push_back(std::round(sample * 0.7 * 0x800000) / 0x800000);
        QTemporaryDir dir;
        const QString fedPath = dir.filePath(u"fed.wav"_s), path = dir.filePath(u"take.wav"_s);
        writeAudio(fedPath, fed);

        QtAudioInput input;
        std::unique_ptr<Platform::Recorder> uut = input.makeRecorder(path);
        QSignalSpy finished(uut.get(), &Platform::Recorder::finished);
        QSignalSpy failed(uut.get(), &Platform::Recorder::encodeError);
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
        QCOMPARE(runToEnd(u"paplay"_s, {u"-d"_s, u"micfeed"_s, fedPath}).exitCode, 0);
        meters.stop();
        // Ended the moment the speech is out, while its end is still on its way to the program.
        QElapsedTimer clock;
        clock.start();
        if (destroyed) {
            uut.reset();
            QVERIFY2(clock.elapsed() < 1000, "destroying a recorder must not wait long");
        } else {
            QVERIFY2(!uut->stop() && !uut->stop(), "the take is written whole, and stopped once");
            const double stoppedAt = uut->currentTime();
            QTest::qWait(50);
            QVERIFY2(finished.isEmpty() && failed.isEmpty() && uut->currentTime() == stoppedAt,
                "a stop that was asked for is not reported, and holds");
            const Platform::AudioFileInfo info = input.fileInfo(path);
            QVERIFY2(
                info.sampleRate == takeRate && std::lround(stoppedAt * takeRate) == info.frames,
                "currentTime and fileInfo must tell the audio written");
        }
        QCOMPARE(wholeProblem(path, fed), QString());

        const std::pair silence {Platform::silenceDb, Platform::silenceDb};
        QVERIFY2(readings.size() > 10 && readings.first() == silence, "silence reads as silence");
        float toneAverage = Platform::silenceDb, loudest = Platform::silenceDb;
        for (const auto &[peak, average] : std::as_const(readings)) {
            if (std::abs(peak + 60) < 0.5f && average < peak)
                toneAverage = std::max(toneAverage, average);
            loudest = std::max(loudest, peak);
        }
        QVERIFY2(loudest > -0.5f, "a burst between two readings must be caught by the next");
        QVERIFY2(std::abs(toneAverage + 63.01f) < 0.5f,
            qPrintable(u"a sine's average is 3 dB under its peak, not at %1"_s.arg(toneAverage)));
    }

    void touchesOnlyItsOwnFiles_data()
    {
        // create: makeRecorder, read: fileInfo, recover: recoverFile, open: makePlayer
        QTest::addColumn<QString>("verb");
        QTest::addColumn<QByteArray>("contents"); // of take.wav, unless in <brackets>
        QTest::addColumn<QString>("reason"); // how the refusal ends; "-": any reason; "": none
        const auto row
            = [](const char *name, const char *verb, const QByteArray &contents,
                  const char *reason) { QTest::addRow("%s", name) << verb << contents << reason; };
        row("a take over an existing file", "create", "an earlier take", "File exists");
        row("a take in a missing folder", "create", "<no folder>", "No such file or directory");
        row("a take never recorded", "create", "<missing>", "");
        row("a take never recorded, replaced meanwhile", "create", "<replaced>", "");
        row("measuring a missing file", "read", "<missing>", "No such file or directory");
        row("measuring what is not audio", "read", "an earlier take", "-");
        row("recovering what is not audio", "recover", "RIFF....WAVEdata", "-");
        row("recovering through a symbolic link", "recover", "<link>", "-");
        row("playing a missing file", "open", "<missing>", "No such file or directory");
        row("playing an empty file", "open", "", "The file is empty");
        // Opening a pipe to read waits for a writer, unless told not to.
        row("playing a named pipe", "open", "<pipe>", "Not a regular file");
        row("playing text", "open", "Line 1: Hello there.\n", "-");
    }

    void touchesOnlyItsOwnFiles()
    {
        QFETCH(QString, verb);
        QFETCH(QByteArray, contents);
        QFETCH(QString, reason);
        QTemporaryDir dir;
        const QString path
            = dir.filePath(contents == "<no folder>" ? u"no/take.wav"_s : u"take.wav"_s);
        if (contents == "<pipe>")
            QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        else if (contents == "<link>")
            QVERIFY(QFile::link(writeFile(dir.filePath(u"good.wav"_s), takeBytes(9, 9)), path));
        else if (!contents.startsWith('<'))
            writeFile(path, contents);
        QMap<QString, QByteArray> expected = folderSnapshot(dir.path());
        QString refusal;
        try {
            if (verb == u"read")
                (void)QtAudioInput().fileInfo(path);
            else if (verb == u"recover")
                (void)QtAudioInput().recoverFile(path);
            else if (verb == u"open")
                (void)QtAudioOutput().makePlayer(path);
            else if (const auto uut = QtAudioInput().makeRecorder(path); !QFileInfo::exists(path))
                QFAIL("the file is made with the recorder");
            else if (contents == "<replaced>" && QFile::remove(path))
                expected.insert(u"take.wav"_s, readFile(writeFile(path, "another program's")));
        } catch (const SystemError &failure) {
            refusal = failure.description();
        }
        const QString prefix
            = u"Could not %1 “%2”: "_s.arg(verb == u"recover" ? u"read"_s : verb, path);
        QVERIFY2(reason == u"-"_s ? refusal.startsWith(prefix) && refusal.size() > prefix.size()
                                  : refusal == (reason.isEmpty() ? QString() : prefix + reason),
            qPrintable(u"refused with: "_s + refusal));
        QCOMPARE(folderSnapshot(dir.path()), expected);
    }

    void mendsAHeaderThatUndercounts_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<qint64>("frames");
        QTest::addRow("counted whole") << takeBytes(4800, 4800) << qint64(4800);
        QTest::addRow("killed before the header caught up")
            << takeBytes(48000, 47000) << qint64(48000);
        QTest::addRow("killed before any header") << takeBytes(48000, 0) << qint64(48000);
        QTest::addRow("half a frame at the end") << takeBytes(48000, 0) + "\1" << qint64(48000);
        QTest::addRow("a chunk after the audio")
            << takeBytes(4800, 4800) + QByteArray("LIST\4\0\0\0abcd", 12) << qint64(4800);
    }

    void mendsAHeaderThatUndercounts()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(qint64, frames);
        QTemporaryDir dir;
        const QString path = writeFile(dir.filePath(u"take.wav"_s), bytes);
        QtAudioInput uut;
        QCOMPARE(WavRecording::completeLength(path, false).frames, frames);
        QVERIFY2(readFile(path) == bytes, "measuring alone writes nothing");
        QCOMPARE(uut.recoverFile(path).frames, frames);
        QCOMPARE(readFile(path).size(), bytes.size());
        QCOMPARE(uut.fileInfo(path).frames, frames);
    }

    void refusesAnInputThatIsGone()
    {
        // A source that the program saw, gone when the take starts, as a microphone unplugged
        // just then: Qt alone would wait for it without end.
        const Outcome module = runToEnd(u"pactl"_s,
            {u"load-module"_s, u"module-remap-source"_s, u"source_name=gonemic"_s,
                u"master=micfeed.monitor"_s});
        QVERIFY2(module.exitCode == 0, "a second source must be made");
        const QStringList unload {u"unload-module"_s, module.out.trimmed()};
        const auto cleanUp = qScopeGuard([&] { runToEnd(u"pactl"_s, unload); });
        const QMediaDevices devices;
        QAudioDevice gone;
        const auto listed = [&gone] {
            for (const QAudioDevice &device : QMediaDevices::audioInputs())
                gone = device.id() == "gonemic" ? device : gone;
            return !gone.isNull();
        };
        QTRY_VERIFY2_WITH_TIMEOUT(listed(), "Qt must list the second source", timeoutMs);
        QCOMPARE(runToEnd(u"pactl"_s, unload).exitCode, 0);

        QTemporaryDir dir;
        WavRecorder uut(gone, dir.filePath(u"take.wav"_s));
        QElapsedTimer clock;
        clock.start();
        QVERIFY2(!uut.record() && clock.elapsed() < 1000 && entries(dir.path()).isEmpty(),
            "a take from a source that is gone must not start, make the program wait, or leave "
            "a file");
    }

    void keepsWhatItRecordedWhenCutShort_data()
    {
        QTest::addColumn<QString>("how"); // a signal to the server or the recorder, or a limit
        QTest::addColumn<QString>("seconds"); // how long the take is asked to run
        QTest::addColumn<double>("kept"); // seconds at least; 0: no file; -1: all the speech fed
        QTest::addColumn<QString>("reason"); // why writing failed
        const auto row = [](const char *name, const char *how, const char *seconds, double kept,
                             const char *reason = "") {
            QTest::addRow("%s", name) << how << seconds << kept << reason;
        };
        row("sound server killed", "KILL server", "20", -1);
        // Only the stall watchdog can tell: the connection stays open.
        row("sound server hung", "STOP server", "20", -1);
        // What it wrote is all there is: the header must have followed every write.
        row("recorder killed", "KILL recorder", "20", -1);
        // A file size limit of 150 KiB, reached after about a second: the writes beyond it fail
        // with EFBIG, as they would on a full disk with ENOSPC.
        row("a file size limit", "ulimit -f 150", "20", 0.9, "File too large");
        // A 64 KiB disk fills after 0.45 s, about as the take stops and its last audio comes in.
        row("a full disk, as the take stops", "size=64k", "0.4", 0.3, "No space left on device");
        row("a full disk", "full", "2", 0, "No space left on device");
    }

    void keepsWhatItRecordedWhenCutShort()
    {
        QFETCH(QString, how);
        QFETCH(QString, seconds);
        QFETCH(double, kept);
        QFETCH(QString, reason);
        const PrivateSoundServer sound;
        QVERIFY2(sound.pid > 0, "a private test sound server must start");
        // Takes come from the server's default input, named as the sound settings name it, even
        // when it is not the first: Qt 6.4 on its own would keep the first source as its default.
        QCOMPARE(runToEnd(cli, {u"devices"_s}, sound.environment).out,
            u"  Quorbel-Test-Microphone (testmic)\n* Other-Microphone (othermic)\n"_s);
        // The client library would complain about a file size limit on its shared memory: it is
        // told to use none. A tmpfs is mounted in a private mount namespace, and what it holds is
        // copied out before the namespace goes.
        QTemporaryDir dir;
        const QString disk = dir.filePath(u"disk"_s), path = disk + u"/take.wav"_s;
        QVERIFY(QDir().mkdir(disk));
        QProcessEnvironment environment = sound.environment;
        environment.insert(u"PULSE_CLIENTCONFIG"_s,
            writeFile(dir.filePath(u"client.conf"_s), "autospawn = no\nenable-shm = no\n"));
        const bool mount = !how.contains(u' ');
        QProcess recorder;
        recorder.setProcessEnvironment(environment);
        recorder.start(mount ? u"unshare"_s : u"bash"_s,
            QStringList(mount ? QStringList {u"-m"_s, u"bash"_s} : QStringList())
                + QStringList {u"-c"_s, uR"(trap "" XFSZ; case "$2" in ulimit*) $2 ;;
                          full) mount -t tmpfs -o size=4k quorbel-full "$1" || exit 99
                                head -c 4096 /dev/zero > "$1/filler" ;;
                          size=*) mount -t tmpfs -o "$2" quorbel-full "$1" || exit 99 ;; esac
                        "$3" record "$1/take.wav" --seconds "$4" 2> "$1/../errors" &
                        echo $! > "$1/../pid"; wait $!; echo $? > "$1/../exit"
                        cp "$1/take.wav" "$1/../kept.wav" 2>/dev/null; exit 0)"_s,
                    u"bash"_s, disk, how, cli, seconds});
        const bool server = how.endsWith(u"server");
        QElapsedTimer clock;
        double recordedFor = 0;
        if (kept < 0) {
            QTRY_COMPARE_WITH_TIMEOUT(QString::fromUtf8(recorder.peek(1 << 16)),
                u"Microphone: Other-Microphone\nRecording: %1\n"_s.arg(path), timeoutMs);
            clock.start();
            const QStringList feed {u"-d"_s, u"micfeed"_s, speech};
            QCOMPARE(runToEnd(u"paplay"_s, feed, sound.environment).exitCode, 0);
            QTest::qWait(300);
            const qint64 pid
                = server ? sound.pid : readFile(dir.filePath(u"pid"_s)).trimmed().toLongLong();
            QCOMPARE(::kill(pid_t(pid), how.startsWith(u"KILL") ? SIGKILL : SIGSTOP), 0);
            recordedFor = double(clock.restart()) / 1000;
        }
        QVERIFY2(QTest::qWaitFor([&] { return recorder.state() == QProcess::NotRunning; },
                     timeoutMs + int(kept * 1000)),
            "the recorder must end by itself");
        if (recorder.exitCode() == 99)
            QSKIP("cannot mount a tmpfs in a private mount namespace here (needs root)");
        const Audio take = readAudio(dir.filePath(u"kept.wav"_s));
        const double length = double(take.samples.size()) / takeRate;
        QString said = u"Could not write “%1”: %2\n"_s.arg(path, reason);
        if (server)
            said = u"The microphone went away: the recording was interrupted, and the audio until "
                   "then is kept in “%1”.\n"_s.arg(path);
        else if (kept > 0)
            said += u"The take was cut short: kept %1 s in “%2”.\n"_s.arg(length, 0, 'f', 1)
                        .arg(path);
        QCOMPARE(QString::fromUtf8(readFile(dir.filePath(u"errors"_s))),
            server || !reason.isEmpty() ? said : QString());
        // Exit code 3 for a take that the microphone's going away ended, 1 for a failure.
        QCOMPARE(readFile(dir.filePath(u"exit"_s)),
            QByteArray(server          ? "3\n"
                    : reason.isEmpty() ? "137\n"
                                       : "1\n"));
        if (server)
            QVERIFY2(clock.elapsed() < (how.startsWith(u"STOP") ? 6000 : 3000),
                qPrintable(u"noticed after %1 ms"_s.arg(clock.elapsed())));
        if (kept < 0) {
            QCOMPARE(wholeProblem(dir.filePath(u"kept.wav"_s), readAudio(speech)), QString());
            QVERIFY2(length > recordedFor - 0.5 && length < recordedFor + 0.2,
                qPrintable(u"%1 s kept of %2 s"_s.arg(length).arg(recordedFor)));
        }
        QVERIFY2(kept == 0 ? take.rate == 0 : length > kept,
            "what was written must stay readable; a file without a single frame is no take");
    }
};

/// WavPlayer on the test sound server, whose default output is a null sink playing in real time.
class PlayerTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY2(!qEnvironmentVariableIsEmpty("PULSE_SERVER"), missingServer); }

    void endsOnceWithWhatBecameOfTheTake_data()
    {
        QTest::addColumn<qint64>("ms"); // of silence, in a take or else a CD's format
        QTest::addColumn<bool>("take");
        QTest::addColumn<QString>("event"); // what happens 300 ms into the play
        QTest::addColumn<QString>("end"); // the one signal that ends the play; empty: none
        const auto row
            = [](const char *name, qint64 ms, const char *event, const QString &end,
                  bool take = true) { QTest::addRow("%s", name) << ms << take << event << end; };
        const QString finished = u"finished"_s;
        // Long enough that at half speed it would end past the slack.
        row("a 16-bit stereo recording at 44.1 kHz", 1000, "", finished, false);
        row("a take with no sound", 0, "", finished);
        // The player holds the file open, so it plays the take it opened to its end. The output
        // goes idle some 150 ms before its last sample is heard.
        row("a take replaced", 500, "replace", finished);
        // Silent at once and without a signal; played again, from its start to its end.
        row("a take stopped, then played again", 1000, "stop", finished);
        // Only the header and a tenth of a second stay, which has been read by then.
        row("a take cut short", 1000, "cut",
            u"Could not read “%1”: The file was cut short while it played"_s);
        row("a player deleted", 1000, "delete", {});
        row("a player deleted by its finished handler", 300, "", u"finished, deleted"_s);
    }

    void endsOnceWithWhatBecameOfTheTake()
    {
        QFETCH(qint64, ms);
        QFETCH(bool, take);
        QFETCH(QString, event);
        QFETCH(QString, end);
        QTemporaryDir dir;
        const QString path = dir.filePath(u"take.wav"_s);
        const int rate = take ? takeRate : 44100, channels = take ? 1 : 2;
        writeAudio(path,
            {rate, channels, take ? takeFormat : SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                std::vector<double>(size_t(rate * channels * ms / 1000))});
        std::unique_ptr<Platform::Player> uut = QtAudioOutput().makePlayer(path);
        QElapsedTimer clock;
        QStringList ends;
        qint64 endMs = -1;
        double heard = -1;
        const auto ended = [&](const QString &what) {
            endMs = clock.elapsed();
            heard = uut->currentTime();
            ends.append(what);
            if (end == u"finished, deleted")
                uut.reset();
        };
        QObject::connect(uut.get(), &Platform::Player::decodeError, ended);
        QObject::connect(uut.get(), &Platform::Player::finished,
            [&](bool success) { ended(success ? u"finished"_s : u"finished(false)"_s); });
        clock.start();
        QVERIFY2(uut->play(), "the default output must start");
        QVERIFY2(ends.isEmpty(), "no signal may come from inside play()");
        if (!event.isEmpty())
            QTest::qWait(300);
        if (event == u"replace") {
            QVERIFY(QFile::remove(path));
            writeAudio(path, {takeRate, 1, takeFormat, std::vector<double>(4800)});
        } else if (event == u"cut") {
            QVERIFY(QFile::resize(path, 44 + 3 * 4800));
        } else if (event == u"delete") {
            uut.reset();
        } else if (event == u"stop") {
            uut->stop();
            const double stoppedAt = uut->currentTime();
            QVERIFY2(stoppedAt > 0.1 && stoppedAt * 1000 <= double(clock.elapsed()),
                qPrintable(u"%1 s heard when stopped"_s.arg(stoppedAt)));
            QTRY_VERIFY2_WITH_TIMEOUT(ownStreams() == 0, "the sound must leave on stop()", 300);
            QTest::qWait(int(ms + finishSlackMs - clock.elapsed()));
            QVERIFY2(ends.isEmpty() && uut->currentTime() == stoppedAt,
                "no signal may follow stop(), and currentTime must stand still");
            clock.start();
            QVERIFY2(uut->play(), "the default output must start again");
        }
        (void)QTest::qWaitFor([&] { return !ends.isEmpty(); }, int(ms + finishSlackMs));
        QCOMPARE(ends.join(u", "_s), QString(end).replace(u"%1"_s, path).remove(u", deleted"_s));
        if (end.startsWith(u"finished"))
            QVERIFY2(endMs >= ms && endMs <= ms + finishSlackMs
                    && std::abs(heard * 1000 - double(ms)) <= 1,
                qPrintable(QString::asprintf(
                    "finished %lld ms after play(), having played %g s", endMs, heard)));
        if (event == u"cut")
            QVERIFY2(endMs < 700 && heard < 0.7, "the failure must end the play once it is read");
        QTRY_VERIFY2(ownStreams() == 0, "the sound must leave the output");
        QVERIFY2(!uut || uut->currentTime() == heard, "once ended, currentTime must stand still");
    }
};

QUORBEL_TEST_MAIN(SystemTrashTest, DesktopTest, InputDeviceTest, RecorderTest, PlayerTest)
#include "tst_platform.moc"
