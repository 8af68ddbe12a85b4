"""Signing on the host and on one emulated device: a throwaway CA and code-signing certificates
made at test time; the certificates the device cannot use refused before anything is written;
signed outputs that verify with SHA-1 digests and fail when a byte changes; the trust document
read back; and the emulated device's security policies applied to packages and programs, the
questions answered on its screen as a user would."""
import base64
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "emulated_device"))
import security  # noqa: E402

SIGN_KIT = [os.path.join(ROOT, "packaging", "sign-kit")]
WHITE_LIST = [os.path.join(ROOT, "packaging", "white-list-package")]
TRUST_DOCUMENT = [os.path.join(ROOT, "packaging", "trust-document")]
INSTALL = [os.path.join(ROOT, "emulated_device", "install-quillmere"), "--name", "signing"]
RUN_PROGRAM = [os.path.join(ROOT, "emulated_device", "run-program"), "--name", "signing"]
WAIT_FOR_FORM = [os.path.join(ROOT, "emulated_device", "wait-for-form"), "--name", "signing"]
UNSIGNED_KIT = os.path.join(ROOT, "build", "emulated-device", "packaging", "Quillmere-emulated.cab")
CA_CONFIGURATION = """[ca]
default_ca = test
[test]
dir = .
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha1
policy = anything
unique_subject = no
[anything]
commonName = supplied
[signer]
basicConstraints = CA:FALSE
extendedKeyUsage = codeSigning
"""


def run(command, folder, **options):
    return subprocess.run(command, cwd=folder, capture_output=True, text=True, **options)


def openssl(arguments, folder):
    subprocess.run(["openssl"] + arguments, cwd=folder, check=True, capture_output=True)


