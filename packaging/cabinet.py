"""Microsoft cabinets as the device's CAB installer takes them: 8.3 member names, packed
uncompressed by gcab with one fixed date on every member, so that the same inputs give the same
bytes; read back with gcab's library (python3-gi, gir1.2-gcab-1.0)."""
import os
import subprocess
import tempfile

import whole_files

FIXED_TIME = 1767225600  # 2026-01-01
MEMBER_STEM_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_")


def member_stem(name):
    """The first 8 characters of the name without its extension that an 8.3 name may hold (others
    are left out, so any name gives an ASCII stem), left-padded with 0."""
    kept = "".join(c for c in os.path.splitext(name)[0] if c in MEMBER_STEM_CHARACTERS)
    return kept[:8].rjust(8, "0")


def member_name(name, number):
    """The member of file number `number`: the stem and a three-digit extension that alone
    identifies the file (.000 the instruction file, .999 the setup library)."""
    return "%s.%03d" % (member_stem(name), number)


def pack(members, cab_path):
    """Packs (member name, bytes) in the order given into cab_path, which appears only when the
    cabinet is complete."""
    with tempfile.TemporaryDirectory() as staging:
        paths = []
        for member, data in members:
            path = os.path.join(staging, member)
            with open(path, "wb") as out:
                out.write(data)
            os.utime(path, (FIXED_TIME, FIXED_TIME))
            paths.append(path)

        def write(partial):
            result = subprocess.run(["gcab", "-c", "-n", partial] + paths, capture_output=True, text=True)
            if result.returncode != 0:
                why = result.stderr.strip().splitlines() or ["exit code %d" % result.returncode]
                raise OSError("gcab: " + why[-1])
            return True
        whole_files.write_with(cab_path, write)


def _gcab():
    import gi
    gi.require_version("GCab", "1.0")
    from gi.repository import GCab, Gio
    return GCab, Gio


class NotACabinet(OSError):
    """A file gcab cannot read as a cabinet; `why` is gcab's reason."""

    def __init__(self, path, why):
        super().__init__("%s cannot be read as a cabinet: %s" % (path, why))
        self.why = why


def _load(cab_path):
    GCab, Gio = _gcab()
    cabinet = GCab.Cabinet.new()
    try:
        cabinet.load(Gio.File.new_for_path(cab_path).read(None), None)
    except Exception as problem:  # noqa: BLE001 (GLib.Error: not a cabinet, or a damaged one)
        raise NotACabinet(cab_path, "gcab: %s" % getattr(problem, "message", problem)) from None
    return cabinet


def members(cab_path):
    """The member names of a cabinet, in its order."""
    return [member.get_name() for folder in _load(cab_path).get_folders() for member in folder.get_files()]


def extract_member(cab_path, name, folder):
    """Extracts the one member of that exact name into the (empty) folder; its path there."""
    GCab, Gio = _gcab()
    cabinet = _load(cab_path)
    try:
        cabinet.extract_simple(Gio.File.new_for_path(folder), lambda member, *_: member.get_name() == name, None, None)
    except Exception as problem:  # noqa: BLE001 (GLib.Error)
        raise OSError("%s: %s cannot be unpacked: %s" % (cab_path, name, problem)) from None
    made = os.listdir(folder)
    if len(made) != 1:
        raise OSError("%s: %s cannot be unpacked" % (cab_path, name))
    return os.path.join(folder, made[0])
