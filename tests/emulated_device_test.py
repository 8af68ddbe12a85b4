"""The kit's scripts on the host: every script runs under Debian's Python; a question's deadline
that is no whole number of seconds within bounds stops every command that asks; a device gets an X
screen even when the display numbers it would try first are held by servers that leave no lock
file (one in another container that shares the network holds only an abstract socket); the wait
for the form takes no picture of a window that never paints, and takes the form's; the README's
screenshots are what tools/make-screenshots makes now, which leaves them and the devices it did not
start as they were; the management system's channel hands the device only names it reads as
given."""
import hashlib
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

from PIL import Image

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEBIAN_PYTHON = "/usr/bin/python3"
# A Python started as a command: first word of a line or after exec, env, a pipe, ; or $( in a
# script or CMake file, or first item of a command list in Python.
PYTHON_COMMAND = re.compile(r"(^\s*|\bexec\s+|\benv\s+|[;&|(`]\s*|COMMAND\s+)python3?(\s|$)|[\[(]\s*[\"']python3?[\"']",
                            re.MULTILINE)
DEVICE = os.path.join(HERE, "..", "emulated_device", "device")
WAIT_FOR_FORM = os.path.join(HERE, "..", "emulated_device", "wait-for-form")
MAKE_SCREENSHOTS = os.path.join(HERE, "..", "tools", "make-screenshots")
SEND_DOCUMENT = os.path.join(HERE, "..", "emulated_device", "send-document")
WHITE_LIST_QUERY = os.path.join(HERE, "..", "packaging", "white-list-query")
DEVICE_ROOT = os.path.join(HERE, "..", "build", "device")


def is_free(number):
    return not os.path.exists("/tmp/.X%d-lock" % number) and not os.path.exists("/tmp/.X11-unix/X%d" % number)


def hold_abstract_socket(number):
    holder = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    try:
        holder.bind("\0/tmp/.X11-unix/X%d" % number)
    except OSError:
        holder.close()
        return None
    holder.listen(1)
    return holder


def kit_files():
    for folder, folders, files in os.walk(ROOT):
        folders[:] = [name for name in folders if name not in (".git", "build")]
        for name in files:
            yield os.path.join(folder, name)


class Interpreters(unittest.TestCase):
    def test_every_script_runs_under_debians_python(self):
        for path in kit_files():
            with open(path, "rb") as source:
                text = source.read().decode("utf-8", "replace")
            with self.subTest(os.path.relpath(path, ROOT)):
                first = text.split("\n", 1)[0]
                if first.startswith("#!") and "python" in first:
                    self.assertEqual("#!" + DEBIAN_PYTHON, first)
                if first.startswith("#!") or path.endswith((".py", ".txt", ".cmake")):
                    self.assertIsNone(PYTHON_COMMAND.search(text))


def tree(path, relative=""):
    """A folder's whole state: each file's path and SHA-256, each link's target, each folder's path."""
    state = {relative + "/": None}
    for entry in os.scandir(path):
        if entry.is_symlink():
            state[relative + "/" + entry.name] = "link to " + os.readlink(entry.path)
        elif entry.is_dir(follow_symlinks=False):
            state.update(tree(entry.path, relative + "/" + entry.name))
        else:
            with open(entry.path, "rb") as source:
                state[relative + "/" + entry.name] = hashlib.file_digest(source, "sha256").hexdigest()
    return state


