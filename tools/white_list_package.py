#!/usr/bin/env python3
"""Turns a white-list file into what sets the same twelve values on every device: a CAB package
(NAME.cab, with its _setup.xml), a provisioning document (NAME.xml), the same document as the
device opens it (NAME.cpf) and the CAB Wizard's .inf (NAME.inf).

    white_list_package.py LIST_FILE OUTPUT_FOLDER

The list file, UTF-8 (a BOM is allowed), one setting a line, '#' starting a comment line:

    enable = on            (or off)
    ssid1 = Warehouse-North
    ssid2 = "  blanks kept, # and = too  "

The value is the rest of the line after '=', without the blanks around it; when it starts with
'"' it must also end with one, and the SSID is exactly what lies between the two (so it may hold
blanks at either end, '#', '=' and quotes). A missing position is an empty entry.

Exit codes: 0 all four written; 1 the list is refused (nothing written); 2 bad arguments;
3 an SSID is not ASCII: only NAME.xml and NAME.cpf are written, since the CAB's instruction
file holds 8-bit text in the device's code page, which this kit does not know."""
import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from make_cab import Strings, assemble_instructions, pack_cabinet, string_section, text8  # noqa: E402

KEY = "COMM\\TIWLNAPI1\\PARMS"
HKLM = 3
SSID_MAX_UNITS = 32
APP_NAME, PROVIDER = "White list", "Pellworth"


class Refused(Exception):
    pass


def utf16_units(text):
    return sum(2 if ord(c) > 0xFFFF else 1 for c in text)


def value_of(raw, where):
    value = raw.strip(" \t")
    if value.startswith('"'):
        if len(value) < 2 or not value.endswith('"'):
            raise Refused(f"{where}: a value that starts with a quote must end with one")
        value = value[1:-1]
    return value


def read_list(path):
    """The list as Quillmere would store it: enable "1"/"0", ten SSIDs ("" for empty entries)."""
    with open(path, "rb") as source:
        data = source.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data[:error.start].count(b"\n") + 1
        raise Refused(f"{path}:{line}: not valid UTF-8")
    text = text[1:] if text.startswith("\ufeff") else text
    enable, ssids, seen = None, [""] * 10, set()
    for number, line in enumerate(text.split("\n"), 1):
        line = line[:-1] if line.endswith("\r") else line
        where = f"{path}:{number}"
        if not line.strip(" \t") or line.lstrip(" \t").startswith("#"):
            continue
        key, equals, raw = line.partition("=")
        key = key.strip(" \t")
        if not equals:
            raise Refused(f"{where}: expected 'key = value'")
        if key in seen:
            raise Refused(f"{where}: '{key}' is set twice")
        seen.add(key)
        value = value_of(raw, where)
        if key == "enable":
            if value not in ("on", "off"):
                raise Refused(f"{where}: enable must be 'on' or 'off', not '{value}'")
            enable = "1" if value == "on" else "0"
        elif key.startswith("ssid") and key[4:].isdigit() and key[4:] == str(int(key[4:])):
            position = int(key[4:])
            if not 1 <= position <= 10:
                raise Refused(f"{where}: '{key}': positions run from ssid1 to ssid10")
            if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in value):
                raise Refused(f"{where}: '{key}' holds a control character")
            if utf16_units(value) > SSID_MAX_UNITS:
                raise Refused(f"{where}: '{key}' is {utf16_units(value)} characters long; the device keeps at most 32")
            ssids[position - 1] = value
        else:
            raise Refused(f"{where}: unknown key '{key}'")
    if not seen:
        raise Refused(f"{path}: the list is empty")
    if enable is None:
        raise Refused(f"{path}: 'enable = on' or 'enable = off' is missing")
    return enable, ssids


def values(enable, ssids):
    """The twelve values in the order Quillmere writes them, the count recomputed."""
    count = sum(1 for ssid in ssids if ssid)
    return ([("WhiteListEnable", enable)] + [("WhiteListSSID%d" % (i + 1), s) for i, s in enumerate(ssids)] +
            [("WhiteListCount", str(count))])


def instruction_file(settings):
    strings = Strings()
    path_ids = strings.ids_of_path(KEY)
    hive = struct.pack("<HHHH", 1, HKLM, 0, 2 * (len(path_ids) + 1)) + struct.pack("<%dH" % len(path_ids), *path_ids)
    hive += b"\0\0"
    keys = b""
    for number, (name, value) in enumerate(settings, 1):
        data = text8(name) + text8(value)
        keys += struct.pack("<HHHIH", number, 1, 0, 0, len(data)) + data
    sections = [string_section(strings), b"", b"", hive, keys, b""]
    return assemble_instructions(APP_NAME, PROVIDER, 0, sections, [len(strings.ids), 0, 0, 1, len(settings), 0])


