"""The device's own ARM binaries, read back and executed on an emulated ARM processor (an ARMv4T
core called from Thumb code, and every function the device calls also from ARM code and on an
XScale core) against models of coredll and aygshell, with the case tables of tests/cases that
the Wine tests take too; and the 32-bit device check's binaries read back beside them. What
differs on the device's side is listed once, in DEVICE_SIDE and in the imports' table; any other
difference fails.

    ARM_BINARIES=build/device-arm/platform/device_sdk \
    CHECK_BINARIES=build/device-check/platform/device_sdk /usr/bin/python3 tests/arm_device_test.py"""
import json
import os
import re
import shlex
import struct
import subprocess
import sys
import unittest

import pefile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "emulated_device", "arm"))
import arm_machine  # noqa: E402
import coredll_model  # noqa: E402
import device_exports  # noqa: E402
import device_runs  # noqa: E402
import pe_image  # noqa: E402

BINARIES = os.environ.get("ARM_BINARIES", os.path.join(HERE, "..", "build", "device-arm", "platform", "device_sdk"))
CHECK_BINARIES = os.environ.get("CHECK_BINARIES", os.path.join(HERE, "..", "build", "device-check", "platform",
                                                               "device_sdk"))
CORES = ["ARMv4T (TI925T)", "XScale (PXA270)"]
# Each function the device calls runs on both cores from both an ARM and a Thumb caller, and must
# return to either in its state; the other runs take the strictest, the ARMv4T core's Thumb caller.
RUNS = [(core, caller) for core in CORES for caller in arm_machine.CALLERS]

# The device's side of every difference from the emulated device (platform/device.h and the
# 32-bit structures), and nothing else.
DEVICE_SIDE = {
    "registry access mask": 0,  # the device ignores it; the emulated device asks for read and write
    "added control style": 0,  # the emulated device adds WS_POPUP to every control
    "foreground handle": lambda window: window | 1,  # the shell's "owned windows too" bit
    "structure sizes": {"SHMENUBARINFO": 36, "SHACTIVATEINFO": 12, "SHINITDLGINFO": 12},
}


def read_binary(name, folder=BINARIES):
    with open(os.path.join(folder, name), "rb") as binary:
        return binary.read()


def case_table(name):
    """A table of tests/cases: one case a line, fields separated by " | ", quotes taken off."""
    rows = []
    with open(os.path.join(HERE, "cases", name), encoding="utf-8") as table:
        for line in table.read().split("\n"):
            if line and not line.startswith("#"):
                rows.append([field[1:-1] if len(field) >= 2 and field[0] == field[-1] == '"' else field
                             for field in line.split(" | ")])
    return rows


def registry_value(field):
    """A value as the path table writes it: ("dword 01000000") its type and bytes; None for none."""
    if field == "none":
        return None
    kind, _, data = field.partition(" ")
    return {"dword": 4, "sz": 1, "binary": 3}[kind], bytes.fromhex(data)


def white_list(enable, count, ssids):
    values = {"WhiteListEnable": device_runs.stored_text(enable), "WhiteListCount": device_runs.stored_text(count)}
    for i in range(10):
        values["WhiteListSSID%d" % (i + 1)] = device_runs.stored_text(ssids[i] if i < len(ssids) else "")
    return values


def stored_white_list(registry):
    return {name: data for name, _, data in registry.get("comm\\tiwlnapi1\\parms", {}).values()}


