#!/usr/bin/python3
"""Starts a program installed on the emulated device as the device's loader would: its signature
checked against the execution stores as the device's security policies say (run, asked about, or
refused), then the program itself. Its exit code, 8 when the device's security refused it, 12
when its question went unanswered (asked as install-quillmere asks), 13 when the device's
policies are damaged, 1 when the path names no program of this device that is installed.

    emulated_device/run-program [--screen WxH] [--name NAME] [--answer yes|no] 'C:\\Device\\Program Files\\...\\PROGRAM.exe'

The device's CreateProcess runs a full path as it is, with no extension added ("CreateProcess
(Windows CE 5.0)", ms885182): so does this, through the emulated device's launcher, which hands
Wine that exact path as the application's name (no search, no start.exe), and only a 64-bit
program whose name ends in .exe. Every library the program could load from its folder (each
file there and in the folders below it that Wine can load as one: a PE image, or an ELF object,
which Wine loads as one of its own Linux libraries), and every manifest there (which can lead
Wine's loader to a library in any folder), is checked as the program is, before it starts: one
refused refuses the program, and one question asks about all that the policies ask about."""
import ntpath
import os
import sys

import pefile

import security

sys.path.insert(0, os.path.join(security.HERE, "..", "packaging"))
import command_line  # noqa: E402
import plain_names  # noqa: E402

# The emulated device's processor: Wine here runs 64-bit x86 programs only.
DEVICE_MACHINE = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_AMD64"]
# Wine's loader takes an image marked so at offset 0x40 for one of Wine's own and loads its own
# copy instead (dlls/ntdll/loader.c): such a file is never the program that was checked.
WINE_MARKS = (b"Wine builtin DLL", b"Wine placeholder DLL")
# The file heads of what Wine loads as a library: a PE image, or an ELF object, which it hands to
# the Linux loader (dlls/ntdll/loader.c, load_dll: "not in PE format, maybe it's a .so file", then
# load_so_dll), running its code.
LIBRARY_HEADS = (b"MZ", b"\x7fELF")
# A manifest Wine reads beside a program (PROGRAM.exe.manifest) or for an assembly it depends on
# (NAME.manifest in the program's folder or below) names that assembly's libraries, and a name
# holding ".." leads the lookup out of the folder (dlls/ntdll/actctx.c, lookup_assembly: "appdir\
# name.manifest"). A manifest is text and cannot carry a signature: it counts as unsigned.
MANIFEST = ".manifest"
LAUNCHER = os.path.join(security.BUILD, "launcher", "Launcher.exe")


class NotAProgram(Exception):
    pass


def device_path(program):
    """The program's path as Windows resolves it ('.' and '..' taken away, '/' as '\\', trailing dots
    and spaces of each name dropped); ValueError unless it is a file path on the device's drive C:."""
    drive, rest = ntpath.splitdrive(program)
    if drive.upper() != "C:" or not rest.startswith(("\\", "/")):
        raise ValueError("%s is not a full path on the device's drive C:" % program)
    names = [name.rstrip(". ") for name in ntpath.normpath(rest).split("\\") if name]
    if not names or any(not name for name in names):
        raise ValueError("%s names no file" % program)
    return "C:\\" + "\\".join(names)


def installed_file(device, windows_path):
    """(the path on this machine, the Windows path with each name's letter case as found) of an
    installed file; NotAProgram when there is none, or a name is not a plain one."""
    host = device.path(windows_path)
    drive = os.path.realpath(os.path.join(device.prefix, "drive_c"))
    if not os.path.realpath(host).startswith(drive + os.sep) or not os.path.isfile(host):
        raise NotAProgram("%s is not installed on the device %s (%s)" % (windows_path, device.name, device.screen))
    names = os.path.relpath(host, os.path.join(device.prefix, "drive_c")).split(os.sep)
    if not all(plain_names.is_plain_name(name) for name in names):
        raise NotAProgram("%s is not a plain path: a name holds a character Windows names cannot hold" % windows_path)
    return host, "C:\\" + "\\".join(names)


