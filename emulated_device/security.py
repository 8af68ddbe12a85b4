#!/usr/bin/python3
"""The emulated device's security: its policies, its certificate stores, and the checks it makes
before it installs a package or loads a program. The checks run here, on the Linux side of the
emulated device, with Debian's osslsigncode (the Windows-side stand-ins cannot run Linux tools),
before the Windows program is started or handed the package.

    emulated_device/security [--name NAME] [--screen WxH] off|prompt|locked|show

sets the device's policies to a preset, or shows them. The policies and the stores live in the
device's drive: C:\\windows\\security\\policies (one "ID=value" a line) and
C:\\windows\\security\\stores\\<store>\\<THUMBPRINT>.cer (an SPC certificate's role mask in
<THUMBPRINT>.role), where the stand-in installer adds the certificates of a trust document."""
import argparse
import os
import shlex
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
DEVICE = os.path.join(HERE, "device")
SECROLE_MANAGER, SECROLE_USER_AUTH = 8, 16
UNSIGNED_CABS, UNSIGNED_APPLICATIONS, UNSIGNED_PROMPT, ONE_TIER = 4101, 4102, 4122, 4123
# Accepted unsigned packages get the Manager and User Authenticated roles where they are
# accepted at all, so that a trust document agreed to at a prompt can add certificates, as the
# platform's documentation describes the first one reaching a device by hand.
PRESETS = {
    "off": {UNSIGNED_CABS: SECROLE_MANAGER | SECROLE_USER_AUTH, UNSIGNED_APPLICATIONS: 1, UNSIGNED_PROMPT: 1, ONE_TIER: 1},
    "prompt": {UNSIGNED_CABS: SECROLE_MANAGER | SECROLE_USER_AUTH, UNSIGNED_APPLICATIONS: 1, UNSIGNED_PROMPT: 0,
               ONE_TIER: 1},
    "locked": {UNSIGNED_CABS: 0, UNSIGNED_APPLICATIONS: 0, UNSIGNED_PROMPT: 1, ONE_TIER: 1},
}
PACKAGE_STORES = ["SPC"]
PROGRAM_STORES = ["Privileged Execution Trust Authorities", "Unprivileged Execution Trust Authorities"]


BUILD = os.path.join(HERE, "..", "build", "emulated-device", "emulated_device")
PROMPT = os.path.join(BUILD, "security_prompt", "SecurityPrompt.exe")
REFUSED = 8  # the exit code of a package or program the device's security refuses
PACKAGE_QUESTION = "The publisher of %s cannot be verified. Install it anyway?"
PROGRAM_QUESTION = "The program %s is not signed by a publisher this device trusts. Run it anyway?"


class Device:
    """One emulated device, reached through emulated_device/device."""

    def __init__(self, name, screen):
        self.command = [DEVICE, "--name", name, "--screen", screen]
        output = subprocess.run(self.command + ["--env"], capture_output=True, text=True, check=True).stdout
        variables = dict(item.split("=", 1) for item in shlex.split(output)[1:])  # "export A=B C=D"
        self.prefix, self.display = variables["WINEPREFIX"], variables["DISPLAY"]

    def run(self, program, arguments):
        return subprocess.run(self.command + [program] + arguments).returncode

    def ask(self, text):
        """The device's security question on its screen; whether the user said Yes."""
        return self.run(PROMPT, [text]) == 0

    def path(self, windows_path):
        """Where a file of the device's drive C: lies on this machine."""
        drive, _, rest = windows_path.partition(":\\")
        if drive.upper() != "C":
            raise ValueError("%s is not on the device's drive C:" % windows_path)
        return os.path.join(self.prefix, "drive_c", *rest.split("\\"))


def host_path(path):
    """A file of this machine as the device sees it, on drive Z:."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def security_folder(prefix):
    return os.path.join(prefix, "drive_c", "windows", "security")


def read_policies(prefix):
    """The device's policies; a device never set is "off"."""
    policies = dict(PRESETS["off"])
    try:
        with open(os.path.join(security_folder(prefix), "policies")) as lines:
            for line in lines:
                key, _, value = line.partition("=")
                policies[int(key)] = int(value)
    except FileNotFoundError:
        pass
    return policies


def write_policies(prefix, policies):
    os.makedirs(security_folder(prefix), exist_ok=True)
    with open(os.path.join(security_folder(prefix), "policies"), "w") as out:
        out.writelines("%d=%d\n" % item for item in sorted(policies.items()))


