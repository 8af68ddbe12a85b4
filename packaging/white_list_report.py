#!/usr/bin/python3
"""Tells which devices hold a white list, from their answers to the white-list query: for each
device, whether each of the twelve values is exactly what the list's package writes (the text,
as REG_SZ), and for each value that differs, what it holds and what Quillmere makes of it.

    white-list-report LIST_FILE [ANSWER ...] [--answer NAME ANSWER ...] [--csv FILE]
    white-list-report --fleet FLEET_FILE [ANSWER ...] [--answer NAME ANSWER ...] [--csv FILE]

An ANSWER is one device's answer to packaging/white-list-query's document; the device's name is
the file's name without its extension, unless given with --answer. --csv also writes one row per
device and value that differs, for a spreadsheet or the management system; it is written in
place only once complete, never over an input, and no part of a cell that a spreadsheet reading
it with ',' or ';' between cells would take for a formula (beginning with =, +, -, @, a tab or a
carriage return) goes without a ' before it.

A fleet file says which list each device should hold: one line a group, a device's name or a
shell-style pattern (*, ?, [...]), blanks, and the list file (relative to the fleet file); lines
starting with # are comments. The first line that matches a device's name wins, so a pilot group
stands before a catch-all. Each device is reported against its own list, then each list with
how many devices hold it and differ, and the devices named exactly that did not answer; the CSV
gains a list column.

Exit codes: 0 every device holds its list (and every device named exactly in the fleet file
answered); 4 some device does not (or did not answer); 1 a list, the fleet file or an answer
cannot be read, an answer no line of the fleet file matches, or the CSV cannot be written (one
line naming the file and why; no report, no CSV); 2 bad arguments. An answer that is not a
device's Registry answer to the query for the key, is incomplete, or holds the key or a value
twice is refused, never read as holding nothing."""
import csv
import fnmatch
import io
import os
import re
import sys
import unicodedata

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import command_line  # noqa: E402
import output_folders  # noqa: E402
import provisioning_xml as xml  # noqa: E402
import white_list_package as package  # noqa: E402
import whole_files  # noqa: E402

KEY = "%s\\%s" % (package.ROOT, package.KEY)
ENABLE, COUNT = "WhiteListEnable", "WhiteListCount"
# Quillmere's buffers, in characters before the NUL: a value that does not fit fails to read.
MAX_CHARS = {ENABLE: 1, COUNT: 2}
SSID_MAX_CHARS = 32
REWRITES = "and, since it could not read the whole set, rewrites all twelve values when it closes"
TYPE_NAMES = {"string": "REG_SZ", "integer": "REG_DWORD", "multiplestring": "REG_MULTI_SZ", "binary": "REG_BINARY"}
COMMAND = "white-list-report"
MAX_FLEET_BYTES = 1 << 20
CSV_COLUMNS = ["device", "value", "stored type", "stored", "expected", "Quillmere reads",
               "Quillmere rewrites the set at close", "difference"]


class Refused(Exception):
    pass


# Characters that break a line, show nothing, look like a blank or turn the text around them:
# Unicode's controls, format characters (U+200B, U+2060, U+061C, U+00AD, the joiners, the
# direction marks), line and paragraph separators, blanks other than the space, surrogates,
# private-use and unassigned characters, and the default-ignorable characters of other
# categories (Unicode's DerivedCoreProperties.txt, Default_Ignorable_Code_Point: the combining
# grapheme joiner, the Hangul fillers, Khmer's inherent vowels, the variation selectors).
HIDDEN_CATEGORIES = {"Cc", "Cf", "Zl", "Zp", "Zs", "Cs", "Co", "Cn"}
IGNORABLE = {0x034F, 0x115F, 0x1160, 0x17B4, 0x17B5, *range(0x180B, 0x1810), 0x3164, *range(0xFE00, 0xFE10), 0xFFA0,
             *range(0xE0100, 0xE01F0)}


def escaped(character):
    code = ord(character)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code


def shown(text):
    """A text between double quotes, every character that could hide, reorder or break a line
    escaped."""
    out = []
    for character in text:
        if character in '"\\':
            out.append("\\" + character)
        elif character != " " and (unicodedata.category(character) in HIDDEN_CATEGORIES or
                                   ord(character) in IGNORABLE):
            out.append(escaped(character))
        else:
            out.append(character)
    return '"%s"' % "".join(out)


