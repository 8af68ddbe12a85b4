"""The documentation's examples, run exactly as written: every ```console block of README.md and
docs/*.md, in the order the documents give them, from the checkout, on the emulated device the
package tests use. A line "$ COMMAND" is run with bash; the lines after it, up to the next
"$ ", are what it must print (standard output and error together), line for line: a part in
braces varies ({ms}, {path}), and a line that is a brace part alone stands for any lines. A
command that is to fail says so at its end: "# exit N". A command ending in "&" runs in the
background, as in a shell; the next "$ wait" waits for it and quotes what it printed, and its exit
code is the background command's. Blocks of other kinds (```sh, indented) are shown but not run:
the README's two commands and commands for other machines."""
import os
import re
import signal
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DOCUMENTS = ["README.md", "docs/administrators.md", "docs/emulated-device.md", "docs/building-for-the-device.md",
             "docs/tests-and-benchmarks.md"]
BLOCK = re.compile(r"^```console\n(.*?)^```$", re.MULTILINE | re.DOTALL)
EXIT = re.compile(r"\s+# exit (\d+)$")
BACKGROUND = re.compile(r"\s+&$")
ANY_LINES = re.compile(r"^\{[^{}]*\}$")
# The device the examples use, as the package tests leave it; no screen anyone sees.
ENVIRONMENT = {"DEVICE_NAME": "test", "DEVICE_SCREEN": "480x640"}
TIMEOUT = 300


def examples(document):
    """(command, expected exit code, expected lines) of each example in a document, in order."""
    with open(os.path.join(ROOT, document), encoding="utf-8") as source:
        text = source.read()
    found = []
    for block in BLOCK.findall(text):
        for part in re.split(r"^\$ ", block, flags=re.MULTILINE)[1:]:
            command, *lines = part.rstrip("\n").split("\n")
            status = EXIT.search(command)
            found.append((command, int(status.group(1)) if status else 0, lines))
    return found


def pattern(expected):
    """A regular expression for the expected lines: brace parts vary."""
    parts = []
    for line in expected:
        if ANY_LINES.match(line):
            parts.append(r"(?:[^\n]*\n)*?")
        else:
            parts.append("".join(".*?" if piece.startswith("{") else re.escape(piece)
                                 for piece in re.split(r"(\{[^{}]*\})", line)) + r"[ \t]*\n")
    return re.compile("".join(parts))


def example_environment():
    """The environment each example runs in: the tests' device, and no display of this machine."""
    environment = dict(os.environ, **ENVIRONMENT)
    for name in ("DISPLAY", "DEVICE_DISPLAY"):
        environment.pop(name, None)
    return environment


class Examples(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        """The pages begin on a device as it is made: the earlier tests on it may have deleted the
        driver's key, which Quillmere writes into but never creates."""
        device = os.path.join(ROOT, "emulated_device", "device")
        seed = "Z:" + os.path.join(ROOT, "emulated_device", "device-registry.reg").replace("/", "\\")
        subprocess.run([device, "reg", "delete", "HKLM\\COMM\\TIWLNAPI1\\PARMS", "/f"], capture_output=True,
                       env=example_environment())
        subprocess.run([device, "regedit", "/S", seed], check=True, capture_output=True, env=example_environment())

    def setUp(self):
        self.environment = example_environment()
        self.background = []

    def tearDown(self):
        self.end_background()

    def start_in_background(self, command):
        """A command ending in "&": started, its output kept for the next "wait"."""
        output = tempfile.TemporaryFile(mode="w+")
        process = subprocess.Popen(["bash", "-c", command], cwd=ROOT, env=self.environment, stdin=subprocess.DEVNULL,
                                   stdout=output, stderr=subprocess.STDOUT, text=True, start_new_session=True)
        self.background.append((process, output))

    def wait_for_background(self):
        """(the first failing exit code or 0, what they printed) of the commands in the background."""
        status, printed = 0, ""
        for process, output in self.background:
            code = process.wait(timeout=TIMEOUT)
            status = status or code
            output.seek(0)
            printed += output.read()
        self.end_background()
        return status, printed

    def end_background(self):
        """Nothing an example started outlives it: a command in the background that was not waited
        for ends with its process group."""
        for process, output in self.background:
            if process.poll() is None:
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
            output.close()
        self.background = []

    def run_example(self, command):
        if BACKGROUND.search(command):
            self.start_in_background(BACKGROUND.sub("", command))
            return 0, ""
        if command == "wait":
            return self.wait_for_background()
        result = subprocess.run(["bash", "-c", command], cwd=ROOT, env=self.environment, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=TIMEOUT)
        return result.returncode, result.stdout

    def test_every_example_runs_as_written_and_prints_what_the_documentation_quotes(self):
        count = 0
        for document in DOCUMENTS:
            for command, status, expected in examples(document):
                count += 1
                with self.subTest(document=document, command=command):
                    returncode, printed = self.run_example(EXIT.sub("", command))
                    self.assertEqual(status, returncode, printed)
                    if expected:
                        # A block cannot show blank lines at the end of what a command prints.
                        output = "".join(line.rstrip(" \t") + "\n" for line in printed.rstrip().splitlines())
                        self.assertTrue(pattern(expected).fullmatch(output),
                                        "printed:\n%s\nthe documentation quotes:\n%s" % (output, "\n".join(expected)))
            self.assertEqual([], [process.args for process, _ in self.background],
                             "%s leaves commands in the background without a wait" % document)
        self.assertGreater(count, 0)


class WhereThingsAre(unittest.TestCase):
    def test_the_readme_names_every_command_and_module_of_the_kits_folders(self):
        """Each file or folder of packaging/ and emulated_device/ is named in its row of the README's
        table; a module is named by the command it launches (white_list_package.py by
        white-list-package)."""
        with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as source:
            rows = {line.split("|")[1].strip(): line for line in source if line.startswith("| `")}
        for folder in ("packaging", "emulated_device"):
            row = rows["`%s/`" % folder]
            for name in sorted(os.listdir(os.path.join(ROOT, folder))):
                if name in ("CMakeLists.txt", "__pycache__"):
                    continue
                shown = name + "/" if os.path.isdir(os.path.join(ROOT, folder, name)) else name
                with self.subTest(folder=folder, name=name):
                    command = os.path.splitext(name)[0].replace("_", "-") if name.endswith(".py") else None
                    self.assertTrue("`%s`" % shown in row or (bool(command) and "`%s`" % command in row),
                                    "README.md's row of %s/ does not name %s" % (folder, shown))


if __name__ == "__main__":
    sys.exit(unittest.main())
