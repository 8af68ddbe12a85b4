#!/usr/bin/python3
"""Builds the kit's CAB package from packaging/quillmere.package: the binary instruction file
(.000), the files under 8.3 member names, the setup library as .999 and the provisioning document
_setup.xml, packed with gcab; and, from the same description, the CAB Wizard's .inf.

    make_cab.py DESCRIPTION --file NAME=PATH ... --for ARM|emulated --cab OUT.cab [--inf OUT.inf]

--for names the processor the package is for, which sets the instruction file's architecture
(ARCHITECTURES). The same inputs always give the same bytes; an output appears only when it is
complete."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cab_wizard_inf  # noqa: E402
import cabinet  # noqa: E402
import command_line  # noqa: E402
import plain_names  # noqa: E402
import provisioning_xml as xml  # noqa: E402
import whole_files  # noqa: E402
from cab_instructions import ALWAYS_OVERWRITE, Instructions  # noqa: E402

# What the kit needs and no more: its files go into the installation folder, its shortcuts into
# the Start menu's programs.
FILE_DIRECTORY = "%InstallDir%"
SHORTCUT_DIRECTORY = "%CE11%"
INSTALL_BASES = ("%CE1%", "%CE2%")
# The processor type a device must report to take the package. The device's is 0 ("any"): which
# type every ARM device of this family reports is not known, so the package rests on its
# binaries' machine type and its name. The emulated device's is the platform's x86-64 type
# (PROCESSOR_AMD_X8664), which a device refuses.
ARCHITECTURES = {"ARM": 0, "emulated": 8664}


class Package:
    def __init__(self):
        self.app_name = self.provider = self.install_dir = self.setup_library = None
        self.files = []      # names, each installed into FILE_DIRECTORY
        self.shortcuts = []  # (name, file name), each in SHORTCUT_DIRECTORY


def is_plain_name(name):
    """A plain name the kit's package may hold: ASCII, printable, and no folder macro's %."""
    return plain_names.is_plain_name(name) and name.isascii() and name.isprintable() and "%" not in name


def is_install_dir(path):
    base, _, rest = path.partition("\\")
    return base in INSTALL_BASES and all(is_plain_name(part) for part in rest.split("\\"))


SINGLE_KEYS = {"AppName": "app_name", "Provider": "provider", "InstallDir": "install_dir",
               "SetupLibrary": "setup_library"}


def read_setting(package, key, fields):
    """Takes one line's setting into the package; the reason it cannot, or None."""
    value = ", ".join(fields)
    if key in SINGLE_KEYS and getattr(package, SINGLE_KEYS[key]) is not None:
        return f"{key} is given twice"
    if key in ("AppName", "Provider", "SetupLibrary") and not is_plain_name(value):
        return f"{key} must be a plain ASCII name, not '{value}'"
    if key == "AppName":
        package.app_name = value
    elif key == "Provider":
        package.provider = value
    elif key == "SetupLibrary":
        package.setup_library = value
    elif key == "InstallDir":
        if not is_install_dir(value):
            return f"InstallDir must be {' or '.join(INSTALL_BASES)} and plain folder names, not '{value}'"
        package.install_dir = value
    elif key == "File" and len(fields) == 2 and is_plain_name(fields[0]):
        if fields[1] != FILE_DIRECTORY:
            return f"files are installed into {FILE_DIRECTORY} only, not '{fields[1]}'"
        if fields[0] in package.files:
            return f"the file '{fields[0]}' is given twice"
        package.files.append(fields[0])
    elif key == "Shortcut" and len(fields) == 3 and is_plain_name(fields[0]):
        if fields[1] != SHORTCUT_DIRECTORY:
            return f"shortcuts are made in {SHORTCUT_DIRECTORY} only, not '{fields[1]}'"
        if fields[2] not in package.files:
            return f"a shortcut to '{fields[2]}', which is not one of the files given before it"
        package.shortcuts.append((fields[0], fields[2]))
    else:
        return "cannot read this line"
    return None


