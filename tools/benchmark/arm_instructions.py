#!/usr/bin/python3
"""Counts the ARM instructions Quillmere's own code executes on the emulated ARM processor, from
its entry until the form is made and the loop first waits, and through an OK's save. The count
is the same for the same binary and input, so it compares builds where timings do not.

    arm_instructions.py QUILLMERE.EXE"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "emulated_device", "arm"))
import coredll_model  # noqa: E402
import device_runs  # noqa: E402


def main():
    with open(sys.argv[1], "rb") as binary:
        program = binary.read()
    values = {"WhiteListEnable": device_runs.stored_text("1"), "WhiteListCount": device_runs.stored_text("3")}
    ssids = ["Warehouse-North", "Warehouse-South", "Loading Dock"]
    for i in range(10):
        values["WhiteListSSID%d" % (i + 1)] = device_runs.stored_text(ssids[i] if i < len(ssids) else "")
    device = coredll_model.Device(registry=device_runs.registry_with(values))
    device_runs.run_program(program, device, [device_runs.tap_ok], count_from_entry=True)
    print("  from the entry to a made form %6d   through OK's save and the end %6d" %
          (device.instructions_at_first_wait, device.machine.instructions))


if __name__ == "__main__":
    main()
