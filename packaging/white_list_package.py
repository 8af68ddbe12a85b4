#!/usr/bin/python3
"""Turns a white-list file into what sets the same twelve values on every device: a CAB package
(NAME.cab, with its _setup.xml), a provisioning document (NAME.xml), the same document as the
device opens it (NAME.cpf) and the CAB Wizard's .inf (NAME.inf).

    white-list-package LIST_FILE OUTPUT_FOLDER [signing options]

The list file, UTF-8 (a BOM is allowed), one setting a line, '#' starting a comment line:

    enable = on            (or off)
    ssid1 = Warehouse-North
    ssid2 = "  blanks kept, # and = too  "

The value is the rest of the line after '=', without the blanks around it; when it starts with
'"' it must also end with one, and the SSID is exactly what lies between the two (so it may hold
blanks at either end, '#', '=' and quotes). A missing position is an empty entry.

NAME is the list file's name without its extension. The output folder must be new, empty, or
hold only what white-list-package wrote there (its marker file, .kit-signing-output, lists each
file with its SHA-256; one folder may hold several lists). The outputs are written into a
temporary folder inside it; once all are complete, the outputs of an earlier run for the same
NAME are moved aside, the new set is moved in, and only then are the earlier ones deleted (those
this run does not write too); on any failure the earlier outputs stay as they were. Given a code-signing certificate
(--certificate and --key, or --pkcs12), NAME.cab and NAME.cpf are signed; a certificate the
device cannot use is refused before anything is written.

Exit codes: 0 all four written; 1 the list is refused, or the outputs cannot be written (nothing
written); 2 bad arguments; 3 only NAME.xml and NAME.cpf written: an SSID is not ASCII (the CAB's
instruction file holds 8-bit text in the device's code page, which this kit does not know) or
holds '%' (which the device's CAB installer may take for a folder macro); 128 + the signal's
number when stopped by SIGTERM, SIGINT or SIGHUP (the earlier outputs as they were)."""
import os
import re
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cab_wizard_inf  # noqa: E402
import cabinet  # noqa: E402
import command_line  # noqa: E402
import output_folders  # noqa: E402
import provisioning_xml as xml  # noqa: E402
import whole_files  # noqa: E402
from cab_instructions import Instructions  # noqa: E402
from printable_text import printable, shown  # noqa: E402

ROOT, KEY = "HKLM", "COMM\\TIWLNAPI1\\PARMS"
SSID_MAX_UNITS = 32
MAX_LIST_BYTES = 1 << 20  # twelve settings and their comments; more is no white list
APP_NAME, PROVIDER = "White list", "Pellworth"
SSID_KEY = re.compile(r"ssid(0|[1-9][0-9]*)")  # ASCII digits only: "ssid²" is an unknown key
OUTPUTS = (".xml", ".cpf", ".cab", ".inf")
COMMAND = "white-list-package"
# The twelve values in the order Quillmere writes them.
VALUE_NAMES = ["WhiteListEnable"] + ["WhiteListSSID%d" % number for number in range(1, 11)] + ["WhiteListCount"]


class Refused(Exception):
    pass


def quoted(text):
    """A key or value of the list as an error line names it."""
    return shown(text, "'")


def utf16_units(text):
    return sum(2 if ord(c) > 0xFFFF else 1 for c in text)


def value_of(raw, where):
    value = raw.strip(" \t")
    if value.startswith('"'):
        if len(value) < 2 or not value.endswith('"'):
            raise Refused(f"{where}: a value that starts with a quote must end with one")
        value = value[1:-1]
    return value


def read_ssid(key, value, where):
    if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in value):
        raise Refused(f"{where}: {quoted(key)} holds a control character")
    if utf16_units(value) > SSID_MAX_UNITS:
        raise Refused(f"{where}: {quoted(key)} is {utf16_units(value)} characters long; the device keeps at "
                      "most 32")
    return value


