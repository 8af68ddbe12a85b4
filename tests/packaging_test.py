"""The package builders on the host. packaging/white-list-package: the lists it refuses, the lists
that travel only as provisioning documents, its four outputs read back (the .000 parsed, the XML
documents parsed, the .inf's AddReg lines) holding the same values, the same bytes each time, and
a whole set of outputs or none for any file name and any bytes. packaging/make_cab.py: the order
of members, what descriptions it refuses, names escaped in _setup.xml. packaging/white-list-query
and white-list-report: the query's bytes, each way a device's answer can differ from a list and
what Quillmere makes of it, every value at its byte limit, the answers refused, the CSV.
packaging/marker-removal-document and trust-document --remove: what their documents remove. The
whole-file writer every command uses: a file replaced whole, with a new file's mode, or left as it
was."""
import base64
import csv
import datetime
import hashlib
import io
import os
import random
import re
import resource
import shutil
import stat
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ElementTree

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import rsa

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
import cabinet  # noqa: E402
import provisioning_xml  # noqa: E402
import whole_files  # noqa: E402

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


MARKER = ".kit-signing-output"  # the command's list of what it wrote there


def outputs(folder):
    out = os.path.join(folder, "out")
    return sorted(set(os.listdir(out)) - {MARKER}) if os.path.isdir(out) else []


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
            (b"enable = on\nEnable = off\n", 2, "unknown key 'Enable': a list knows enable and ssid1 to ssid10, in "
                                                "lower case"),
            (b"enable = on\n\x1b[2J\xe2\x80\xaeEnable = off\n", 2, "unknown key '\\x1b[2J\\u202eEnable'"),
            (b"enable = on\nssid0 = a\n", 2, "positions run from"),
            (b"enable = on\nssid11 = a\n", 2, "positions run from"),
            ("enable = on\nssid\u00b2 = x\n".encode(), 2, "unknown key"),
            (b"enable = on\nssid1 a\n", 2, "expected 'key = value'"),
            (b"enable = on\nssid1 = \"open\n", 2, "must end with one"),
            (b"enable = on\nssid1 = \"\n", 2, "must end with one"),
            (b"enable = on\nssid1 = bad \xff byte\n", 2, "not valid UTF-8"),
            (b"enable = on\nssid1 = tab\there\n", 2, "control character"),
            (b"enable = on\nssid1 = nul\x00here\n", 2, "control character"),
            (b"enable = on\nssid1 = del\x7fhere\n", 2, "control character"),
            (b"enable = on\nssid1 = next line\xc2\x85here\n", 2, "control character"),
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
            read = {name: read_file(os.path.join(out, name)) for name in outputs(folder)}
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
                 (["Dock", "%CE1%", "50% off"], "an SSID holds '%'"),
                 (["Ware\u200bhouse", "\u202eab", "x\u2028y\u2800"], "an SSID is not ASCII")]
        printed = {"Ware\u200bhouse": '"Ware\\u200bhouse"', "\u202eab": '"\\u202eab"',
                   "x\u2028y\u2800": '"x\\u2028y\\u2800"'}
        for names, reason in cases:
            with self.subTest(names=names), tempfile.TemporaryDirectory() as folder:
                # What an earlier run for the same name wrote must not stay beside the new set.
                self.assertEqual(0, run(b"enable = on\nssid1 = earlier\n", folder)[0].returncode)
                text = "enable = off\n" + "".join("ssid%d = %s\n" % (i + 1, name) for i, name in enumerate(names))
                result, _ = run(text.encode("utf-8"), folder)
                self.assertEqual(3, result.returncode)
                self.assertIn("not written: list.cab and list.inf: " + reason, result.stderr)
                self.assertEqual(["list.cpf", "list.xml"], outputs(folder))
                self.assertEqual(['  WhiteListSSID%d = %s' % (i + 1, printed.get(name, '"%s"' % name))
                                  for i, name in enumerate(names)], result.stdout.splitlines()[4:7])
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
                                 sorted(set(os.listdir(os.path.join(os.fsencode(folder), b"out"))) - {MARKER.encode()})
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
            self.assertIn("holds list.inf, which white-list-package did not write", result.stderr)
            del earlier["list.inf"]
            self.assertEqual(earlier, {name: read_file(os.path.join(folder, "out", name)) for name in outputs(folder)
                                       if name != "list.inf"})


    def test_only_a_regular_file_within_its_limit_is_read(self):
        """A FIFO nobody writes, a device without end or a file too large given as a list, an
        answer or a fleet file: one line, exit 1, at once and within a bounded memory."""
        def limited():
            resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        with tempfile.TemporaryDirectory() as folder:
            fifo, large = os.path.join(folder, "fifo.whitelist"), os.path.join(folder, "large.whitelist")
            os.mkfifo(fifo)
            with open(large, "wb") as out:
                out.truncate((1 << 20) + 1)
            answer_path = os.path.join(folder, "dock.xml")
            with open(answer_path, "wb") as out:
                out.write(answer())
            big_answer = os.path.join(folder, "big.xml")
            with open(big_answer, "wb") as out:
                out.write(answer() + b" " * (1 << 20))
            out = os.path.join(folder, "out")
            cases = [(TOOL + [fifo, out], fifo, "a FIFO, not a regular file"),
                     (TOOL + ["/dev/zero", out], "/dev/zero", "a device, not a regular file"),
                     (TOOL + [large, out], large, "larger than 1048576 bytes"),
                     (REPORT + [fifo, answer_path], fifo, "a FIFO, not a regular file"),
                     (REPORT + ["/dev/zero", answer_path], "/dev/zero", "a device, not a regular file"),
                     (REPORT + [EXAMPLE, fifo], fifo, "a FIFO, not a regular file"),
                     (REPORT + [EXAMPLE, big_answer], big_answer, "larger than 1048576 bytes"),
                     (REPORT + ["--fleet", fifo, answer_path], fifo, "a FIFO, not a regular file"),
                     (REPORT + ["--fleet", large, answer_path], large, "larger than 1048576 bytes")]
            for (command, path, says), result in zip(cases, run_together([case[0] for case in cases],
                                                                         preexec_fn=limited)):
                with self.subTest(command=command[1:]):
                    self.assertEqual((1, ""), (result.returncode, result.stdout), result.stderr)
                    self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                    self.assertIn("%s: cannot be read: it is %s" % (path, says), result.stderr)
            self.assertFalse(os.path.exists(out))


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
                 ("InstallDir = %CE1%\\Kit", "InstallDir = %CE1%\\Kit.", "InstallDir must be"),
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


