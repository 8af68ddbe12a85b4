"""Plain names: a file or folder name that stays one name on the device, whoever reads it. The kit's
builders, the device's scripts and its installer's checks on the Linux side take names by this
rule alone."""

# Characters no Windows file name can hold ("Naming Files, Paths, and Namespaces", reserved
# characters); control characters are refused beside them.
RESERVED = frozenset('\\/:*?"<>|')
# Names of devices, with or without an extension, and names ending in a dot or a space, which
# Windows drops: such a name resolves to another file than it says (the same page). The stand-in
# installer asks Windows itself (GetFullPathNameW) and comes to the same answer.
DEVICES = frozenset(["CON", "PRN", "AUX", "NUL"] + ["COM%d" % n for n in range(1, 10)] +
                    ["LPT%d" % n for n in range(1, 10)])


def is_plain_name(name):
    """A single file or folder name that stays itself: not empty, not '.' or '..', no folder,
    drive, wildcard or control character, no trailing dot or space, not a device's name."""
    return (name not in ("", ".", "..") and not any(c in RESERVED or ord(c) < 0x20 for c in name) and
            not name.endswith((".", " ")) and name.split(".")[0].upper().rstrip(" ") not in DEVICES)
