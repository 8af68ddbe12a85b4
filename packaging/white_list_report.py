#!/usr/bin/python3
"""Tells which devices hold a white list, from their answers to the white-list query: for each
device, whether each of the twelve values is exactly what the list's package writes (the text,
as REG_SZ), and for each value that differs, what it holds and what Quillmere makes of it.

    white-list-report LIST_FILE [ANSWER ...] [--answer NAME ANSWER ...] [--csv FILE]

An ANSWER is one device's answer to packaging/white-list-query's document; the device's name is
the file's name without its extension, unless given with --answer. --csv also writes one row per
device and value that differs, for a spreadsheet or the management system; it is written in
place only once complete, and a cell that a spreadsheet would take for a formula (it begins with
=, +, -, @, a tab or a carriage return) is preceded by a '.

Exit codes: 0 every device holds the list; 4 some device does not; 1 the list or an answer cannot
be read, or the CSV cannot be written (one line naming the file and why; no report, no CSV);
2 bad arguments. An answer that is not a device's Registry answer to the query for the key, is
incomplete, or holds the key or a value twice is refused, never read as holding nothing."""
import argparse
import csv
import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
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
CSV_COLUMNS = ["device", "value", "stored type", "stored", "expected", "Quillmere reads",
               "Quillmere rewrites the set at close", "difference"]


class Refused(Exception):
    pass


# Characters that break a line, hide, or turn the text around them.
HIDDEN = {0x2028, 0x2029, 0xF000, 0xFEFF, 0x200E, 0x200F, *range(0x202A, 0x202F), *range(0x2066, 0x206A)}


def shown(text):
    """A text between double quotes, every character that could hide, reorder or break a line
    escaped."""
    out = []
    for character in text:
        code = ord(character)
        if character in '"\\':
            out.append("\\" + character)
        elif code < 0x20 or 0x7F <= code < 0xA0 or 0xD800 <= code < 0xE000 or code in HIDDEN:
            out.append("\\x%02x" % code if code < 0x100 else "\\u%04x" % code)
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
    """One device's answer held against the list: its differences, each (name, stored, Reading,
    line), and the lines that say more about the whole device."""

    def __init__(self, name, answer, expected):
        self.name, self.differences, self.notes = name, [], []
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
            return ["%s: holds the list" % printable(self.name)]
        head = "%s: differs in %d of the twelve values" % (printable(self.name), len(self.differences))
        if self.no_key:
            return [head + ": " + self.notes[0]]
        whys = {stored.why if stored.kind == "unanswered" else None for _, stored, _, _ in self.differences}
        if len(self.differences) == 12 and len(whys) == 1 and None not in whys:
            return [head + ": none was answered (the device says %s)" % shown(whys.pop())]
        return [head] + ["  %s: %s" % (name, line) for name, _, _, line in self.differences] + \
            ["  " + note for note in self.notes]

    def rows(self, expected):
        for name, stored, reading, line in self.differences:
            unknown = stored.kind == "unanswered"
            rewrites = "unknown" if unknown else "yes" if reading.fails and name != ENABLE and not self.no_key else "no"
            stored_type = ("no key" if self.no_key else "missing" if stored.kind == "missing" else
                           "not answered" if unknown else TYPE_NAMES[stored.datatype])
            stored_text = (stored.why if unknown else "" if stored.kind != "value" else
                           stored.text if stored.datatype in ("string", "integer") else
                           stored.data.hex(" ") if stored.datatype == "binary" else
                           shown(stored.data.decode("utf-16-le", "surrogatepass")))
            yield [self.name, name, stored_type, stored_text, dict(expected)[name],
                   "unknown" if unknown else reading.value, rewrites, line]


def printable(name):
    """A device name as printed: escaped where it holds what could break a line."""
    text = shown(name)[1:-1]
    return text if text == name else shown(name)


def cell(value):
    """A CSV cell that no spreadsheet takes for a formula, and that any file name can fill."""
    text = str(value).encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")
    return "'" + text if text[:1] in ("=", "+", "-", "@", "\t", "\r") else text


def csv_bytes(devices, expected):
    out = io.StringIO(newline="")
    writer = csv.writer(out, quoting=csv.QUOTE_MINIMAL, lineterminator="\r\n")
    writer.writerow(CSV_COLUMNS)
    for device in devices:
        for row in device.rows(expected):
            writer.writerow([cell(value) for value in row])
    return out.getvalue().encode("utf-8")


def read_answer(path):
    try:
        with open(path, "rb") as source:
            data = source.read(xml.MAX_DOCUMENT_BYTES + 1)
    except OSError as problem:
        raise Refused("%s: cannot be read: %s" % (path, problem.strerror or problem)) from None
    try:
        return xml.registry_answer(xml.read(data), KEY, package.VALUE_NAMES)
    except xml.Unreadable as problem:
        raise Refused("%s: refused: %s" % (path, problem)) from None


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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0], usage=__doc__.split("\n\n")[1].strip())
    parser.add_argument("list_file")
    parser.add_argument("answers", nargs="*", metavar="ANSWER")
    parser.add_argument("--answer", nargs=2, action="append", metavar=("NAME", "ANSWER"))
    parser.add_argument("--csv", metavar="FILE")
    arguments = parser.parse_intermixed_args()
    sys.stdout.reconfigure(errors="backslashreplace")  # a file name need not be valid UTF-8
    named = answers_of(arguments, parser)
    try:
        expected = package.values(*package.read_list(arguments.list_file))
    except package.Refused as problem:
        print("white-list-report: %s" % problem, file=sys.stderr)
        return 1
    except OSError as problem:
        print("white-list-report: %s: cannot be read: %s" % (arguments.list_file, problem.strerror or problem),
              file=sys.stderr)
        return 1
    try:
        devices = [Device(name, read_answer(path), expected) for name, path in named]
        if arguments.csv:
            try:
                whole_files.write_whole(arguments.csv, csv_bytes(devices, expected))
            except OSError as problem:
                raise Refused("%s: cannot be written: %s" % (arguments.csv, problem.strerror or problem)) from None
    except Refused as problem:
        print("white-list-report: %s" % problem, file=sys.stderr)
        return 1
    for device in devices:
        print("\n".join(device.lines()))
    holding = sum(1 for device in devices if not device.differences)
    print("%d device%s: %d hold%s the list, %d differ%s" % (
        len(devices), "" if len(devices) == 1 else "s", holding, "s" if holding == 1 else "",
        len(devices) - holding, "s" if len(devices) - holding == 1 else ""))
    return 0 if holding == len(devices) else 4


if __name__ == "__main__":
    sys.exit(main())