def certificates(prefix, stores):
    """(thumbprint, DER path, role mask or None) of each certificate in the stores."""
    found = []
    for store in stores:
        folder = os.path.join(security_folder(prefix), "stores", store)
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            if name.endswith(".cer"):
                role_path = os.path.join(folder, name[:-4] + ".role")
                role = int(open(role_path).read()) if os.path.exists(role_path) else None
                found.append((name[:-4], os.path.join(folder, name), role))
    return found


def verify(path, anchor_der=None):
    """osslsigncode's verdict on a signed file against one anchor (None: no anchor at all)."""
    with tempfile.TemporaryDirectory() as scratch:
        anchors = os.path.join(scratch, "anchors.pem")
        if anchor_der:
            subprocess.run(["openssl", "x509", "-inform", "DER", "-in", anchor_der, "-out", anchors], check=True,
                           capture_output=True)
        else:
            open(anchors, "w").close()
        result = subprocess.run(["osslsigncode", "verify", "-in", path, "-CAfile", anchors], capture_output=True,
                                text=True)
    return result.returncode == 0, "MISMATCH" in result.stdout + result.stderr


def classify(path, anchors):
    """"unsigned", "tampered" (signed bytes changed), ("trusted", the anchor's role) or "untrusted"."""
    with tempfile.TemporaryDirectory() as scratch:
        signed = subprocess.run(["osslsigncode", "extract-signature", "-in", path, "-out",
                                 os.path.join(scratch, "signature")], capture_output=True).returncode == 0
    if not signed:
        return "unsigned", None
    for _, der, role in anchors:
        trusted, changed = verify(path, der)
        if changed:
            return "tampered", None
        if trusted:
            return "trusted", role
    return ("tampered" if verify(path)[1] else "untrusted"), None


def trust_level(policies):
    """The trust a program that runs is granted (policy 4123, which the emulated device records only)."""
    return "privileged (one tier)" if policies[ONE_TIER] else "normal (two tier)"


def package_decision(verdict, role, policies):
    """("install", role mask), ("ask", role mask) or ("refuse", why), for a CAB or .cpf."""
    if verdict == "tampered":
        return "refuse", "its signature does not match its contents"
    if verdict == "trusted":
        return "install", role
    unsigned_role = policies[UNSIGNED_CABS]
    if unsigned_role == 0:
        return "refuse", "it is %s, and the device accepts no unsigned package (policy 4101)" % verdict
    return ("ask" if policies[UNSIGNED_PROMPT] == 0 else "install"), unsigned_role


def program_decision(verdict, policies):
    """("run", trust), ("ask", trust) or ("refuse", why), for an EXE or DLL."""
    if verdict == "tampered":
        return "refuse", "its signature does not match its contents"
    if verdict == "trusted":
        return "run", trust_level(policies)
    if policies[UNSIGNED_APPLICATIONS] == 0:
        return "refuse", "it is %s, and the device runs no unsigned program (policy 4102)" % verdict
    return ("ask" if policies[UNSIGNED_PROMPT] == 0 else "run"), trust_level(policies)


def checked(device, what, verdict, decision, detail, question):
    """Reports the device's verdict and decision; whether it goes on (asking when it must)."""
    print("%s: %s" % (what, {"trusted": "signed, and its signer is trusted", "untrusted": "signed by a signer the "
                             "device does not trust", "unsigned": "unsigned", "tampered": "signed, but its signed bytes "
                             "were changed"}[verdict]))
    if decision == "refuse":
        print("refused: %s" % detail)
        return False
    if decision == "ask":
        print("asked: %s" % question)
        sys.stdout.flush()
        if not device.ask(question):
            print("refused: the user said No")
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--name", default=os.environ.get("DEVICE_NAME", "run"))
    parser.add_argument("--screen", default=os.environ.get("DEVICE_SCREEN", "480x640"))
    parser.add_argument("preset", choices=sorted(PRESETS) + ["show"])
    arguments = parser.parse_args()
    prefix = Device(arguments.name, arguments.screen).prefix
    if arguments.preset != "show":
        write_policies(prefix, PRESETS[arguments.preset])
    policies = read_policies(prefix)
    for policy, value in sorted(policies.items()):
        print("%d = %d" % (policy, value))
    print("a program that runs is %s" % trust_level(policies))
    for store in PACKAGE_STORES + PROGRAM_STORES:
        for thumbprint, _, role in certificates(prefix, [store]):
            print("%s: %s%s" % (store, thumbprint, "" if role is None else ", role mask %d" % role))


if __name__ == "__main__":
    main()
