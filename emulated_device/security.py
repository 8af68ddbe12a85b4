#!/usr/bin/python3
"""The emulated device's security: its policies, its certificate stores, and the checks it makes
before it installs a package or loads a program. The checks run here, on the Linux side of the
emulated device, with Debian's osslsigncode (the Windows-side stand-ins cannot run Linux tools),
before the Windows program is started or handed the package.

    emulated_device/security [--name NAME] [--screen WxH] [--professional] off|prompt|two-tier-prompt|locked|show

sets the device's policies to a preset (on a Classic device unless --professional), or shows
them. The policies and the stores are the device's security state, which lies beside its Wine
prefix where no package reaches (emulated_device/device keeps it): policies (one "ID=value" a
line, each policy once) and stores/<store>/<THUMBPRINT>.cer (an SPC certificate's role mask in
<THUMBPRINT>.role), where the stand-in installer adds the certificates of a trust document. This
module is the policies' only reader: a file that could be read more than one way is damaged, and
every command that reads it stops with exit code 13."""
import collections
import os
import re
import select
import shlex
import subprocess
import sys
import tempfile

from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization

import signatures

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "packaging"))
import command_line  # noqa: E402
import device_certificates  # noqa: E402
import whole_files  # noqa: E402
from device_roles import SECROLE_ENTERPRISE, SECROLE_MANAGER, SECROLE_OPERATOR_TPS, SECROLE_USER_AUTH  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICE = os.path.join(HERE, "device")
UNSIGNED_CABS, UNSIGNED_APPLICATIONS, GRANT_MANAGER, UNSIGNED_PROMPT, ONE_TIER = 4101, 4102, 4119, 4122, 4123
# Unsigned packages are accepted with User Authenticated, the documented default of policy 4101
# on touch-screen devices ("Default Security Policy Settings for Windows Mobile-Based Devices",
# ms889564: "00001005"=dword:10). Whether that role carries the Manager's rights is policy
# 4119's to say; its documented defaults differ by edition ("Setting the Grant Manager Policy",
# cc842615): Classic (no phone) User Authenticated | Enterprise, Professional (with a phone)
# Operator TPS | Enterprise.
PRESETS = {
    "off": {UNSIGNED_CABS: SECROLE_USER_AUTH, UNSIGNED_APPLICATIONS: 1, UNSIGNED_PROMPT: 1, ONE_TIER: 1},
    "prompt": {UNSIGNED_CABS: SECROLE_USER_AUTH, UNSIGNED_APPLICATIONS: 1, UNSIGNED_PROMPT: 0, ONE_TIER: 1},
    "two-tier-prompt": {UNSIGNED_CABS: SECROLE_USER_AUTH, UNSIGNED_APPLICATIONS: 1, UNSIGNED_PROMPT: 0, ONE_TIER: 0},
    "locked": {UNSIGNED_CABS: 0, UNSIGNED_APPLICATIONS: 0, UNSIGNED_PROMPT: 1, ONE_TIER: 1},
}
EDITIONS = {"classic": SECROLE_USER_AUTH | SECROLE_ENTERPRISE, "professional": SECROLE_OPERATOR_TPS | SECROLE_ENTERPRISE}


def preset(name, edition="classic"):
    """A preset's policies on a device of that edition."""
    return {**PRESETS[name], GRANT_MANAGER: EDITIONS[edition]}


PACKAGE_STORES = ["SPC"]
PROGRAM_STORES = ["Privileged Execution Trust Authorities", "Unprivileged Execution Trust Authorities"]


BUILD = os.path.join(HERE, "..", "build", "emulated-device", "emulated_device")
PROMPT = os.path.join(BUILD, "security_prompt", "SecurityPrompt.exe")
REFUSED = 8  # the exit code of a package or program the device's security refuses
PACKAGE_QUESTION = "The publisher of %s cannot be verified. Install it anyway?"
PROGRAM_QUESTION = "The program %s is not signed by a publisher this device trusts. Run it anyway?"


DEVICE_NAME = re.compile(r"[A-Za-z0-9_.-]+")
BAD_ARGUMENTS = 2


def add_device_arguments(parser):
    """--name and --screen, DEVICE_NAME and DEVICE_SCREEN their defaults. A name that is not a plain
    name (letters, digits, '-', '_' and '.', not '.' or '..') ends the command: one line, exit 2,
    before anything is made, since the device's folder is named after it."""
    def device_name(name):
        if not DEVICE_NAME.fullmatch(name) or name in (".", ".."):
            print("%s: a device's name is letters, digits, '-', '_' and '.' (not '.' or '..'), not %r" % (
                parser.prog, name), file=sys.stderr)
            sys.exit(BAD_ARGUMENTS)
        return name
    parser.add_argument("--name", type=device_name, default=os.environ.get("DEVICE_NAME") or "run")
    parser.add_argument("--screen", default=os.environ.get("DEVICE_SCREEN") or "480x640")


