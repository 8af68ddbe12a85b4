#!/usr/bin/python3
"""Installs a CAB package on the emulated device as the device does: its signature checked against
the device's SPC store and its setup library's against the execution stores, as the device's
security policies say (installed, asked about, or refused), then the stand-in CAB installer with
the role the package was accepted with and the setup library that was checked. A .cpf is
applied the same way. Removes an installed application by its name, with the setup library and
the list of files its installation recorded (the library checked again, as the device's loader
checks any library, under the policies of now); lists a package.

    emulated_device/install-quillmere [install] [--package FILE] [--answer yes|no] [--screen WxH] [--name NAME]
    emulated_device/install-quillmere remove [--app NAME] [--answer yes|no] [--screen WxH] [--name NAME]
    emulated_device/install-quillmere list [--package FILE] [--screen WxH] [--name NAME]

The kit's package for the emulated device unless --package names another; the kit's application
(Quillmere) unless --app names another. Questions (the device's security questions, the setup
library's boxes) are asked on the device's screen when it is shown (DEVICE_DISPLAY), else the
security questions on the terminal, or all answered by --answer; a question nobody can see is
never waited for. A package refused for its role (7), or unsigned where the device takes no
unsigned package (8), is told the way out: the management system's channel, or a signature.

Exit codes: 0 done; 1 cancelled by the setup library (its question answered No, a device model
it refuses); 2 bad arguments; 4 the package cannot be read as a cabinet (it is no CAB package)
or a member's name is not a plain file name; 7 the role the package was accepted with does not
allow what it does (nothing applied); 8 the device's security refused the package or its setup
library (unsigned on a locked device, changed, or No to the unknown publisher); 9 two of its
members would be one file on the device, or it holds two setup libraries (refused before
anything is unpacked); 11 no application of that name is installed (remove); 12 a question went
unanswered (nobody sees the device's screen: --answer); 13 the device's policies are damaged
(nothing installed or removed); 14 a document (.cpf) with an element in error (nothing
applied); 15 an application of that name is installed from another provider; the stand-in
installer's others (docs/emulated-device.md)."""
import hashlib
import os
import shutil
import sys
import tempfile

import security

sys.path.insert(0, os.path.join(security.HERE, "..", "packaging"))
import cabinet  # noqa: E402
import command_line  # noqa: E402
import plain_names  # noqa: E402

INSTALLER = os.path.join(security.BUILD, "setup_installer", "SetupInstaller.exe")
KIT = os.path.join(security.HERE, "..", "build", "emulated-device", "packaging", "Quillmere-emulated.cab")
KIT_APPLICATION = "Quillmere"
AMBIGUOUS, UNREADABLE, ROLE_REFUSED = 9, 4, 7
WAY_OUT = ("the device's policy 4119 (Grant Manager, %d) does not give role mask %d the Manager's rights: send the "
           "document through the device-management system instead (emulated_device/send-document %s ANSWER.xml: it "
           "comes with the Enterprise role), or sign the package with a certificate whose root the device holds in its "
           "SPC store with a role mask that includes the Manager role (8)")
SIGN_IT = ("sign it with a certificate whose root the device holds in its SPC store (docs/administrators.md, "
           "\"Signing for a managed fleet\")")


def document_beside(package):
    """The provisioning document the kit's commands write beside a package, as typed: NAME.xml."""
    return os.path.splitext(package)[0] + ".xml"


def way_out_of_refusal(package):
    """What to do with a package the device's policies refuse unsigned: a document (a .cpf, or a
    package whose document lies beside it) can come through the management system; anything can
    be signed."""
    if package.lower().endswith(".cpf") or os.path.isfile(document_beside(package)):
        return ("the way out: send its document through the device-management system (emulated_device/send-document "
                "%s ANSWER.xml), or %s" % (document_beside(package), SIGN_IT))
    return "the way out: " + SIGN_IT


def setup_library_member(members):
    """The package's one setup library (.999 member), or None; ValueError when the device could
    take two members for one file, or two setup libraries; OSError for a name that is not a plain
    file name."""
    seen, libraries = set(), []
    for member in members:
        if not plain_names.is_plain_name(member):
            raise OSError("a member's name is not a plain file name: %r" % member)
        name = member.upper()  # letter case does not tell two files apart on the device
        if name in seen:
            raise ValueError("two members are one file on the device (their names differ only in letter case): %s"
                             % member)
        seen.add(name)
        if name.endswith(".999"):
            libraries.append(member)
    if len(libraries) > 1:
        raise ValueError("the package has more than one setup library (.999 member): %s" % ", ".join(libraries))
    return libraries[0] if libraries else None


def check_setup_library(device, questions, library, member, policies):
    """The SHA-256 of a setup library when the device's security lets it run now, else None."""
    verdict, why = security.classify(library, security.certificates(device.security, security.PROGRAM_STORES))
    decision, trust = security.program_decision(verdict, why, policies)
    question = security.PROGRAM_QUESTION % member
    if not security.checked(questions, "its setup library " + member, verdict, why, decision, trust, question):
        return None
    print("the setup library runs %s" % trust)
    with open(library, "rb") as source:
        return hashlib.sha256(source.read()).hexdigest()