class DeviceNames(unittest.TestCase):
    def test_a_name_that_is_not_plain_is_refused_by_every_command_and_deletes_nothing(self):
        """The device's folder is named after it: ../../../x would be a folder outside the devices'
        root, deleted and made anew."""
        scripts = {name: os.path.join(ROOT, "emulated_device", name) for name in (
            "device", "security", "install-quillmere", "run-program", "send-document", "wait-for-form")}
        commands = [([scripts["device"], "--name", "{}", "--env"], {}),
                    ([scripts["device"], "--stop"], {"DEVICE_NAME": "{}"}),
                    ([scripts["security"], "--name", "{}", "show"], {}),
                    ([scripts["security"], "off"], {"DEVICE_NAME": "{}"}),
                    ([scripts["install-quillmere"], "list", "--name", "{}"], {}),
                    ([scripts["run-program"], "--name", "{}", "C:\\x.exe"], {}),
                    ([scripts["send-document"], "--name", "{}", "query.xml", "answer.xml"], {}),
                    ([scripts["wait-for-form"], "--name", "{}", "--timeout", "1"], {}),
                    ([MAKE_SCREENSHOTS, "--name", "{}", "{folder}/shots"], {}),
                    ([os.path.join(ROOT, "tools", "benchmark", "run")], {"DEVICE_NAME": "{}"}),
                    ([os.path.join(ROOT, "tools", "run-on-device")], {"DEVICE_NAME": "{}"})]
        with tempfile.TemporaryDirectory() as folder:
            outside = os.path.join(folder, "x-480x640")
            os.makedirs(os.path.join(outside, "kept"))
            with open(os.path.join(outside, "kept", "file"), "w") as out:
                out.write("mine")
            before = tree(folder)
            root = os.path.join(folder, "checkout", "build", "device")
            for name in ("../../../x", ".", "..", "a/b", "a b", "", "\u00e9"):
                for command, environment in commands if name == "../../../x" else commands[0:3:2]:
                    command = [part.replace("{}", name).replace("{folder}", folder) for part in command]
                    environment = {key: value.replace("{}", name) for key, value in environment.items()}
                    with self.subTest(command=command[1:], environment=environment):
                        result = subprocess.run(command, capture_output=True, text=True, cwd=folder, timeout=120,
                                                env=dict(os.environ, DEVICE_ROOT=root, **environment))
                        self.assertEqual((2, ""), (result.returncode, result.stdout), result.stderr)
                        self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                        self.assertIn("a device's name is letters, digits, '-', '_' and '.'", result.stderr)
                        after = tree(folder)
                        self.assertTrue(before == after, "changed: %s" % sorted(
                            path for path in set(before) | set(after) if before.get(path, 1) != after.get(path, 1))[:5])


class QuestionDeadlines(unittest.TestCase):
    def test_a_deadline_that_is_no_whole_number_of_seconds_within_bounds_stops_every_command_that_asks(self):
        """Read once, on the Linux side, before any device is made: the security question and the
        stand-in installer are handed the number. int() would take " 5"; C's _wtoi "5s"."""
        scripts = [os.path.join(ROOT, "emulated_device", name) for name in ("install-quillmere", "run-program")]
        with tempfile.TemporaryDirectory() as folder:
            package = os.path.join(folder, "x.cab")
            open(package, "w").close()
            commands = [[scripts[0], "install", "--package", package], [scripts[0], "remove"], [scripts[1], "C:\\x.exe"]]
            root = os.path.join(folder, "devices")
            for value in ("5s", " 5", "0", "3601", "99999999999", "\u0665"):
                for command in commands:
                    with self.subTest(command=command[:2], DEVICE_QUESTION_SECONDS=value):
                        result = subprocess.run(command, capture_output=True, text=True, cwd=folder, timeout=60,
                                                stdin=subprocess.DEVNULL,
                                                env=dict(os.environ, DEVICE_ROOT=root, DEVICE_QUESTION_SECONDS=value))
                        self.assertEqual((2, ""), (result.returncode, result.stdout))
                        self.assertEqual(["%s: DEVICE_QUESTION_SECONDS is a whole number of seconds from 1 to 3600, "
                                          "not %r" % (os.path.basename(command[0]), value)], result.stderr.splitlines())
                        self.assertFalse(os.path.exists(root))


class Usages(unittest.TestCase):
    def test_help_prints_the_commands_own_usage_and_makes_nothing(self):
        """--help is no program for Wine, and no device is made to print a usage."""
        tool = {name: os.path.join(ROOT, name) for name in (
            "emulated_device/device", "emulated_device/install-quillmere", "packaging/development-certificate",
            "tools/run-on-device", "tools/make-screenshots")}
        # command, exit code, what it prints first (on its output for 0, else on its error output)
        table = [([tool["emulated_device/device"], "--help"], 0, "usage: device [--name NAME]"),
                 ([tool["emulated_device/device"], "--name", "x", "--bogus"], 2, "device: unknown option --bogus"),
                 ([tool["emulated_device/device"], "--name", "x"], 2, "usage: device [--name NAME]"),
                 ([tool["packaging/development-certificate"], "--help"], 0, "usage: development-certificate [--renew]"),
                 ([tool["packaging/development-certificate"], "--bogus"], 2, "usage: development-certificate [--renew]"),
                 ([tool["tools/run-on-device"], "--help"], 0, "usage: run-on-device [--landscape]"),
                 ([tool["tools/make-screenshots"], "--help"], 0, "usage: make-screenshots [--name DEVICE]"),
                 ([tool["emulated_device/install-quillmere"], "--help"], 0, "usage: install-quillmere")]
        with tempfile.TemporaryDirectory() as folder:
            root = os.path.join(folder, "devices")
            for command, code, first in table:
                with self.subTest(command[0][len(ROOT) + 1:] + " " + " ".join(command[1:])):
                    result = subprocess.run(command, capture_output=True, text=True, cwd=folder, timeout=60,
                                            env=dict(os.environ, DEVICE_ROOT=root))
                    self.assertEqual(code, result.returncode, result.stderr)
                    self.assertTrue((result.stdout if code == 0 else result.stderr).startswith(first),
                                    result.stdout + result.stderr)
                    self.assertFalse(os.path.exists(root), "a device was made")
            # The exit codes the documentation relies on, in install-quillmere's own help.
            text = " ".join(result.stdout.split())
            for code in ("4 the package cannot be read", "7 the role", "8 the device's security refused",
                         "12 a question went unanswered"):
                self.assertIn("; %s" % code, text)