def make_certificates(folder):
    """Roots (SHA-1, RSA 2048) and certificates issued by them, good and unusable."""
    for root in ("root", "other-root"):
        openssl(["req", "-x509", "-newkey", "rsa:2048", "-sha1", "-nodes", "-days", "30", "-keyout", root + ".key",
                 "-out", root + ".pem", "-subj", "/CN=" + root, "-addext", "basicConstraints=critical,CA:TRUE"], folder)
    with open(os.path.join(folder, "signer.ext"), "w") as out:
        out.write("basicConstraints=CA:FALSE\nextendedKeyUsage=codeSigning\n")
    with open(os.path.join(folder, "plain.ext"), "w") as out:
        out.write("basicConstraints=CA:FALSE\n")
    issued = {"signer": ("root", 2048, "sha1", "signer.ext"), "other-signer": ("other-root", 2048, "sha1", "signer.ext"),
              "big-key": ("root", 4096, "sha1", "signer.ext"), "no-code-signing": ("root", 2048, "sha1", "plain.ext"),
              "sha256": ("root", 2048, "sha256", "signer.ext")}
    for name, (root, bits, digest, extensions) in issued.items():
        openssl(["req", "-newkey", "rsa:%d" % bits, "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                 "-subj", "/CN=" + name], folder)
        openssl(["x509", "-req", "-in", name + ".csr", "-CA", root + ".pem", "-CAkey", root + ".key",
                 "-CAcreateserial", "-days", "30", "-" + digest, "-extfile", extensions, "-out", name + ".pem"], folder)
    with open(os.path.join(folder, "ca.cnf"), "w") as out:
        out.write(CA_CONFIGURATION)
    open(os.path.join(folder, "index.txt"), "w").close()
    with open(os.path.join(folder, "serial"), "w") as out:
        out.write("1000\n")
    openssl(["req", "-newkey", "rsa:2048", "-nodes", "-keyout", "expired.key", "-out", "expired.csr", "-subj",
             "/CN=expired"], folder)
    openssl(["ca", "-batch", "-config", "ca.cnf", "-cert", "root.pem", "-keyfile", "root.key", "-in", "expired.csr",
             "-out", "expired.pem", "-startdate", "20200101000000Z", "-enddate", "20210101000000Z", "-extensions",
             "signer", "-notext"], folder)


def signing_options(name):
    return ["--certificate", name + ".pem", "--key", name + ".key"]


def read_bytes(path):
    with open(path, "rb") as source:
        return source.read()


def contents_offset(data):
    """Where a signed file's contents begin: a cabinet's first data block, a program's first section."""
    if data[:4] == b"MSCF":
        flags = struct.unpack_from("<H", data, 30)[0]
        folder = 36 + (4 + struct.unpack_from("<H", data, 36)[0] if flags & 4 else 0)
        return struct.unpack_from("<I", data, folder)[0] + 8 + (data[38] if flags & 4 else 0)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    sections = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    return struct.unpack_from("<I", data, sections + 20)[0]


def changed(path, copy):
    """A copy of a signed file with one byte of its signed contents changed."""
    data = bytearray(read_bytes(path))
    data[contents_offset(data) + 4] ^= 0x01
    with open(copy, "wb") as out:
        out.write(data)
    return copy


# One signing set-up for every test: the certificates, the kit signed by a trusted and by an
# untrusted signer, a signed white list, and the trust document of the root.
ARTIFACTS = None


def setUpModule():
    global ARTIFACTS
    ARTIFACTS = tempfile.mkdtemp(prefix="signing-test-")
    make_certificates(ARTIFACTS)
    for name, signer in (("trusted", "signer"), ("untrusted", "other-signer")):
        result = run(SIGN_KIT + [name] + signing_options(signer), ARTIFACTS)
        assert result.returncode == 0, result.stderr
    result = run(WHITE_LIST + [os.path.join(HERE, "white_lists", "second.whitelist"), "lists"] +
                 signing_options("signer"), ARTIFACTS)
    assert result.returncode == 0, result.stderr
    result = run(TRUST_DOCUMENT + ["root.pem", "trust"], ARTIFACTS)
    assert result.returncode == 0, result.stderr


def tearDownModule():
    shutil.rmtree(ARTIFACTS, ignore_errors=True)


class WithArtifacts(unittest.TestCase):
    @property
    def folder(self):
        return ARTIFACTS

    def path(self, *parts):
        return os.path.join(ARTIFACTS, *parts)


class Signing(WithArtifacts):
    def test_certificates_the_device_cannot_use_are_refused_before_anything_is_written(self):
        cases = [(SIGN_KIT + ["out"], "big-key", "4096 bits"), (SIGN_KIT + ["out"], "no-code-signing", "code signing"),
                 (SIGN_KIT + ["out"], "expired", "expired"), (SIGN_KIT + ["out"], "sha256", "SHA-1"),
                 (WHITE_LIST + [os.path.join(HERE, "white_lists", "second.whitelist"), "out"], "expired", "expired"),
                 (TRUST_DOCUMENT + ["big-key.pem", "out"], None, "4096 bits"),
                 (TRUST_DOCUMENT + ["expired.pem", "out"], None, "expired")]
        for command, certificate, reason in cases:
            with self.subTest(command=os.path.basename(command[0]), certificate=certificate or command[1]):
                result = run(command + (signing_options(certificate) if certificate else []), self.folder)
                self.assertEqual(1, result.returncode)
                self.assertEqual(1, len(result.stderr.splitlines()), result.stderr)
                self.assertIn(reason, result.stderr)
                self.assertFalse(os.path.exists(self.path("out")))
        result = run(SIGN_KIT + ["out", "--certificate", "signer.pem", "--key", "other-signer.key"], self.folder)
        self.assertIn("is not the key of", result.stderr)
        self.assertFalse(os.path.exists(self.path("out")))

    def test_signed_outputs_verify_with_sha1_digests_and_a_changed_byte_fails(self):
        signed = [("trusted", "ARM", "Quillmere.exe"), ("trusted", "ARM", "Corvane.dll"),
                  ("trusted", "emulated", "Quillmere.exe"), ("trusted", "Quillmere-ARM.cab"),
                  ("trusted", "Quillmere-emulated.cab"), ("lists", "second.cab"), ("lists", "second.cpf")]
        for parts in signed:
            with self.subTest("/".join(parts)):
                result = run(["osslsigncode", "verify", "-in", self.path(*parts), "-CAfile", "root.pem"], self.folder)
                self.assertEqual(0, result.returncode, result.stdout)
                self.assertRegex(result.stdout, r"Message digest algorithm\s*: SHA1")
                result = run(["osslsigncode", "verify", "-in", changed(self.path(*parts), self.path("changed")),
                              "-CAfile", "root.pem"], self.folder)
                self.assertNotEqual(0, result.returncode)
                self.assertIn("MISMATCH", result.stdout + result.stderr)

    def test_a_pkcs12_file_with_its_password_in_a_file_or_the_environment_and_a_pinned_time(self):
        openssl(["pkcs12", "-export", "-inkey", "signer.key", "-in", "signer.pem", "-out", "signer.p12", "-passout",
                 "pass:s3cret"], self.folder)
        with open(self.path("password"), "w") as out:
            out.write("s3cret\n")
        list_file = os.path.join(HERE, "white_lists", "second.whitelist")
        pinned = ["--pkcs12", "signer.p12", "--signing-time", "1767225600"]
        first = run(WHITE_LIST + [list_file, "p1"] + pinned + ["--password-file", "password"], self.folder)
        second = run(WHITE_LIST + [list_file, "p2"] + pinned, self.folder,
                     env=dict(os.environ, KIT_SIGNING_PASSWORD="s3cret"))
        self.assertEqual((0, 0), (first.returncode, second.returncode), first.stderr + second.stderr)
        for name in ("second.cab", "second.cpf"):
            self.assertEqual(read_bytes(self.path("p1", name)), read_bytes(self.path("p2", name)))
        wrong = run(WHITE_LIST + [list_file, "p3"] + pinned, self.folder, env=dict(os.environ, KIT_SIGNING_PASSWORD="x"))
        self.assertEqual(1, wrong.returncode)
        self.assertFalse(os.path.exists(self.path("p3")))

    def test_trust_document_reads_back(self):
        fingerprint = run(["openssl", "x509", "-in", "root.pem", "-noout", "-fingerprint", "-sha1"], self.folder)
        thumbprint = fingerprint.stdout.strip().split("=")[1].replace(":", "")
        der = subprocess.run(["openssl", "x509", "-in", self.path("root.pem"), "-outform", "DER"], capture_output=True,
                             check=True).stdout
        self.assertEqual(hashlib.sha1(der).hexdigest().upper(), thumbprint)
        document = ElementTree.parse(self.path("trust", "root.xml")).getroot()
        stores = document.find("./characteristic[@type='CertificateStore']")
        for store, role in (("SPC", "8"), ("Privileged Execution Trust Authorities", None)):
            certificate = stores.find("./characteristic[@type='%s']/characteristic[@type='%s']" % (store, thumbprint))
            parms = {parm.get("name"): parm.get("value") for parm in certificate.findall("parm")}
            self.assertEqual(der, base64.b64decode(parms["EncodedCertificate"]))
            self.assertEqual(role, parms.get("Role"))
        member = subprocess.run(["cabextract", "-p", self.path("trust", "root.cpf")], capture_output=True).stdout
        self.assertEqual(read_bytes(self.path("trust", "root.xml")), member)


class OnTheEmulatedDevice(WithArtifacts):
    """One emulated device for every case: its policies set, its stores holding the throwaway
    root through its trust document, its questions answered on its screen."""
    INSTALLED = ("drive_c", "Program Files", "Quillmere", "Quillmere.exe")

    @classmethod
    def setUpClass(cls):
        cls.device = security.Device("signing", "480x640")
        cls.display = cls.device.display

    def device_path(self, *parts):
        return os.path.join(self.device.prefix, *parts)

    def set_policy(self, preset):
        security.write_policies(self.device.prefix, security.PRESETS[preset])

    def trust_root(self):
        shutil.rmtree(self.device_path("drive_c", "windows", "security", "stores"), ignore_errors=True)
        self.set_policy("off")
        self.assertEqual(0, self.answering(INSTALL + ["--package", self.path("trust", "root.cpf")], [])[0])

    def uninstall(self):
        for parts in (self.INSTALLED, ("drive_c", "windows", "Start Menu", "Programs", "Quillmere.lnk")):
            if os.path.exists(self.device_path(*parts)):
                os.remove(self.device_path(*parts))

    def windows_of(self, program):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--classname", "^%s$" % program],
                               capture_output=True, text=True, env=dict(os.environ, DISPLAY=self.display))
        return found.stdout.split()

    def press(self, window, key):
        environment = dict(os.environ, DISPLAY=self.display)
        try:  # a box that goes meanwhile never gets the focus; a key is never cut short, so never held
            subprocess.run(["xdotool", "windowfocus", "--sync", window], capture_output=True, env=environment,
                           timeout=2)
        except subprocess.TimeoutExpired:
            return
        # A key sent as the keyboard sends it, to the focused box: a box that goes while its key is
        # sent to it as a window's event could leave the key held.
        subprocess.run(["xdotool", "key", key], capture_output=True, env=environment)

    def answering(self, command, answers):
        """Runs a command of the device, answering each security question as `answers` say (Yes
        for True) and Corvane's questions with Yes, each box until it goes; its exit code, the
        security questions it asked and its output."""
        with tempfile.TemporaryFile("w+") as output:
            process = subprocess.Popen(command, stdout=output, stderr=subprocess.STDOUT, text=True)
            deadline = time.time() + 60
            seen = {}  # a box is answered once it has been there a moment: a key that comes too early is lost
            while process.poll() is None and time.time() < deadline:
                output.seek(0)
                asked = output.read().count("asked: ")
                for program, key in (("securityprompt", "Return" if 0 < asked <= len(answers) and answers[asked - 1]
                                      else "n"), ("setupinstaller", "Return")):
                    for window in self.windows_of(program + "\\.exe")[-1:]:
                        if time.time() - seen.setdefault(window, time.time()) > 0.5:
                            self.press(window, key)
                time.sleep(0.1)
            if process.poll() is None:
                process.kill()
            status = process.wait()
            output.seek(0)
            text = output.read()
        return status, text.count("asked: "), text

    def test_the_kits_package_under_each_policy(self):
        self.trust_root()
        kits = {"trusted": self.path("trusted", "Quillmere-emulated.cab"),
                "untrusted": self.path("untrusted", "Quillmere-emulated.cab"), "unsigned": UNSIGNED_KIT,
                "tampered": changed(self.path("trusted", "Quillmere-emulated.cab"), self.path("tampered.cab"))}
        # policy, answers to its questions; then for each package: installed, questions asked
        table = [("off", [], {"trusted": (True, 0), "untrusted": (True, 0), "unsigned": (True, 0), "tampered": (False, 0)}),
                 ("prompt", [True, True],
                  {"trusted": (True, 0), "untrusted": (True, 2), "unsigned": (True, 2), "tampered": (False, 0)}),
                 ("prompt", [False],
                  {"trusted": (True, 0), "untrusted": (False, 1), "unsigned": (False, 1), "tampered": (False, 0)}),
                 ("locked", [],
                  {"trusted": (True, 0), "untrusted": (False, 0), "unsigned": (False, 0), "tampered": (False, 0)})]
        for policy, answers, outcomes in table:
            for kit, (installed, questions) in outcomes.items():
                with self.subTest(policy=policy, answers=answers, package=kit):
                    self.set_policy(policy)
                    self.uninstall()
                    status, asked, output = self.answering(INSTALL + ["--package", kits[kit]], answers)
                    self.assertEqual(0 if installed else security.REFUSED, status, output)
                    self.assertEqual(questions, asked, output)
                    self.assertEqual(installed, os.path.exists(self.device_path(*self.INSTALLED)))
                    left = [name for name in os.listdir(os.path.join(self.device_path("drive_c", "users"))) if
                            os.path.isdir(self.device_path("drive_c", "users", name, "Temp")) and any(
                                entry.startswith("unpacked-") for entry in
                                os.listdir(self.device_path("drive_c", "users", name, "Temp")))]
                    self.assertEqual([], left)
        self.uninstall()

    def test_white_list_packages_under_the_locked_policy(self):
        self.trust_root()
        self.set_policy("locked")
        cab, cpf = self.path("lists", "second.cab"), self.path("lists", "second.cpf")
        unsigned = os.path.join(ROOT, "build", "emulated-device", "white_lists", "second.cab")
        for package, applied in ((cab, True), (changed(cab, self.path("tampered-list.cab")), False),
                                 (cpf, True), (changed(cpf, self.path("tampered-list.cpf")), False),
                                 (unsigned, False)):
            with self.subTest(os.path.basename(package)):
                self.device.run("reg", ["add", "HKLM\\COMM\\TIWLNAPI1\\PARMS", "/v", "WhiteListSSID1", "/d", "before",
                                        "/f"])
                status, asked, output = self.answering(INSTALL + ["--package", package], [])
                self.assertEqual(0 if applied else security.REFUSED, status, output)
                self.assertEqual(0, asked)
                query = subprocess.run(self.device.command + ["reg", "query", "HKLM\\COMM\\TIWLNAPI1\\PARMS", "/v",
                                                              "WhiteListSSID1"], capture_output=True, text=True)
                self.assertIn("replaced" if applied else "before", query.stdout)

    def test_the_trust_document_lets_the_signed_kit_install_without_a_question(self):
        stores = self.device_path("drive_c", "windows", "security", "stores")
        shutil.rmtree(stores, ignore_errors=True)
        # A document accepted without the Manager role adds no certificate.
        installer = os.path.join(security.BUILD, "setup_installer", "SetupInstaller.exe")
        status = self.device.run(installer, ["install-cab", security.host_path(self.path("trust", "root.cpf")),
                                             "--role", str(security.SECROLE_USER_AUTH)])
        self.assertEqual(7, status)
        self.assertFalse(os.path.exists(stores))
        self.set_policy("prompt")
        self.uninstall()
        kit = self.path("trusted", "Quillmere-emulated.cab")
        status, asked, _ = self.answering(INSTALL + ["--package", kit], [False])
        self.assertEqual((security.REFUSED, 1), (status, asked))
        status, asked, output = self.answering(INSTALL + ["--package", self.path("trust", "root.cpf")], [True])
        self.assertEqual((0, 1), (status, asked), output)
        status, asked, output = self.answering(INSTALL + ["--package", kit], [])
        self.assertEqual((0, 0), (status, asked), output)
        self.assertEqual(read_bytes(self.path("trusted", "emulated", "Quillmere.exe")),
                         read_bytes(self.device_path(*self.INSTALLED)))
        self.uninstall()

    def test_programs_start_as_the_execution_policies_say(self):
        self.trust_root()
        folder = self.device_path("drive_c", "Program Files", "Signing")
        os.makedirs(folder, exist_ok=True)
        shutil.copyfile(self.path("trusted", "emulated", "Quillmere.exe"), os.path.join(folder, "Signed.exe"))
        shutil.copyfile(os.path.join(ROOT, "build", "emulated-device", "settings_tool", "Quillmere.exe"),
                        os.path.join(folder, "Unsigned.exe"))
        for policy, program, answers, ran, questions in (("locked", "Signed.exe", [], True, 0),
                                                         ("locked", "Unsigned.exe", [], False, 0),
                                                         ("prompt", "Unsigned.exe", [False], False, 1)):
            with self.subTest(policy=policy, program=program):
                self.set_policy(policy)
                command = RUN_PROGRAM + ["C:\\Program Files\\Signing\\" + program]
                if ran:
                    process = subprocess.Popen(command, stdout=subprocess.DEVNULL)
                    # OK is tapped once the form is painted: a tap before its button is there is lost.
                    try:
                        waited = subprocess.run(WAIT_FOR_FORM + ["--pid", str(process.pid), "--tap-ok"],
                                                capture_output=True, text=True)
                        self.assertEqual(0, waited.returncode, waited.stderr)
                        self.assertEqual(0, process.wait(timeout=30))
                    finally:
                        process.kill()
                        process.wait()
                else:
                    status, asked, output = self.answering(command, answers)
                    self.assertEqual((security.REFUSED, questions), (status, asked), output)
        shutil.rmtree(folder)


if __name__ == "__main__":
    sys.exit(unittest.main())