def private_copy(package, scratch):
    """The package copied once under a plain name: what is checked is what is installed, whatever
    the name the package came with (Wine reads a backslash in a file name as a folder, and drops
    trailing dots and spaces) and whatever happens to that file meanwhile."""
    copy = os.path.join(scratch, "package" + (".cpf" if package.lower().endswith(".cpf") else ".cab"))
    shutil.copyfile(package, copy)
    return copy


def install(device, questions, original):
    with tempfile.TemporaryDirectory() as scratch:
        return install_copy(device, questions, original, private_copy(original, scratch))


def install_copy(device, questions, typed, package):
    """Installs the private copy `package` of the package given as `typed`, which the messages name."""
    name = os.path.basename(typed)
    policies = device.policies()
    verdict, detail = security.classify(package, security.certificates(device.security, security.PACKAGE_STORES))
    decision, role = security.package_decision(verdict, detail, policies)
    if not security.checked(questions, name, verdict, detail, decision, role, security.PACKAGE_QUESTION % name):
        if decision == "refuse" and verdict != "changed":
            print(way_out_of_refusal(typed))
        return security.REFUSED
    try:
        member = setup_library_member(cabinet.members(package))
    except cabinet.NotACabinet as problem:
        print("refused: %s is not a CAB package (.cab or .cpf): %s" % (typed, problem.why))
        return UNREADABLE
    except ValueError as problem:
        print("refused: %s" % problem)
        return AMBIGUOUS
    except OSError as problem:
        print("refused: %s" % problem)
        return UNREADABLE
    checked_library = "none"
    if member:
        with tempfile.TemporaryDirectory() as scratch:
            try:
                library = cabinet.extract_member(package, member, scratch)
            except OSError as problem:
                print("refused: %s" % problem)
                return UNREADABLE
            checked_library = check_setup_library(device, questions, library, member, policies)
        if checked_library is None:
            return security.REFUSED
    print("accepted with role mask %d" % role)
    sys.stdout.flush()
    status = device.run(INSTALLER, ["install-cab", security.host_path(package), "--security",
                                    security.host_path(device.security), "--role",
                                    str(security.effective_role(role, policies)), "--library-sha256", checked_library,
                                    "--signer", security.signer_of(package, verdict)] +
                        questions.installer_arguments())
    if status == ROLE_REFUSED:
        # The kit's commands write the package's document beside it as NAME.xml.
        print(WAY_OUT % (policies[security.GRANT_MANAGER], role, document_beside(typed)))
    return status


def remove(device, questions, application):
    """Removes an application with what its installation recorded; its recorded setup library is
    checked as the device's loader checks any library, under the policies of now."""
    if not plain_names.is_plain_name(application):
        sys.exit("install-quillmere: %r is not an application's name" % application)
    library = os.path.join(device.security, "applications", application, "Setup.dll")
    checked_library = "none"
    if os.path.isfile(library):
        try:
            checked_library = check_setup_library(device, questions, library, "Setup.dll of " + application,
                                                  device.policies())
        except security.Unanswered as problem:
            print("refused: %s" % problem)
            return security.UNANSWERED
        if checked_library is None:
            return security.REFUSED
    return device.run(INSTALLER, ["remove", application, "--security", security.host_path(device.security),
                                  "--library-sha256", checked_library] + questions.installer_arguments())


def main():
    parser = command_line.parser("install-quillmere", __doc__, epilog=__doc__.split("\n\n")[-1])
    parser.add_argument("action", nargs="?", default="install", choices=["install", "remove", "list"])
    parser.add_argument("--package", help="the package (install, list); default the kit's")
    parser.add_argument("--app", help="the installed application's name (remove); default %s" % KIT_APPLICATION)
    security.add_device_arguments(parser)
    security.add_answer_argument(parser)
    arguments = parser.parse_args()
    if arguments.action == "remove" and arguments.package:
        parser.error("remove takes the application's name (--app NAME), not a package: the device removes what "
                     "the installation recorded")
    if arguments.action != "remove" and arguments.app:
        parser.error("--app goes with remove")
    package = arguments.package or KIT
    if arguments.action != "remove" and not os.path.isfile(package):
        sys.exit("install-quillmere: %s: no such package" % package)
    seconds = security.question_seconds(parser.prog) if arguments.action != "list" else None  # list asks nothing
    device = security.Device(arguments.name, arguments.screen)
    questions = security.Questions(device, arguments.answer, seconds)
    try:
        if arguments.action == "install":
            return install(device, questions, package)
    except security.Unanswered as problem:
        print("refused: %s" % problem)
        return security.UNANSWERED
    if arguments.action == "remove":
        return remove(device, questions, arguments.app or KIT_APPLICATION)
    return device.run(INSTALLER, ["list", security.host_path(package)])


if __name__ == "__main__":
    sys.exit(main())
