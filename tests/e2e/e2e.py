#!/usr/bin/env python3
"""A whole recording job on the real program, driven only through the keyboard and the mouse.

Starts a virtual display, launches quorbel with its data, home and XDG folders in a temporary
folder, imports a script, records takes while speech plays into the test sound server's virtual
microphone, chooses, plays and deletes takes, quits and relaunches, kills the program in the
middle of a take, exports, and then checks the export with tools nobody here wrote.

Usage: e2e.py QUORBEL SCREENSHOT-FOLDER
Needs: Xvfb, xdotool, ImageMagick's import, sox's soxi, paplay, and the environment that
scripts/test exports for its sound server (PULSE_SERVER, QUORBEL_TEST_MIC_FEED).
"""

import glob
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

FIXTURES = os.path.normpath(os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared",
                                         "fixtures"))
SCRIPT = os.path.join(FIXTURES, "scripts", "arctic.csv")
SPEECH = os.path.join(FIXTURES, "speech")
TIMEOUT = 30.0


class Failure(Exception):
    pass


class Job:
    def __init__(self, program, shots):
        self.program = program
        self.shots = shots
        self.step = 0
        self.last_shot = None
        self.app = None
        self.app_log = None
        self.display = None
        self.xvfb = None
        self.root = tempfile.mkdtemp(prefix="quorbel-e2e-")
        self.sessions = os.path.join(self.root, "Sessions")
        self.home = os.path.join(self.root, "home")
        self.exports = os.path.join(self.root, "exports")
        for folder in (self.home, self.exports):
            os.makedirs(folder)
        self.feed = os.environ.get("QUORBEL_TEST_MIC_FEED", "")
        os.makedirs(shots, exist_ok=True)
        for old in glob.glob(os.path.join(shots, "*.png")):
            os.remove(old)

    # --- The display and the program -----------------------------------------------------

    def start_display(self):
        # Xvfb picks a free display and says which once it listens; another server starting at
        # the same moment can still take it first, so a display that does not answer is retried.
        # Without -noreset the server resets whenever its last client leaves, and a program
        # started in that moment (a relaunch) cannot connect.
        for _ in range(3):
            read, write = os.pipe()
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x900x24", "-noreset", "-nolisten",
                 "tcp"], pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            os.close(write)
            with os.fdopen(read) as answer:
                number = answer.readline().strip()
            self.display = ":" + number
            if number and self.xdotool("getdisplaygeometry") is not None:
                return
            self.xvfb.kill()
            self.xvfb.wait()
        raise Failure("Xvfb did not start")

    def environment(self):
        env = dict(os.environ)
        env.pop("QT_QPA_PLATFORM", None)
        env.update({
            "DISPLAY": self.display,
            "HOME": self.home,
            "XDG_DATA_HOME": os.path.join(self.home, ".local", "share"),
            "XDG_CONFIG_HOME": os.path.join(self.home, ".config"),
            "XDG_CACHE_HOME": os.path.join(self.home, ".cache"),
            "QUORBEL_DATA_DIR": self.sessions,
            "LC_ALL": "C.UTF-8",
        })
        return env

    def launch(self):
        self.app_log = open(os.path.join(self.root, "quorbel-%d.log" % self.step), "w+")
        self.app = subprocess.Popen([self.program], env=self.environment(),
                                    stdout=self.app_log, stderr=subprocess.STDOUT)
        self.window = self.wait_for_window("Quorbel")
        self.focus(self.window)
        self.wait_for(self.drawn, "the window to be drawn")

    def app_output(self):
        if not self.app_log:
            return ""
        self.app_log.flush()
        self.app_log.seek(0)
        return self.app_log.read()

    def stop(self):
        if self.app and self.app.poll() is None:
            self.app.kill()
            self.app.wait()
        if self.xvfb:
            self.xvfb.terminate()
            self.xvfb.wait()

    # --- Driving ---------------------------------------------------------------------------

    def xdotool(self, *args):
        result = subprocess.run(["xdotool", *args], env=self.environment(),
                                capture_output=True, text=True)
        return result.stdout.strip() if result.returncode == 0 else None

    def wait_for(self, condition, what, timeout=TIMEOUT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = condition()
            if value:
                return value
            if self.app and self.app.poll() is not None:
                raise Failure("the program ended (status %s) while waiting for %s"
                              % (self.app.returncode, what))
            time.sleep(0.1)
        raise Failure("waited %.0f s for %s" % (timeout, what))

    def visible(self, title):
        # The id of a visible window whose whole title is `title`, or None.
        pattern = "^%s$" % "".join("\\" + c if c in ".^$*+?()[]{}|\\" else c for c in title)
        ids = self.xdotool("search", "--onlyvisible", "--name", pattern)
        return ids.split()[-1] if ids else None

    def wait_for_window(self, title):
        return self.wait_for(lambda: self.visible(title), "a window titled “%s”" % title)

    def focus(self, window):
        self.xdotool("windowraise", window)
        self.xdotool("windowfocus", "--sync", window)

    def keys(self, *keys, window=None):
        # Without a window manager nothing gives the focus back when a panel closes.
        self.focus(window or self.window)
        self.xdotool("key", "--clearmodifiers", "--delay", "80", *keys)

    def type_text(self, text):
        self.xdotool("type", "--clearmodifiers", "--delay", "20", text)

    def click(self, x, y, window=None):
        if window:
            self.xdotool("mousemove", "--window", window, str(x), str(y))
        else:
            self.xdotool("mousemove", str(x), str(y))
        time.sleep(0.1)
        self.xdotool("click", "1")

    def geometry(self, window):
        out = self.xdotool("getwindowgeometry", "--shell", window) or ""
        values = dict(line.split("=", 1) for line in out.splitlines() if "=" in line)
        return {key: int(values[key]) for key in ("X", "Y", "WIDTH", "HEIGHT") if key in values}

    def drawn(self):
        # True once the window shows more than the black of a window not yet painted.
        result = subprocess.run(["import", "-display", self.display, "-window", self.window,
                                 "-format", "%[fx:mean]", "info:"], capture_output=True, text=True)
        try:
            return float(result.stdout.strip() or 0) > 0.2
        except ValueError:
            return False

    def reddish(self, x, y):
        # True when the window around (x, y) holds red, as a destructive button's label does.
        result = subprocess.run(["import", "-display", self.display, "-window", self.window,
                                 "-crop", "40x12+%d+%d" % (x - 20, y - 6), "-depth", "8", "txt:-"],
                                capture_output=True, text=True)
        for pixel in re.findall(r"\((\d+),(\d+),(\d+)", result.stdout):
            red, green, blue = (int(value) for value in pixel)
            if red > 150 and red - green > 80 and red - blue > 80:
                return True
        return False

    def screenshot(self, name):
        self.step += 1
        path = os.path.join(self.shots, "%02d-%s.png" % (self.step, name))
        subprocess.run(["import", "-display", self.display, "-window", "root", path],
                       capture_output=True)
        self.last_shot = path

    def choose_in_panel(self, title, path):
        # Types a path into the program's own file panel and confirms it with Return.
        panel = self.wait_for_window(title)
        self.focus(panel)
        self.keys("ctrl+a", window=panel)
        self.type_text(path)
        self.keys("Return", window=panel)
        self.wait_for(lambda: not self.visible(title), "the panel to close")

    def speak(self, name, wait=True):
        player = subprocess.Popen(["paplay", "-d", self.feed, os.path.join(SPEECH, name)])
        if wait:
            if player.wait(timeout=TIMEOUT) != 0:
                raise Failure("paplay could not feed %s into the microphone" % name)
        return player

    # --- What is on disk -------------------------------------------------------------------

    def session_folder(self):
        folders = glob.glob(os.path.join(self.sessions, "*", "session.json"))
        return os.path.dirname(folders[0]) if len(folders) == 1 else None

    def session(self):
        folder = self.session_folder()
        if not folder:
            return None
        try:
            with open(os.path.join(folder, "session.json"), encoding="utf-8") as file:
                return json.load(file)
        except (OSError, ValueError):
            return None

    def wait_for_session(self, condition, what):
        return self.wait_for(lambda: (lambda s: s if s and condition(s) else None)(self.session()),
                             what)

    def takes_of(self, session, line):
        return session.get("takes", {}).get(line, [])

    def wav_files(self):
        folder = self.session_folder()
        return set(glob.glob(os.path.join(folder, "takes", "*.wav"))) if folder else set()


def main():
    if len(sys.argv) != 3:
        print(__doc__, file=sys.stderr)
        return 2
    job = Job(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2]))
    if not job.feed or "PULSE_SERVER" not in os.environ:
        print("The test sound server is not running: run through ./scripts/test.", file=sys.stderr)
        return 1
    try:
        job.start_display()
        run(job)
        print("End-to-end job passed; screenshots in %s" % job.shots)
        return 0
    except (Failure, subprocess.TimeoutExpired, OSError) as failure:
        print("FAILED: %s" % failure, file=sys.stderr)
        print("Last screenshot: %s" % job.last_shot, file=sys.stderr)
        print("The program's output:\n%s" % job.app_output(), file=sys.stderr)
        return 1
    finally:
        job.stop()
        shutil.rmtree(job.root, ignore_errors=True)


