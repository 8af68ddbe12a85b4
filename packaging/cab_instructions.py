"""The .000 instruction file of a device CAB: a 100-byte header ("MSCE"), the application and
provider names, then six sections (strings, directories, files, registry hives, registry keys,
shortcuts), little-endian, entries packed without padding. Strings are 8-bit text; only ASCII is
written, since the device reads them in its own code page."""
import struct

HEADER_SIZE = 100
VERSION_MIN, VERSION_MAX = (5, 0), (6, 99)  # Windows CE 5.0 to 6.99, any build
ALWAYS_OVERWRITE = 0x40000000
ROOTS = {"HKCR": 1, "HKCU": 2, "HKLM": 3, "HKU": 4}
SHORTCUT_BASES = {"%InstallDir%": 0, "%CE1%": 1, "%CE2%": 2, "%CE11%": 11}
REG_SZ = 0


def text8(value):
    """A string of the instruction file with its NUL."""
    if not value.isascii():
        raise ValueError("'%s' is not ASCII" % value)
    return value.encode("ascii") + b"\0"


def id_list(ids):
    """String ids ending in 0, with the byte length of the list before them."""
    return struct.pack("<H%dHH" % len(ids), 2 * (len(ids) + 1), *ids, 0)


class Instructions:
    def __init__(self, app_name, provider, architecture):
        self.app_name, self.provider, self.architecture = app_name, provider, architecture
        self.strings = {}  # text -> id
        self.directories = self.files = self.hives = self.keys = self.shortcuts = b""
        self.counts = {"directories": 0, "files": 0, "hives": 0, "keys": 0, "shortcuts": 0}
        self.hive_ids = {}  # (root, key path) -> id

    def _next(self, section):
        self.counts[section] += 1
        return self.counts[section]

    def _path(self, path):
        ids = []
        for part in path.split("\\"):
            ids.append(self.strings.setdefault(part, len(self.strings) + 1))
        return ids

    def add_directory(self, path):
        number = self._next("directories")
        self.directories += struct.pack("<H", number) + id_list(self._path(path))
        return number

    def add_file(self, number, directory, target, flags=ALWAYS_OVERWRITE):
        self._next("files")
        name = text8(target)
        self.files += struct.pack("<HHHIH", number, directory, number, flags, len(name)) + name

    def add_shortcut(self, name, base, file_number):
        number = self._next("shortcuts")
        self.shortcuts += struct.pack("<HHHHH", number, 0, SHORTCUT_BASES[base], file_number, 1) + id_list(self._path(name))

    def add_registry_key(self, root, key_path):
        """The key, created when the package is installed (whether or not values are set in it)."""
        hive = self.hive_ids.get((root, key_path))
        if hive is None:
            hive = self.hive_ids[(root, key_path)] = self._next("hives")
            self.hives += struct.pack("<HHH", hive, ROOTS[root], 0) + id_list(self._path(key_path))
        return hive

    def add_string_value(self, root, key_path, name, text, substitute=False):
        hive = self.add_registry_key(root, key_path)
        data = text8(name) + text8(text)
        self.keys += struct.pack("<HHHIH", self._next("keys"), hive, int(substitute), REG_SZ, len(data)) + data

    def to_bytes(self):
        strings = b"".join(struct.pack("<HH", number, len(text8(text))) + text8(text) for text, number in self.strings.items())
        sections = [strings, self.directories, self.files, self.hives, self.keys, self.shortcuts]
        counts = [len(self.strings)] + [self.counts[name] for name in ("directories", "files", "hives", "keys", "shortcuts")]
        app_name, provider = text8(self.app_name), text8(self.provider)
        body, offsets = app_name + provider, []
        for section in sections:
            offsets.append(HEADER_SIZE + len(body))
            body += section
        header = b"MSCE" + struct.pack("<IIIII", 0, HEADER_SIZE + len(body), 0, 1, self.architecture)
        header += struct.pack("<6I", *VERSION_MIN, *VERSION_MAX, 0, 0)
        header += struct.pack("<6H", *counts) + struct.pack("<6I", *offsets)
        header += struct.pack("<6H", HEADER_SIZE, len(app_name), HEADER_SIZE + len(app_name), len(provider), 0, 0)
        header += struct.pack("<2H", 0, 0)
        assert len(header) == HEADER_SIZE
        return header + body