QUERY = [sys.executable, os.path.join(HERE, "..", "packaging", "white_list_query.py")]
REPORT = [sys.executable, os.path.join(HERE, "..", "packaging", "white_list_report.py")]
EXAMPLE = os.path.join(HERE, "..", "packaging", "example.whitelist")
KEY_PATH = "HKLM\\" + KEY
NAMES = ["WhiteListEnable"] + ["WhiteListSSID%d" % i for i in range(1, 11)] + ["WhiteListCount"]
EXAMPLE_TEXTS = ["1", "Warehouse-North", "Warehouse-South", "Loading Dock", "", "  Yard #2 = guests  "] + [""] * 5 + \
    ["4"]
REWRITES = "and, since it could not read the whole set, rewrites all twelve values when it closes"


def parm(value, datatype="string"):
    return lambda name: ("parm", {"name": name, "value": value, "datatype": datatype}, ())


def element(tag, **attributes):
    return lambda name: (tag, dict(attributes, name=name), ())


def answer(changes=None, texts=EXAMPLE_TEXTS, key=None):
    """A device's answer holding texts as strings, but for the changes: name -> a function that makes
    the value's element; key, when given, makes the key's element in place of its characteristic."""
    changes = changes or {}
    values = [changes[name](name) if name in changes else parm(text)(name) for name, text in zip(NAMES, texts)]
    return provisioning_xml.document(provisioning_xml.characteristic(
        "Registry", key or provisioning_xml.characteristic(KEY_PATH, *values)))


def run_report(folder, answers, list_file=EXAMPLE, options=()):
    """Writes each (device, bytes) as DEVICE.xml in folder and runs the report on them (with
    the list file, unless None)."""
    paths = []
    for name, data in answers:
        paths.append(os.path.join(os.fsencode(folder), os.fsencode(name) + b".xml"))
        with open(paths[-1], "wb") as out:
            out.write(data)
    return subprocess.run(REPORT + [list_file] * (list_file is not None) + paths + list(options), capture_output=True,
                          text=True, errors="backslashreplace")


class WholeFiles(unittest.TestCase):
    def test_a_file_is_replaced_whole_with_a_new_files_mode_or_left_as_it_was(self):
        """Every command writes its files so (packaging/whole_files.py)."""
        def failing(partial):
            with open(partial, "wb") as out:
                out.write(b"half")
            raise OSError("no space left on device")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "answer.xml")
            with open(path, "wb") as out:
                out.write(b"earlier")
            for what, write, keep, fresh in (("a failure", failing, bool, False),
                                             ("not kept", lambda partial: 7, lambda status: False, False),
                                             ("a failure of a tool that makes the file", failing, bool, True)):
                with self.subTest(what):
                    try:
                        whole_files.write_with(path, write, keep, fresh)
                    except OSError:
                        pass
                    self.assertEqual((["answer.xml"], b"earlier"), (os.listdir(folder), read_file(path)))

            def refusing_to_overwrite(partial):  # as osslsigncode does
                if os.path.lexists(partial):
                    raise OSError("%s exists" % partial)
                with open(partial, "wb") as out:
                    out.write(b"signed")
                return True
            whole_files.write_with(path, refusing_to_overwrite, fresh=True)
            self.assertEqual((["answer.xml"], b"signed"), (os.listdir(folder), read_file(path)))
            umask = os.umask(0o027)
            try:
                whole_files.write_whole(path, b"new")
            finally:
                os.umask(umask)
            self.assertEqual((b"new", 0o640), (read_file(path), stat.S_IMODE(os.stat(path).st_mode)))


class FleetQuery(unittest.TestCase):
    def test_the_query_asks_for_the_twelve_values_the_same_bytes_each_time(self):
        with tempfile.TemporaryDirectory() as folder:
            written = []
            for run_folder in ("a", "b"):
                result = subprocess.run(QUERY + [os.path.join(folder, run_folder)], capture_output=True, text=True)
                self.assertEqual(0, result.returncode, result.stderr)
                self.assertEqual(["white-list-query.xml"], os.listdir(os.path.join(folder, run_folder)))
                written.append(read_file(os.path.join(folder, run_folder, "white-list-query.xml")))
            self.assertEqual(written[0], written[1])
            root = ElementTree.fromstring(written[0])
            key = root.find("./characteristic[@type='Registry']/characteristic[@type='%s']" % KEY_PATH)
            self.assertEqual([("parm-query", {"name": name}) for name in NAMES],
                             [(child.tag, child.attrib) for child in key])
            self.assertEqual(3, len(list(root.iter())) - len(NAMES))
            # A folder that cannot be made: one line, nothing written.
            result = subprocess.run(QUERY + [os.path.join(folder, "a", "white-list-query.xml", "below")],
                                    capture_output=True, text=True)
            self.assertEqual((1, 1), (result.returncode, len(result.stderr.splitlines())), result.stderr)


MARKER_REMOVAL = [sys.executable, os.path.join(HERE, "..", "packaging", "marker_removal_document.py")]
TRUST_DOCUMENT = [sys.executable, os.path.join(HERE, "..", "packaging", "trust_document.py")]


