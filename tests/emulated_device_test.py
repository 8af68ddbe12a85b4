"""The kit's scripts on the host: every script runs under Debian's Python; a device gets an X
screen even when the display numbers it would try first are held by servers that leave no lock
file (one in another container that shares the network holds only an abstract socket)."""
import os
import re
import socket
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEBIAN_PYTHON = "/usr/bin/python3"
# A Python started as a command: first word of a line or after exec, env, a pipe, ; or $( in a
# script or CMake file, or first item of a command list in Python.
PYTHON_COMMAND = re.compile(r"(^\s*|\bexec\s+|\benv\s+|[;&|(`]\s*|COMMAND\s+)python3?(\s|$)|[\[(]\s*[\"']python3?[\"']",
                            re.MULTILINE)
DEVICE = os.path.join(HERE, "..", "emulated_device", "device")
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
        self.assertEqual(DEBIAN_PYTHON, sys.executable)  # CMake's Python3_EXECUTABLE
        for path in kit_files():
            with open(path, "rb") as source:
                text = source.read().decode("utf-8", "replace")
            with self.subTest(os.path.relpath(path, ROOT)):
                first = text.split("\n", 1)[0]
                if first.startswith("#!") and "python" in first:
                    self.assertEqual("#!" + DEBIAN_PYTHON, first)
                if first.startswith("#!") or path.endswith((".py", ".txt", ".cmake")):
                    self.assertIsNone(PYTHON_COMMAND.search(text))


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


if __name__ == "__main__":
    sys.exit(unittest.main())
