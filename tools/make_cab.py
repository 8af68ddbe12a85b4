#!/usr/bin/env python3
"""Builds the kit's CAB package from packaging/quillmere.package: the binary instruction file
(.000), the provisioning document _setup.xml, the files under 8.3 member names and the setup
library as .999, packed with gcab; and, from the same description, the CAB Wizard's .inf.

    make_cab.py DESCRIPTION --file NAME=PATH ... --arch N --cab OUT.cab [--inf OUT.inf]

--arch is the target architecture of the instruction file: 0 (any) for the emulated device,
2577 (ARM) for the device. The same inputs always give the same bytes."""
import argparse
import os
import struct
import subprocess
import sys
import tempfile

FIXED_TIME = 1767225600  # 2026-01-01: members carry this date, so builds are byte-identical
HEADER_SIZE = 100
FILE_FLAGS = 0x40000000  # always overwrite: a repeated installation replaces the program
MACRO_DIRECTORIES = {"%InstallDir%": 0, "%CE1%": 1, "%CE2%": 2, "%CE11%": 11}


class Package:
    def __init__(self):
        self.app_name = self.provider = self.install_dir = self.setup_library = None
        self.files = []      # (name, directory)
        self.shortcuts = []  # (name, directory, file name)


def read_description(path):
    package = Package()
    with open(path, encoding="utf-8") as description:
        for number, line in enumerate(description, 1):
            line = line.strip()
            if not line or line.startswith("#"):
                continue
            key, _, value = (part.strip() for part in line.partition("="))
            fields = [field.strip() for field in value.split(",")]
            if key == "AppName":
                package.app_name = value
            elif key == "Provider":
                package.provider = value
            elif key == "InstallDir":
                package.install_dir = value
            elif key == "SetupLibrary":
                package.setup_library = value
            elif key == "File" and len(fields) == 2:
                package.files.append(tuple(fields))
            elif key == "Shortcut" and len(fields) == 3:
                package.shortcuts.append(tuple(fields))
            else:
                sys.exit(f"{path}:{number}: cannot read '{line}'")
    missing = [k for k in ("app_name", "provider", "install_dir", "setup_library") if getattr(package, k) is None]
    if missing:
        sys.exit(f"{path}: missing {', '.join(missing)}")
    for _, _, target in package.shortcuts:
        if target not in [name for name, _ in package.files]:
            sys.exit(f"{path}: shortcut to '{target}', which is not one of the files")
    return package


def member_name(name, number):
    """8.3: the first 8 characters of the name without its extension, left-padded with 0."""
    stem = os.path.splitext(name)[0][:8]
    return stem.rjust(8, "0") + ".%03d" % number


def members(package):
    """(member name, file name) in the order they go into the cabinet: .000 first, then the rest
    by descending number, the setup library (.999) first among them."""
    numbered = [(member_name(name, i + 1), name) for i, (name, _) in enumerate(package.files)]
    setup = (member_name(package.setup_library, 999), package.setup_library)
    return [setup] + sorted(numbered, reverse=True)


def expand_directory(package, directory):
    return directory.replace("%InstallDir%", package.install_dir)


class Strings:
    def __init__(self):
        self.ids = {}

    def id(self, text):
        if text not in self.ids:
            self.ids[text] = len(self.ids) + 1
        return self.ids[text]

    def ids_of_path(self, path):
        return [self.id(part) for part in path.split("\\")]