class Device:
    """One emulated device, reached through emulated_device/device."""

    def __init__(self, name, screen):
        self.name, self.screen = name, screen
        self.command = [DEVICE, "--name", name, "--screen", screen]
        result = subprocess.run(self.command + ["--env"], capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit((result.stderr.strip().splitlines() or ["device: the emulated device did not start"])[-1])
        sys.stderr.write(result.stderr)  # a device made now says so
        output = result.stdout
        variables = dict(item.split("=", 1) for item in shlex.split(output)[1:])  # "export A=B C=D"
        self.prefix, self.display = variables["WINEPREFIX"], variables["DISPLAY"]
        self.security = variables["DEVICE_SECURITY"]

    def policies(self):
        """The device's policies; a damaged policies file ends the command: one line, exit 13."""
        try:
            return read_policies(self.security)
        except PoliciesDamaged as problem:
            print(problem, file=sys.stderr)
            sys.exit(DAMAGED)

    def run(self, program, arguments):
        """Runs a program of the device; its exit code. What it prints passes through this
        process's outputs, after what this process printed, so that an output closed meanwhile
        (`| head`) costs the program nothing: it runs to its end."""
        sys.stdout.flush()
        sys.stderr.flush()
        process = subprocess.Popen(self.command + [program] + arguments, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        outputs = {process.stdout.fileno(): sys.stdout, process.stderr.fileno(): sys.stderr}
        while outputs:
            for descriptor in select.select(list(outputs), [], [])[0]:
                data = os.read(descriptor, 65536)
                if not data:
                    del outputs[descriptor]
                    continue
                outputs[descriptor].buffer.write(data)
                outputs[descriptor].flush()
        process.stdout.close()
        process.stderr.close()
        return process.wait()


    def path(self, windows_path):
        """Where a file of the device's drive C: lies on this machine: each name found as Wine finds
        it, exactly or else in any letter case (when only one name matches)."""
        drive, _, rest = windows_path.partition(":\\")
        if drive.upper() != "C":
            raise ValueError("%s is not on the device's drive C:" % windows_path)
        path = os.path.join(self.prefix, "drive_c")
        for name in rest.split("\\"):
            if not os.path.lexists(os.path.join(path, name)) and os.path.isdir(path):
                matches = [entry for entry in os.listdir(path) if entry.lower() == name.lower()]
                name = matches[0] if len(matches) == 1 else name
            path = os.path.join(path, name)
        return path


def host_path(path):
    """A file of this machine as the device sees it, on drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


DAMAGED = 13  # the exit code of a command that finds the device's policies damaged
MAX_POLICY_VALUE = 0xFFFFFFFF


class PoliciesDamaged(Exception):
    pass


def read_policies(state):
    """The policies of the device whose security state is in that folder: each line "ID=value"
    (decimal), each of the presets' policies there once; a device never set is an "off" Classic
    device. PoliciesDamaged for anything else: a policy given twice, a line that is not ID=value
    (a blank one too), or one missing, is never read as a default."""
    path = os.path.join(state, "policies")
    try:
        with open(path, encoding="ascii", newline="") as source:
            lines = source.read().split("\n")
    except FileNotFoundError:
        return preset("off")
    except UnicodeDecodeError:
        raise PoliciesDamaged(damaged(path, "it is not ASCII text")) from None
    except OSError as problem:
        raise PoliciesDamaged(damaged(path, "it cannot be read (%s)" % (problem.strerror or problem))) from None
    if lines[-1] == "":
        lines.pop()  # the last line's end
    policies = {}
    for number, line in enumerate(lines, 1):
        match = re.fullmatch(r"([0-9]{1,10})=([0-9]{1,10})", line)
        if not match or int(match.group(2)) > MAX_POLICY_VALUE:
            raise PoliciesDamaged(damaged(path, "line %d is not ID=value: %r" % (number, line)))
        policy = int(match.group(1))
        if policy in policies:
            raise PoliciesDamaged(damaged(path, "line %d gives policy %d a second time" % (number, policy)))
        policies[policy] = int(match.group(2))
    missing = sorted(set(preset("off")) - set(policies))
    if missing:
        raise PoliciesDamaged(damaged(path, "policy %s is missing" % ", ".join(map(str, missing))))
    return policies


def damaged(path, why):
    return ("the device's policies (%s) are damaged: %s; nothing was done (emulated_device/security PRESET "
            "sets them anew)" % (path, why))


def write_policies(state, policies):
    os.makedirs(state, exist_ok=True)
    whole_files.write_whole(os.path.join(state, "policies"),
                            "".join("%d=%d\n" % item for item in sorted(policies.items())).encode("ascii"))


Anchor = collections.namedtuple("Anchor", "thumbprint certificate role store")


def read_store_entry(folder, name, needs_role):
    """(thumbprint, certificate, role) of one store entry; StoreEntryError when it is unusable."""
    thumbprint = name[:-4]
    with open(os.path.join(folder, name), "rb") as source:
        data = source.read()
    try:
        certificate = x509.load_der_x509_certificate(data)
        problem = device_certificates.device_problem(certificate)
        authority = device_certificates.is_self_signed_authority(certificate)
    except Exception:  # noqa: BLE001 (whatever cryptography cannot read: not a certificate for the device)
        raise StoreEntryError("is not a certificate the device can read") from None
    if problem:
        raise StoreEntryError("cannot be used by the device: %s" % problem)
    if not authority:
        raise StoreEntryError("is not a self-signed authority, so no chain can end in it")
    role = None
    role_path = os.path.join(folder, thumbprint + ".role")
    if needs_role or os.path.exists(role_path):
        try:
            with open(role_path) as text:
                role = int(text.read().strip())
        except (OSError, ValueError):
            raise StoreEntryError("has no role mask (%s.role)" % thumbprint) from None
    return thumbprint, certificate, role


class StoreEntryError(Exception):
    pass


def certificates(state, stores):
    """The Anchor (thumbprint, certificate, role mask or None, store) of each usable certificate in
    the stores; an
    entry that is not one (not a certificate, one the device cannot use, an SPC entry without its
    role) is skipped and reported in one line."""
    found = []
    for store in stores:
        folder = os.path.join(state, "stores", store)
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if not name.endswith(".cer"):
                continue
            try:
                found.append(Anchor(*read_store_entry(folder, name, store in PACKAGE_STORES), store))
            except (StoreEntryError, OSError) as problem:
                print("skipped the store entry %s\\%s: it %s" % (store, name, problem))
    return found


def verify(path, anchor):
    """osslsigncode's verdict (its exit status) on a signed file against one anchor certificate."""
    with tempfile.TemporaryDirectory() as scratch:
        anchors = os.path.join(scratch, "anchor.pem")
        with open(anchors, "wb") as out:
            out.write(anchor.public_bytes(serialization.Encoding.PEM))
        result = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", anchors], capture_output=True)
    return result.returncode == 0


def unusable_by_device(signature):
    """Why a well-formed signature counts as signed by nobody the device can trust, or None."""
    if signature.digest_names != {"sha1"}:
        return "its signature uses a %s digest; the device checks SHA-1 digests only" % "/".join(
            sorted(name.upper() for name in signature.digest_names))
    for certificate in signature.certificates:
        try:
            problem = device_certificates.device_problem(certificate)
        except Exception:  # noqa: BLE001 (a key or algorithm cryptography cannot read)
            problem = "it cannot be read"
        if problem:
            return "the certificate %s in its signature: %s" % (device_certificates.name_of(certificate), problem)
    return None


def classify(path, anchors):
    """The device's verdict on a file and its detail: ("unsigned", None), ("changed", why) for a
    signature that cannot be read or does not match, ("untrusted", why), or ("trusted", the
    Anchor its chain ends in)."""
    try:
        signature = signatures.read(path)
    except signatures.Damaged as problem:
        return "changed", str(problem)
    if signature is None:
        return "unsigned", None
    problem = unusable_by_device(signature)
    if problem:
        return "untrusted", problem
    for anchor in anchors:
        if verify(path, anchor.certificate):
            return "trusted", anchor
    return "untrusted", "no certificate in the device's stores is at the root of its signer's chain"


UNSIGNED_SIGNER = "unsigned"


def signer_of(path, verdict):
    """Who signed a package, as its installation is recorded: the SHA-1 thumbprint of the
    certificate that signed it when the device trusts it (its verdict), otherwise unsigned."""
    if verdict != "trusted":
        return UNSIGNED_SIGNER
    return signatures.read(path).signer().fingerprint(hashes.SHA1()).hex().upper()


def trust_level(policies, store=None):
    """The trust a program that runs is granted: privileged everywhere on a one-tier device; on a
    two-tier one only when signed under the Privileged Execution Trust Authorities."""
    if policies[ONE_TIER]:
        return "privileged (one tier)"
    return "privileged (two tier)" if store == PROGRAM_STORES[0] else "normal (two tier)"


def effective_role(role, policies):
    """The role mask with the Manager role added where policy 4119 (Grant Manager) grants it: what
    the stand-in installer and configuration manager are given, so that they read no policy."""
    return role | SECROLE_MANAGER if role & policies[GRANT_MANAGER] else role


def package_decision(verdict, detail, policies):
    """("install", role mask), ("ask", role mask) or ("refuse", why), for a CAB or .cpf."""
    if verdict == "changed":
        return "refuse", "a changed package is never installed"
    if verdict == "trusted":
        return "install", detail.role
    unsigned_role = policies[UNSIGNED_CABS]
    if unsigned_role == 0:
        return "refuse", "it is %s, and the device accepts no unsigned package (policy 4101)" % verdict
    return ("ask" if policies[UNSIGNED_PROMPT] == 0 else "install"), unsigned_role


def program_decision(verdict, detail, policies):
    """("run", trust), ("ask", trust) or ("refuse", why), for an EXE or DLL."""
    if verdict == "changed":
        return "refuse", "a changed program never runs"
    if verdict == "trusted":
        return "run", trust_level(policies, detail.store)
    if policies[UNSIGNED_APPLICATIONS] == 0:
        return "refuse", "it is %s, and the device runs no unsigned program (policy 4102)" % verdict
    return ("ask" if policies[UNSIGNED_PROMPT] == 0 else "run"), trust_level(policies)


UNANSWERED = 12  # the exit code of a run whose question nobody could answer, or answered in time
HOW_TO_ANSWER = ("answer with --answer yes|no, run it in a terminal, or show the device's screen "
                 "(DEVICE_DISPLAY=:N, an X display such as an Xephyr window)")


class Unanswered(Exception):
    pass


def add_answer_argument(parser):
    parser.add_argument("--answer", choices=["yes", "no"],
                        help="answer every question of the run so (the device's security questions and the setup "
                             "library's), for a device whose screen nobody sees")


class Questions:
    """How a run's questions reach the user: on the device's screen when it is shown
    (DEVICE_DISPLAY), else on the terminal, or answered by --answer; with none of them a question
    is never waited for. Each has a deadline (question_seconds)."""

    def __init__(self, device, answer, seconds):
        self.device, self.answer, self.seconds = device, answer, seconds
        self.on_screen = bool(os.environ.get("DEVICE_DISPLAY"))

    def installer_arguments(self):
        """How the stand-in installer answers the setup library's boxes, and their deadline."""
        deadline = ["--question-seconds", str(self.seconds)]
        if self.answer:
            return ["--answer", self.answer] + deadline
        return deadline if self.on_screen else ["--answer", "unseen"] + deadline

    def ask(self, text):
        """Whether the user said Yes; Unanswered when nobody could, or did in time."""
        if self.answer:
            print("answered %s (--answer)" % self.answer)
            return self.answer == "yes"
        if self.on_screen:
            status = self.device.run(PROMPT, [text, str(self.seconds)])
            if status == 3:
                raise Unanswered("nobody answered the question on the device's screen in time")
            return status == 0
        if sys.stdin.isatty():
            return ask_on_terminal(text, self.seconds)
        raise Unanswered("nobody can see the device's screen to answer: " + HOW_TO_ANSWER)


QUESTION_SECONDS, MAX_QUESTION_SECONDS = 120, 3600


def question_seconds(prog):
    """The seconds a question waits, for every question of the run (the device's security
    questions and the setup library's boxes): DEVICE_QUESTION_SECONDS, a whole number from 1 to
    3600, or 120 when it is not set. Any other value ends the command: one line, exit 2."""
    text = os.environ.get("DEVICE_QUESTION_SECONDS") or str(QUESTION_SECONDS)
    if not re.fullmatch(r"[0-9]{1,4}", text) or not 1 <= int(text) <= MAX_QUESTION_SECONDS:
        print("%s: DEVICE_QUESTION_SECONDS is a whole number of seconds from 1 to %d, not %r" % (
            prog, MAX_QUESTION_SECONDS, text), file=sys.stderr)
        sys.exit(BAD_ARGUMENTS)
    return int(text)


def ask_on_terminal(text, seconds):
    print("%s [y/N] " % text, end="", flush=True)
    ready, _, _ = select.select([sys.stdin], [], [], seconds)
    if not ready:
        print()
        raise Unanswered("nobody answered within %d s" % seconds)
    return sys.stdin.readline().strip().lower() in ("y", "yes")


VERDICTS = {"trusted": "signed, and its signer is trusted", "untrusted": "signed, but not by a publisher this device "
            "trusts", "unsigned": "unsigned", "changed": "signed, but changed after it was signed"}


def report_verdict(what, verdict, why):
    print("%s: %s%s" % (what, VERDICTS[verdict], " (%s)" % why if why and verdict != "trusted" else ""))


def asked(questions, question):
    """Whether the user agreed (Unanswered when nobody could answer)."""
    print("asked: %s" % question)
    sys.stdout.flush()
    if not questions.ask(question):
        print("refused: the user said No")
        return False
    return True


def checked(questions, what, verdict, why, decision, detail, question):
    """Reports the device's verdict (and why) and decision; whether it goes on (asking when it
    must; Unanswered when nobody could answer)."""
    report_verdict(what, verdict, why)
    if decision == "refuse":
        print("refused: %s" % detail)
        return False
    return decision != "ask" or asked(questions, question)


PLURALS = {"library": "libraries", "manifest": "manifests"}


def program_question(program, files, program_asked):
    """One question about a program and the files in its folder that the policies ask about
    ((what it is, "library" or "manifest"; its name) each)."""
    if not files:
        return PROGRAM_QUESTION % program
    names = [name for _, name in files]
    named = ", ".join(names[:5]) + (" and %d more" % (len(names) - 5) if len(names) > 5 else "")
    kinds = sorted({kind for kind, _ in files})
    if len(files) == 1:
        kind = "%s %s in its folder is" % (kinds[0], named)
    else:
        kind = "%s %s in its folder are" % (PLURALS[kinds[0]] if len(kinds) == 1 else "files", named)
    if program_asked:
        return "The program %s and the %s not signed by a publisher this device trusts. Run it anyway?" % (
            program, kind.replace(" is", " are"))
    return "The program %s is signed by a publisher this device trusts, but the %s not. Run it anyway?" % (program, kind)


def checked_program(questions, checks, policies):
    """Reports the verdict on a program and on each library and manifest in its folder ((what it
    is, its name, verdict, why) each, the program first) and the device's decision, as the loader
    decides for each module; the trust the program runs with, or None when it does not run:
    refused when any of them is, asked once about all that the policies ask about (Unanswered
    when nobody could answer)."""
    decisions = []
    for number, (kind, name, verdict, why) in enumerate(checks):
        report_verdict(name if number == 0 else "its %s %s" % (kind, name), verdict, why)
        decisions.append(program_decision(verdict, why, policies))
    for number, (decision, detail) in enumerate(decisions):
        if decision == "refuse":
            print("refused: %s%s" % ("" if number == 0 else "its %s %s: " % checks[number][:2], detail))
            return None
    files = [(kind, name) for (kind, name, _, _), (decision, _) in list(zip(checks, decisions))[1:] if decision == "ask"]
    program_asked = decisions[0][0] == "ask"
    if (program_asked or files) and not asked(questions, program_question(checks[0][1], files, program_asked)):
        return None
    return decisions[0][1]


def main():
    parser = command_line.parser("security", __doc__)
    add_device_arguments(parser)
    parser.add_argument("--professional", action="store_true",
                        help="a Windows Mobile Professional device (policy 4119: Operator TPS | Enterprise), "
                             "not a Classic one (User Authenticated | Enterprise)")
    parser.add_argument("preset", choices=sorted(PRESETS) + ["show"])
    arguments = parser.parse_args()
    if arguments.preset == "show" and arguments.professional:
        parser.error("--professional goes with a preset")
    device = Device(arguments.name, arguments.screen)
    if arguments.preset != "show":
        edition = "professional" if arguments.professional else "classic"
        write_policies(device.security, preset(arguments.preset, edition))
    policies = device.policies()
    for policy, value in sorted(policies.items()):
        print("%d = %d" % (policy, value))
    print("a program that runs is %s" % trust_level(policies, PROGRAM_STORES[0]))
    for store in PACKAGE_STORES + PROGRAM_STORES:
        for anchor in certificates(device.security, [store]):
            print("%s: %s%s" % (store, anchor.thumbprint, "" if anchor.role is None else ", role mask %d" % anchor.role))

if __name__ == "__main__":
    main()
