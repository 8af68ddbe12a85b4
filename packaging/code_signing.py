"""Authenticode signatures for the device: programs (EXE, DLL) and cabinets (CAB, CPF) signed
with Debian's osslsigncode, SHA-1 digests, and a certificate the device can use (RSA of at most
2048 bits, itself signed with SHA-1, for code signing, valid now); openssl reads the
certificates. A certificate and key come as PEM files or as a PKCS#12 file whose password is read
from a file or from the environment, never from the command line."""
import contextlib
import datetime
import os
import re
import shutil
import subprocess
import tempfile

PASSWORD_VARIABLE = "KIT_SIGNING_PASSWORD"
MAX_KEY_BITS = 2048


class SigningError(Exception):
    pass


def add_arguments(parser):
    group = parser.add_argument_group("signing (optional)")
    group.add_argument("--certificate", help="the code-signing certificate (PEM), and after it any intermediate ones")
    group.add_argument("--key", help="its private key (PEM, unencrypted)")
    group.add_argument("--pkcs12", help="certificate and key in one PKCS#12 file instead")
    group.add_argument("--password-file", help="the PKCS#12 file's password; else $%s" % PASSWORD_VARIABLE)
    group.add_argument("--signing-time", type=int, metavar="SECONDS",
                       help="the signing time (Unix seconds): the same inputs then give the same bytes")


def openssl(arguments, data=None):
    result = subprocess.run(["openssl"] + arguments, input=data, capture_output=True)
    if result.returncode != 0:
        raise SigningError("openssl %s: %s" % (arguments[0], result.stderr.decode(errors="replace").strip()
                                              .splitlines()[-1:] or ["failed"]))
    return result.stdout.decode(errors="replace")


def certificate_text(path, form="PEM"):
    return openssl(["x509", "-inform", form, "-in", path, "-noout", "-text", "-nameopt", "oneline"])


def certificate_time(text, field):
    found = re.search(r"%s\s*:\s*(.+?)\s*GMT" % field, text)
    return datetime.datetime.strptime(found.group(1), "%b %d %H:%M:%S %Y").replace(tzinfo=datetime.timezone.utc)


def check_certificate(path, for_signing=True, form="PEM"):
    """Refuses, with the reason, a certificate the device cannot use (for signing: a code-signing
    one)."""
    text = certificate_text(path, form)
    bits = re.search(r"Public-Key: \((\d+) bit\)", text)
    if "rsaEncryption" not in text or not bits:
        raise SigningError("%s: the key is not RSA; the device takes RSA keys only" % path)
    if int(bits.group(1)) > MAX_KEY_BITS:
        raise SigningError("%s: the key has %s bits; the device takes RSA keys of at most %d bits"
                           % (path, bits.group(1), MAX_KEY_BITS))
    algorithm = re.search(r"Signature Algorithm: (\S+)", text).group(1)
    if algorithm != "sha1WithRSAEncryption":
        raise SigningError("%s: the certificate is signed with %s; the device understands SHA-1 (sha1WithRSAEncryption) "
                           "only" % (path, algorithm))
    if for_signing and not re.search(r"Extended Key Usage:[^\n]*\n\s*[^\n]*Code Signing", text):
        raise SigningError("%s: the certificate is not for code signing (no Code Signing extended key usage)" % path)
    now = datetime.datetime.now(datetime.timezone.utc)
    if certificate_time(text, "Not After") < now:
        raise SigningError("%s: the certificate expired on %s" % (path, certificate_time(text, "Not After").date()))
    if certificate_time(text, "Not Before") > now:
        raise SigningError("%s: the certificate is valid only from %s" % (path, certificate_time(text, "Not Before").date()))


class Signer:
    """A checked certificate and its key, ready to sign files in place."""

    def __init__(self, certificate, key, signing_time=None):
        check_certificate(certificate)
        if openssl(["x509", "-in", certificate, "-noout", "-pubkey"]) != openssl(["pkey", "-in", key, "-pubout"]):
            raise SigningError("%s is not the key of %s" % (key, certificate))
        self.certificate, self.key, self.signing_time = certificate, key, signing_time

    def sign(self, path):
        signed = path + ".signed"
        command = ["osslsigncode", "sign", "-h", "sha1", "-certs", self.certificate, "-key", self.key,
                   "-in", path, "-out", signed]
        if self.signing_time is not None:
            command += ["-time", str(self.signing_time)]
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            raise SigningError("osslsigncode cannot sign %s: %s" % (path, (result.stderr.strip().splitlines() or
                                                                         ["failed"])[-1]))
        os.replace(signed, path)


def read_password(arguments):
    if arguments.password_file:
        with open(arguments.password_file) as password:
            return password.read().rstrip("\r\n")
    if PASSWORD_VARIABLE in os.environ:
        return os.environ[PASSWORD_VARIABLE]
    raise SigningError("a PKCS#12 file needs its password: --password-file FILE or $%s" % PASSWORD_VARIABLE)


def pkcs12_contents(path, password, folder):
    """The certificate and key of a PKCS#12 file, as PEM files in the (private) folder."""
    certificate, key = os.path.join(folder, "certificate.pem"), os.path.join(folder, "key.pem")
    environment = dict(os.environ, KIT_PKCS12_PASSWORD=password)
    for output, selection in ((certificate, ["-nokeys"]), (key, ["-nocerts", "-nodes"])):
        for legacy in ([], ["-legacy"]):  # older PKCS#12 files need OpenSSL's legacy ciphers
            result = subprocess.run(["openssl", "pkcs12", "-in", path, "-passin", "env:KIT_PKCS12_PASSWORD",
                                     "-out", output] + selection + legacy, env=environment, capture_output=True)
            if result.returncode == 0:
                break
        else:
            raise SigningError("%s cannot be read with that password" % path)
    return certificate, key


@contextlib.contextmanager
def signer_of(arguments):
    """The signer the arguments ask for (None: sign nothing), its certificate checked before
    anything is written. A PKCS#12 file's contents stay in a private folder while it is used."""
    if not (arguments.pkcs12 or arguments.certificate or arguments.key):
        yield None
        return
    if arguments.pkcs12 and (arguments.certificate or arguments.key):
        raise SigningError("give --pkcs12, or --certificate and --key, not both")
    if not arguments.pkcs12 and not (arguments.certificate and arguments.key):
        raise SigningError("--certificate and --key go together")
    folder = tempfile.mkdtemp(prefix="kit-signing-")
    try:
        if arguments.pkcs12:
            certificate, key = pkcs12_contents(arguments.pkcs12, read_password(arguments), folder)
        else:
            certificate, key = arguments.certificate, arguments.key
        yield Signer(certificate, key, arguments.signing_time)
    finally:
        shutil.rmtree(folder, ignore_errors=True)