def write_certificate(path, authority, expired):
    """A self-signed certificate, written as PEM: a CA or not, expired or not."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=1024)
    name = x509.Name([x509.NameAttribute(x509.NameOID.COMMON_NAME, "withdrawn root")])
    now = datetime.datetime.now(datetime.timezone.utc)
    valid = (now - datetime.timedelta(days=30), now - datetime.timedelta(days=1)) if expired else (
        now - datetime.timedelta(days=1), now + datetime.timedelta(days=30))
    certificate = x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key()).serial_number(
        1).not_valid_before(valid[0]).not_valid_after(valid[1]).add_extension(
        x509.BasicConstraints(ca=authority, path_length=None), critical=True).sign(key, hashes.SHA256())
    with open(path, "wb") as out:
        out.write(certificate.public_bytes(serialization.Encoding.PEM))
    return hashlib.sha1(certificate.public_bytes(serialization.Encoding.DER)).hexdigest().upper()


class ChannelDocuments(unittest.TestCase):
    """The documents an administrator sends through the management system before a push and to
    withdraw trust."""

    def test_the_markers_removal_and_the_trusts_withdrawal_remove_exactly_what_they_name(self):
        with tempfile.TemporaryDirectory() as folder:
            written = []
            for run_folder in ("a", "b"):
                result = subprocess.run(MARKER_REMOVAL + [os.path.join(folder, run_folder)], capture_output=True,
                                        text=True)
                self.assertEqual(0, result.returncode, result.stderr)
                written.append(read_file(os.path.join(folder, run_folder, "marker-removal.xml")))
            self.assertEqual(written[0], written[1])
            self.assertEqual(("wap-provisioningdoc", {}, ((
                "characteristic", {"type": "Registry"}, (("characteristic", {"type": "HKLM\\Pellworth\\Patches"}, (
                    ("noparm", {"name": "Fennistry"}, ()),)),)),)), provisioning_xml.read(written[0]))
            # Never the current folder (nor the checkout, the build folder, the home folder, above them).
            result = subprocess.run(MARKER_REMOVAL + ["."], cwd=os.path.join(folder, "a"), capture_output=True, text=True)
            self.assertEqual((1, "marker-removal-document: . is the current folder: marker-removal-document never "
                                 "writes there\n"), (result.returncode, result.stderr))

            # Any self-signed CA can be withdrawn, expired or not one a device could use now; nothing else.
            thumbprint = write_certificate(os.path.join(folder, "old-root.pem"), authority=True, expired=True)
            result = subprocess.run(TRUST_DOCUMENT + ["old-root.pem", "trust", "--remove"], cwd=folder,
                                    capture_output=True, text=True)
            self.assertEqual((0, "wrote trust/old-root-removal.xml\nwrote trust/old-root-removal.cpf\n"),
                             (result.returncode, result.stdout), result.stderr)
            document = read_file(os.path.join(folder, "trust", "old-root-removal.xml"))
            self.assertEqual({"_setup.xml": document}, members(os.path.join(folder, "trust", "old-root-removal.cpf")))
            self.assertEqual(("wap-provisioningdoc", {}, (("characteristic", {"type": "CertificateStore"}, tuple(
                ("characteristic", {"type": store}, (("nocharacteristic", {"type": thumbprint}, ()),))
                for store in ("SPC", "Privileged Execution Trust Authorities"))),)), provisioning_xml.read(document))
            write_certificate(os.path.join(folder, "leaf.pem"), authority=False, expired=False)
            for arguments, code, says in ((["leaf.pem", "trust", "--remove"], 1, "is not a root"),
                                          (["old-root.pem", "trust", "--remove", "--role", "8"], 2,
                                           "--role goes with adding the root"),
                                          (["old-root.pem", "trust", "--role", "0"], 1,
                                           "the role mask must be a sum of security roles, not 0")):
                with self.subTest(arguments):
                    result = subprocess.run(TRUST_DOCUMENT + arguments, cwd=folder, capture_output=True, text=True)
                    self.assertEqual(code, result.returncode, result.stderr)
                    self.assertIn(says, result.stderr)


class FleetReport(unittest.TestCase):
    def test_each_way_a_device_can_differ_is_named_with_what_quillmere_makes_of_it(self):
        binary = base64.b64encode("Dock\0".encode("utf-16-le")).decode("ascii")
        no_key = ("nocharacteristic", {"type": KEY_PATH}, ())
        refused_key = ("characteristic-error", {"type": KEY_PATH, "desc": "access denied"}, ())
        disagrees = 'its count %d disagrees with the %d non-empty entries Quillmere reads: Quillmere shows %d, and ' \
                    'its next save writes "%d"'
        # device, changes to the answer (or the key's element), what the report says of it
        table = [
            ("holds", {}, []),
            ("other-text", {"WhiteListSSID3": parm("Dock")}, ['WhiteListSSID3: "Dock" instead of "Loading Dock"']),
            ("missing-entry", {"WhiteListSSID1": element("noparm")},
             ['WhiteListSSID1: missing instead of "Warehouse-North": Quillmere reads an empty entry, ' + REWRITES,
              disagrees % (4, 3, 4, 3)]),
            ("entry-past-32", {"WhiteListSSID4": parm("x" * 33)},
             ['WhiteListSSID4: "%s" instead of "": 33 characters and the NUL are 68 bytes, more than Quillmere\'s '
              '66-byte buffer: it reads an empty entry, %s' % ("x" * 33, REWRITES)]),
            ("enable-past-its-buffer", {"WhiteListEnable": parm("10")},
             ['WhiteListEnable: "10" instead of "1": 2 characters and the NUL are 6 bytes, more than Quillmere\'s '
              '4-byte buffer: it reads it as off']),
            ("enable-empty", {"WhiteListEnable": parm("")},
             ['WhiteListEnable: "" instead of "1": Quillmere reads it as on']),
            ("enable-off", {"WhiteListEnable": parm("0")}, ['WhiteListEnable: "0" instead of "1"']),
            ("enable-missing", {"WhiteListEnable": element("noparm")},
             ['WhiteListEnable: missing instead of "1": Quillmere reads it as off']),
            ("count-no-number", {"WhiteListCount": parm(" 4")},
             ['WhiteListCount: " 4" instead of "4": Quillmere reads the count as 0', disagrees % (0, 4, 0, 4)]),
            ("count-past-its-buffer", {"WhiteListCount": parm("100")},
             ['WhiteListCount: "100" instead of "4": 3 characters and the NUL are 8 bytes, more than Quillmere\'s '
              '6-byte buffer: it reads the count as 0, ' + REWRITES]),
            ("count-disagrees", {"WhiteListCount": parm("5")},
             ['WhiteListCount: "5" instead of "4"', disagrees % (5, 4, 5, 4)]),
            ("enable-dword", {"WhiteListEnable": parm("1", "integer")},
             ['WhiteListEnable: REG_DWORD 1 instead of "1": Quillmere takes its bytes 01 00 00 00 for the text '
              '"\\x01" and reads it as on']),
            ("enable-dword-48", {"WhiteListEnable": parm("48", "integer")},
             ['WhiteListEnable: REG_DWORD 48 instead of "1": Quillmere takes its bytes 30 00 00 00 for the text "0" '
              'and reads it as off']),
            ("entry-binary", {"WhiteListSSID3": parm(binary, "binary")},
             ['WhiteListSSID3: REG_BINARY 44 00 6f 00 63 00 6b 00 00 00 instead of "Loading Dock": Quillmere takes '
              'its bytes 44 00 6f 00 63 00 6b 00 00 00 for the text "Dock" and reads the entry "Dock"']),
            ("entry-multiple", {"WhiteListSSID3": parm("Dock\uf000\uf000", "multiplestring")},
             ['WhiteListSSID3: REG_MULTI_SZ "Dock\\x00\\x00" instead of "Loading Dock": Quillmere takes its bytes '
              '44 00 6f 00 63 00 6b 00 00 00 00 00 for the text "Dock" and reads the entry "Dock"']),
            ("not-answered", {"WhiteListSSID3": element("parm-query-error", desc="busy")},
             ['WhiteListSSID3: not answered (the device says "busy") instead of "Loading Dock": what Quillmere '
              'makes of it is unknown']),
            ("controls-shown", {"WhiteListSSID2": parm("a\tb\nc")},
             ['WhiteListSSID2: "a\\x09b\\x0ac" instead of "Warehouse-South"']),
            ("nothing-shown",
             {"WhiteListSSID1": parm("Ware\u00adhouse\u200b\u200c\u200d\u2060\u061c\u00a0\u2800-North")},
             ['WhiteListSSID1: "Ware\\xadhouse\\u200b\\u200c\\u200d\\u2060\\u061c\\xa0\\u2800-North" '
              'instead of "Warehouse-North"']),
            ("no-key", no_key, "no key %s: Quillmere shows the list off, count 0 and ten empty entries, and cannot "
                               "write it (it never creates the key)" % KEY_PATH),
            ("key-refused", refused_key, 'none was answered (the device says "access denied")'),
        ]
        with tempfile.TemporaryDirectory() as folder:
            answers = [(device, answer(key=changes) if isinstance(changes, tuple) else answer(changes))
                       for device, changes, _ in table]
            result = run_report(folder, answers)
            self.assertEqual(4, result.returncode, result.stderr)
            expected = []
            for device, _, says in table:
                if isinstance(says, str):
                    expected.append("%s: differs in 12 of the twelve values: %s" % (device, says))
                    continue
                count = sum(1 for line in says if line.startswith("WhiteList"))
                expected.append("%s: %s" % (device, "differs in %d of the twelve values" % count if says else
                                            "holds the list"))
                expected += ["  " + line for line in says]
            expected.append("%d devices: 1 holds the list, %d differ" % (len(table), len(table) - 1))
            self.assertEqual(expected, result.stdout.splitlines())
            self.assertEqual(0, run_report(folder, answers[:1]).returncode)

    @staticmethod
    def shaped(characters, text, nul, stray):
        """A value's bytes as a shape of the byte-limit table (shared with the store's tests) gives them."""
        limit = len(characters) - 1
        texts = {"below": characters[:limit - 1], "at": characters[:limit], "past": characters}
        if text == "first-then-more":
            return (characters[:1] + "\0" + characters[1:limit]).encode("utf-16-le")
        return (texts[text] + ("\0" if nul else "")).encode("utf-16-le") + b"\x55" * stray

    def test_each_value_is_read_within_quillmeres_byte_limit_only(self):
        rows = [line.split(" | ") for line in read_file(os.path.join(HERE, "cases", "byte_limits.txt")).decode()
                .splitlines() if line and not line.startswith("#")]
        values, shapes = [row for row in rows if row[0] == "value"], [row for row in rows if row[0] == "shape"]
        texts = ["1"] + [""] * 10 + ["0"]  # the list: enable = on, no entries
        answers, expected = [], {}
        for _, name, characters in values:
            limit = len(characters) - 1
            for number, (_, _, text, nul, stray, read) in enumerate(shapes):
                data = self.shaped(characters, text, nul == "nul", int(stray))
                device = "%s-%d" % (name, number)
                answers.append((device, answer({name: parm(base64.b64encode(data).decode(), "binary")}, texts)))
                shown = {"below": characters[:limit - 1], "at": characters[:limit],
                         "first": characters[:1]}.get(read, "")
                reads = ("off" if read == "fails" else "on") if name == "WhiteListEnable" else \
                    (shown if shown in ("1", "10") else "0") if name == "WhiteListCount" else shown
                expected[device] = (reads, "yes" if read == "fails" and name != "WhiteListEnable" else "no")
        with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryDirectory() as lists:
            list_file = os.path.join(lists, "on.whitelist")
            with open(list_file, "w") as out:
                out.write("enable = on\n")
            result = run_report(folder, answers, list_file, ["--csv", os.path.join(lists, "fleet.csv")])
            self.assertEqual(4, result.returncode, result.stderr)
            with open(os.path.join(lists, "fleet.csv"), newline="", encoding="utf-8") as source:
                rows = list(csv.reader(source))
        found = {row[0]: (row[5], row[6]) for row in rows[1:] if row[0].startswith(row[1] + "-")}
        self.assertEqual(expected, found)

    def test_answers_that_are_not_the_whole_answer_for_the_key_are_refused(self):
        good = answer()
        with tempfile.TemporaryDirectory() as folder:
            query = subprocess.run(QUERY + [folder], capture_output=True)
            query_document = read_file(os.path.join(folder, "white-list-query.xml"))
        other_provider = good.replace(b"</wap-provisioningdoc>",
                                      b'<characteristic type="Clock" /></wap-provisioningdoc>')
        registry_twice = good.replace(b"<wap-provisioningdoc>\r\n", b"<wap-provisioningdoc>" + good[21:-24])
        count = b'      <parm name="WhiteListCount" value="4" datatype="string" />\r\n'
        self.assertEqual(0, query.returncode)
        cases = [
            ("not UTF-8", good.replace(b"Loading Dock", b"Loading D\xf6ck"), "not UTF-8"),
            ("truncated", good[:len(good) // 2], "not a whole, well-formed XML document"),
            ("an entity", b'<!DOCTYPE wap-provisioningdoc [<!ENTITY d "Loading Dock">]>' +
             good.replace(b"Loading Dock", b"&d;"), "DOCTYPE"),
            ("text", good.replace(b"<parm", b"x<parm", 1), "text between elements"),
            ("CDATA", good.replace(b"<parm", b"<![CDATA[ ]]><parm", 1), "CDATA"),
            ("another encoding", b'<?xml version="1.0" encoding="ISO-8859-1"?>' + good, "says it is ISO-8859-1"),
            ("nested deep", b"<wap-provisioningdoc>" + b"<c>" * 2000 + b"</c>" * 2000 + b"</wap-provisioningdoc>",
             "nested deeper"),
            ("not a provisioning document", b"<answer />", "not a provisioning document"),
            ("another provider", other_provider, "not a Registry answer: it holds <characteristic type=\"Clock\">"),
            ("another key", good.replace(b"TIWLNAPI1", b"TIWLNAPI2"),
             'answers for the key "HKLM\\\\COMM\\\\TIWLNAPI2\\\\PARMS"'),
            # The answer's texts escaped: no line forged, no text turned around.
            ("a key forging a line", good.replace(b"TIWLNAPI1\\PARMS", b"&#10;ok: holds the list&#10;\xe2\x80\xae"),
             'answers for the key "HKLM\\\\COMM\\\\\\x0aok: holds the list\\x0a\\u202e"'),
            ("a name forging a line", good.replace(b'"WhiteListCount"', b'"x&#10;ok\xe2\x80\xae"'),
             '"x\\x0aok\\u202e", which the query does not ask for'),
            ("an integer forging a line", answer({"WhiteListCount": parm("4\n\u202e", "integer")}),
             'the integer "4\\x0a\\u202e", which is no 32-bit number'),
            ("the key twice", registry_twice, "answers for the key %s twice" % KEY_PATH),
            ("the key in two answers", answer(key=("nocharacteristic", {"type": KEY_PATH}, ())).replace(
                b"  </characteristic>", good[good.index(b"    <characteristic type=\"HKLM"):good.rindex(b"  </char")] +
                b"  </characteristic>"), "twice"),
            ("no answer for the key", answer(key=("parm", {"name": "x", "value": "y"}, ())),
             "Registry characteristic holds"),
            ("a value twice", good.replace(count, count * 2), "answers for WhiteListCount twice"),
            ("a value cut off", good.replace(count, b""), "holds no answer for WhiteListCount"),
            ("a value not asked for", good.replace(count, count.replace(b"WhiteListCount", b"WhiteListSSID11") + count),
             "WhiteListSSID11, which the query does not ask for"),
            ("the query itself", query_document, "it is a query, not a device's answer"),
            ("another element", good.replace(b"<parm name=\"WhiteListCount\"", b"<parmx name=\"WhiteListCount\""),
             "which no answer to the query holds"),
            ("float", answer({"WhiteListCount": parm("4", "float")}), 'the datatype "float"'),
            ("no value", answer({"WhiteListCount": element("parm", datatype="string")}), "no value"),
            ("no integer", answer({"WhiteListCount": parm("4294967296", "integer")}), "no 32-bit number"),
            ("no base64", answer({"WhiteListCount": parm("AQBA!", "binary")}), "not base64"),
        ]
        with tempfile.TemporaryDirectory() as folder:
            report = os.path.join(folder, "fleet.csv")
            with open(report, "w") as out:
                out.write("earlier\n")
            os.mkdir(os.path.join(folder, "unreadable.xml"))
            result = subprocess.run(REPORT + [EXAMPLE, os.path.join(folder, "unreadable.xml")], capture_output=True,
                                    text=True)
            self.assertEqual(1, result.returncode)
            self.assertIn("unreadable.xml: cannot be read: it is a folder, not a regular file", result.stderr)
            fleet = os.path.join(folder, "fleet")
            with open(fleet, "w") as out:
                out.write("dock-* example.whitelist\n")
            # The one list given as the first file: the way out when it is plainly an answer or a fleet file.
            for list_file, says in ((os.path.join(folder, "none.whitelist"), "none.whitelist: cannot be read"),
                                    (report, "fleet.csv:1: expected 'key = value'\n"),
                                    (os.path.join(folder, "good.xml"), "good.xml:1: expected 'key = value': it is an "
                                     "XML document, not a list file (an answer?): the list file comes first, then the "
                                     "answers"),
                                    (fleet, "fleet:1: expected 'key = value': it looks like a fleet file: give a "
                                     "fleet file with --fleet FLEET_FILE")):
                result = run_report(folder, [("good", good)], list_file)
                self.assertEqual((1, "", 1), (result.returncode, result.stdout, len(result.stderr.splitlines())))
                self.assertIn(says, result.stderr)
            for what, data, reason in cases:
                with self.subTest(what):
                    result = run_report(folder, [("good", good), ("bad", data)], options=["--csv", report])
                    self.assertEqual((1, ""), (result.returncode, result.stdout), result.stderr)
                    self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                    self.assertIn(os.path.join(folder, "bad.xml") + ": refused: ", result.stderr)
                    self.assertIn(reason, result.stderr)
                    self.assertEqual(b"earlier\n", read_file(report))

    def test_a_fleet_file_that_cannot_be_followed_is_refused_with_its_line(self):
        """Each refusal: one line naming the fleet file and its line, exit 1, no report, no CSV. A
        line that can never match is refused where that can be told; a pattern no answer matched is
        reported."""
        cases = [(b"", "fleet: names no device"),
                 (b"# only a comment\n", "fleet: names no device"),
                 (b"dock-07\n", "fleet:1: expected a device's name or a pattern, blanks, and its list file"),
                 (b"dock 07 example.whitelist\n", "fleet:1: expected a device's name"),
                 (b"dock-0? example.whitelist\r\ndock-0? other.whitelist\r\n",
                  "fleet:2: every device dock-0? matches is matched by line 1 (dock-0?) already"),
                 (b"# pilot after everyone\n* example.whitelist\ndock-07 pilot.whitelist\n",
                  "fleet:3: dock-07 is matched by line 2 (*) already, and the first line that matches wins: put "
                  "this line before it"),
                 (b"dock-0? example.whitelist\ndock-07 pilot.whitelist\n",
                  "fleet:2: dock-07 is matched by line 1 (dock-0?) already"),
                 (b"* example.whitelist\npilot-* pilot.whitelist\n",
                  "fleet:2: every device pilot-* matches is matched by line 1 (*) already"),
                 (b"dock-\xff example.whitelist\n", "fleet:1: not valid UTF-8"),
                 (b"x" * 256 + b" example.whitelist\n", "fleet:1: a device's name or pattern longer than 255"),
                 (b"".join(b"dock-%05d example.whitelist\n" % n for n in range(10001)),
                  "fleet:10001: more than 10000 lines name devices"),
                 (b"".join(b"dock-%03d? example.whitelist\n" % n for n in range(101)),
                  "fleet:101: more than 100 patterns other than NAME*"),
                 (b"* fleet\n", "fleet:1: %s:1: expected 'key = value'")]
        with tempfile.TemporaryDirectory() as folder:
            answer_path = os.path.join(folder, "dock-07.xml")
            hostile_path = os.path.join(folder, "dev\x1b[31mRED\nx.xml")
            for path in (answer_path, hostile_path):
                with open(path, "wb") as out:
                    out.write(answer())
            good = b"dock-0[0-9] example.whitelist\n"
            unmatched = good + b"pilot-0? x.whitelist\n"
            # Each case in a folder of its own, beside its list: the fleet file, and the CSV it must not write.
            # Then a good fleet file given as the CSV, its list given so, the good one, one with a
            # pattern that matches no answer, and an answer no line matches whose path and name
            # would break the line.
            extra = [(good, "fleet"), (good, "example.whitelist"), (good, None), (unmatched, None),
                     (good, hostile_path)]
            runs = []
            for number, (data, csv_name) in enumerate([(data, None) for data, _ in cases] + extra):
                place = os.path.join(folder, str(number))
                os.mkdir(place)
                fleet, report = os.path.join(place, "fleet"), os.path.join(place, "fleet.csv")
                shutil.copy(EXAMPLE, place)
                shutil.copy(EXAMPLE, os.path.join(place, "x.whitelist"))
                for path, written in ((fleet, data), (report, b"earlier\n")):
                    with open(path, "wb") as out:
                        out.write(written)
                answers = [answer_path] if csv_name != hostile_path else [answer_path, hostile_path]
                csv_path = report if csv_name in (None, hostile_path) else os.path.join(place, csv_name)
                runs.append(REPORT + ["--fleet", fleet] + answers + ["--csv", csv_path])
            results = run_together(runs)
            for number, ((data, says), result) in enumerate(zip(cases, results)):
                with self.subTest(data[:80]):
                    fleet = os.path.join(folder, str(number), "fleet")
                    self.assertEqual((1, ""), (result.returncode, result.stdout))
                    self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                    self.assertIn("white-list-report: " + os.path.join(folder, str(number), says.replace("%s", fleet)),
                                  result.stderr)
                    self.assertEqual(b"earlier\n", read_file(os.path.join(folder, str(number), "fleet.csv")))
            results = results[len(cases):]
            for result, says in zip(results, ("is the fleet file, an input", "is a list of the fleet, an input")):
                self.assertEqual((1, ""), (result.returncode, result.stdout))
                self.assertIn(says, result.stderr)
            self.assertEqual(good, read_file(os.path.join(folder, str(len(cases)), "fleet")))
            holds = ["dock-07: holds example.whitelist", "example.whitelist: 1 device: 1 holds it, 0 differ"]
            self.assertEqual((0, holds + ["1 device: 1 holds its list, 0 differ"]),
                             (results[2].returncode, results[2].stdout.splitlines()), results[2].stderr)
            self.assertEqual((4, holds + ["x.whitelist: 0 devices; no answer matched: pilot-0? (line 2)",
                                          "1 device: 1 holds its list, 0 differ; 1 pattern of the fleet file matched "
                                          "no answer"]),
                             (results[3].returncode, results[3].stdout.splitlines()), results[3].stderr)
            shown_path = hostile_path.replace("\x1b", "\\x1b").replace("\n", "\\x0a")
            fleet = os.path.join(folder, str(len(cases) + 4), "fleet")
            self.assertEqual((1, "", 'white-list-report: "%s": no line of %s matches the device '
                                     '"dev\\x1b[31mRED\\x0ax"\n' % (shown_path, fleet)),
                             (results[4].returncode, results[4].stdout, results[4].stderr))

    def test_the_csv_has_a_row_for_each_difference_and_no_cell_a_spreadsheet_would_run(self):
        """Read with ',' or ';' between cells; never written over an input; any value written."""
        names = ["=cmd|' -C calc'!A0", "+1", "-1", "@SUM(A1)", "\ttab", "\rreturn", "a,b\nc", b"bytes-\xff",
                 "dock-07;=2+3;", "dock-08;\rreturn"]
        shown_names = ["'=cmd|' -C calc'!A0", "'+1", "'-1", "'@SUM(A1)", "'\ttab", "'\rreturn", "a,b\nc",
                       "bytes-\\xff", "dock-07;'=2+3;", "dock-08;'\rreturn", "lone"]
        lone_surrogate = base64.b64encode(b"\x00\xd8\x00\x00").decode()
        with tempfile.TemporaryDirectory() as folder, tempfile.TemporaryDirectory() as lists:
            list_file = os.path.join(lists, "formula.whitelist")
            with open(list_file, "w") as out:
                out.write("enable = on\nssid1 = =1+2\n")
            texts = ["1", "-5", "x;=1+1;"] + [""] * 8 + ["1"]
            answers = [(name, answer(texts=texts)) for name in names]
            answers.append(("lone", answer({"WhiteListSSID3": parm(lone_surrogate, "binary")}, texts)))
            report = os.path.join(lists, "fleet.csv")
            result = run_report(folder, answers, list_file, ["--csv", report])
            self.assertEqual(4, result.returncode, result.stderr)
            self.assertIn('"a,b\\x0ac": differs in 2 of the twelve values', result.stdout.splitlines())
            self.assertIn('  WhiteListSSID3: REG_BINARY 00 d8 00 00 instead of "": Quillmere takes its bytes '
                          '00 d8 00 00 for the text "\\ud800" and reads the entry "\\ud800"', result.stdout.splitlines())
            self.assertEqual(["fleet.csv", "formula.whitelist"], sorted(os.listdir(lists)))
            with open(report, newline="", encoding="utf-8") as source:
                text = source.read()
            rows = list(csv.reader(io.StringIO(text)))
            inputs = {path: read_file(path) for path in [list_file, os.path.join(folder, "+1.xml")]}
            os.link(list_file, os.path.join(lists, "linked.csv"))
            for csv_path, says in ((os.path.join(folder, "+1.xml"), "is the answer of +1, an input"),
                                   (os.path.join(lists, "linked.csv"), "is the list, an input")):
                result = run_report(folder, answers, list_file, ["--csv", csv_path])
                self.assertEqual((1, ""), (result.returncode, result.stdout), result.stderr)
                self.assertIn(says, result.stderr)
                self.assertEqual(inputs, {path: read_file(path) for path in inputs})
            result = run_report(folder, answers[:1], list_file, ["--csv", os.path.join(folder, "none", "fleet.csv")])
            self.assertEqual((1, "", 1), (result.returncode, result.stdout, len(result.stderr.splitlines())))
            self.assertIn("fleet.csv: cannot be written", result.stderr)
            result = run_report(folder, [("x", answer()), ("y", answer())], list_file,
                                ["--answer", "x", os.path.join(folder, "y.xml")])
            self.assertEqual(2, result.returncode)
            self.assertIn("two answers are for the device x", result.stderr)
        self.assertEqual(2 * len(names) + 3 + 1, len(rows))
        for separator, opening in ((",", " "), (";", ' "')):  # a quote opens a part of a cell after ';'
            for row in csv.reader(io.StringIO(text), delimiter=separator):
                for value in row:
                    self.assertFalse(value.lstrip(opening).startswith(("=", "+", "-", "@", "\t", "\r")),
                                     (separator, row))
        self.assertEqual(shown_names, list(dict.fromkeys(row[0] for row in rows[1:])))
        self.assertEqual(["WhiteListSSID1", "REG_SZ", "'-5", "'=1+2", "'-5", "no"], rows[1][1:7])
        self.assertEqual(["WhiteListSSID2", "REG_SZ", "x;'=1+1;", "", "x;'=1+1;", "no"], rows[2][1:7])
        self.assertEqual(["lone", "WhiteListSSID3", "REG_BINARY", "00 d8 00 00", "", "\\ud800", "no"], rows[-1][:7])


def command(name):
    """A command of the kit as an administrator types it."""
    for folder in ("packaging", "emulated_device"):
        if os.path.exists(os.path.join(HERE, "..", folder, name)):
            return os.path.join(HERE, "..", folder, name)
    raise AssertionError(name)


COMMANDS = ["white-list-package", "white-list-query", "white-list-report", "sign-kit", "trust-document",
            "marker-removal-document", "send-document", "wait-for-form", "install-quillmere", "run-program", "security"]


def run_together(commands, closed=False, full=False, **options):
    """Runs the commands side by side; their results, in order. closed: their output is one
    nobody reads (as `| head` leaves it once it has its lines); full: one that takes nothing (a
    full disk)."""
    read, write = os.pipe()
    os.close(read)
    if full:
        os.close(write)
        write = os.open("/dev/full", os.O_WRONLY)
    try:
        processes = [subprocess.Popen(arguments, stdout=write if closed or full else subprocess.PIPE,
                                      stderr=subprocess.PIPE, text=True, **options) for arguments in commands]
    finally:
        os.close(write)
    results = []
    try:
        for arguments, process in zip(commands, processes):
            stdout, stderr = process.communicate(timeout=60)
            results.append(subprocess.CompletedProcess(arguments, process.returncode, stdout, stderr))
    finally:
        for process in processes:
            if process.poll() is None:
                process.kill()
                process.wait()
    return results


class Commands(unittest.TestCase):
    def test_usage_and_errors_name_the_command_as_typed_and_a_closed_output_ends_nothing_early(self):
        with tempfile.TemporaryDirectory() as folder:
            answer_path = os.path.join(folder, "dock.xml")
            with open(answer_path, "wb") as out:
                out.write(answer())
            failing = [[name, "--no-such-option"] for name in COMMANDS]
            failing += [["white-list-report", EXAMPLE],
                        ["white-list-package", EXAMPLE, os.path.join(folder, "signed"), "--certificate",
                         os.path.join(folder, "none.pem"), "--key", os.path.join(folder, "none.key")],
                        ["white-list-report", os.path.join(folder, "none"), answer_path],
                        ["white-list-report", EXAMPLE, answer_path, "--csv", os.path.join(folder, "none", "x.csv")]]
            results = run_together([[command(name)] + arguments for name, *arguments in failing])
            for (name, *arguments), result in zip(failing, results):
                with self.subTest(command=[name] + arguments):
                    self.assertIn(result.returncode, (1, 2))
                    self.assertNotIn(".py", result.stderr)
                    for line in result.stderr.splitlines():
                        self.assertTrue(line.startswith(("usage: %s " % name, " ", "%s: " % name)) and
                                        not line.startswith("%s: error:" % name), result.stderr)
                    self.assertTrue(result.stderr.splitlines()[-1].startswith(name + ": "), result.stderr)
            self.assertEqual("white-list-package: %s cannot be read: No such file or directory\n" % os.path.join(
                folder, "none.pem"), results[len(COMMANDS) + 1].stderr)  # the file at fault, not the list
            package, query = os.path.join(folder, "package"), os.path.join(folder, "query")
            closed = [["white-list-package", EXAMPLE, package], ["white-list-query", query],
                      ["white-list-report", EXAMPLE, answer_path]] + [[name, "--help"] for name in COMMANDS]
            results = run_together([[command(name)] + arguments for name, *arguments in closed], closed=True)
            self.assertEqual([(0, "")] * len(closed), [(result.returncode, result.stderr) for result in results])
            self.assertEqual((["example.cab", "example.cpf", "example.inf", "example.xml"], ["white-list-query.xml"]),
                             (sorted(set(os.listdir(package)) - {MARKER}), os.listdir(query)))
            # An output that takes nothing: the work done all the same, one line, exit code 1.
            shutil.rmtree(package)
            shutil.rmtree(query)
            results = run_together([[command(name)] + arguments for name, *arguments in closed[:3]], full=True)
            self.assertEqual([(1, "%s: the output cannot be written (No space left on device): the rest of it is "
                                  "dropped\n" % name) for name, *_ in closed[:3]],
                             [(result.returncode, result.stderr) for result in results])
            self.assertEqual((["example.cab", "example.cpf", "example.inf", "example.xml"], ["white-list-query.xml"]),
                             (sorted(set(os.listdir(package)) - {MARKER}), os.listdir(query)))
        signing = subprocess.run([command("sign-kit"), "--help"], capture_output=True, text=True).stdout
        self.assertIn("\nthe signing certificate (required: --certificate and --key, or --pkcs12):\n", signing)
        self.assertIn("usage: sign-kit OUTPUT_FOLDER (--certificate CERT.pem --key KEY.pem | --pkcs12 FILE.p12",
                      signing)
        self.assertNotIn("optional", signing)

    def test_no_command_writes_a_file_into_a_guarded_folder_or_one_above_it(self):
        """The current folder stands for them all (output_folders.py): below it is fine. Nor over
        what is not a regular file, over an input, or through a name Wine would read otherwise."""
        guarded = " writes no file there nor in a folder above it; give a folder below it"
        with tempfile.TemporaryDirectory() as above:
            folder = os.path.join(above, "here")
            below = os.path.join(folder, "below")
            os.makedirs(os.path.join(below, "query"))
            with open(os.path.join(below, "dock.xml"), "wb") as out:
                out.write(answer())
            os.mkfifo(os.path.join(below, "fifo"))
            with open(os.path.join(below, "kit.cab"), "wb") as out:
                out.write(b"MSCF" + bytes(60))
            os.symlink("/proc/self/fd/1", os.path.join(below, "stdout"))
            os.symlink("../stdout", os.path.join(below, "query", "white-list-query.xml"))
            os.makedirs(os.path.join(below, "marker"))
            os.symlink("../stdout", os.path.join(below, "marker", "marker-removal.xml"))
            before = tree(above)
            device_root = os.path.join(below, "dock.xml", "devices")  # no device starts below a file
            refused = [(["white-list-query", "."], 1, guarded), (["white-list-query", ".."], 1, guarded),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "fleet.csv"], 1, guarded),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "../fleet.csv"], 1, guarded),
                       (["send-document", "below/dock.xml", "answer.xml"], 2, guarded),
                       (["wait-for-form", "--screenshot", "shot.png", "--timeout", "1"], 2, guarded),
                       (["white-list-query", "below/query"], 1,
                        "below/query/white-list-query.xml is a symbolic link, not a regular file"),
                       (["marker-removal-document", "below/marker"], 1,
                        "below/marker/marker-removal.xml is a symbolic link, not a regular file"),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "below/stdout"], 1,
                        "below/stdout is a symbolic link, not a regular file"),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "below/fifo"], 1,
                        "below/fifo is a FIFO, not a regular file"),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "below/.."], 1,
                        "below/.. is a folder: give a file's name"),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "below"], 1,
                        "below is a folder: give a file's name"),
                       (["white-list-query", "below/dock.xml"], 1, "below/dock.xml is not a folder: give the folder"),
                       (["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "below/dock.xml/fleet.csv"], 1,
                        "below/dock.xml is not a folder: fleet.csv cannot be written into it"),
                       (["send-document", "below/dock.xml", "below/stdout"], 2, "below/stdout is a symbolic link"),
                       (["send-document", "below/dock.xml", "below/./dock.xml"], 2,
                        "below/./dock.xml: is the document sent, an input: give the answer a file of its own"),
                       (["send-document", "below/fifo", "below/answer.xml"], 4,
                        "below/fifo: cannot be read: it is a FIFO, not a regular file; nothing sent"),
                       (["send-document", "below/none.xml", "below/answer.xml"], 4,
                        "below/none.xml: cannot be read: No such file or directory; nothing sent"),
                       (["send-document", "below/kit.cab", "below/answer.xml"], 4,
                        "below/kit.cab: it is a cabinet (a .cab or .cpf), which emulated_device/install-quillmere "
                        "--package installs; send-document sends a provisioning document (NAME.xml); nothing sent"),
                       (["send-document", "below/dock.xml", "/proc/self/answer.xml"], 4,
                        "/proc/self/answer.xml: cannot be written: No such file or directory; nothing sent"),
                       (["wait-for-form", "--screenshot", "below/fifo", "--timeout", "1"], 2,
                        "below/fifo is a FIFO, not a regular file"),
                       (["wait-for-form", "--screenshot", "below", "--timeout", "1"], 2,
                        "below is a folder: give a file's name")]
            results = run_together([[command(name)] + arguments for (name, *arguments), _, _ in refused], cwd=folder,
                                   env=dict(os.environ, DEVICE_ROOT=device_root))
            for ((name, *arguments), status, says), result in zip(refused, results):
                with self.subTest(command=[name] + arguments):
                    self.assertEqual((status, ""), (result.returncode, result.stdout), result.stderr)
                    lines = result.stderr.splitlines()
                    self.assertEqual([lines[-1]], [line for line in lines if not line.startswith(("usage: ", " "))])
                    self.assertTrue(lines[-1].startswith(name + ": "), result.stderr)
                    self.assertIn(says, lines[-1])
            self.assertEqual(before, tree(above))
            long_name = "below/" + "x" * 251 + ".csv"  # as long as a name may be: its partial file fits too
            for name, *arguments in (["white-list-query", "below"],
                                     ["white-list-report", EXAMPLE, "below/dock.xml", "--csv", "below/fleet.csv"],
                                     ["white-list-report", EXAMPLE, "below/dock.xml", "--csv", long_name]):
                result = subprocess.run([command(name)] + arguments, capture_output=True, text=True, cwd=folder)
                self.assertEqual(0, result.returncode, result.stderr)
            self.assertEqual(["dock.xml", "fifo", "fleet.csv", "kit.cab", "marker", "query", "stdout", "white-list-query.xml",
                              "x" * 251 + ".csv"], sorted(os.listdir(below)))


def tree(path):
    """A folder's whole state: each entry's path and kind, each file's bytes, each link's target."""
    state = {}
    for where, folders, files in os.walk(path):
        for name in folders + files:
            entry = os.path.join(where, name)
            mode = os.lstat(entry).st_mode
            state[entry] = (stat.S_IFMT(mode), os.readlink(entry) if stat.S_ISLNK(mode) else
                            read_file(entry) if stat.S_ISREG(mode) else None)
    return state


if __name__ == "__main__":
    sys.exit(unittest.main())