class Images(unittest.TestCase):
    # The headers as the platform's own tools write them: (field, Quillmere.exe's, Corvane.dll's),
    # each with its source in the platform's documentation, or why GNU ld's value stays.
    HEADERS = [
        ("FILE_HEADER.Machine", 0x1C0, 0x1C0),  # ARM; pe_image refuses any other
        # PE Format, Characteristics: executable, no line numbers or symbols, 32-bit words; and a DLL.
        ("FILE_HEADER.Characteristics", 0x030E, 0x230E),
        # KB 326162, "Address Space Layout of a Windows CE Process": the EXE's sections start at
        # 0x00010000; /BASE (Windows CE 5.0): a DLL's default base is 0x10000000 (moved when loaded).
        ("OPTIONAL_HEADER.ImageBase", 0x10000, 0x10000000),
        ("OPTIONAL_HEADER.SectionAlignment", 0x1000, 0x1000),  # Virtual Memory (Windows CE 5.0): 4,096-byte pages
        ("OPTIONAL_HEADER.FileAlignment", 0x200, 0x200),  # PE Format, FileAlignment: "The default is 512"
        # PE Format: the version of "the required operating system", Windows CE 5.02 as the subsystem's.
        ("OPTIONAL_HEADER.MajorOperatingSystemVersion", 5, 5),
        ("OPTIONAL_HEADER.MinorOperatingSystemVersion", 2, 2),
        # Kept, GNU ld's: the image's own version (PE Format); no source found on whether the device reads it.
        ("OPTIONAL_HEADER.MajorImageVersion", 1, 1),
        ("OPTIONAL_HEADER.MinorImageVersion", 0, 0),
        ("OPTIONAL_HEADER.Subsystem", 9, 9),  # Windows CE GUI; pe_image refuses any other
        ("OPTIONAL_HEADER.MajorSubsystemVersion", 5, 5),  # /SUBSYSTEM (Windows CE 5.0): the minimum version,
        ("OPTIONAL_HEADER.MinorSubsystemVersion", 2, 2),  # the Windows CE 5.2 of Windows Mobile 6.5
        # /DYNAMICBASE (Visual Studio 2008): randomisation "supported only on Windows Vista and later";
        # /NXCOMPAT (Visual Studio 2008): on by default only from /SUBSYSTEM 6.0.
        ("OPTIONAL_HEADER.DllCharacteristics", 0, 0),
        ("OPTIONAL_HEADER.SizeOfStackReserve", 0x10000, 0x10000),  # Stack (Windows Mobile 6.5): the default 64 KB
        ("OPTIONAL_HEADER.SizeOfStackCommit", 0x1000, 0x1000),  # the same page: committed one page at a time
        ("OPTIONAL_HEADER.SizeOfHeapReserve", 0x100000, 0x100000),  # /HEAP (Windows CE 5.0): the default 1 MB
        # Kept, GNU ld's one page: no source found for the platform linker's default. Not verified.
        ("OPTIONAL_HEADER.SizeOfHeapCommit", 0x1000, 0x1000),
        ("OPTIONAL_HEADER.DATA_DIRECTORY.3.Size", 0, 0),  # no exception tables (.pdata): the code raises none
    ]
    # PE Format, "Special Sections"; the import table stays writable, the loader writes it.
    SECTIONS = {".text": 0x60000020, ".rdata": 0x40000040, ".edata": 0x40000040, ".bss": 0xC0000080,
                ".idata": 0xC0000040, ".rsrc": 0x40000040, ".reloc": 0x42000040}

    def test_arm_binaries_headers_sections_resources_and_exports(self):
        for column, name in ((1, "Quillmere.exe"), (2, "Corvane.dll")):
            with self.subTest(name):
                image = pe_image.Image(read_binary(name))  # refuses any other machine or subsystem
                for row in self.HEADERS:
                    value = image.pe
                    for part in row[0].split("."):
                        value = value[int(part)] if part.isdigit() else getattr(value, part)
                    self.assertEqual(row[column], value, row[0])
                for section in image.pe.sections:
                    name_in_header = section.Name.rstrip(b"\0").decode("ascii")
                    self.assertEqual(self.SECTIONS[name_in_header], section.Characteristics, name_in_header)
                checksum_at = image.pe.OPTIONAL_HEADER.get_file_offset() + 64  # PE Format: CheckSum
                self.assertEqual(self.checksum(image.data, checksum_at), image.pe.OPTIONAL_HEADER.CheckSum)
                self.assertTrue(image.pe.DIRECTORY_ENTRY_BASERELOC)
        program = pe_image.Image(read_binary("Quillmere.exe"))
        self.assertEqual("Quillmere", program.string(1))
        self.assertEqual("QUILLMERE", program.string(2))
        self.assertIsNotNone(program.resource(pe_image.RESOURCE_ICON_GROUP, 101))
        self.assertEqual(struct.pack("<HHHH", 0x0B | 0x80, 0x51, 32771, 0),
                         program.resource(pe_image.RESOURCE_ACCELERATOR, 2))
        self.assertCorvaneExportsItsHooks(pe_image.Image(read_binary("Corvane.dll")))

    @staticmethod
    def checksum(data, field_at):
        """The image's checksum computed from its bytes, not from pefile (whose own routine wrote the
        field): as imagehlp's CheckSumMappedFile computes it, which the PE format names as the
        algorithm's home without describing it: the file's 16-bit words summed with each carry
        folded back in, the field itself taken as zero, plus the file's length."""
        words = bytearray(data)
        words[field_at:field_at + 4] = bytes(4)
        words += bytes(len(words) % 2)
        total = 0
        for (word,) in struct.iter_unpack("<H", words):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        return total + len(data)

    def test_check_binaries_are_32_bit_images_for_the_devices_subsystem(self):
        for name, library in (("Quillmere.exe", False), ("Corvane.dll", True)):
            with self.subTest(name):
                image = pe_image.Image(read_binary(name, CHECK_BINARIES), pe_image.MACHINE_I386)
                header = image.pe.OPTIONAL_HEADER
                self.assertEqual(pefile.OPTIONAL_HEADER_MAGIC_PE, header.Magic)
                self.assertEqual((5, 2), (header.MajorSubsystemVersion, header.MinorSubsystemVersion))
                self.assertEqual(library, bool(image.pe.FILE_HEADER.Characteristics & 0x2000))  # a DLL
        self.assertCorvaneExportsItsHooks(pe_image.Image(read_binary("Corvane.dll", CHECK_BINARIES),
                                                         pe_image.MACHINE_I386))

    def assertCorvaneExportsItsHooks(self, corvane):
        directory = corvane.pe.DIRECTORY_ENTRY_EXPORT.struct
        self.assertEqual((1, 4, 4), (directory.Base, directory.NumberOfFunctions, directory.NumberOfNames))
        self.assertEqual({"Install_Init": 1, "Install_Exit": 2, "Uninstall_Init": 3, "Uninstall_Exit": 4},
                         {name: ordinal for name, (ordinal, _) in corvane.exports().items()})

    def test_each_build_imports_what_the_table_lists_as_the_device_exports_it(self):
        """Both ways, per build and binary: an import the table does not list for it (a function
        by name that the device exports by ordinal only, or another ordinal) fails, and so does a
        line of the table that none of its binaries imports."""
        table = device_exports.read()
        ordinal_only = {(export.library, export.function): export.ordinal for export in table if not export.named}
        for build, folder, machine in (("ARM", BINARIES, pe_image.MACHINE_ARM),
                                       ("check", CHECK_BINARIES, pe_image.MACHINE_I386)):
            listed = set()
            for name in ("Quillmere.exe", "Corvane.dll"):
                with self.subTest(build=build, binary=name):
                    expected = {(export.library, device_exports.imported_as(export)) for export in table
                                if build in export.builds and name in export.binaries}
                    imported = {(library, function or "ordinal %d" % ordinal)
                                for library, function, ordinal, _ in pe_image.Image(read_binary(name, folder),
                                                                                     machine).imports()}
                    listed |= expected
                    self.assertEqual([], ["%s of %s, which the device exports by ordinal %d only" %
                                          (function, library, ordinal_only[(library, function)])
                                          for library, function in sorted(imported & set(ordinal_only))],
                                     "%s's %s imports by name" % (build, name))
                    self.assertEqual(set(), imported - expected, "imported, not listed for %s's %s" % (build, name))
                    self.assertEqual(set(), expected - imported, "listed for %s's %s, not imported" % (build, name))
            unused = [export.function for export in table if build in export.builds and
                      (export.library, device_exports.imported_as(export)) not in listed]
            self.assertEqual([], unused, "table lines no binary of the %s build imports" % build)


