"""Runs the device's ARM binaries on the emulated ARM processor against the models of coredll and
aygshell: Corvane's entry and hooks as the installer calls them, Quillmere from its entry until
its message loop ends, driven by a script of what a user does."""
import struct

import arm_machine
import coredll_model

DLL_PROCESS_ATTACH = 1
# The device loads a DLL where its process has room, seldom at the DLL's preferred base: a
# library is placed elsewhere, so that its base relocations are applied.
LIBRARY_BASE = 0x01800000
INSTALL_DIR = "\\Program Files\\Quillmere"
SW_SHOW = 5


def wide_argument(machine, text):
    address = machine.allocate(2 * len(text) + 2)
    machine.write_wide(address, text)
    return address


def run_setup_hook(library, device, hook, counts=(0, 0, 0, 0, 0), core="ARMv4T (TI925T)", caller="Thumb"):
    """Corvane's entry on process attach, then one hook, each called from `caller` code (ARM or
    Thumb); (entry's result, hook's result)."""
    machine = arm_machine.Machine(library, device.models(), "Corvane.dll", core, caller, base=LIBRARY_BASE)
    device.machine = machine
    attached = machine.call(machine.entry(), [machine.base, DLL_PROCESS_ATTACH, 0], "DllMain")
    install_dir = wide_argument(machine, INSTALL_DIR)
    # The five counts are WORDs: the installer leaves junk above them.
    arguments = {"Install_Init": [0, 1, 0, install_dir],
                 "Install_Exit": [0, install_dir] + [machine.word(count) for count in counts],
                 "Uninstall_Init": [0, install_dir], "Uninstall_Exit": [0]}[hook]
    return attached, machine.call(machine.export(hook), arguments)


def main_window(device):
    for window in device.windows.values():
        if window.procedure and not window.destroyed:
            return window
    return None


# What a user does, as the program's message loop receives it.
def tap_ok(device):
    device.queue.append((main_window(device).handle, coredll_model.WM_COMMAND, 1, 0))


def close_from_elsewhere(device):
    device.queue.append((main_window(device).handle, coredll_model.WM_CLOSE, 0, 0))


def edit_form(checked, texts):
    """The user sets the check box and retypes the fields (texts for fields 1, 2, ...)."""
    def edit(device):
        windows = [w for w in device.windows.values() if w.class_name.upper() in ("BUTTON", "EDIT")]
        windows[0].checked = int(checked)
        for field, text in zip(windows[1:], texts):
            field.text = text
    return edit


def field(device, number):
    return [w for w in device.windows.values() if w.class_name.upper() == "EDIT"][number - 1]


def press_ctrl_q(focus):
    """Ctrl+Q while the window `focus` picks (None: the main window) has the keyboard focus."""
    def press(device):
        device.control_held = True
        target = focus(device) if focus else main_window(device)
        device.queue.append((target.handle, coredll_model.WM_KEYDOWN, ord("Q"), 0))
    return press


def run_program(program, device, script, core="ARMv4T (TI925T)", caller="Thumb", count_from_entry=False):
    """Quillmere from its entry to its end, its entry and window procedure called from `caller`
    code (ARM or Thumb); its exit code. The script's steps run each time the message loop would
    wait for input."""
    machine = arm_machine.Machine(program, device.models(), "Quillmere.exe", core, caller)
    device.machine = machine
    device.script = list(script)
    if count_from_entry:
        machine.count_instructions()
    command_line = wide_argument(machine, "")
    return machine.call(machine.entry(), [machine.base, 0, command_line, SW_SHOW], "WinMain")


def stored_text(text, nul=True):
    return text.encode("utf-16-le") + (b"\0\0" if nul else b"")


def registry_with(values, key="comm\\tiwlnapi1\\parms"):
    """A registry holding one key with REG_SZ values {name: bytes}."""
    return {key: {name.lower(): (name, 1, data) for name, data in values.items()}}


def controls(device):
    """The program's controls as made: (class, text, style, x, y, width, height)."""
    return [(class_name, text, style) + tuple(struct.unpack("<4i", struct.pack("<4I", *rect)))
            for class_name, text, style, rect, *_ in device.created if class_name.upper() != "QUILLMERE"]
