"""The documentation's examples, run exactly as written: every ```console block of README.md and
docs/*.md, in the order the documents give them, from the checkout, on the emulated device the
package tests use. A line "$ COMMAND" is run with bash; the lines after it, up to the next
"$ ", are what it must print (standard output and error together), line for line: a part in
braces varies ({ms}, {path}), and a line that is a brace part alone stands for any lines. A
command that is to fail says so at its end: "# exit N". Blocks of other kinds (```sh, indented)
are shown but not run: the README's two commands and commands for other machines."""
import os
import re
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DOCUMENTS = ["README.md", "docs/administrators.md", "docs/emulated-device.md", "docs/building-for-the-device.md",
             "docs/tests-and-benchmarks.md"]
BLOCK = re.compile(r"^```console\n(.*?)^```$", re.MULTILINE | re.DOTALL)
EXIT = re.compile(r"\s+# exit (\d+)$")
ANY_LINES = re.compile(r"^\{[^{}]*\}$")
# The device the examples use, as the package tests leave it; no screen anyone sees.
ENVIRONMENT = {"DEVICE_NAME": "test", "DEVICE_SCREEN": "480x640"}


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


class Examples(unittest.TestCase):
    def test_every_example_runs_as_written_and_prints_what_the_documentation_quotes(self):
        environment = dict(os.environ, **ENVIRONMENT)
        for name in ("DISPLAY", "DEVICE_DISPLAY"):
            environment.pop(name, None)
        count = 0
        for document in DOCUMENTS:
            for command, status, expected in examples(document):
                count += 1
                with self.subTest(document=document, command=command):
                    result = subprocess.run(["bash", "-c", command], cwd=ROOT, env=environment, stdin=subprocess.DEVNULL,
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)
                    self.assertEqual(status, result.returncode, result.stdout)
                    if expected:
                        output = "".join(line.rstrip(" \t") + "\n" for line in result.stdout.splitlines())
                        self.assertTrue(pattern(expected).fullmatch(output),
                                        "printed:\n%s\nthe documentation quotes:\n%s" % (output, "\n".join(expected)))
        self.assertGreater(count, 0)


if __name__ == "__main__":
    sys.exit(unittest.main())