class ManagementChannel(unittest.TestCase):
    def test_the_device_reads_and_writes_only_the_files_named_and_a_full_output_loses_no_answer(self):
        """Wine reads a backslash in a file name as a folder and writes no '?': the device is handed
        a copy of the document, and its answer is moved into place on the host. An output that takes
        nothing ends the command with exit code 1, the answer written all the same."""
        with tempfile.TemporaryDirectory() as folder:
            sub = os.path.join(folder, "sub")
            self.assertEqual(0, subprocess.run([WHITE_LIST_QUERY, sub], capture_output=True).returncode)
            document, answer = os.path.join(sub, "a\\..\\..\\mix.xml"), os.path.join(sub, "x\\..\\what?.xml")
            os.rename(os.path.join(sub, "white-list-query.xml"), document)
            with open(os.path.join(folder, "mix.xml"), "wb") as out:  # where Wine would read the document's name
                out.write(b'<wap-provisioningdoc><characteristic type="FileOperation"/></wap-provisioningdoc>')
            with open("/dev/full", "w") as full:
                result = subprocess.run([SEND_DOCUMENT, "--name", "test", document, answer], stdout=full,
                                        stderr=subprocess.PIPE, text=True, timeout=300)
            self.assertEqual((1, "send-document: the output cannot be written (No space left on device): the rest of "
                                 "it is dropped\n"), (result.returncode, result.stderr))
            self.assertEqual((["mix.xml", "sub"], sorted([os.path.basename(document), os.path.basename(answer)])),
                             (sorted(os.listdir(folder)), sorted(os.listdir(sub))))
            with open(answer, "rb") as source:
                answered = source.read()
            self.assertIn(b'type="HKLM\\COMM\\TIWLNAPI1\\PARMS"', answered)
            self.assertNotIn(b"FileOperation", answered)


def linked_files(folder):
    """The files under a folder that share their data with another path (hard links)."""
    return [os.path.join(where, name) for where, _, names in os.walk(folder) for name in names
            if os.lstat(os.path.join(where, name)).st_nlink > 1]


class DeviceCopies(unittest.TestCase):
    def test_no_file_of_a_device_is_shared_and_a_linked_device_is_made_anew(self):
        """A file a package overwrites in place must change its own device only."""
        result = subprocess.run([DEVICE, "--name", "test", "--env"], capture_output=True, text=True, timeout=300)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual([], linked_files(os.path.join(DEVICE_ROOT, "test-480x640")))
        display = result.stdout.split("DISPLAY=")[1].split()[0]
        # A device as earlier versions made it: every file of the template linked into it but the
        # registry's.
        prefix = os.path.join(DEVICE_ROOT, "linked-480x640")
        shutil.rmtree(prefix, ignore_errors=True)
        template = os.path.join(DEVICE_ROOT, "template")
        subprocess.run(["cp", "-al", template, prefix], check=True)
        for name in os.listdir(template):
            if name.endswith(".reg"):
                os.remove(os.path.join(prefix, name))
                shutil.copyfile(os.path.join(template, name), os.path.join(prefix, name))
        with open(os.path.join(ROOT, "emulated_device", "device-registry.reg"), "rb") as seed, \
                open(os.path.join(prefix, ".ready"), "w") as out:
            out.write(hashlib.sha1(seed.read()).hexdigest() + "  -\n")  # sha1sum's line, as earlier versions wrote it
        try:
            for made in (True, False):  # a device made says so, once: a mistyped name costs 700 MB
                result = subprocess.run([DEVICE, "--name", "linked", "--env"], capture_output=True, text=True,
                                        timeout=300, env=dict(os.environ, DEVICE_DISPLAY=display))  # no X server of its own
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertEqual(made, result.stderr.startswith("device: made the emulated device linked (480x640) in "),
                                 result.stderr)
                self.assertEqual(1 if made else 0, len(result.stderr.splitlines()), result.stderr)
            self.assertEqual([], linked_files(prefix))
        finally:
            subprocess.run([DEVICE, "--name", "linked", "--stop"], capture_output=True)
            shutil.rmtree(prefix, ignore_errors=True)
            shutil.rmtree(prefix + ".security", ignore_errors=True)


