"""The package builders on the host. packaging/white-list-package: the lists it refuses, the lists
that travel only as provisioning documents, its four outputs read back (the .000 parsed, the XML
documents parsed, the .inf's AddReg lines) holding the same values, the same bytes each time, and
a whole set of outputs or none for any file name and any bytes. packaging/make_cab.py: the order
of members, what descriptions it refuses, names escaped in _setup.xml."""
import os
import random
import re
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
import cabinet  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
COMMAND = os.path.join(HERE, "..", "packaging", "white-list-package")
# The command's own script under this Python: quicker than the command for the many runs below.
TOOL = [sys.executable, os.path.join(HERE, "..", "packaging", "white_list_package.py")]
KEY = "COMM\\TIWLNAPI1\\PARMS"


def read_file(path):
    with open(path, "rb") as source:
        return source.read()


def run(list_bytes, folder, name="list.whitelist", environment=None, tool=TOOL):
    path = os.path.join(os.fsencode(folder), os.fsencode(name))
    with open(path, "wb") as out:
        out.write(list_bytes)
    result = subprocess.run(tool + [path, os.path.join(folder, "out")], capture_output=True, text=True,
                            errors="backslashreplace", env=environment)
    return result, os.fsdecode(path)


def outputs(folder):
    out = os.path.join(folder, "out")
    return sorted(os.listdir(out)) if os.path.isdir(out) else []


def document_values(xml_bytes):
    """The Registry characteristic's values of a provisioning document, in document order."""
    root = ElementTree.fromstring(xml_bytes)
    key = root.find("./characteristic[@type='Registry']/characteristic[@type='HKLM\\%s']" % KEY)
    return [(parm.get("name"), parm.get("value"), parm.get("datatype")) for parm in key.findall("parm")]


def members(cab):
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run(["cabextract", "-q", "-d", folder, cab], check=True)
        return {name: read_file(os.path.join(folder, name)) for name in os.listdir(folder)}