def instruction_file(package, arch):
    strings = Strings()
    directories = {}  # expanded path -> (id, string ids)
    for _, directory in package.files:
        path = expand_directory(package, directory)
        if path not in directories:
            directories[path] = (len(directories) + 1, strings.ids_of_path(path))
    shortcut_names = [strings.ids_of_path(name) for name, _, _ in package.shortcuts]

    directory_section = b"".join(struct.pack("<HH", number, 2 * (len(ids) + 1)) + struct.pack("<%dH" % len(ids), *ids) + b"\0\0"
                                 for number, ids in directories.values())
    file_section = b""
    for i, (name, directory) in enumerate(package.files):
        number = i + 1
        directory_id = directories[expand_directory(package, directory)][0]
        file_section += struct.pack("<HHHIH", number, directory_id, number, FILE_FLAGS, len(text8(name))) + text8(name)
    shortcut_section = b""
    file_numbers = {name: i + 1 for i, (name, _) in enumerate(package.files)}
    for i, ((name, directory, target), ids) in enumerate(zip(package.shortcuts, shortcut_names)):
        base = MACRO_DIRECTORIES.get(directory)
        if base is None:
            sys.exit(f"shortcut directory must be one of {', '.join(MACRO_DIRECTORIES)}, not {directory}")
        shortcut_section += struct.pack("<HHHHHH", i + 1, 0, base, file_numbers[target], 1, 2 * (len(ids) + 1))
        shortcut_section += struct.pack("<%dH" % len(ids), *ids) + b"\0\0"

    sections = [string_section(strings), directory_section, file_section, b"", b"", shortcut_section]
    counts = [len(strings.ids), len(directories), len(package.files), 0, 0, len(package.shortcuts)]
    return assemble_instructions(package.app_name, package.provider, arch, sections, counts)


def assemble_instructions(app_name, provider, arch, sections, counts):
    """The .000: its 100-byte header, the application and provider names, then the six sections
    (strings, directories, files, registry hives, registry keys, shortcuts) with their counts."""
    app_name, provider = text8(app_name), text8(provider)
    body = app_name + provider
    offsets = []
    for section in sections:
        offsets.append(HEADER_SIZE + len(body))
        body += section
    total = HEADER_SIZE + len(body)
    header = b"MSCE" + struct.pack("<IIII", 0, total, 0, 1) + struct.pack("<I", arch)
    header += struct.pack("<6I", 5, 0, 6, 99, 0, 0)  # Windows CE 5.0 to 6.99, any build
    header += struct.pack("<6H", *counts) + struct.pack("<6I", *offsets)
    header += struct.pack("<6H", HEADER_SIZE, len(app_name), HEADER_SIZE + len(app_name), len(provider), 0, 0)
    header += struct.pack("<2H", 0, 0)
    assert len(header) == HEADER_SIZE
    return header + body


def text8(value):
    """A string of the instruction file: 8-bit text and its NUL (only ASCII is written)."""
    return value.encode("ascii") + b"\0"


def string_section(strings):
    return b"".join(struct.pack("<HH", number, len(text8(value))) + text8(value) for value, number in strings.ids.items())


def pack_cabinet(members, cab_path):
    """Packs (member name, bytes) in the order given, stored, every member dated FIXED_TIME."""
    with tempfile.TemporaryDirectory() as staging:
        paths = []
        for member, data in members:
            path = os.path.join(staging, member)
            with open(path, "wb") as out:
                out.write(data)
            os.utime(path, (FIXED_TIME, FIXED_TIME))
            paths.append(path)
        if os.path.exists(cab_path):
            os.remove(cab_path)
        subprocess.run(["gcab", "-c", "-n", cab_path] + paths, check=True)