class CorvaneOnTheDevice(unittest.TestCase):
    ANSWERS = {"OK": coredll_model.IDOK, "Yes": coredll_model.IDYES, "No": coredll_model.IDNO}

    def test_each_path_makes_the_same_calls_and_boxes(self):
        library = read_binary("Corvane.dll")
        for core, caller in RUNS:
            for what, platform, marker, refused, hook, counts, answer, result, after, calls in \
                    case_table("setup_library_paths.txt"):
                with self.subTest(core=core, caller=caller, path=what):
                    name = None if platform == "none" else bytes.fromhex(platform[4:]) if \
                        platform.startswith("hex ") else device_runs.stored_text(platform)
                    stored = registry_value(marker)
                    registry = {"pellworth\\patches": {"fennistry": ("Fennistry",) + stored}} if stored else {}
                    device = coredll_model.Device(registry=registry, platform_name=name, answer=self.ANSWERS[answer])
                    device.fail_keys = refused == "yes"
                    attached, returned = device_runs.run_setup_hook(
                        library, device, hook, [int(count) for count in counts.split()], core, caller)
                    self.assertEqual(1, attached)
                    self.assertEqual([device_runs.LIBRARY_BASE], device.turned_off)
                    self.assertEqual(int(result), returned)
                    self.assertEqual(calls.split(" ; "), device.calls)
                    self.assertEqual({DEVICE_SIDE["registry access mask"]}, set(device.access_masks) or {0})
                    if after != "-":
                        found = device.registry.get("pellworth\\patches", {}).get("fennistry")
                        self.assertEqual(registry_value(after), found[1:] if found else None)

    def test_removal_hooks_do_nothing_and_say_continue_and_done(self):
        library = read_binary("Corvane.dll")
        for core, caller in RUNS:
            for hook in ("Uninstall_Init", "Uninstall_Exit"):
                with self.subTest(core=core, caller=caller, hook=hook):
                    device = coredll_model.Device()
                    self.assertEqual((1, 0), device_runs.run_setup_hook(library, device, hook, core=core,
                                                                        caller=caller))
                    self.assertEqual([], device.calls)

    def test_a_return_that_does_not_switch_back_to_a_thumb_caller_fails(self):
        """Uninstall_Exit (two instructions) patched to return otherwise than by BX LR: on the
        ARMv4T core none of these switches back to Thumb."""
        library = read_binary("Corvane.dll")
        image = pe_image.Image(library)
        at = image.pe.get_offset_from_rva(image.exports()["Uninstall_Exit"][1])
        returns = {"mov pc, lr": (0xE1A0F00E, 0xE1A00000), "push {lr}; pop {pc}": (0xE52DE004, 0xE49DF004),
                   "push {r4, lr}; pop {r4, pc}": (0xE92D4010, 0xE8BD8010)}
        for name, code in returns.items():
            with self.subTest(name):
                patched = bytearray(library)
                struct.pack_into("<2I", patched, at, *code)
                with self.assertRaisesRegex(arm_machine.RunFailed,
                                            "^Uninstall_Exit returned to its Thumb caller in the other state$"):
                    device_runs.run_setup_hook(bytes(patched), coredll_model.Device(), "Uninstall_Exit")

    def test_entry_says_true_for_every_reason(self):
        library = read_binary("Corvane.dll")
        for core, caller in RUNS:
            with self.subTest(core=core, caller=caller):
                device = coredll_model.Device()
                device_runs.run_setup_hook(library, device, "Uninstall_Exit", core=core, caller=caller)
                machine = device.machine
                for reason in (0, 1, 2, 3):
                    self.assertEqual(1, machine.call(machine.entry(), [machine.base, reason, 0], "DllMain"))
                self.assertEqual(2, len(device.turned_off))  # once a process attach: the run's and this one's


