#!/usr/bin/python3
"""Starts a program installed on the emulated device as the device's loader would: its signature
checked against the execution stores as the device's security policies say (run, asked about, or
refused), then the program itself. Its exit code, or 8 when the device's security refused it.

    emulated_device/run-program [--screen WxH] [--name NAME] 'C:\\Program Files\\...\\PROGRAM.exe'"""
import argparse
import os
import sys

import security


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("program")
    parser.add_argument("--screen", default="480x640")
    parser.add_argument("--name", default=os.environ.get("DEVICE_NAME", "run"))
    arguments = parser.parse_args()
    device = security.Device(arguments.name, arguments.screen)
    program = device.path(arguments.program)
    if not os.path.isfile(program):
        sys.exit("run-program: %s is not installed" % arguments.program)
    name = os.path.basename(program)
    policies = security.read_policies(device.prefix)
    verdict, _ = security.classify(program, security.certificates(device.prefix, security.PROGRAM_STORES))
    decision, detail = security.program_decision(verdict, policies)
    if not security.checked(device, name, verdict, decision, detail, security.PROGRAM_QUESTION % name):
        return security.REFUSED
    print("%s runs %s" % (name, detail))
    sys.stdout.flush()
    return device.run(arguments.program, [])


if __name__ == "__main__":
    sys.exit(main())
