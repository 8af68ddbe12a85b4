#!/usr/bin/python3
"""Installs a CAB package on the emulated device as the device does: its signature checked against
the device's SPC store and its setup library's against the execution stores, as the device's
security policies say (installed, asked about, or refused), then the stand-in CAB installer with
the role the package was accepted with. A .cpf is applied the same way. Also removes or lists a
package (no checks).

    emulated_device/install-quillmere [install|remove|list] [--package FILE] [--screen WxH] [--name NAME]

The kit's package for the emulated device unless --package names another. Exit codes: the
stand-in installer's, or 8 when the device's security refused the package or its setup library."""
import argparse
import os
import subprocess
import sys
import tempfile

import security

INSTALLER = os.path.join(security.BUILD, "setup_installer", "SetupInstaller.exe")
KIT = os.path.join(security.HERE, "..", "build", "emulated-device", "packaging", "Quillmere-emulated.cab")


def setup_library(package, scratch):
    """The package's setup library (its .999 member) unpacked into scratch, or None."""
    subprocess.run(["cabextract", "-q", "-F", "*.999", "-d", scratch, package], capture_output=True)
    found = [name for name in os.listdir(scratch) if name.endswith(".999")]
    return os.path.join(scratch, found[0]) if found else None


def install(device, package):
    policies = security.read_policies(device.prefix)
    name = os.path.basename(package)
    verdict, role = security.classify(package, security.certificates(device.prefix, security.PACKAGE_STORES))
    decision, detail = security.package_decision(verdict, role, policies)
    if not security.checked(device, name, verdict, decision, detail, security.PACKAGE_QUESTION % name):
        return security.REFUSED
    with tempfile.TemporaryDirectory() as scratch:
        library = setup_library(package, scratch)
        if library:
            verdict, _ = security.classify(library, security.certificates(device.prefix, security.PROGRAM_STORES))
            decision, trust = security.program_decision(verdict, policies)
            member = os.path.basename(library)
            question = security.PROGRAM_QUESTION % member
            if not security.checked(device, "its setup library " + member, verdict, decision, trust, question):
                return security.REFUSED
            print("the setup library runs %s" % trust)
    print("accepted with role mask %d" % detail)
    sys.stdout.flush()
    return device.run(INSTALLER, ["install-cab", security.host_path(package), "--role", str(detail)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("action", nargs="?", default="install", choices=["install", "remove", "list"])
    parser.add_argument("--package", default=KIT)
    parser.add_argument("--screen", default="480x640")
    parser.add_argument("--name", default=os.environ.get("DEVICE_NAME", "run"))
    arguments = parser.parse_args()
    device = security.Device(arguments.name, arguments.screen)
    if not os.path.isfile(arguments.package):
        sys.exit("install-quillmere: %s: no such package" % arguments.package)
    if arguments.action == "install":
        return install(device, arguments.package)
    verb = {"remove": "remove-cab", "list": "list"}[arguments.action]
    return device.run(INSTALLER, [verb, security.host_path(arguments.package)])


if __name__ == "__main__":
    sys.exit(main())