def read_stored_text(data, max_chars):
    """What Quillmere's read of a value into a buffer of max_chars characters and a NUL gives: the
    text, or None when the read fails. It fails for a missing value and for one larger than the
    buffer; the text ends at the first NUL, and a value without one is read whole only when its
    characters fit max_chars; an odd last byte is ignored. The stored type is never looked at."""
    if data is None or len(data) > (max_chars + 1) * 2:
        return None
    units = data[:len(data) // 2 * 2]
    for at in range(0, len(units), 2):
        if units[at:at + 2] == b"\0\0":
            units = units[:at]
            break
    else:
        if len(units) // 2 > max_chars:
            return None
    return units.decode("utf-16-le", "surrogatepass")


class Reading:
    """What Quillmere makes of one stored value: its value as the form takes it (value), whether
    the read failed, which makes Quillmere rewrite the set at close (fails), and the words that
    say so after a difference (note)."""

    def __init__(self, name, stored):
        self.name = name
        data = stored.data if stored.kind == "value" else None
        limit = MAX_CHARS.get(name, SSID_MAX_CHARS)
        text = read_stored_text(data, limit)
        self.fails = text is None
        if name == ENABLE:
            self.value = "off" if text is None or text == "0" else "on"
        elif name == COUNT:
            self.value = int(text) if text in [str(number) for number in range(11)] else 0
        else:
            self.value = "" if text is None else text
        self.note = self.why(stored, text, limit)

    def reads(self):
        """What Quillmere reads, after the word "reads"."""
        if self.name == ENABLE:
            return "it as " + self.value
        if self.name == COUNT:
            return "the count as %d" % self.value
        return "the entry " + shown(self.value) if self.value else "an empty entry"

    def why(self, stored, text, limit):
        rewrites = ", " + REWRITES if self.fails and self.name != ENABLE else ""
        if stored.kind != "value":
            return "Quillmere reads %s%s" % (self.reads(), rewrites) if stored.kind == "missing" else ""
        if self.fails:
            buffer = (limit + 1) * 2
            if len(stored.data) > buffer:
                size = ("%d characters and the NUL are %d bytes" % (len(stored.data) // 2 - 1, len(stored.data))
                        if stored.datatype == "string" else "its %d bytes are" % len(stored.data))
                return "%s, more than Quillmere's %d-byte buffer: it reads %s%s" % (size, buffer, self.reads(),
                                                                                    rewrites)
            return "its %d characters without a NUL are more than the %d that Quillmere keeps: it reads %s%s" % (
                len(stored.data) // 2, limit, self.reads(), rewrites)
        if stored.datatype != "string":
            return "Quillmere takes its bytes %s for the text %s and reads %s" % (
                stored.data.hex(" ") or "(none)", shown(text), self.reads())
        if (self.name == ENABLE and text not in ("0", "1")) or (self.name == COUNT and text != str(self.value)):
            return "Quillmere reads " + self.reads()
        return ""


def stored_text_of(stored):
    """How a stored value is written in the report."""
    if stored.kind == "missing":
        return "missing"
    if stored.kind == "unanswered":
        return "not answered (the device says %s)" % shown(stored.why)
    if stored.datatype == "string":
        return shown(stored.text)
    if stored.datatype == "integer":
        return "REG_DWORD %s" % stored.text
    if stored.datatype == "multiplestring":
        return "REG_MULTI_SZ %s" % shown(stored.data.decode("utf-16-le", "surrogatepass"))
    return "REG_BINARY %s" % (stored.data.hex(" ") or "(empty)")


class Device:
    """One device's answer held against its list (in a fleet's report, the list's name as shown
    and its FleetLine key): its differences, each (name, stored, Reading, line), and the lines
    that say more about the whole device."""

    def __init__(self, name, answer, expected, list_name=None, list_key=None):
        self.name, self.differences, self.notes = name, [], []
        self.expected, self.list_name, self.list_key = expected, list_name, list_key
        self.no_key = all(stored.kind == "no key" for stored in answer.values())
        if self.no_key:
            self.notes.append("no key %s: Quillmere shows the list off, count 0 and ten empty entries, and cannot "
                              "write it (it never creates the key)" % KEY)
        readings = {name: Reading(name, stored) for name, stored in answer.items()}
        for name, text in expected:
            stored, reading = answer[name], readings[name]
            if stored.kind == "value" and stored.datatype == "string" and stored.text == text:
                continue
            if self.no_key:
                line = "missing (no key) instead of %s" % shown(text)
            elif stored.kind == "unanswered":
                line = "%s instead of %s: what Quillmere makes of it is unknown" % (stored_text_of(stored), shown(text))
            else:
                line = "%s instead of %s" % (stored_text_of(stored), shown(text))
                line += ": " + reading.note if reading.note else ""
            self.differences.append((name, stored, reading, line))
        entries = sum(1 for name in package.VALUE_NAMES[1:11] if readings[name].value)
        count = readings[COUNT]
        known = all(stored.kind in ("value", "missing") for stored in answer.values())
        if known and not count.fails and count.value != entries:
            self.notes.append("its count %d disagrees with the %d non-empty entries Quillmere reads: Quillmere shows "
                              "%d, and its next save writes \"%d\"" % (count.value, entries, count.value, entries))

    def lines(self):
        if not self.differences:
            return ["%s: holds %s" % (printable(self.name), "the list" if self.list_name is None else self.list_name)]
        head = "%s: differs %sin %d of the twelve values" % (
            printable(self.name), "" if self.list_name is None else "from %s " % self.list_name, len(self.differences))
        if self.no_key:
            return [head + ": " + self.notes[0]]
        whys = {stored.why if stored.kind == "unanswered" else None for _, stored, _, _ in self.differences}
        if len(self.differences) == 12 and len(whys) == 1 and None not in whys:
            return [head + ": none was answered (the device says %s)" % shown(whys.pop())]
        return [head] + ["  %s: %s" % (name, line) for name, _, _, line in self.differences] + \
            ["  " + note for note in self.notes]

    def rows(self):
        for name, stored, reading, line in self.differences:
            unknown = stored.kind == "unanswered"
            rewrites = "unknown" if unknown else "yes" if reading.fails and name != ENABLE and not self.no_key else "no"
            stored_type = ("no key" if self.no_key else "missing" if stored.kind == "missing" else
                           "not answered" if unknown else TYPE_NAMES[stored.datatype])
            stored_text = (stored.why if unknown else "" if stored.kind != "value" else
                           stored.text if stored.datatype in ("string", "integer") else
                           stored.data.hex(" ") if stored.datatype == "binary" else
                           shown(stored.data.decode("utf-16-le", "surrogatepass")))
            yield [name, stored_type, stored_text, dict(self.expected)[name], "unknown" if unknown else reading.value,
                   rewrites, line]


def printable(name):
    """A device name as printed: escaped where it holds what could break a line."""
    text = shown(name)[1:-1]
    return text if text == name else shown(name)


# Where a spreadsheet may take what follows for a formula (a part beginning, after any blanks,
# with =, +, -, @, a tab or a carriage return): the cell's start, and, for one that reads the
# file with ';' between cells, after each ';' and line end in it, where a quote may open the part.
FORMULA = re.compile(r"^(?=[ ]*[=+\-@\t\r])|(?<=[;\r\n])(?=[ \"]*[=+\-@\t\r])")


def cell(text):
    """A CSV cell no part of which a spreadsheet takes for a formula: a ' goes before each part
    that would begin one."""
    return FORMULA.sub("'", text)


def name_cell(name):
    """A device's name as a cell: what its file name held, bytes that are no UTF-8 as \\xff."""
    return cell(name.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace"))


def text_cell(value):
    """A value as a cell: a surrogate (a lone one a device may hold) escaped as the report prints it."""
    return cell(re.sub("[\ud800-\udfff]", lambda found: escaped(found.group()), str(value)))


def csv_bytes(devices, fleet):
    out = io.StringIO(newline="")
    writer = csv.writer(out, quoting=csv.QUOTE_MINIMAL, lineterminator="\r\n")
    writer.writerow(CSV_COLUMNS[:1] + ["list"] * fleet + CSV_COLUMNS[1:])
    for device in devices:
        for row in device.rows():
            writer.writerow([name_cell(device.name)] + [text_cell(device.list_name)] * fleet +
                            [text_cell(value) for value in row])
    return out.getvalue().encode("utf-8")


def read_answer(path):
    try:
        data = whole_files.read_whole(path, xml.MAX_DOCUMENT_BYTES)
    except whole_files.Unreadable as problem:
        raise Refused("%s: cannot be read: %s" % (path, problem)) from None
    try:
        return xml.registry_answer(xml.read(data), KEY, package.VALUE_NAMES)
    except xml.Unreadable as problem:
        raise Refused("%s: refused: %s" % (path, problem)) from None


def read_list(path):
    """The twelve values a list file sets."""
    try:
        return package.values(*package.read_list(path))
    except package.Refused as problem:
        raise Refused(str(problem)) from None


class FleetLine:
    """One group of a fleet file: its line number, the device's name or pattern, the list file as
    written and its path."""

    def __init__(self, number, pattern, written, path):
        self.number, self.pattern, self.written, self.path = number, pattern, written, path
        self.exact = not any(character in "*?[" for character in pattern)
        self.key = os.path.normpath(os.path.abspath(path))  # one list, however its lines write it

    def matches(self, name):
        return name == self.pattern if self.exact else fnmatch.fnmatchcase(name, self.pattern)


def read_fleet(path):
    """The fleet file's groups, in its order; refused with the line when one cannot be read, or
    can never match since a line before it matches all it names."""
    try:
        data = whole_files.read_whole(path, MAX_FLEET_BYTES)
    except whole_files.Unreadable as problem:
        raise Refused("%s: cannot be read: %s" % (path, problem)) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Refused("%s:%d: not valid UTF-8" % (path, data[:error.start].count(b"\n") + 1)) from None
    lines = []
    for number, line in enumerate(text.removeprefix("\ufeff").split("\n"), 1):
        line = line.removesuffix("\r").strip(" \t")
        if not line or line.startswith("#"):
            continue
        fields = re.split("[ \t]+", line)
        if len(fields) != 2:
            raise Refused("%s:%d: expected a device's name or a pattern, blanks, and its list file" % (path, number))
        group = FleetLine(number, fields[0], fields[1], os.path.join(os.path.dirname(path), fields[1]))
        for earlier in lines:
            if earlier.pattern == group.pattern or (group.exact and earlier.matches(group.pattern)):
                raise Refused("%s:%d: %s is matched by line %d (%s) already, and the first line that matches wins: "
                              "put this line before it" % (path, number, printable(group.pattern), earlier.number,
                                                           printable(earlier.pattern)))
        lines.append(group)
    if not lines:
        raise Refused("%s: names no device" % path)
    return lines


def fleet_lists(fleet, path):
    """Each list file the fleet names, read once: its path's twelve values, the list's name as
    the first line naming it writes it."""
    lists = {}
    for group in fleet:
        if group.key not in lists:
            try:
                lists[group.key] = (read_list(group.path), printable(group.written))
            except Refused as problem:
                raise Refused("%s:%d: %s" % (path, group.number, problem)) from None
    return lists


def answers_of(arguments, parser):
    named = [(os.path.splitext(os.path.basename(path))[0], path) for path in arguments.answers]
    named += [tuple(pair) for pair in arguments.answer or []]
    if not named:
        parser.error("no answers: give each device's answer to the white-list query")
    seen = set()
    for name, path in named:
        if name in seen:
            parser.error("two answers are for the device %s; name them apart with --answer NAME ANSWER" %
                         printable(name))
        seen.add(name)
    return named


def refuse_csv_over_an_input(csv_path, inputs):
    """The CSV is never written over one of the report's inputs (what, path), whatever path names it."""
    try:
        written = os.stat(csv_path) if csv_path else None
    except OSError:
        written = None
    if written is None:
        return
    for what, path in inputs:
        try:
            read = os.stat(path)
        except OSError:
            continue
        if (read.st_dev, read.st_ino) == (written.st_dev, written.st_ino):
            raise Refused("%s: is %s, an input of the report: give the CSV a file of its own" % (csv_path, what))


def devices_of(arguments, parser):
    """Every device's answer held against its list, and the fleet's groups (None for one list);
    every input read and checked before anything is written."""
    if arguments.fleet is None:
        if not arguments.files:
            parser.error("the list file is missing: give it first, then the answers")
        list_file, arguments.answers = arguments.files[0], arguments.files[1:]
    else:
        arguments.answers = arguments.files
    named = answers_of(arguments, parser)
    if arguments.csv:
        output_folders.output_file(arguments.csv, COMMAND)
    inputs = [("the answer of %s" % printable(name), path) for name, path in named]
    if arguments.fleet is None:
        refuse_csv_over_an_input(arguments.csv, [("the list", list_file)] + inputs)
        expected = read_list(list_file)
        return [Device(name, read_answer(path), expected) for name, path in named], None
    refuse_csv_over_an_input(arguments.csv, [("the fleet file", arguments.fleet)] + inputs)
    fleet = read_fleet(arguments.fleet)
    refuse_csv_over_an_input(arguments.csv, [("a list of the fleet", group.path) for group in fleet])
    lists = fleet_lists(fleet, arguments.fleet)
    groups = []
    for name, path in named:
        group = next((group for group in fleet if group.matches(name)), None)
        if group is None:
            raise Refused("%s: no line of %s matches the device %s" % (path, arguments.fleet, printable(name)))
        groups.append(group)
    return [Device(name, read_answer(path), *lists[group.key], group.key)
            for (name, path), group in zip(named, groups)], fleet


def counted(devices, whose):
    """How many devices there are, hold their list ("it" or "their list") and differ."""
    holding = sum(1 for device in devices if not device.differences)
    return "%s: %d hold%s %s, %d differ%s" % ("%d device%s" % (len(devices), "" if len(devices) == 1 else "s"),
                                             holding, "s" if holding == 1 else "", whose, len(devices) - holding,
                                             "s" if len(devices) - holding == 1 else "")


def silent_devices(devices, fleet):
    """The fleet's lines naming a device exactly that did not answer."""
    answered = {device.name for device in devices}
    return [group for group in fleet or [] if group.exact and group.pattern not in answered]


def summary(devices, fleet):
    """The lines after the devices': for a fleet, each list's, then the whole report's."""
    if fleet is None:
        return [counted(devices, "the list")]
    lines, silent = [], silent_devices(devices, fleet)
    for key in dict.fromkeys(group.key for group in fleet):
        own = [device for device in devices if device.list_key == key]
        name = next(group.written for group in fleet if group.key == key)
        line = counted(own, "it") if own else "0 devices"
        missing = [printable(group.pattern) for group in silent if group.key == key]
        lines.append("%s: %s%s" % (printable(name), line, "; did not answer: " + ", ".join(missing) if missing else ""))
    total = counted(devices, "their list")
    if silent:
        total += "; %d named in the fleet file did not answer" % len(silent)
    return lines + [total]


def main():
    parser = command_line.parser(COMMAND, __doc__, usage="\n       ".join(
        line.strip() for line in __doc__.split("\n\n")[1].splitlines()))
    parser.add_argument("files", nargs="*", metavar="LIST_FILE|ANSWER")
    parser.add_argument("--fleet", metavar="FLEET_FILE", help="each device's list, by its name (see above)")
    parser.add_argument("--answer", nargs=2, action="append", metavar=("NAME", "ANSWER"),
                        help="an answer and the device's name, when its file's name is not")
    parser.add_argument("--csv", metavar="FILE", help="also write one row per device and value that differs")
    arguments = parser.parse_intermixed_args()
    sys.stdout.reconfigure(errors="backslashreplace")  # a file name need not be valid UTF-8
    try:
        devices, fleet = devices_of(arguments, parser)
        if arguments.csv:
            try:
                whole_files.write_whole(arguments.csv, csv_bytes(devices, fleet is not None))
            except OSError as problem:
                raise Refused("%s: cannot be written: %s" % (arguments.csv, problem.strerror or problem)) from None
    except (Refused, output_folders.Refused) as problem:
        print("%s: %s" % (COMMAND, problem), file=sys.stderr)
        return 1
    for device in devices:
        print("\n".join(device.lines()))
    print("\n".join(summary(devices, fleet)))
    holding = all(not device.differences for device in devices)
    return 0 if holding and not silent_devices(devices, fleet) else 4


if __name__ == "__main__":
    sys.exit(main())