class QuillmereOnTheDevice(unittest.TestCase):
    def setUp(self):
        self.program = read_binary("Quillmere.exe")

    def run_program(self, registry, script, screen=(480, 640), core=CORES[0], caller="Thumb"):
        device = coredll_model.Device(screen=screen, registry=registry)
        device.exit_code = device_runs.run_program(self.program, device, script, core, caller)
        return device

    def expected_form(self, arrangement, count, ssids):
        form = []
        for row in case_table("form_controls.txt"):
            if row[0] != arrangement:
                continue
            text = count if row[2] == "{count}" else ssids[int(row[2][5:-1]) - 1] if row[2].startswith("{ssid") \
                else row[2]
            style = int(row[3], 16) | DEVICE_SIDE["added control style"]
            form.append((row[1].upper(), text, style) + tuple(int(value) for value in row[4:8]))
        self.assertEqual(24, len(form))
        return form

    def test_form_in_both_arrangements_and_ok_writes_all_twelve_values(self):
        ssids = ["Warehouse-North", "", "Dock", "", "", "", "", "", "Yard", "Gate"]
        for core, caller in RUNS:
            for screen, arrangement in (((480, 640), "portrait"), ((640, 480), "landscape")):
                with self.subTest(core=core, caller=caller, arrangement=arrangement):
                    device = self.run_program(device_runs.registry_with(white_list("x", "3", ssids)),
                                              [device_runs.tap_ok], screen, core, caller)
                    self.assertEqual(0, device.exit_code)
                    self.assertEqual(self.expected_form(arrangement, "3", ssids), device_runs.controls(device))
                    self.assertEqual(white_list("1", "4", ssids), stored_white_list(device.registry))
                    main = device_runs.main_window(device).handle
                    sizes = DEVICE_SIDE["structure sizes"]
                    self.assertEqual((sizes["SHMENUBARINFO"], main, 1, 0, device.machine.base, 0, 0, 0, 0),
                                     device.shell["menu bar"])
                    self.assertEqual((1, main, 5), device.shell["dialog"])
                    self.assertEqual([(main, 1, 0, sizes["SHACTIVATEINFO"], 0)],
                                     [(w, wp, lp, size, flags) for w, wp, lp, _, size, flags in device.shell["activate"]])
                    self.assertEqual({DEVICE_SIDE["registry access mask"]}, set(device.access_masks))

    def test_each_value_is_read_within_its_byte_limit_only(self):
        values, shapes = [], []
        for row in case_table("byte_limits.txt"):
            (values if row[0] == "value" else shapes).append(row)
        for _, name, characters in values:
            for _, what, text, nul, stray, read in shapes:
                with self.subTest(value=name, shape=what):
                    stored = white_list("1", "0", [])
                    stored[name] = self.shaped(characters, text, nul == "nul", int(stray))
                    device = self.run_program(device_runs.registry_with(stored), [device_runs.close_from_elsewhere])
                    expected = "" if read == "fails" else self.texts(characters)[read]
                    check_box = [w for w in device.windows.values() if w.class_name.upper() == "BUTTON"][0]
                    count = [w.text for w in device.windows.values() if w.style & 0xFF == 0x40][0]
                    if name == "WhiteListEnable":
                        self.assertEqual(0 if read == "fails" else 1, check_box.checked)
                    elif name == "WhiteListCount":
                        self.assertEqual(expected if expected in ("1", "10") else "0", count)
                    else:
                        self.assertEqual(expected, device_runs.field(device, int(name[13:])).text)
                    # A read that failed sets the flag that makes a close write the form.
                    wrote = any(call.startswith("set ") for call in device.calls)
                    self.assertEqual(read == "fails" and name != "WhiteListEnable", wrote)
                    self.assertEqual(0, device.exit_code)

    @staticmethod
    def texts(characters):
        limit = len(characters) - 1
        return {"below": characters[:limit - 1], "at": characters[:limit], "past": characters,
                "first": characters[:1]}

    def shaped(self, characters, text, nul, stray):
        limit = len(characters) - 1
        if text == "first-then-more":
            return device_runs.stored_text(characters[:1]) + device_runs.stored_text(characters[1:limit], nul=False)
        return device_runs.stored_text(self.texts(characters)[text], nul) + b"\x55" * stray

    def test_registry_calls_of_load_and_save(self):
        """The load's calls are those until the form is made; the save's, those after OK on a form
        set as the table says. The save's own result is not observable: the program ignores it."""
        for what, stored, operation, failing, result, ssid3, count, calls in case_table("store_registry_calls.txt"):
            with self.subTest(what):
                registry = device_runs.registry_with(white_list("1", "1", ["old"])) if stored == "list" else \
                    {"comm\\tiwlnapi1\\parms": {}} if stored == "key" else {}
                device = coredll_model.Device(registry=registry)
                device.fail_write_of = None if failing == "-" else failing
                marks = []
                script = [lambda d: marks.append(len(d.calls))]
                script += [device_runs.edit_form(False, ["new", "", "third"]), device_runs.tap_ok] \
                    if operation == "save" else [device_runs.close_from_elsewhere]
                device.exit_code = device_runs.run_program(self.program, device, script)
                self.assertEqual(0, device.exit_code)
                made = device.calls[marks[0]:] if operation == "save" else device.calls[:marks[0]]
                self.assertEqual(calls.split(" ; "), made)
                if operation == "load":
                    # A load that failed makes the close write the form.
                    self.assertEqual(result == "1", len(device.calls) > marks[0])
                if ssid3 != "-":
                    after = stored_white_list(device.registry)
                    self.assertEqual(device_runs.stored_text(ssid3), after["WhiteListSSID3"])
                    self.assertEqual(device_runs.stored_text(count), after["WhiteListCount"])

    def test_the_loader_refuses_an_import_the_table_does_not_give_the_binary(self):
        """Quillmere's ordinal 84 (SHHandleWMActivate) changed to 85 in its import lookup table;
        Corvane's MessageBoxW renamed LoadIconW, which the table lists for Quillmere only."""
        image = pe_image.Image(self.program)
        entry = [function for library in image.pe.DIRECTORY_ENTRY_IMPORT for function in library.imports
                 if function.ordinal == 84][0]
        changed = bytearray(self.program)
        struct.pack_into("<I", changed, entry.struct_table.get_file_offset(), 0x80000000 | 85)
        with self.assertRaisesRegex(arm_machine.RunFailed, "aygshell.dll exports no ordinal 85"):
            device_runs.run_program(bytes(changed), coredll_model.Device(), [])
        library = read_binary("Corvane.dll")
        entry = [function for imported in pe_image.Image(library).pe.DIRECTORY_ENTRY_IMPORT
                 for function in imported.imports if function.name == b"MessageBoxW"][0]
        changed = bytearray(library)
        changed[entry.name_offset:entry.name_offset + 12] = b"LoadIconW\0\0\0"
        with self.assertRaisesRegex(arm_machine.RunFailed, r"^Corvane.dll imports .*: the table lists LoadIconW of "
                                    r"coredll.dll for Quillmere.exe \(builds: ARM, check\), not for Corvane.dll "
                                    r"of the ARM build$"):
            device_runs.run_setup_hook(bytes(changed), coredll_model.Device(), "Uninstall_Exit")

    def test_ctrl_q_a_second_start_and_a_refused_class(self):
        complete = white_list("1", "2", ["alpha", "beta"])
        # Ctrl+Q on the main window after a complete load, then on a focused field (swallowed).
        for focus, script_end in ((None, []), (lambda d: device_runs.field(d, 1), [device_runs.close_from_elsewhere])):
            device = self.run_program(device_runs.registry_with(complete),
                                      [device_runs.edit_form(False, ["edited"]), device_runs.press_ctrl_q(focus)] +
                                      script_end)
            self.assertEqual(0, device.exit_code)
            self.assertFalse(any(call.startswith("set ") for call in device.calls))
        # Messages the procedure hands on: a setting change to the shell, any other to DefWindowProcW.
        def other_messages(d):
            main = device_runs.main_window(d).handle
            d.queue += [(main, coredll_model.WM_SETTINGCHANGE, 0x2A, 0), (main, 0x0005, 0, 0x01E00280),
                        (main, coredll_model.WM_COMMAND, 0x1234, 0), (main, coredll_model.WM_CLOSE, 0, 0)]
        for core, caller in RUNS:
            device = self.run_program(device_runs.registry_with(complete), [other_messages], core=core, caller=caller)
            self.assertEqual(0, device.exit_code)
            main = device_runs.main_window(device).handle
            self.assertEqual([(main, 0x2A, 0, 12)], [(w, wp, lp, size) for w, wp, lp, _, size, _ in
                                                    device.shell["setting change"]])
            self.assertEqual([(main, 0x0005, 0, 0x01E00280), (main, 0x111, 0x1234, 0)], device.default_handled)
        # A second start brings the running window forward and touches no registry value.
        device = coredll_model.Device(registry=device_runs.registry_with(complete))
        running = device._new_window("QUILLMERE", "Quillmere", 0x10080000, (0, 36, 480, 588), 0)
        self.assertEqual(0, device_runs.run_program(self.program, device, []))
        self.assertEqual([DEVICE_SIDE["foreground handle"](running)], device.foreground)
        self.assertEqual([], device.calls)
        # A class the device refuses (an ATOM of 0 below the junk its library leaves) ends the start.
        device = coredll_model.Device(registry=device_runs.registry_with(complete))
        device.fail_class = True
        self.assertEqual(0, device_runs.run_program(self.program, device, []))
        self.assertEqual(([], []), (device.created, device.calls))