def xml_text(value):
    return value.replace("&", "&amp;").replace('"', "&quot;").replace("<", "&lt;").replace(">", "&gt;")


def registry_characteristic(settings, indent):
    lines = [indent + '<characteristic type="Registry">',
             indent + f'  <characteristic type="HKLM\\{KEY}">']
    lines += [indent + f'    <parm name="{name}" value="{xml_text(value)}" datatype="string" />'
              for name, value in settings]
    return lines + [indent + "  </characteristic>", indent + "</characteristic>"]


def provisioning_document(settings):
    lines = ["<wap-provisioningdoc>"] + registry_characteristic(settings, "  ") + ["</wap-provisioningdoc>", ""]
    return "\r\n".join(lines).encode("utf-8")


def setup_xml(settings):
    lines = ["<wap-provisioningdoc>",
             '  <characteristic type="Install">',
             '    <parm name="InstallPhase" value="install" />',
             f'    <parm name="AppName" value="{PROVIDER} {APP_NAME}" />',
             '    <parm name="NumDirs" value="0" />',
             '    <parm name="NumFiles" value="0" />',
             '    <parm name="NumRegKeys" value="1" />',
             f'    <parm name="NumRegVals" value="{len(settings)}" />',
             '    <parm name="NumShortcuts" value="0" />',
             "  </characteristic>"] + registry_characteristic(settings, "  ") + ["</wap-provisioningdoc>", ""]
    return "\r\n".join(lines).encode("utf-8")


def inf(settings, name):
    def quoted(value):  # in an .inf, %name% is a substitution and "" a quote
        return '"' + value.replace('"', '""').replace("%", "%%") + '"'
    lines = [f"; Made by tools/white-list-package from {name}; do not edit.",
             "[Version]", 'Signature="$Windows NT$"', f'Provider="{PROVIDER}"', 'CESignature="$Windows CE$"', "",
             "[CEStrings]", f'AppName="{APP_NAME}"', "InstallDir=%CE1%\\%AppName%", "",
             "[CEDevice]", "VersionMin=5.0", "VersionMax=6.99", "BuildMax=0xE0000000", "",
             "[DefaultInstall]", "AddReg=WhiteList", "",
             "[WhiteList]"]
    lines += [f"HKLM,{KEY},{value_name},0x00000000,{quoted(value)}" for value_name, value in settings]
    return "\r\n".join(lines + [""]).encode("ascii")


def main():
    if len(sys.argv) != 3:
        print(__doc__.split("\n\n")[1], file=sys.stderr)
        return 2
    list_path, folder = sys.argv[1:]
    try:
        settings = values(*read_list(list_path))
    except (Refused, OSError) as problem:
        print(f"white-list-package: {problem}", file=sys.stderr)
        return 1
    name = os.path.splitext(os.path.basename(list_path))[0]
    os.makedirs(folder, exist_ok=True)
    ascii_only = all(value.isascii() for _, value in settings)
    document = provisioning_document(settings)
    with open(os.path.join(folder, name + ".xml"), "wb") as out:
        out.write(document)
    pack_cabinet([("_setup.xml", document)], os.path.join(folder, name + ".cpf"))
    written = [name + ".xml", name + ".cpf"]
    if ascii_only:
        member = "%s.000" % name[:8].rjust(8, "0")
        pack_cabinet([(member, instruction_file(settings)), ("_setup.xml", setup_xml(settings))],
                     os.path.join(folder, name + ".cab"))
        with open(os.path.join(folder, name + ".inf"), "wb") as out:
            out.write(inf(settings, os.path.basename(list_path)))
        written += [name + ".cab", name + ".inf"]
    for file_name in written:
        print("wrote " + os.path.join(folder, file_name))
    print("the list as it will be stored under HKEY_LOCAL_MACHINE\\" + KEY + ":")
    for value_name, value in settings:
        print(f'  {value_name} = "{value}"')
    if not ascii_only:
        print(f"not written: {name}.cab and {name}.inf: an SSID is not ASCII, and the CAB's instruction file holds "
              "8-bit text in the device's code page; set this list with the provisioning document (UTF-8)",
              file=sys.stderr)
        return 3
    return 0


if __name__ == "__main__":
    sys.exit(main())
