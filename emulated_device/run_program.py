#!/usr/bin/python3
"""Starts a program installed on the emulated device as the device's loader would: its signature
checked against the execution stores as the device's security policies say (run, asked about, or
refused), then the program itself. Its exit code, 8 when the device's security refused it, 12
when its question went unanswered (asked as install-quillmere asks), 13 when the device's
policies are damaged.

    emulated_device/run-program [--screen WxH] [--name NAME] [--answer yes|no] 'C:\\Program Files\\...\\PROGRAM.exe'"""
import argparse
import ntpath
import os
import sys

import security


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


def main():
    parser = argparse.ArgumentParser(prog="run-program", description=__doc__.split("\n\n")[0])
    parser.add_argument("program")
    security.add_device_arguments(parser)
    security.add_answer_argument(parser)
    arguments = parser.parse_args()
    try:
        windows_path = device_path(arguments.program)
    except ValueError as problem:
        sys.exit("run-program: %s" % problem)
    device = security.Device(arguments.name, arguments.screen)
    policies = device.policies()
    program = device.path(windows_path)
    drive = os.path.realpath(os.path.join(device.prefix, "drive_c"))
    if not os.path.realpath(program).startswith(drive + os.sep) or not os.path.isfile(program):
        sys.exit("run-program: %s is not installed" % windows_path)
    name = os.path.basename(program)
    verdict, why = security.classify(program, security.certificates(device.security, security.PROGRAM_STORES))
    decision, detail = security.program_decision(verdict, why, policies)
    try:
        if not security.checked(security.Questions(device, arguments.answer), name, verdict, why, decision, detail,
                                security.PROGRAM_QUESTION % name):
            return security.REFUSED
    except security.Unanswered as problem:
        print("refused: %s" % problem)
        return security.UNANSWERED
    print("%s runs %s" % (name, detail))
    sys.stdout.flush()
    return device.run(windows_path, [])


if __name__ == "__main__":
    sys.exit(main())