LINES = ["arctic_a0001", "arctic_a0002", "arctic_a0003"]

# Where things are in the window at its default size: the take picker, the Recording menu's
# title and its item "Delete Selected Take…", and the confirmation's "Delete take" button.
PICKER = (491, 532)
RECORDING_MENU = (73, 13)
DELETE_ITEM = (115, 185)
ACTION = (680, 415)


def record_take(job, line, speech):
    # Ctrl+R, the sentence into the microphone, Ctrl+R; the take must reach session.json.
    count = len(job.takes_of(job.session(), line))
    before = job.wav_files()
    job.keys("ctrl+r")
    job.wait_for(lambda: job.wav_files() - before, "a new take file for %s" % line)
    job.speak(speech)
    job.screenshot("recording-%s" % line)
    # A person lets the sentence end before stopping.
    time.sleep(0.5)
    job.keys("ctrl+r")
    session = job.wait_for_session(lambda s: len(job.takes_of(s, line)) == count + 1,
                                   "take %d of %s in session.json" % (count + 1, line))
    job.screenshot("saved-%s" % line)
    return session


def choose_take(job, number):
    # Opens the take picker with the mouse and picks a take with the keyboard.
    job.click(PICKER[0], PICKER[1], job.window)
    time.sleep(0.5)
    job.screenshot("take-picker-open")
    job.keys("Home", *["Down"] * (number - 1), "Return")


