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
stands before a catch-all; a line that can never match, as far as that can be told (a name or a
pattern under an earlier NAME* or *, the same pattern again), is refused. At most 10,000 lines,
of them 100 patterns other than NAME*, each name or pattern at most 255 characters. Each device
is reported against its own list, then each list with how many devices hold it and differ, the
devices named exactly that did not answer and the pattern lines no answer matched; the CSV gains
a list column.

Exit codes: 0 every device holds its list (and every line of the fleet file matched an answer);
4 some device does not (or a device named did not answer, or a pattern matched no answer); 1 a
list, the fleet file or an answer cannot be read, an answer no line of the fleet file matches,
or the CSV cannot be written (one line naming the file and why; no report, no CSV); 2 bad
arguments. An answer that is not a
device's Registry answer to the query for the key, is incomplete, or holds the key or a value
twice is refused, never read as holding nothing."""
import csv
import fnmatch
import io
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import command_line  # noqa: E402
import output_folders  # noqa: E402
import provisioning_xml as xml  # noqa: E402
from printable_text import escaped, printable, shown  # noqa: E402
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
MAX_FLEET_LINES = 10000  # groups; a larger fleet is named by patterns
MAX_FLEET_PATTERNS = 100  # patterns other than NAME*, each tried in turn on every name
MAX_NAME_CHARS = 255  # a device's name is a file's name
CSV_COLUMNS = ["device", "value", "stored type", "stored", "expected", "Quillmere reads",
               "Quillmere rewrites the set at close", "difference"]


class Refused(Exception):
    pass


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
        raise Refused("%s: cannot be read: %s" % (printable(path), problem)) from None
    try:
        return xml.registry_answer(xml.read(data), KEY, package.VALUE_NAMES)
    except xml.Unreadable as problem:
        raise Refused("%s: refused: %s" % (printable(path), problem)) from None


def read_list(path):
    """The twelve values a list file sets."""
    try:
        return package.values(*package.read_list(path))
    except package.Refused as problem:
        raise Refused(str(problem)) from None


def read_the_list(path):
    """The list of the one-list form; refused with the way out when the file is plainly an
    answer or a fleet file given in its place."""
    try:
        return read_list(path)
    except Refused as problem:
        try:
            text = whole_files.read_whole(path, package.MAX_LIST_BYTES).decode("utf-8", "replace")
        except whole_files.Unreadable:
            raise problem from None
        lines = [line.split() for line in text.lstrip("\ufeff").splitlines() if line.strip()
                 and not line.lstrip().startswith("#")]
        if text.lstrip("\ufeff \t\r\n").startswith("<"):
            raise Refused("%s: it is an XML document, not a list file (an answer?): the list file comes first, then "
                          "the answers" % problem) from None
        if lines and all(len(fields) == 2 and "=" not in "".join(fields) for fields in lines):
            raise Refused("%s: it looks like a fleet file: give a fleet file with --fleet FLEET_FILE" % problem
                          ) from None
        raise


WILDCARDS = re.compile(r"[*?[]")


class FleetLine:
    """One group of a fleet file: its line number, the device's name or pattern, the list file as
    written and its path. prefix: what every name it matches starts with; stem: for a pattern
    NAME* (or *), the NAME."""

    def __init__(self, number, pattern, written, path):
        self.number, self.pattern, self.written, self.path = number, pattern, written, path
        self.exact = not WILDCARDS.search(pattern)
        self.prefix = WILDCARDS.split(pattern, 1)[0]
        stem = pattern.rstrip("*")
        self.stem = stem if stem != pattern and not WILDCARDS.search(stem) else None
        self.expression = None if self.exact else re.compile(fnmatch.translate(pattern))
        self.key = os.path.normpath(os.path.abspath(path))  # one list, however its lines write it

    def matches(self, name):
        return name == self.pattern if self.exact else self.expression.match(name) is not None


class Fleet:
    """A fleet file's groups, in its order, and the first of them that matches a name, found
    without trying every line: names and NAME* patterns are looked up, only the other patterns
    (at most MAX_FLEET_PATTERNS) tried in turn."""

    def __init__(self, path):
        self.path, self.groups, self.matched = path, [], set()
        self.names, self.stems, self.stem_lengths, self.patterns, self.others = {}, {}, set(), {}, []

    def __iter__(self):
        return iter(self.groups)

    def first(self, name):
        """The first line that matches the name, or None."""
        first = min([self.names.get(name, len(self.groups))] + self.under_stems(name))
        for index in self.others:
            if index >= first:
                break
            if self.groups[index].matches(name):
                first = index
                break
        return self.groups[first] if first < len(self.groups) else None

    def covering(self, group):
        """An earlier line that matches every name the group's line matches, where that can be
        told: a name matched before, the same pattern, a pattern under an earlier NAME*."""
        if group.exact:
            return self.first(group.pattern)
        if group.pattern in self.patterns:
            return self.groups[self.patterns[group.pattern]]
        stems = self.under_stems(group.prefix)
        return self.groups[min(stems)] if stems else None

    def under_stems(self, text):
        """The lines NAME* whose NAME the text starts with."""
        return [self.stems[text[:length]] for length in self.stem_lengths if text[:length] in self.stems]

    def add(self, group):
        index = len(self.groups)
        self.groups.append(group)
        if group.exact:
            self.names[group.pattern] = index
            return
        self.patterns[group.pattern] = index
        if group.stem is not None:
            self.stems[group.stem] = index
            self.stem_lengths.add(len(group.stem))
        else:
            self.others.append(index)


def read_fleet(path):
    """The fleet file's groups; refused with the line when one cannot be read, or can never match
    since a line before it matches all it names."""
    try:
        data = whole_files.read_whole(path, MAX_FLEET_BYTES)
    except whole_files.Unreadable as problem:
        raise Refused("%s: cannot be read: %s" % (printable(path), problem)) from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Refused("%s:%d: not valid UTF-8" % (printable(path), data[:error.start].count(b"\n") + 1)) from None
    fleet = Fleet(path)
    for number, line in enumerate(text.removeprefix("\ufeff").split("\n"), 1):
        line = line.removesuffix("\r").strip(" \t")
        if not line or line.startswith("#"):
            continue
        where = "%s:%d" % (printable(path), number)
        fields = re.split("[ \t]+", line)
        if len(fields) != 2:
            raise Refused("%s: expected a device's name or a pattern, blanks, and its list file" % where)
        if len(fields[0]) > MAX_NAME_CHARS:
            raise Refused("%s: a device's name or pattern longer than %d characters" % (where, MAX_NAME_CHARS))
        group = FleetLine(number, fields[0], fields[1], os.path.join(os.path.dirname(path), fields[1]))
        if len(fleet.groups) == MAX_FLEET_LINES:
            raise Refused("%s: more than %d lines name devices: give groups of devices a pattern (dock-*)" % (
                where, MAX_FLEET_LINES))
        if not (group.exact or group.stem is not None) and len(fleet.others) == MAX_FLEET_PATTERNS:
            raise Refused("%s: more than %d patterns other than NAME* (each is tried on every device)" % (
                where, MAX_FLEET_PATTERNS))
        earlier = fleet.covering(group)
        if earlier is not None:
            what = printable(group.pattern) if group.exact else "every device %s matches" % printable(group.pattern)
            raise Refused("%s: %s is matched by line %d (%s) already, and the first line that matches wins: put this "
                          "line before it" % (where, what, earlier.number, printable(earlier.pattern)))
        fleet.add(group)
    if not fleet.groups:
        raise Refused("%s: names no device" % printable(path))
    return fleet


def fleet_lists(fleet):
    """Each list file the fleet names, read once: its path's twelve values, the list's name as
    the first line naming it writes it."""
    lists = {}
    for group in fleet:
        if group.key not in lists:
            try:
                lists[group.key] = (read_list(group.path), printable(group.written))
            except Refused as problem:
                raise Refused("%s:%d: %s" % (printable(fleet.path), group.number, problem)) from None
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
    if csv_path:
        output_folders.refuse_over_an_input(csv_path, inputs, "an input of the report: give the CSV a file of its own")


def devices_of(arguments, parser):
    """Every device's answer held against its list, the fleet (None for one list) and where the
    CSV goes; every input read and checked before anything is written."""
    if arguments.fleet is None:
        if not arguments.files:
            parser.error("the list file is missing: give it first, then the answers")
        list_file, arguments.answers = arguments.files[0], arguments.files[1:]
    else:
        arguments.answers = arguments.files
    named = answers_of(arguments, parser)
    csv_path = output_folders.output_file(arguments.csv, COMMAND) if arguments.csv else None
    inputs = [("the answer of %s" % printable(name), path) for name, path in named]
    if arguments.fleet is None:
        refuse_csv_over_an_input(arguments.csv, [("the list", list_file)] + inputs)
        expected = read_the_list(list_file)
        return [Device(name, read_answer(path), expected) for name, path in named], None, csv_path
    refuse_csv_over_an_input(arguments.csv, [("the fleet file", arguments.fleet)] + inputs)
    fleet = read_fleet(arguments.fleet)
    refuse_csv_over_an_input(arguments.csv, [("a list of the fleet", group.path) for group in fleet])
    lists = fleet_lists(fleet)
    groups = []
    for name, path in named:
        group = fleet.first(name)
        if group is None:
            raise Refused("%s: no line of %s matches the device %s" % (printable(path), printable(arguments.fleet),
                                                                       printable(name)))
        fleet.matched.add(group.number)
        groups.append(group)
    return [Device(name, read_answer(path), *lists[group.key], group.key)
            for (name, path), group in zip(named, groups)], fleet, csv_path


def counted(devices, whose):
    """How many devices there are, hold their list ("it", "the list" or, each its own, "their
    list") and differ."""
    holding = sum(1 for device in devices if not device.differences)
    if holding == 1 and whose == "their list":
        whose = "its list"
    return "%s: %d hold%s %s, %d differ%s" % ("%d device%s" % (len(devices), "" if len(devices) == 1 else "s"),
                                             holding, "s" if holding == 1 else "", whose, len(devices) - holding,
                                             "s" if len(devices) - holding == 1 else "")


def unmatched_lines(fleet):
    """The fleet's lines no answer matched: a device named exactly that did not answer, or a
    pattern that matched none of the devices that did."""
    return [group for group in fleet or [] if group.number not in fleet.matched]


def summary(devices, fleet):
    """The lines after the devices': for a fleet, each list's, then the whole report's."""
    if fleet is None:
        return [counted(devices, "the list")]
    lines, unmatched = [], unmatched_lines(fleet)
    for key in dict.fromkeys(group.key for group in fleet):
        own = [device for device in devices if device.list_key == key]
        name = next(group.written for group in fleet if group.key == key)
        line = counted(own, "it") if own else "0 devices"
        silent = [printable(group.pattern) for group in unmatched if group.key == key and group.exact]
        unused = ["%s (line %d)" % (printable(group.pattern), group.number) for group in unmatched
                  if group.key == key and not group.exact]
        line += "; did not answer: " + ", ".join(silent) if silent else ""
        line += "; no answer matched: " + ", ".join(unused) if unused else ""
        lines.append("%s: %s" % (printable(name), line))
    total = counted(devices, "their list")
    silent = sum(1 for group in unmatched if group.exact)
    if silent:
        total += "; %d named in the fleet file did not answer" % silent
    if len(unmatched) > silent:
        total += "; %d pattern%s of the fleet file matched no answer" % (
            len(unmatched) - silent, "" if len(unmatched) - silent == 1 else "s")
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
        devices, fleet, csv_path = devices_of(arguments, parser)
        if csv_path:
            try:
                whole_files.write_whole(csv_path, csv_bytes(devices, fleet is not None))
            except OSError as problem:
                raise Refused("%s: cannot be written: %s" % (printable(arguments.csv), problem.strerror or problem)
                              ) from None
    except (Refused, output_folders.Refused) as problem:
        print("%s: %s" % (COMMAND, problem), file=sys.stderr)
        return 1
    for device in devices:
        print("\n".join(device.lines()))
    print("\n".join(summary(devices, fleet)))
    holding = all(not device.differences for device in devices)
    return 0 if holding and not unmatched_lines(fleet) else 4


if __name__ == "__main__":
    sys.exit(main())