class DisplayNumbers(unittest.TestCase):
    def test_numbers_held_without_lock_files_are_passed_over(self):
        # The first free numbers of the ranges that X servers usually take: desktops from 0, test
        # servers from 99.
        numbers = []
        for start in (0, 99):
            first = next(number for number in range(start, start + 200) if is_free(number))
            numbers += range(first, first + 3)
        holders = [hold_abstract_socket(number) for number in numbers]
        held = [number for number, holder in zip(numbers, holders) if holder]
        self.assertTrue(held)
        prefix = os.path.join(DEVICE_ROOT, "display-numbers-480x640")
        try:
            result = subprocess.run([DEVICE, "--name", "display-numbers", "--env"], capture_output=True, text=True,
                                    timeout=120)
            self.assertEqual(0, result.returncode, result.stderr)
            display = result.stdout.split("DISPLAY=")[1].split()[0]
            self.assertNotIn(int(display.lstrip(":")), held)
            self.assertEqual(0, subprocess.run(["xdpyinfo", "-display", display], capture_output=True).returncode)
        finally:
            subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=prefix), capture_output=True)
            pid_file = os.path.join(prefix, ".xvfb-pid")
            if os.path.exists(pid_file):
                with open(pid_file) as pid:
                    subprocess.run(["kill", pid.read().strip()])
            for holder in holders:
                if holder:
                    holder.close()