def delete_selected_take(job):
    # The Recording menu's "Delete Selected Take…", then the window's own confirmation: Tab
    # shows the focus ring on Cancel, Return cancels, and only a click on "Delete take" goes
    # ahead.
    for attempt in ("cancel", "confirm"):
        job.click(RECORDING_MENU[0], RECORDING_MENU[1], job.window)
        time.sleep(0.5)
        job.screenshot("recording-menu")
        job.click(DELETE_ITEM[0], DELETE_ITEM[1], job.window)
        job.wait_for(lambda: job.reddish(*ACTION), "the confirmation to show “Delete take”")
        time.sleep(0.3)
        if attempt == "cancel":
            job.keys("Tab")
            time.sleep(0.3)
            job.screenshot("confirm-focus-on-cancel")
            job.keys("Return")
            job.wait_for(lambda: not job.reddish(*ACTION), "Return to close the confirmation")
            continue
        job.screenshot("confirm-delete")
        job.click(ACTION[0], ACTION[1], job.window)


def move(job, key, index):
    job.keys(key)
    job.wait_for_session(lambda s: s["index"] == index, "line %d to be current" % (index + 1))


def run(job):
    # 1. First launch: the welcome panel, then the import.
    job.launch()
    job.screenshot("welcome")
    if job.session_folder():
        raise Failure("a first launch must not have a session")
    job.keys("ctrl+i")
    job.choose_in_panel("Import a script", SCRIPT)
    imported = job.wait_for_session(lambda s: len(s["script"]["lines"]) == 1132,
                                    "the imported session with 1132 lines")
    job.screenshot("imported")

    # 2. Lines 1 to 3, a second take on line 2 with the first chosen again, a second take on
    #    line 1 played back and deleted.
    for number, line in enumerate(LINES):
        record_take(job, line, line + ".wav")
        move(job, "ctrl+Right", number + 1)
    move(job, "ctrl+Left", 2)
    move(job, "ctrl+Left", 1)
    session = record_take(job, LINES[1], "arctic_a0004.wav")
    first = job.takes_of(session, LINES[1])[0]["id"]
    choose_take(job, 1)
    job.wait_for_session(lambda s: s["selected"].get(LINES[1]) == first,
                         "take 1 of line 2 chosen again")
    job.screenshot("take-1-chosen")

    move(job, "ctrl+Left", 0)
    session = record_take(job, LINES[0], "arctic_a0005.wav")
    second = job.takes_of(session, LINES[0])[1]
    job.keys("ctrl+p")
    time.sleep(1.0)
    job.screenshot("playing")
    time.sleep(second["duration"])

    delete_selected_take(job)
    job.wait_for_session(lambda s: len(job.takes_of(s, LINES[0])) == 1,
                         "line 1 back to its first take")
    job.screenshot("take-deleted")
    trashed = glob.glob(os.path.join(job.home, ".local", "share", "Trash", "files", "*.wav"))
    if [os.path.basename(p) for p in trashed] != [os.path.basename(second["file"])]:
        raise Failure("the deleted take must be in the Trash, found %s" % trashed)

    # 3. Quit and launch again: the same session on the same line.
    before_quit = job.session()
    job.keys("ctrl+q")
    job.wait_for(lambda: job.app.poll() is not None, "the program to quit")
    if job.app.returncode != 0:
        raise Failure("quitting ended with status %d" % job.app.returncode)
    job.launch()
    job.screenshot("relaunched")
    if job.session() != before_quit:
        raise Failure("the session changed across quit and launch")

    # 4. A take cut short by SIGKILL: the next launch files it again after the line's takes,
    #    leaving the chosen take chosen and the rest of the session as it was.
    before = job.wav_files()
    job.keys("ctrl+r")
    interrupted = job.wait_for(lambda: job.wav_files() - before, "the interrupted take's file")
    player = job.speak("arctic_a0006.wav", wait=False)
    time.sleep(2.0)
    job.screenshot("before-kill")
    job.app.send_signal(signal.SIGKILL)
    job.app.wait()
    player.wait(timeout=TIMEOUT)
    job.launch()
    job.screenshot("after-kill")
    interrupted = interrupted.pop()
    line = before_quit["script"]["lines"][before_quit["index"]]["id"]
    after = job.wait_for_session(lambda s: len(job.takes_of(s, line))
                                 > len(job.takes_of(before_quit, line)), "the take recovered")
    recovered = job.takes_of(after, line)[-1]
    if (recovered["file"] != "takes/" + os.path.basename(interrupted)
            or chosen(job, after, line) != chosen(job, before_quit, line)):
        raise Failure("the take killed mid-way must come back last, the chosen one still chosen")
    for session in (before_quit, after):
        del session["takes"][line]
        session["selected"].pop(line, None)
    if after != before_quit:
        raise Failure("recovering a take must change nothing else in the session")
    check_wav(interrupted, min_seconds=1.0)

    # 5. Export.
    job.keys("ctrl+e")
    time.sleep(0.5)
    job.screenshot("export-options")
    job.keys("Return")
    job.choose_in_panel("Export recordings", job.exports)
    readme = job.wait_for(
        lambda: glob.glob(os.path.join(job.exports, "Quorbel-Export-*", "README.txt")),
        "the export's README.txt")[0]
    job.screenshot("exported")
    check_export(job, os.path.dirname(readme), imported)