def read_list(path):
    """The list as Quillmere would store it: enable "1"/"0", ten SSIDs ("" for empty entries)."""
    try:
        data = whole_files.read_whole(path, MAX_LIST_BYTES)
    except whole_files.Unreadable as problem:
        raise Refused(f"{printable(path)}: cannot be read: {problem}") from None
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data[:error.start].count(b"\n") + 1
        raise Refused(f"{printable(path)}:{line}: not valid UTF-8")
    text = text[1:] if text.startswith("\ufeff") else text
    enable, ssids, seen = None, [""] * 10, set()
    for number, line in enumerate(text.split("\n"), 1):
        line = line[:-1] if line.endswith("\r") else line
        where = f"{printable(path)}:{number}"
        if not line.strip(" \t") or line.lstrip(" \t").startswith("#"):
            continue
        key, equals, raw = line.partition("=")
        key = key.strip(" \t")
        if not equals:
            raise Refused(f"{where}: expected 'key = value'")
        if key in seen:
            raise Refused(f"{where}: {quoted(key)} is set twice")
        seen.add(key)
        value = value_of(raw, where)
        position = SSID_KEY.fullmatch(key)
        if key == "enable":
            if value not in ("on", "off"):
                raise Refused(f"{where}: enable must be 'on' or 'off', not {quoted(value)}")
            enable = "1" if value == "on" else "0"
        elif position:
            if not 1 <= int(position.group(1)) <= 10:
                raise Refused(f"{where}: {quoted(key)}: positions run from ssid1 to ssid10")
            ssids[int(position.group(1)) - 1] = read_ssid(key, value, where)
        else:
            raise Refused(f"{where}: unknown key {quoted(key)}: a list knows enable and ssid1 to ssid10, in "
                          "lower case")
    if not seen:
        raise Refused(f"{printable(path)}: the list is empty")
    if enable is None:
        raise Refused(f"{printable(path)}: 'enable = on' or 'enable = off' is missing")
    return enable, ssids


def values(enable, ssids):
    """The twelve values in the order Quillmere writes them, the count recomputed."""
    count = sum(1 for ssid in ssids if ssid)
    return list(zip(VALUE_NAMES, [enable] + ssids + [str(count)]))


def why_no_cab(settings):
    """Why the list cannot travel in a CAB (or its .inf) unchanged, or None."""
    if not all(text.isascii() for _, text in settings):
        return ("an SSID is not ASCII, and the CAB's instruction file holds 8-bit text in the device's code page, "
                "which this kit does not know")
    if any("%" in text for _, text in settings):
        return ("an SSID holds '%', which the device's CAB installer and the CAB Wizard may take for a folder macro "
                "(%CE1%, %InstallDir%, ...) and store otherwise")
    return None


def instruction_file(settings):
    instructions = Instructions(APP_NAME, PROVIDER, 0)
    for name, text in settings:
        instructions.add_string_value(ROOT, KEY, name, text)
    return instructions.to_bytes()


def provisioning_document(settings):
    return xml.document(xml.registry_characteristic(f"{ROOT}\\{KEY}", settings))


def setup_xml(settings):
    install = xml.install_characteristic(f"{PROVIDER} {APP_NAME}", {"NumRegKeys": 1, "NumRegVals": len(settings)})
    return xml.document(install, xml.registry_characteristic(f"{ROOT}\\{KEY}", settings))


def inf(settings):
    lines = cab_wizard_inf.header("Made by packaging/white-list-package; do not edit.", PROVIDER, APP_NAME,
                                  "%CE1%\\%AppName%", 0)
    lines += cab_wizard_inf.section("DefaultInstall", ["AddReg=WhiteList"])
    lines += cab_wizard_inf.section("WhiteList", [f"{ROOT},{KEY},{name},0x00000000,{cab_wizard_inf.quoted(text)}"
                                                  for name, text in settings])
    return cab_wizard_inf.document(lines)