def read_description(path):
    package = Package()
    number = 0
    with open(path, encoding="utf-8") as description:
        for number, line in enumerate(description, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            key, _, value = (part.strip() for part in line.partition("="))
            problem = read_setting(package, key, [field.strip() for field in value.split(",")])
            if problem:
                sys.exit(f"{path}:{number}: {problem}")
    # What no line gave is reported at the end of the description, where it would go.
    missing = [key for key, field in SINGLE_KEYS.items() if getattr(package, field) is None]
    if missing:
        sys.exit(f"{path}:{number}: missing {', '.join(missing)}")
    return package


def file_numbers(package):
    return {name: number for number, name in enumerate(package.files, 1)}


def instruction_file(package, arch):
    instructions = Instructions(package.app_name, package.provider, arch)
    directory = instructions.add_directory(package.install_dir)
    for name, number in file_numbers(package).items():
        instructions.add_file(number, directory, name)
    for name, target in package.shortcuts:
        instructions.add_shortcut(name, SHORTCUT_DIRECTORY, file_numbers(package)[target])
    return instructions.to_bytes()


def setup_xml(package, members):
    install = xml.install_characteristic(
        f"{package.provider} {package.app_name}",
        {"NumDirs": 1, "NumFiles": len(package.files), "NumShortcuts": len(package.shortcuts)},
        package.install_dir, members[package.setup_library])
    extracts = [xml.characteristic(name, xml.characteristic("Extract", xml.parm("Source", members[name])),
                                   translation="install") for name in package.files]
    files = xml.characteristic(package.install_dir, xml.characteristic("MakeDir"), *extracts, translation="install")
    shortcuts = [xml.characteristic(SHORTCUT_DIRECTORY, xml.characteristic("MakeDir"), xml.characteristic(
        name + ".lnk", xml.characteristic("Shortcut", xml.parm("Source", f"{package.install_dir}\\{target}",
                                                                translation="install")),
        translation="install"), translation="install") for name, target in package.shortcuts]
    return xml.document(install, xml.characteristic("FileOperation", files, *shortcuts))


def inf(package, arch):
    section = cab_wizard_inf.section
    lines = cab_wizard_inf.header("Made by packaging/make_cab.py from packaging/quillmere.package; do not edit.",
                                  package.provider, package.app_name, package.install_dir, arch)
    lines += section("DefaultInstall", ["CopyFiles=Files", "AddReg=", "CEShortcuts=Shortcuts",
                                        f"CESetupDLL={package.setup_library}"])
    lines += section("SourceDisksNames", ['1=,"Kit",,.'])
    lines += section("SourceDisksFiles", [f"{name}=1" for name in package.files + [package.setup_library]])
    lines += section("DestinationDirs", [f"Files=0,{FILE_DIRECTORY}", f"Shortcuts=0,{SHORTCUT_DIRECTORY}"])
    lines += section("Files", [f'"{name}","{name}",,0x{ALWAYS_OVERWRITE:08x}' for name in package.files])
    lines += section("Shortcuts", [f"{name},0,{target}" for name, target in package.shortcuts])
    return cab_wizard_inf.document(lines)


def cabinet_members(package, sources, arch):
    """(member, bytes) in the cabinet's order: the .000 first, then the rest by descending number
    (the setup library's .999 first among them), and _setup.xml."""
    members = {name: cabinet.member_name(name, number) for name, number in file_numbers(package).items()}
    members[package.setup_library] = cabinet.member_name(package.setup_library, 999)
    order = [(cabinet.member_name(package.app_name, 0), instruction_file(package, arch))]
    for name in sorted(members, key=lambda name: members[name][-3:], reverse=True):
        with open(sources[name], "rb") as source:
            order.append((members[name], source.read()))
    return order + [("_setup.xml", setup_xml(package, members))]


def build(package, sources, arch, cab_path, inf_path=None):
    cabinet.pack(cabinet_members(package, sources, arch), cab_path)
    if inf_path:
        whole_files.write_whole(inf_path, inf(package, arch))


def main():
    parser = command_line.parser("make_cab.py", __doc__)
    parser.add_argument("description")
    parser.add_argument("--file", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--for", dest="processor", choices=sorted(ARCHITECTURES), required=True)
    parser.add_argument("--cab", required=True)
    parser.add_argument("--inf")
    arguments = parser.parse_args()
    try:
        package = read_description(arguments.description)
        sources = dict(item.split("=", 1) for item in arguments.file if "=" in item)
        absent = [name for name in package.files + [package.setup_library] if name not in sources]
        if absent:
            sys.exit("make_cab.py: no --file for " + ", ".join(absent))
        build(package, sources, ARCHITECTURES[arguments.processor], arguments.cab, arguments.inf)
    except Exception as problem:  # noqa: BLE001 (a file, gcab): one line, never a traceback
        sys.exit(f"make_cab.py: {arguments.description}: {problem}")


if __name__ == "__main__":
    main()