def chosen(job, session, line):
    # The selected take, or else the newest.
    return session["selected"].get(line) or job.takes_of(session, line)[-1]["id"]


def check_wav(path, min_seconds):
    # soxi must read the file as a take: 48 kHz, one channel, 24-bit.
    def soxi(option):
        result = subprocess.run(["soxi", option, path], capture_output=True, text=True)
        if result.returncode != 0:
            raise Failure("soxi cannot read %s: %s" % (path, result.stderr.strip()))
        return result.stdout.strip()
    if (soxi("-r"), soxi("-c"), soxi("-b")) != ("48000", "1", "24"):
        raise Failure("%s is not 48000 Hz, 1 channel, 24-bit" % path)
    if float(soxi("-D")) < min_seconds:
        raise Failure("%s holds only %s s" % (path, soxi("-D")))


def check_export(job, folder, imported):
    session = job.session()
    expected = {line: session["takes"][line][0]["file"] for line in LINES}
    wavs = sorted(os.path.basename(p) for p in glob.glob(os.path.join(folder, "*.wav")))
    if wavs != [line + ".wav" for line in LINES]:
        raise Failure("the export holds %s" % wavs)
    for line, take in expected.items():
        exported = os.path.join(folder, line + ".wav")
        check_wav(exported, min_seconds=2.0)
        if subprocess.run(["cmp", "-s", exported,
                           os.path.join(job.session_folder(), take)]).returncode != 0:
            raise Failure("%s differs from its chosen take %s" % (exported, take))
    with open(os.path.join(folder, "recordings.json"), encoding="utf-8") as file:
        records = json.load(file)
    with_file = [r for r in records if r.get("file")]
    if len(records) != 1132 or len(with_file) != 3:
        raise Failure("recordings.json has %d records, %d with a file" % (len(records),
                                                                         len(with_file)))
    with open(os.path.join(folder, "script.json"), encoding="utf-8") as file:
        if json.load(file) != imported["script"]:
            raise Failure("script.json differs from the imported script")
    with open(os.path.join(folder, "README.txt"), encoding="utf-8") as file:
        readme = file.read()
    for text in ("3 of 1132 lines recorded.", "48 kHz, mono PCM WAV.", "Missing: arctic_a0004, "):
        if text not in readme:
            raise Failure("README.txt lacks %r:\n%s" % (text, readme))
    backups = glob.glob(os.path.join(job.session_folder(), "Session Backups", "*", "session.json"))
    if not backups:
        raise Failure("no recovery copy under Session Backups")


if __name__ == "__main__":
    sys.exit(main())
