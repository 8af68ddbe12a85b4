#!/usr/bin/python3
"""Makes the packages the stand-in installer's tests install, with the kit's own format writers:
registry strings marked for substitution, a _setup.xml from another builder, files for the
device's \\Windows named as Wine's own, packages named as the kit, and packages the installer must
refuse (among them two setup libraries, two members that are one file on the device, a _setup.xml
that says more than the instruction file, and a .cpf whose parm holds an element).

    make_test_packages.py OUTPUT_FOLDER LIBRARY_WITHOUT_HOOKS.dll"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
import cabinet  # noqa: E402
import provisioning_xml as xml  # noqa: E402
from cab_instructions import Instructions  # noqa: E402

PROVIDER = "Pellworth"
SUBSTITUTION_KEY = "Software\\Pellworth\\Substitution"
# The policies file of the tests' device, as a package would name it to Wine (drive Z: is the host's /).
POLICIES = "Z:" + os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "device",
                                                 "test-480x640.security", "policies")).replace("/", "\\")
BUILDER_KEY = "Software\\Pellworth\\Builder"


def package(app_name, values, key=SUBSTITUTION_KEY, folder=None, marked=(), setup_xml=None, library=None, more=()):
    """(member, bytes) of a package that sets string values in one HKLM key, optionally with an
    installation folder and a setup library; `more` are characteristics its _setup.xml adds."""
    instructions = Instructions(app_name, PROVIDER, 0)
    if folder:
        instructions.add_directory(folder)
    for name, text in values:
        instructions.add_string_value("HKLM", key, name, text, substitute=name in marked)
    counts = {"NumDirs": int(bool(folder)), "NumRegKeys": int(bool(values)), "NumRegVals": len(values)}
    install = xml.install_characteristic(f"{PROVIDER} {app_name}", counts, folder,
                                         cabinet.member_name(library[0], 999) if library else None)
    characteristics = [install] + ([xml.registry_characteristic("HKLM\\" + key, values, marked)] if values else [])
    members = [(cabinet.member_name(app_name, 0), instructions.to_bytes())]
    if library:
        with open(library[1], "rb") as source:
            members.append((cabinet.member_name(library[0], 999), source.read()))
    return members + [("_setup.xml", setup_xml or xml.document(*characteristics, *more))]


def files_package(app_name, folders, shortcuts=(), more_files=(), provider=PROVIDER):
    """(member, bytes) of a package that puts files (target, bytes) into folders ({folder: files},
    the first its installation folder), with shortcuts (name, base folder) to the first file, and
    the _setup.xml the kit's builders write; `more_files` (target, member) are extracted into the
    first folder by _setup.xml alone."""
    instructions = Instructions(app_name, provider, 0)

    def extract(target, member):
        return xml.characteristic(target, xml.characteristic("Extract", xml.parm("Source", member)), translation="install")
    members, contents = [], {}
    for folder, files in folders.items():
        directory = instructions.add_directory(folder)
        contents[folder] = [xml.characteristic("MakeDir")]
        for target, data in files:
            instructions.add_file(len(members) + 1, directory, target)
            members.append((cabinet.member_name(target, len(members) + 1), data))
            contents[folder].append(extract(target, members[-1][0]))
    first_folder = next(iter(folders))
    first_file = f"{first_folder}\\{folders[first_folder][0][0]}"
    contents[first_folder] += [extract(target, member) for target, member in more_files]
    for name, base in shortcuts:
        instructions.add_shortcut(name, base, 1)
        contents.setdefault(base, [xml.characteristic("MakeDir")]).append(xml.characteristic(
            name + ".lnk", xml.characteristic("Shortcut", xml.parm("Source", first_file, translation="install")),
            translation="install"))
    counts = {"NumDirs": len(folders), "NumFiles": len(members), "NumShortcuts": len(shortcuts)}
    operations = xml.characteristic("FileOperation", *[xml.characteristic(folder, *children, translation="install")
                                                       for folder, children in contents.items()])
    document = xml.document(xml.install_characteristic(f"{provider} {app_name}", counts, first_folder), operations)
    return [(cabinet.member_name(app_name, 0), instructions.to_bytes())] + members + [("_setup.xml", document)]


def other_builders_setup_xml(values_text):
    """The same document as another builder might write it: a declaration, comments, single quotes,
    attributes in another order, character references and LF line ends."""
    return ("<?xml version='1.0' encoding='utf-8'?>\n<!-- made elsewhere -->\n<wap-provisioningdoc>\n"
            "<characteristic type='Install'><parm value='install' name='InstallPhase'/>"
            "<parm value='Pellworth &#x42;uilder' name='AppName'/><parm name='NumDirs' value='0'/>"
            "<parm name='NumFiles' value='0'/><parm name='NumRegKeys' value='1'/><parm name='NumRegVals' value='2'/>"
            "<parm name='NumShortcuts' value='0'/></characteristic>\n"
            "<characteristic type='Registry'>\n  <characteristic type='HKLM\\Software\\Pellworth\\Builder'>\n"
            f"    <parm datatype='string' name='Quoted' value='{values_text}'/>\n"
            "    <!-- plain -->\n    <parm name='Plain' datatype=\"string\" value=\"x\"></parm>\n"
            "  </characteristic>\n</characteristic>\n</wap-provisioningdoc>\n").encode("utf-8")


def main():
    folder, library = sys.argv[1:3]
    os.makedirs(folder, exist_ok=True)
    builder_values = [("Quoted", "a \"b\" <c> & 'd'"), ("Plain", "x")]
    packages = {
        "substitution": package("Substitution", [("Marked", "%CE1%\\x"), ("Unmarked", "%CE1%\\x"),
                                                 ("Every", "%CE2%;%CE11%;%InstallDir%;%AppName%;50")],
                                folder="%CE1%\\Substitution", marked=("Marked", "Every")),
        "unknown-macro": package("Substitution", [("Marked", "%CE7%\\x")], marked=("Marked",)),
        "long-folder": package("Substitution", [], folder="%CE1%\\" + "\\".join(["f" * 60] * 4)),
        "hookless": package("Substitution", [("Marked", "x")], library=("Hookless.dll", library)),
        "other-builder": package("Builder", builder_values, key=BUILDER_KEY,
                                 setup_xml=other_builders_setup_xml("a &quot;b&#34; &lt;c> &amp; &apos;d&apos;")),
        "disagreeing": package("Builder", builder_values, key=BUILDER_KEY,
                               setup_xml=other_builders_setup_xml("a &quot;b&#34; &lt;c> &amp; &apos;e&apos;")),
    }
    packages["no-macro-folder"] = package("Substitution", [], folder="Escape")
    # Files named as those Wine acts on in its own Windows folder (boot files at start, a [rename]
    # line replacing a file; a graphics driver its desktop looks for along the DLL search path;
    # fonts), and as the device's security state once was, for the device's \\Windows; and as
    # modules Wine registers in its own Program Files, for the device's \\Program Files.
    packages["device-windows"] = files_package("Boot", {
        "%CE2%": [("wininit.ini", f"[rename]\r\n{POLICIES}=\r\n".encode()), ("win.ini", b"[windows]\r\nload=\r\n"),
                  ("security", b"security"), ("AppMgr", b"AppMgr")],
        "%CE2%\\system": [("winemac.drv", b"driver")], "%CE2%\\Fonts": [("x.ttf", b"font")],
        "%CE2%\\SYSTEM32": [("boot.dll", b"library")],
        "%CE1%\\Common Files\\System\\ADO": [("msado15.dll", b"ado")],
        "%CE1%\\Internet Explorer": [("iexplore.exe", b"browser")]}, [("Boot", "%CE2%")])
    # Named as the kit's application, from another provider and from the kit's.
    packages["kit-name-elsewhere"] = files_package("QUILLMERE", {"%CE1%\\Other": [("readme.txt", b"other")]},
                                                   provider="Elsewhere")
    packages["kit-name"] = files_package("QUILLMERE", {"%CE1%\\Other": [("readme.txt", b"same")]})
    packages["nested-parm"] = [("_setup.xml", xml.document(xml.characteristic("Registry", xml.characteristic(
        "HKLM\\" + SUBSTITUTION_KEY, ("parm", {"name": "Shown", "value": "x", "datatype": "string"}, (
            xml.characteristic("CertificateStore", xml.characteristic("SPC")),))))))]
    packages["more-certificates"] = package("Substitution", [("Marked", "x")], more=[
        xml.certificate_store_characteristic("00" * 20, "AAAA", 16)])
    packages["more-values"] = package("Substitution", [("Marked", "x")], setup_xml=xml.document(
        xml.install_characteristic(f"{PROVIDER} Substitution", {"NumRegKeys": 1, "NumRegVals": 1}),
        xml.registry_characteristic("HKLM\\" + SUBSTITUTION_KEY, [("Marked", "x"), ("Unmarked", "y")])))
    packages["more-library"] = package("Substitution", [("Marked", "x")], setup_xml=xml.document(
        xml.install_characteristic(f"{PROVIDER} Substitution", {"NumRegKeys": 1, "NumRegVals": 1},
                                   setup_library="0Evil.999"),
        xml.registry_characteristic("HKLM\\" + SUBSTITUTION_KEY, [("Marked", "x")])))
    packages["more-files"] = files_package("Boot", {"%CE1%\\Boot": [("boot.txt", b"x")]},
                                           more_files=[("boot.exe", cabinet.member_name("boot.txt", 1))])
    key_only = Instructions("KeyOnly", PROVIDER, 0)
    key_only.add_registry_key("HKLM", SUBSTITUTION_KEY)
    packages["key-only"] = [(cabinet.member_name("KeyOnly", 0), key_only.to_bytes()),
                            ("_setup.xml", xml.document(xml.install_characteristic(f"{PROVIDER} KeyOnly",
                                                                                   {"NumRegKeys": 1})))]
    hookless = package("Substitution", [("Marked", "x")], library=("Hookless.dll", library))
    packages["library-outside"] = hookless[:1] + [("..\\..\\Outside.999", hookless[1][1])] + hookless[2:]
    packages["two-libraries"] = hookless[:1] + [("0Evil.999", hookless[1][1])] + hookless[1:]
    packages["one-file-twice"] = hookless[:2] + [(hookless[1][0].upper(), hookless[1][1])] + hookless[2:]
    packages["library-ends-in-dot"] = hookless[:1] + [(hookless[1][0] + ".", hookless[1][1])] + hookless[2:]
    packages["library-names-a-device"] = hookless[:1] + [("NUL.999", hookless[1][1])] + hookless[2:]
    for name, members in packages.items():
        cabinet.pack(members, os.path.join(folder, name + ".cab"))


if __name__ == "__main__":
    main()