class CallingConvention(unittest.TestCase):
    """clang follows the ARM EABI, the device's libraries and installer the platform's older ARM
    convention. The two agree for 32-bit integers and pointers in r0-r3, then on the stack, and a
    result in r0; they may not for 64-bit or floating-point values, structures passed or returned
    by value (the device's compiler returns even a small one through a hidden pointer), or their
    variadic promotion. And clang takes an 8- or 16-bit value as extended to 32 bits by whoever
    made it, which the device's code need not have done. This reads, in the compiler's
    intermediate code (with debug information, which tells a structure returned in r0 from an
    integer), every declaration and call of an imported function and every definition of a
    function the device calls: the exports, the entry points and any function whose address is
    taken (a window procedure)."""
    WORD = re.compile(r"^(void|i32|.*\*)$")
    ENTRY_POINTS = {"WinMain", "DllMain"}  # platform/device_sdk/CMakeLists.txt links them as entries
    # Imports whose result the device's declaration makes narrower than a register (declared
    # register-sized for this compiler), each with the line that narrows it.
    NARROWED_RESULTS = {
        "RegisterClassW": ("settings_tool/main_window.cpp", "return (ATOM)RegisterClassW(&windowClass);"),
    }

    @staticmethod
    def listed(path):
        """The names a .def file lists."""
        with open(os.path.join(HERE, "..", path)) as definitions:
            return {line.split()[0] for line in definitions if line.strip() and line.strip()[0].isalpha()
                    and line.split()[0] not in ("LIBRARY", "EXPORTS")}

    def intermediate_code(self):
        """Each source's intermediate code with debug information, compiled by the build's own commands."""
        with open(os.path.join(BINARIES, "..", "..", "compile_commands.json")) as commands:
            for entry in json.load(commands):
                command = shlex.split(entry["command"])
                code = subprocess.run(command[:1] + ["--intermediate-code", "-g"] + command[1:], cwd=entry["directory"],
                                      capture_output=True, text=True, check=True).stdout
                yield os.path.relpath(entry["file"], os.path.join(HERE, "..")), code.splitlines()

    @staticmethod
    def top_level_arguments(text):
        """A call's arguments, split at the commas that are not inside a constant expression."""
        arguments, depth, start = [], 0, 0
        for at, character in enumerate(text):
            depth += character in "([{<"
            depth -= character in ")]}>"
            if character == "," and depth == 0:
                arguments.append(text[start:at].strip())
                start = at + 1
        return arguments + [text[start:].strip()] if text.strip() else arguments

    @staticmethod
    def debug_information(metadata, line):
        """The name of the function of a define or declare line and whether it returns a structure,
        as its debug information says."""
        subprogram = metadata[re.search(r"!dbg (!\d+)", line).group(1)]
        routine = metadata[re.search(r"\btype: (!\d+)", subprogram).group(1)]
        result = re.match(r"!\{(null|!\d+)", metadata[re.search(r"types: (!\d+)", routine).group(1)]).group(1)
        structure = False
        while result != "null" and not structure:
            node = metadata[result]
            structure = re.match(r"(distinct )?!DICompositeType\(tag: DW_TAG_(structure|union|class)_type", node)
            named = re.match(r"!DIDerivedType\(tag: DW_TAG_(typedef|const_type|volatile_type),.*baseType: (!\d+)", node)
            result = named.group(2) if named else "null"
        return re.search(r'\bname: "(\w+)"', subprogram).group(1), bool(structure)

    def assertPassedWhole(self, argument, where):
        """An argument our code passes to the device's: 32 bits, or narrower and extended by clang."""
        if argument.split()[0] in ("i8", "i16"):
            self.assertRegex(argument, r"\b(zeroext|signext)\b", where)
        else:
            self.assertRegex(argument.split()[0], self.WORD, where)
        self.assertNotRegex(argument, r"\b(byval|sret)\b", where)

    def test_the_devices_code_and_ours_pass_only_32_bit_integers_and_pointers(self):
        imported = self.listed("platform/device_sdk/coredll.def") | self.listed("platform/device_sdk/aygshell.def")
        called_by_device = self.listed("setup_library/corvane.def") | self.ENTRY_POINTS
        checked, defined, taken = set(), {}, set()
        for source, code in self.intermediate_code():
            metadata = dict(line.split(" = ", 1) for line in code if line.startswith("!") and " = " in line)
            for at, line in enumerate(code):
                where = "%s: %s" % (source, line)
                head = re.match(r"(define|declare) (.*?)@([\w.$]+)\((.*)\)", line)
                if head:
                    kind, name, parameters = head.group(1), head.group(3), self.top_level_arguments(head.group(4))
                    if kind == "define":
                        defined[name] = (where, head.group(2).split()[-1], parameters) + \
                            self.debug_information(metadata, line)
                    elif name in imported:
                        checked.add(name)
                        self.assertRegex(head.group(2).split()[-1], self.WORD, where)
                        self.assertFalse(self.debug_information(metadata, line)[1], "returns a structure: " + where)
                        for parameter in parameters:
                            if parameter != "...":
                                self.assertPassedWhole(parameter, where)
                    continue
                taken |= set(re.findall(r"@([\w.$]+)(?![\w.$(])", line))
                self.assertNotRegex(line, r"\bcall [^@]*\basm\b", "inline assembly: " + where)
                through = re.search(r"\bcall (.*?)(%[\w.]+)\((.*)\)", line)
                if through:  # a call through a pointer may reach the device's code: the same rules
                    self.assertRegex(through.group(1).strip().split()[-1], self.WORD, where)
                    for argument in self.top_level_arguments(through.group(3)):
                        self.assertPassedWhole(argument, where)
                called = re.search(r"\bcall (.*?)@([\w.$]+)\((.*)\)", line)
                if called and called.group(2) in imported:
                    self.assertRegex(re.sub(r" ?\(.*\)$", "", called.group(1).strip()).split()[-1], self.WORD, where)
                    for argument in self.top_level_arguments(called.group(3)):
                        self.assertPassedWhole(argument, where)
                    if called.group(2) in self.NARROWED_RESULTS:
                        result = re.match(r"\s*(%\w+) = ", line).group(1)
                        body = code[at + 1:code.index("}", at)]
                        uses = [later for later in body if re.search(re.escape(result) + r"\b", later) and
                                "@llvm.dbg." not in later]
                        narrowed = r"= (trunc i32 %s to i16|and i32 %s, 65535)\b" % (result, result)
                        self.assertTrue(uses and all(re.search(narrowed, use) for use in uses),
                                        "its result is used beyond its low 16 bits: " + where)
                        source, text = self.NARROWED_RESULTS[called.group(2)]
                        location = metadata[re.search(r"!dbg (!\d+)", line).group(1)]
                        number = int(re.search(r"line: (\d+)", location).group(1))
                        with open(os.path.join(HERE, "..", source)) as listed:
                            self.assertEqual(text, listed.read().split("\n")[number - 1].strip(), where)
        # What only the ARM build imports (the table's memset) is called by the compiler, not by our code.
        arm_only = {export.function for export in device_exports.read() if export.builds == ("ARM",)}
        self.assertEqual(imported - arm_only, checked - arm_only)
        callbacks = (taken & set(defined)) - called_by_device
        self.assertEqual({"MainWindowProc"}, {defined[name][3] for name in callbacks})
        self.assertLessEqual(called_by_device, set(defined))
        for name in called_by_device | callbacks:
            where, result, parameters, _, structure = defined[name]
            self.assertRegex(result, self.WORD, where)
            self.assertFalse(structure, "returns a structure: " + where)
            for parameter in parameters:
                self.assertRegex(parameter.split()[0], self.WORD, where)
                self.assertNotRegex(parameter, r"\b(byval|sret|zeroext|signext)\b", where)


if __name__ == "__main__":
    sys.exit(unittest.main())