def setup_xml(package):
    numbered = {name: member for member, name in members(package)}
    lines = ['<wap-provisioningdoc>',
             '  <characteristic type="Install">',
             '    <parm name="InstallPhase" value="install" />',
             f'    <parm name="AppName" value="{package.provider} {package.app_name}" />',
             f'    <parm name="InstallDir" value="{package.install_dir}" translation="install" />',
             f'    <parm name="NumDirs" value="{len({d for _, d in package.files})}" />',
             f'    <parm name="NumFiles" value="{len(package.files)}" />',
             '    <parm name="NumRegKeys" value="0" />',
             '    <parm name="NumRegVals" value="0" />',
             f'    <parm name="NumShortcuts" value="{len(package.shortcuts)}" />',
             f'    <parm name="SetupDLL" value="{numbered[package.setup_library]}" />',
             '  </characteristic>',
             '  <characteristic type="FileOperation">']
    for directory in dict.fromkeys(d for _, d in package.files):
        lines += [f'    <characteristic type="{expand_directory(package, directory)}" translation="install">',
                  '      <characteristic type="MakeDir" />']
        for name, file_directory in package.files:
            if file_directory == directory:
                lines += [f'      <characteristic type="{name}" translation="install">',
                          '        <characteristic type="Extract">',
                          f'          <parm name="Source" value="{numbered[name]}" />',
                          '        </characteristic>',
                          '      </characteristic>']
        lines.append('    </characteristic>')
    for name, directory, target in package.shortcuts:
        target_directory = dict(package.files)[target]
        lines += [f'    <characteristic type="{directory}" translation="install">',
                  '      <characteristic type="MakeDir" />',
                  f'      <characteristic type="{name}.lnk" translation="install">',
                  '        <characteristic type="Shortcut">',
                  f'          <parm name="Source" value="{expand_directory(package, target_directory)}\\{target}" translation="install" />',
                  '        </characteristic>',
                  '      </characteristic>',
                  '    </characteristic>']
    lines += ['  </characteristic>', '</wap-provisioningdoc>', '']
    return "\r\n".join(lines).encode("utf-8")


def inf(package, arch):
    sections = {d: "Files.%d" % (i + 1) for i, d in enumerate(dict.fromkeys(d for _, d in package.files))}
    lines = ["; Generated by tools/make_cab.py from packaging/quillmere.package; do not edit.",
             "[Version]", 'Signature="$Windows NT$"', f'Provider="{package.provider}"', 'CESignature="$Windows CE$"', "",
             "[CEStrings]", f'AppName="{package.app_name}"', f"InstallDir={package.install_dir}", "",
             "[CEDevice]"] + ([f"ProcessorType={arch}"] if arch else []) + ["VersionMin=5.0", "VersionMax=6.99", "BuildMax=0xE0000000", "",
             "[DefaultInstall]", "CopyFiles=" + ",".join(sections.values()), "AddReg=",
             "CEShortcuts=Shortcuts", f"CESetupDLL={package.setup_library}", "",
             "[SourceDisksNames]", '1=,"Kit",,.', "",
             "[SourceDisksFiles]"]
    lines += [f"{name}=1" for name, _ in package.files] + [f"{package.setup_library}=1", "", "[DestinationDirs]"]
    lines += [f"{section}=0,{expand_directory(package, d).replace(package.install_dir, '%InstallDir%')}"
              for d, section in sections.items()]
    lines += ["Shortcuts=0,%CE11%" if all(d == "%CE11%" for _, d, _ in package.shortcuts) else "Shortcuts=0,%InstallDir%", ""]
    for directory, section in sections.items():
        lines += [f"[{section}]"] + [f'"{name}","{name}",,0x{FILE_FLAGS:08x}' for name, d in package.files if d == directory] + [""]
    lines += ["[Shortcuts]"] + [f"{name},0,{target}" for name, _, target in package.shortcuts] + [""]
    return "\r\n".join(lines).encode("ascii")


def build(package, sources, arch, cab_path, inf_path):
    order = [("%s.000" % package.app_name[:8].rjust(8, "0"), instruction_file(package, arch))]
    for member, name in members(package):
        with open(sources[name], "rb") as source:
            order.append((member, source.read()))
    order.append(("_setup.xml", setup_xml(package)))
    pack_cabinet(order, cab_path)
    if inf_path:
        with open(inf_path, "wb") as out:
            out.write(inf(package, arch))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("description")
    parser.add_argument("--file", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--arch", type=int, default=0)
    parser.add_argument("--cab", required=True)
    parser.add_argument("--inf")
    arguments = parser.parse_args()
    package = read_description(arguments.description)
    sources = dict(item.split("=", 1) for item in arguments.file)
    needed = [name for name, _ in package.files] + [package.setup_library]
    absent = [name for name in needed if name not in sources]
    if absent:
        sys.exit("no --file for " + ", ".join(absent))
    build(package, sources, arguments.arch, arguments.cab, arguments.inf)


if __name__ == "__main__":
    main()