def program_problem(path):
    """Why the file is not a program this device runs, or None: it must be an executable PE image
    for the device's processor, not a library, named .exe."""
    if not path.lower().endswith(".exe"):
        return "its name does not end in .exe"
    with open(path, "rb") as source:
        head = source.read(0x40 + max(map(len, WINE_MARKS)))
    if head[0x40:].startswith(WINE_MARKS):
        return "it is one of Wine's own modules"
    try:
        image = pefile.PE(path, fast_load=True)
    except pefile.PEFormatError as problem:
        return "it is not a PE image (%s)" % problem.value
    try:
        header = image.FILE_HEADER
        if header.Machine != DEVICE_MACHINE:
            return "it is for another processor (%s)" % pefile.MACHINE_TYPE.get(header.Machine, hex(header.Machine))
        if image.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            return "it is not a 64-bit image (its optional header is not PE32+)"
        if header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_DLL"]:
            return "it is a library (DLL), not a program"
        if not header.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_EXECUTABLE_IMAGE"]:
            return "it is not marked as an executable image"
    finally:
        image.close()
    return None


def files_checked_with(program):
    """The files in the program's folder, and in the folders below it, that Wine could load as a
    library (a PE image or an ELF object, whatever its name) or read as a manifest (named
    .manifest), in order: (what it is, "library" or "manifest"; the name relative to the folder,
    as Windows writes it; the path on this machine). A private assembly's manifest beside the
    program leads Wine's loader into a folder below, or by a name holding ".." out of the folder."""
    folder = os.path.dirname(program)
    found = []
    for place, folders, files in os.walk(folder):
        folders.sort()
        for name in sorted(files):
            path = os.path.join(place, name)
            if path == program or not os.path.isfile(path):
                continue
            try:
                with open(path, "rb") as source:
                    head = source.read(4)
            except OSError:
                continue  # what this user cannot read, Wine, run by the same user, cannot load
            relative = os.path.relpath(path, folder).replace(os.sep, "\\")
            if head.startswith(LIBRARY_HEADS):
                found.append(("library", relative, path))
            elif name.lower().endswith(MANIFEST):
                found.append(("manifest", relative, path))
    return found


def verdict_of(kind, path, anchors):
    return security.classify(path, anchors) if kind == "library" else ("unsigned", None)


def main():
    parser = command_line.parser("run-program", __doc__)
    parser.add_argument("program")
    security.add_device_arguments(parser)
    security.add_answer_argument(parser)
    arguments = parser.parse_args()
    try:
        windows_path = device_path(arguments.program)
    except ValueError as problem:
        sys.exit("run-program: %s" % problem)
    seconds = security.question_seconds(parser.prog)
    device = security.Device(arguments.name, arguments.screen)
    policies = device.policies()
    try:
        program, windows_path = installed_file(device, windows_path)
        problem = program_problem(program)
        if problem:
            raise NotAProgram("%s is not a program this device runs: %s" % (windows_path, problem))
    except NotAProgram as problem:
        sys.exit("run-program: %s" % problem)
    anchors = security.certificates(device.security, security.PROGRAM_STORES)
    checks = [("program", ntpath.basename(windows_path)) + security.classify(program, anchors)]
    if security.program_decision(checks[0][2], checks[0][3], policies)[0] != "refuse":  # else refused as it is
        checks += [(kind, name) + verdict_of(kind, path, anchors) for kind, name, path in files_checked_with(program)]
    try:
        trust = security.checked_program(security.Questions(device, arguments.answer, seconds), checks, policies)
    except security.Unanswered as problem:
        print("refused: %s" % problem)
        return security.UNANSWERED
    if trust is None:
        return security.REFUSED
    print("%s runs %s" % (checks[0][1], trust))
    sys.stdout.flush()
    # The very file checked, by its full path as found: Wine looks each name up exactly first.
    return device.run(LAUNCHER, [windows_path])


if __name__ == "__main__":
    sys.exit(main())