def write_outputs(settings, name, staging, with_cab, signer):
    """Writes the list's outputs into the staging folder, the cabinets signed when a signer is
    given; their extensions."""
    document = provisioning_document(settings)
    with open(os.path.join(staging, name + ".xml"), "wb") as out:
        out.write(document)
    cabinet.pack([("_setup.xml", document)], os.path.join(staging, name + ".cpf"))
    written = [".xml", ".cpf"]
    if with_cab:
        cabinet.pack([(cabinet.member_name(name, 0), instruction_file(settings)), ("_setup.xml", setup_xml(settings))],
                     os.path.join(staging, name + ".cab"))
        with open(os.path.join(staging, name + ".inf"), "wb") as out:
            out.write(inf(settings))
        written = list(OUTPUTS)
    if signer:
        for extension in (".cab", ".cpf"):
            if extension in written:
                signer.sign(os.path.join(staging, name + extension))
    return written


def publish(settings, name, folder, with_cab, signer):
    """Writes the complete set in a temporary folder inside the output folder, then replaces the
    earlier outputs of the same NAME with it: the folder must be new, empty, or hold only what
    white-list-package wrote there (its marker lists each file with its SHA-256), so that no file
    of anyone else's is ever replaced or deleted."""
    place = output_folders.output_place(folder, COMMAND)
    output_folders.earlier_output(place, COMMAND, folder)
    os.makedirs(place, exist_ok=True)
    staging = tempfile.mkdtemp(prefix=".white-list-package-", dir=place)
    try:
        written = write_outputs(settings, name, staging, with_cab, signer)
        output_folders.move_in(staging, place, [name + extension for extension in written], COMMAND, folder,
                               removing=[name + extension for extension in OUTPUTS if extension not in written])
    finally:
        shutil.rmtree(staging, ignore_errors=True)
    return [os.path.join(folder, name + extension) for extension in written]


def report(written, settings, no_cab, name):
    for path in written:
        print("wrote " + printable(path))
    print("the list as it will be stored under HKEY_LOCAL_MACHINE\\" + KEY + ":")
    for value_name, text in settings:
        print(f"  {value_name} = {shown(text)}")
    if no_cab:
        name = printable(name)
        print(f"not written: {name}.cab and {name}.inf: {no_cab}; set this list with the provisioning document "
              f"({name}.xml or {name}.cpf), whose values are stored as written", file=sys.stderr)


def main():
    import code_signing  # here: the report and the query, which read lists, sign nothing and start quicker
    parser = command_line.parser(COMMAND, __doc__, usage=__doc__.split("\n\n")[1].strip())
    parser.add_argument("list_file")
    parser.add_argument("output_folder")
    code_signing.add_arguments(parser)
    arguments = parser.parse_args()
    sys.stdout.reconfigure(errors="backslashreplace")  # a file name need not be valid UTF-8
    output_folders.stop_on_signals()
    list_path, folder = arguments.list_file, arguments.output_folder
    try:
        settings = values(*read_list(list_path))
        name = os.path.splitext(os.path.basename(list_path))[0]
        no_cab = why_no_cab(settings)
        written = publish(settings, name, folder, no_cab is None, code_signing.signer_of(arguments))
    except output_folders.Stopped as stop:
        print(f"white-list-package: stopped by {stop.name}", file=sys.stderr)
        return 128 + stop.number
    except (Refused, output_folders.Refused, code_signing.SigningError) as problem:
        print(f"white-list-package: {problem}", file=sys.stderr)
        return 1
    except Exception as problem:  # noqa: BLE001 (a file, gcab): one line, never a traceback
        print(f"white-list-package: {printable(list_path)}: {problem}", file=sys.stderr)
        return 1
    report(written, settings, no_cab, name)
    return 3 if no_cab else 0


if __name__ == "__main__":
    sys.exit(main())
