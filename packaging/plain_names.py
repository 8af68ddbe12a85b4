"""Plain names: a file or folder name that stays one name on the device, whoever reads it. The kit's
builders, the device's scripts and its installer's checks on the Linux side take names by this
rule alone."""

# Characters no Windows file name can hold ("Naming Files, Paths, and Namespaces", reserved
# characters); control characters are refused beside them.
RESERVED = frozenset('\\/:*?"<>|')


def is_plain_name(name):
    """A single file or folder name: not empty, not '.' or '..', no folder, drive, wildcard or
    control character. Trailing dots and spaces are the caller's to judge (Windows drops them)."""
    return name not in ("", ".", "..") and not any(c in RESERVED or ord(c) < 0x20 for c in name)
