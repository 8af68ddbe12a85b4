"""How the device's coredll and aygshell export each function the kit's binaries import, as
tests/cases/device_imports.txt lists it with its public source: by name, by ordinal without a
name, or by both. The emulated processor's loader resolves imports through it; the image checks
compare each build's imports with it."""
import collections
import functools
import os
import re

TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests", "cases",
                     "device_imports.txt")
BUILDS = {"both": ("ARM", "check"), "ARM": ("ARM",), "check": ("check",)}
EXPORTED_BY = re.compile(r"^(?:(name)|ordinal (\d+) without a name|(name) and ordinal (\d+))$")

# named: whether the library exports the function's name; ordinal: its ordinal where published.
Export = collections.namedtuple("Export", "library function named ordinal binaries builds source")


class TableError(Exception):
    pass


@functools.lru_cache(maxsize=4)
def read(path=TABLE):
    """The table's lines as Exports; one line a function of a library, each with its source."""
    exports, seen = [], set()
    with open(path, encoding="utf-8") as table:
        for number, line in enumerate(table.read().split("\n"), 1):
            if not line or line.startswith("#"):
                continue
            fields = line.split(" | ")
            how = EXPORTED_BY.match(fields[2]) if len(fields) == 6 else None
            if how is None or fields[4] not in BUILDS or not fields[5].strip():
                raise TableError("%s:%d: not library | function | exported by | binaries | builds | source"
                                 % (path, number))
            if (fields[0], fields[1]) in seen:
                raise TableError("%s:%d: %s of %s listed twice" % (path, number, fields[1], fields[0]))
            seen.add((fields[0], fields[1]))
            ordinal = how.group(2) or how.group(4)
            exports.append(Export(fields[0], fields[1], bool(how.group(1) or how.group(3)),
                                  int(ordinal) if ordinal else None, tuple(fields[3].split(" ; ")),
                                  BUILDS[fields[4]], fields[5]))
    return tuple(exports)


def imported_as(export):
    """How a binary must import it: by its name where the library exports one, else by ordinal."""
    return export.function if export.named else "ordinal %d" % export.ordinal


def resolve(library, name, ordinal, binary, build="ARM", path=TABLE):
    """The function a device's loader finds for an import of `binary` of that build, by name or by
    ordinal; LookupError where the library exports no such name or ordinal, or where the table
    does not list the function for that binary and build."""
    for export in read(path):
        if export.library != library:
            continue
        if name is not None and export.function == name:
            if not export.named:
                raise LookupError("%s exports %s by ordinal %d only, not by name" % (library, name, export.ordinal))
        elif name is not None or export.ordinal != ordinal:
            continue
        if binary not in export.binaries or build not in export.builds:
            raise LookupError("the table lists %s of %s for %s (builds: %s), not for %s of the %s build" %
                              (export.function, library, ", ".join(export.binaries), ", ".join(export.builds),
                               binary, build))
        return export.function
    raise LookupError("%s exports no %s" % (library, name if name is not None else "ordinal %d" % ordinal))