class FormOnScreen(unittest.TestCase):
    DEVICE = [DEVICE, "--name", "test", "--screen", "480x640"]

    def start(self, program):
        return subprocess.Popen(self.DEVICE + [program], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def wait_for_form(self, arguments):
        return subprocess.run([WAIT_FOR_FORM, "--name", "test", "--screen", "480x640"] + arguments,
                              capture_output=True, text=True, timeout=120)

    def wait_for_window(self, title):
        display = subprocess.run(self.DEVICE + ["--env"], capture_output=True, text=True).stdout.split("DISPLAY=")[1]
        deadline = time.monotonic() + 30
        while subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^%s$" % title], capture_output=True,
                             env=dict(os.environ, DISPLAY=display.split()[0])).returncode != 0:
            self.assertLess(time.monotonic(), deadline, "no window %s on the device's screen" % title)
            time.sleep(0.1)

    def test_a_window_that_never_paints_is_not_the_form_and_the_form_is_saved_and_closed(self):
        with tempfile.TemporaryDirectory() as folder:
            shot = os.path.join(folder, "form.png")
            unpainted = self.start(os.environ["UNPAINTED_WINDOW"])
            try:
                self.wait_for_window("Quillmere")
                result = self.wait_for_form(["--timeout", "3", "--screenshot", shot])
            finally:
                subprocess.run(self.DEVICE + ["taskkill", "/F", "/IM", "UnpaintedWindow.exe"], capture_output=True)
                unpainted.wait(timeout=30)
            self.assertEqual(1, result.returncode)
            self.assertRegex(result.stderr, r"^wait-for-form: the form was not on the screen within the deadline; "
                                            r"missing: the top bar; .* \(3 s\)\n$")
            self.assertFalse(os.path.exists(shot))

            quillmere = self.start(os.environ["QUILLMERE"])
            self.addCleanup(lambda: quillmere.poll() is None and subprocess.run(
                self.DEVICE + ["taskkill", "/F", "/IM", "Quillmere.exe"], capture_output=True))
            # A picture that cannot be written: one line, after the wait, and the form left as it is.
            result = self.wait_for_form(["--screenshot", "/proc/self/form.png", "--tap-ok", "--pid",
                                         str(quillmere.pid)])
            self.assertEqual((1, "wait-for-form: /proc/self/form.png: cannot be written: No such file or directory\n"),
                             (result.returncode, result.stderr))
            self.assertIsNone(quillmere.poll())
            result = self.wait_for_form(["--screenshot", shot, "--tap-ok", "--pid", str(quillmere.pid)])
            self.assertEqual((0, ""), (result.returncode, result.stderr))
            self.assertEqual(0, quillmere.wait(timeout=30))
            with open(shot, "rb") as picture:
                header = picture.read(24)
            self.assertEqual((b"\x89PNG", 480, 640), (header[:4],) + struct.unpack(">II", header[16:24]))

    def test_the_committed_screenshots_are_what_the_command_makes_and_it_leaves_them_and_its_devices(self):
        """Without --update it writes into build/screenshots and never over the committed pictures; it stops
        the device it started and keeps the one that was running before."""
        committed = os.path.join(ROOT, "docs", "screenshots")
        before = {name: identity(os.path.join(committed, name)) for name in ("portrait.png", "landscape.png")}
        subprocess.run([DEVICE, "--name", "test", "--screen", "480x640", "--stop"], check=True)
        subprocess.run([DEVICE, "--name", "test", "--screen", "640x480", "--env"], check=True, stdout=subprocess.DEVNULL)
        started = time.time()
        result = subprocess.run([MAKE_SCREENSHOTS, "--name", "test"], capture_output=True, text=True, timeout=180)
        self.assertEqual(0, result.returncode, result.stderr)
        self.assertEqual(before, {name: identity(os.path.join(committed, name)) for name in before})
        self.assertTrue(stops("test", "480x640"), "the device the command started still runs")
        self.assertEqual(0, subprocess.run([DEVICE, "--name", "test", "--screen", "640x480", "--running"]).returncode,
                         "the device that ran before was stopped")
        for name in before:
            with self.subTest(name):
                made = os.path.join(ROOT, "build", "screenshots", name)
                self.assertGreaterEqual(os.stat(made).st_mtime, started - 1)
                made, committed_picture = picture(made), picture(os.path.join(committed, name))
                self.assertEqual(made[:2], committed_picture[:2])
                # Anti-aliased edges may differ a little; anything more is a stale picture.
                different = sum(1 for at in range(0, len(made[2]), 3)
                                if max(abs(a - b) for a, b in zip(made[2][at:at + 3],
                                                                  committed_picture[2][at:at + 3])) > 64)
                self.assertLess(different, len(made[2]) // 3 // 2000, "%d pixels differ" % different)


    def test_make_screenshots_refuses_a_folder_first_and_leaves_no_program_on_a_device_that_was_running(self):
        """'.' is refused in the command's own name before anything starts; a picture that cannot
        be saved ends the Quillmere it started, not only the runner that started it."""
        subprocess.run(self.DEVICE + ["--env"], check=True, stdout=subprocess.DEVNULL)
        with tempfile.TemporaryDirectory() as folder:
            result = subprocess.run([MAKE_SCREENSHOTS, "--name", "test", "."], capture_output=True, text=True,
                                    cwd=folder, timeout=60)
            self.assertEqual((2, ""), (result.returncode, result.stdout))
            self.assertRegex(result.stderr, r"^make-screenshots: \./portrait\.png would be written into the current "
                                            r"folder: make-screenshots writes no file there[^\n]*\n$")
            # The first picture is checked before anything starts; the second, a folder, only once its
            # Quillmere is on a device that was running before.
            landscape = self.DEVICE[:-1] + ["640x480"]
            subprocess.run(landscape + ["--env"], check=True, stdout=subprocess.DEVNULL)
            self.addCleanup(subprocess.run, landscape + ["--stop"])
            os.makedirs(os.path.join(folder, "shots", "landscape.png"))
            result = subprocess.run([MAKE_SCREENSHOTS, "--name", "test", "shots"], capture_output=True, text=True,
                                    cwd=folder, timeout=180)
            self.assertEqual(1, result.returncode, result.stderr)
            self.assertIn("shots/landscape.png is a folder", result.stderr)
            prefix = os.path.realpath(os.path.join(DEVICE_ROOT, "test-640x480"))
            deadline = time.monotonic() + 10
            while programs_of(prefix, "Quillmere.exe"):
                self.assertLess(time.monotonic(), deadline, "Quillmere still runs on the device")
                time.sleep(0.2)


def programs_of(prefix, program):
    """The processes of a device (its Wine prefix) whose command line names the program."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/cmdline" % pid, "rb") as source:
                command = source.read()
            with open("/proc/%s/environ" % pid, "rb") as source:
                environment = source.read().split(b"\0")
        except OSError:
            continue
        if program.encode() in command and b"WINEPREFIX=" + prefix.encode() in environment:
            found.append(int(pid))
    return found


def identity(path):
    """A file's inode and time of change: a file written again, even with the same bytes, has others."""
    status = os.stat(path)
    return status.st_ino, status.st_mtime_ns


def stops(name, screen):
    """Whether a device is stopped within a few seconds: its servers may take a moment to end."""
    deadline = time.monotonic() + 10
    while subprocess.run([DEVICE, "--name", name, "--screen", screen, "--running"]).returncode == 0:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def picture(path):
    with Image.open(path) as image:
        rgb = image.convert("RGB")
        return rgb.width, rgb.height, rgb.tobytes()


if __name__ == "__main__":
    sys.exit(unittest.main())