def instruction_values(data):
    """The .000's registry values: (name, text) of each string value, and the key they are in."""
    strings_count, hives, keys = struct.unpack_from("<H", data, 48)[0], *struct.unpack_from("<HH", data, 54)
    strings_at, _, _, hives_at, keys_at, _ = struct.unpack_from("<6I", data, 60)
    strings, at = {}, strings_at
    for _ in range(strings_count):
        number, length = struct.unpack_from("<HH", data, at)
        strings[number] = data[at + 4:at + 4 + length - 1].decode("ascii")
        at += 4 + length
    assert hives == 1
    _, root, _, length = struct.unpack_from("<4H", data, hives_at)
    ids = struct.unpack_from("<%dH" % (length // 2), data, hives_at + 8)
    path = "\\".join(strings[i] for i in ids if i)
    values, at = [], keys_at
    for _ in range(keys):
        _, hive, _, kind, length = struct.unpack_from("<HHHIH", data, at)
        name, text, end = data[at + 12:at + 12 + length].split(b"\0")
        assert (hive, kind, end) == (1, 0, b"")
        values.append((name.decode("ascii"), text.decode("ascii"), "string"))
        at += 12 + length
    return root, path, values


def inf_values(inf_bytes):
    values = []
    for line in inf_bytes.decode("ascii").split("\r\n"):
        if line.startswith("HKLM,"):
            root, key, name, flags, quoted = line.split(",", 4)
            assert (root, key, flags) == ("HKLM", KEY, "0x00000000") and quoted[0] == quoted[-1] == '"'
            values.append((name, quoted[1:-1].replace('""', '"').replace("%%", "%"), "string"))
    return values


class Refusals(unittest.TestCase):
    def test_each_refusal_names_the_file_and_line_and_writes_nothing(self):
        cases = [
            (b"", 0, "is empty"),
            (b"# only a comment\n\n", 0, "is empty"),
            (b"ssid1 = a\n", 0, "'enable = on' or 'enable = off' is missing"),
            (b"enable = yes\n", 1, "enable must be"),
            (b"enable = on\r\nenable = off\r\n", 2, "set twice"),
            (b"enable = on\nssid1 = a\nssid1 = b\n", 3, "set twice"),
            (b"enable = on\ncolour = red\n", 2, "unknown key"),
            (b"enable = on\nssid0 = a\n", 2, "positions run from"),
            (b"enable = on\nssid11 = a\n", 2, "positions run from"),
            ("enable = on\nssid\u00b2 = x\n".encode(), 2, "unknown key"),
            (b"enable = on\nssid1 a\n", 2, "expected 'key = value'"),
            (b"enable = on\nssid1 = \"open\n", 2, "must end with one"),
            (b"enable = on\nssid1 = bad \xff byte\n", 2, "not valid UTF-8"),
            (b"enable = on\nssid1 = tab\there\n", 2, "control character"),
            (b"enable = on\nssid1 = nul\x00here\n", 2, "control character"),
            (b"enable = on\nssid1 = " + b"x" * 33 + b"\n", 2, "at most 32"),
            (b"enable = on\nssid1 = " + "\U0001F600".encode() * 16 + b"x\n", 2, "33 characters long"),
        ]
        for text, line, message in cases:
            with self.subTest(text=text), tempfile.TemporaryDirectory() as folder:
                result, path = run(text, folder)
                self.assertEqual(1, result.returncode)
                self.assertIn("%s%s: " % (path, ":%d" % line if line else ""), result.stderr)
                self.assertIn(message, result.stderr)
                self.assertFalse(os.path.exists(os.path.join(folder, "out")))


class Outputs(unittest.TestCase):
    def test_the_four_outputs_carry_the_same_values_and_the_same_bytes_each_time(self):
        tricky = read_file(os.path.join(HERE, "white_lists", "tricky.whitelist"))
        with tempfile.TemporaryDirectory() as folder:
            result, _ = run(tricky, folder, "tricky.whitelist", tool=[COMMAND])
            self.assertEqual(0, result.returncode, result.stderr)
            out = os.path.join(folder, "out")
            read = {name: read_file(os.path.join(out, name)) for name in sorted(os.listdir(out))}
            self.assertEqual(["tricky.cab", "tricky.cpf", "tricky.inf", "tricky.xml"], list(read))
            expected = [("WhiteListEnable", "1", "string"), ("WhiteListSSID1", "  both ends  ", "string"),
                        ("WhiteListSSID2", "Dock #1 = east", "string"), ("WhiteListSSID3", 'quoted "" inside', "string"),
                        ("WhiteListSSID4", "ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", "string"),
                        ("WhiteListSSID5", "", "string"), ("WhiteListSSID6", "<Yard> & 'Gate'", "string")]
            expected += [("WhiteListSSID%d" % i, "", "string") for i in (7, 8, 9)]
            expected += [("WhiteListSSID10", "last", "string"), ("WhiteListCount", "6", "string")]
            self.assertEqual(expected, document_values(read["tricky.xml"]))
            self.assertEqual({"_setup.xml": read["tricky.xml"]}, members(os.path.join(out, "tricky.cpf")))
            cab = members(os.path.join(out, "tricky.cab"))
            self.assertEqual({"00tricky.000", "_setup.xml"}, set(cab))
            self.assertEqual(expected, document_values(cab["_setup.xml"]))
            self.assertEqual((3, KEY, expected), instruction_values(cab["00tricky.000"]))
            self.assertEqual(expected, inf_values(read["tricky.inf"]))

            again, _ = run(tricky, folder, "tricky.whitelist")
            self.assertEqual(0, again.returncode)
            for name, data in read.items():
                self.assertEqual(data, read_file(os.path.join(out, name)), name)

    def test_a_list_the_device_could_store_otherwise_travels_only_as_a_provisioning_document(self):
        cases = [(["Caf\u00e9", "\u0141\u00f3d\u017a-Halle", "\U0001F600" * 16], "an SSID is not ASCII"),
                 (["Dock", "%CE1%", "50% off"], "an SSID holds '%'")]
        for names, reason in cases:
            with self.subTest(names=names), tempfile.TemporaryDirectory() as folder:
                # What an earlier run for the same name wrote must not stay beside the new set.
                self.assertEqual(0, run(b"enable = on\nssid1 = earlier\n", folder)[0].returncode)
                text = "enable = off\n" + "".join("ssid%d = %s\n" % (i + 1, name) for i, name in enumerate(names))
                result, _ = run(text.encode("utf-8"), folder)
                self.assertEqual(3, result.returncode)
                self.assertIn("not written: list.cab and list.inf: " + reason, result.stderr)
                self.assertEqual(["list.cpf", "list.xml"], outputs(folder))
                values = document_values(read_file(os.path.join(folder, "out", "list.xml")))
                self.assertEqual([("WhiteListSSID%d" % (i + 1), name, "string") for i, name in enumerate(names)],
                                 values[1:4])
                self.assertEqual(("WhiteListCount", "3", "string"), values[-1])


class AnyInput(unittest.TestCase):
    """Whatever the file's name and bytes: exit 0, 1 or 3, the documented set or nothing, no
    traceback and no staging folder left behind."""
    EXPECTED = {0: [".cab", ".cpf", ".inf", ".xml"], 1: [], 3: [".cpf", ".xml"]}

    def inputs(self):
        generator = random.Random(13)
        lines = [b"enable = on", b"enable = off", b"ssid1 = a", b"ssid2 = \"q\"", b"ssid3 = %CE2%", b"# note",
                 "ssid4 = S\u00fcd".encode(), b"ssid5 = \xff", b"=", b"\"", b"ssid10=", b"\x00", b"\r"]
        yield b"enable = on\nssid1 = a\n"
        for _ in range(16):
            yield b"\n".join(generator.choice(lines) for _ in range(generator.randint(0, 6)))
            yield bytes(generator.randrange(256) for _ in range(generator.randint(0, 40)))

    def test_a_whole_set_of_outputs_or_none_and_never_a_traceback(self):
        names = ["Lager-S\u00fcd.whitelist", b"bytes-\xff\xfe.whitelist", "two dots.a.whitelist", ".whitelist",
                 "\u00fc\u00fc\u00fc.whitelist"]
        for number, data in enumerate(self.inputs()):
            name = names[number % len(names)]
            with self.subTest(name=name, data=data), tempfile.TemporaryDirectory() as folder:
                result, path = run(data, folder, name)
                self.assertIn(result.returncode, self.EXPECTED)
                self.assertNotIn("Traceback", result.stderr)
                stem = os.path.splitext(os.path.basename(os.fsencode(path)))[0]
                self.assertEqual([stem + extension.encode() for extension in self.EXPECTED[result.returncode]],
                                 sorted(os.listdir(os.path.join(os.fsencode(folder), b"out")))
                                 if os.path.isdir(os.path.join(folder, "out")) else [])
                if result.returncode == 1:
                    self.assertEqual(1, len(result.stderr.splitlines()))
                if result.returncode == 0:
                    cab = members(os.path.join(os.fsencode(folder), b"out", stem + b".cab"))
                    self.assertTrue(all(member.isascii() for member in cab), list(cab))

    def test_a_failure_while_writing_leaves_the_earlier_outputs_as_they_were(self):
        with tempfile.TemporaryDirectory() as folder:
            self.assertEqual(0, run(b"enable = on\nssid1 = earlier\n", folder)[0].returncode)
            earlier = {name: read_file(os.path.join(folder, "out", name)) for name in outputs(folder)}
            failing = os.path.join(folder, "bin")
            os.mkdir(failing)
            with open(os.path.join(failing, "gcab"), "w") as fake:
                fake.write("#!/bin/sh\necho 'gcab: no space left on device' >&2\nexit 1\n")
            os.chmod(os.path.join(failing, "gcab"), stat.S_IRWXU)
            environment = dict(os.environ, PATH=failing + os.pathsep + os.environ["PATH"])
            result, path = run(b"enable = off\nssid1 = later\n", folder, environment=environment)
            self.assertEqual(1, result.returncode)
            self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
            self.assertIn(path, result.stderr)
            self.assertEqual(earlier, {name: read_file(os.path.join(folder, "out", name)) for name in outputs(folder)})
            # A place the new set cannot go is found before any earlier output is touched.
            os.remove(os.path.join(folder, "out", "list.inf"))
            os.mkdir(os.path.join(folder, "out", "list.inf"))
            result, path = run("enable = off\nssid1 = l\u00e4ter\n".encode(), folder)
            self.assertEqual(1, result.returncode)
            self.assertIn("list.inf is a folder", result.stderr)
            del earlier["list.inf"]
            self.assertEqual(earlier, {name: read_file(os.path.join(folder, "out", name)) for name in outputs(folder)
                                       if name != "list.inf"})


MAKE_CAB = [sys.executable, os.path.join(HERE, "..", "packaging", "make_cab.py")]


class KitPackage(unittest.TestCase):
    DESCRIPTION = ("AppName = Kit\nProvider = Pellworth\nInstallDir = %CE1%\\Kit\n"
                   "File = Zeta.exe, %InstallDir%\nFile = A&B.dll, %InstallDir%\nSetupLibrary = Setup.dll\n")

    def make(self, folder, description):
        path = os.path.join(folder, "kit.package")
        with open(path, "w") as out:
            out.write(description)
        files = []
        for name in ("Zeta.exe", "A&B.dll", "Setup.dll"):
            with open(os.path.join(folder, name), "wb") as out:
                out.write(name.encode())
            files += ["--file", "%s=%s" % (name, os.path.join(folder, name))]
        return subprocess.run(MAKE_CAB + [path, "--for", "ARM", "--cab", os.path.join(folder, "kit.cab")] + files,
                              capture_output=True, text=True), path

    def test_members_follow_the_instruction_file_by_descending_number_and_names_are_escaped(self):
        with tempfile.TemporaryDirectory() as folder:
            result, _ = self.make(folder, self.DESCRIPTION)
            self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(["00000Kit.000", "000Setup.999", "000000AB.002", "0000Zeta.001", "_setup.xml"],
                             cabinet.members(os.path.join(folder, "kit.cab")))
            document = ElementTree.fromstring(members(os.path.join(folder, "kit.cab"))["_setup.xml"])
            self.assertIsNotNone(document.find(".//characteristic[@type='A&B.dll']"))

    def test_what_the_kit_does_not_need_is_refused_with_its_line(self):
        cases = [("File = Zeta.exe, %InstallDir%", "File = Zeta.exe, %CE2%", "files are installed into"),
                 ("SetupLibrary = Setup.dll", "SetupLibrary = Setup.dll\nShortcut = Z, %CE2%, Zeta.exe",
                  "shortcuts are made in"),
                 ("InstallDir = %CE1%\\Kit", "InstallDir = %CE1%\\..\\Kit", "InstallDir must be"),
                 ("AppName = Kit", "AppName = Kit\nAppName = Other", "AppName is given twice"),
                 ("InstallDir = %CE1%\\Kit", "InstallDir = %CE1%\\Kit\nInstallDir = %CE2%\\Kit",
                  "InstallDir is given twice"),
                 ("SetupLibrary = Setup.dll", "SetupLibrary = Setup.dll\nFile = Zeta.exe, %InstallDir%",
                  "the file 'Zeta.exe' is given twice"),
                 ("SetupLibrary = Setup.dll", "SetupLibrary = Setup.dll\nShortcut = Z, %CE11%, Nothing.exe",
                  "a shortcut to 'Nothing.exe'"),
                 ("Provider = Pellworth\n", "", "missing Provider")]
        for line, replacement, message in cases:
            with self.subTest(replacement=replacement), tempfile.TemporaryDirectory() as folder:
                description = self.DESCRIPTION.replace(line, replacement)
                result, path = self.make(folder, description)
                self.assertEqual(1, result.returncode)
                # The line of the fault; for what no line gives, the description's last line.
                new = set(replacement.splitlines()) - set(line.splitlines())
                faulty = max([number for number, text in enumerate(description.splitlines(), 1) if text in new],
                             default=len(description.splitlines()))
                self.assertRegex(result.stderr, "^%s:%d: %s" % (re.escape(path), faulty, message))
                self.assertFalse(os.path.exists(os.path.join(folder, "kit.cab")))


if __name__ == "__main__":
    sys.exit(unittest.main())
