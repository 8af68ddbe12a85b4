"""Authenticode signatures of programs (PE files) and cabinets (CAB, CPF) as the device's security
reads them: whether a file carries one, the PKCS#7 structure itself (python3-asn1crypto), whether
it still matches the file, and which certificates and digest it uses. osslsigncode computes the
file's digest and checks chains; nothing here reads its human-readable output."""
import datetime
import functools
import os
import struct
import subprocess
import tempfile

import pefile
from asn1crypto import algos, cms, core, pem
from cryptography import x509
from cryptography.exceptions import UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa

SPC_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
CAB_RESERVE_PRESENT = 0x0004
# osslsigncode's names of the digests it can compute.
DIGESTS = {"md5": ("md5", hashes.MD5), "sha1": ("sha1", hashes.SHA1), "sha256": ("sha256", hashes.SHA256),
           "sha384": ("sha384", hashes.SHA384), "sha512": ("sha512", hashes.SHA512)}


class SpcAttributeTypeAndOptionalValue(core.Sequence):
    _fields = [("type", core.ObjectIdentifier), ("value", core.Any, {"optional": True})]


class DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", algos.DigestAlgorithm), ("digest", core.OctetString)]


class SpcIndirectDataContent(core.Sequence):
    """What an Authenticode signature signs: the kind of file, and the file's digest."""
    _fields = [("data", SpcAttributeTypeAndOptionalValue), ("message_digest", DigestInfo)]


# What asn1crypto, cryptography and pefile raise for a structure they cannot read, when it is
# loaded or when a part of it is first looked at.
UNREADABLE = (ValueError, TypeError, KeyError, IndexError, AttributeError, OverflowError, UnsupportedAlgorithm)


class Damaged(Exception):
    """A signature is there, but cannot be read or does not verify."""


def has_signature(path):
    """Whether the file says it carries a signature: a PE file's security directory, a cabinet's
    reserved header area pointing at one. A file of another kind carries none."""
    with open(path, "rb") as source:
        head = source.read(64)
    if head[:4] == b"MSCF" and len(head) >= 52:
        if not struct.unpack_from("<H", head, 30)[0] & CAB_RESERVE_PRESENT:
            return False
        reserve = struct.unpack_from("<H", head, 36)[0]
        return reserve >= 12 and struct.unpack_from("<II", head, 44) != (0, 0)
    if head[:2] == b"MZ":
        try:
            image = pefile.PE(path, fast_load=True)
        except pefile.PEFormatError:
            return False
        try:
            directory = image.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
            return directory.VirtualAddress != 0 or directory.Size != 0
        except IndexError:
            return False
        finally:
            image.close()
    return False


def extract(path, scratch):
    """The file's PKCS#7 signature (DER), as osslsigncode finds it."""
    out = os.path.join(scratch, os.path.basename(path) + ".signature")
    result = subprocess.run(["osslsigncode", "extract-signature", "-pem", "-in", path, "-out", out],
                            capture_output=True)
    if result.returncode != 0 or not os.path.exists(out):
        raise Damaged("its signature cannot be read: the file was changed after it was signed")
    with open(out, "rb") as source:
        try:
            return pem.unarmor(source.read())[2]
        except ValueError:
            raise Damaged("its signature cannot be read") from None


class Signature:
    """The parts of an Authenticode signature the device looks at."""

    def __init__(self, der):
        info = cms.ContentInfo.load(der)
        signed = info["content"]
        content = signed["encap_content_info"]
        if info["content_type"].native != "signed_data" or content["content_type"].dotted != SPC_INDIRECT_DATA:
            raise ValueError("not an Authenticode signature")
        self.content = content["content"].contents  # signed without its SEQUENCE header
        digest_info = SpcIndirectDataContent.load(core.Sequence(contents=self.content).dump())["message_digest"]
        self.file_digest_name = digest_info["digest_algorithm"]["algorithm"].native
        self.file_digest = digest_info["digest"].native
        if len(signed["signer_infos"]) != 1:
            raise ValueError("not one signer")
        self.signer_info = signed["signer_infos"][0]
        self.certificates = [x509.load_der_x509_certificate(choice.chosen.dump())
                             for choice in signed["certificates"] or []]
        self.digest_names = {self.signer_info["digest_algorithm"]["algorithm"].native, self.file_digest_name}

    def signer(self):
        """The certificate that made the signature: the issuer and serial number the signature names."""
        sid = self.signer_info["sid"]
        if sid.name != "issuer_and_serial_number":
            raise Damaged("its signature does not name its signer by issuer and serial number")
        wanted = sid.chosen
        for certificate in self.certificates:
            if (certificate.serial_number == wanted["serial_number"].native and
                    certificate.issuer.public_bytes() == wanted["issuer"].dump()):
                return certificate
        raise Damaged("its signature does not carry its signer's certificate")

    def check_signer_signature(self):
        """The signer's signature over the signed attributes, and those attributes' digest of the
        signed content; Damaged when either does not hold."""
        name = self.signer_info["digest_algorithm"]["algorithm"].native
        algorithm = DIGESTS[name][1]()
        attributes = self.signer_info["signed_attrs"]
        digests = [attribute["values"][0].native for attribute in attributes
                   if attribute["type"].native == "message_digest"]
        if len(digests) != 1 or digests[0] != _hash(algorithm, self.content):
            raise Damaged("its signature's signed attributes do not match what it signs")
        signed_attributes = b"\x31" + attributes.dump()[1:]  # signed as a SET, stored as [0]
        key = self.signer().public_key()
        if not isinstance(key, rsa.RSAPublicKey):
            raise Damaged("its signer's key is not RSA")
        try:
            key.verify(self.signer_info["signature"].native, signed_attributes, padding.PKCS1v15(), algorithm)
        except Exception:  # noqa: BLE001 (InvalidSignature, or a signature of the wrong size)
            raise Damaged("its signature does not verify with its signer's key") from None


def _hash(algorithm, data):
    digest = hashes.Hash(algorithm)
    digest.update(data)
    return digest.finalize()


@functools.lru_cache(maxsize=1)
def throwaway_signer():
    """A key and certificate (PEM) that sign only so that osslsigncode computes a file's digest."""
    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    name = x509.Name([x509.NameAttribute(x509.oid.NameOID.COMMON_NAME, "digest only")])
    now = datetime.datetime.utcnow()
    certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name).public_key(key.public_key())
                   .serial_number(1).not_valid_before(now - datetime.timedelta(days=1))
                   .not_valid_after(now + datetime.timedelta(days=1)).sign(key, hashes.SHA256()))
    return (certificate.public_bytes(serialization.Encoding.PEM),
            key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                              serialization.NoEncryption()))


def current_digest(path, digest_name, scratch):
    """The digest osslsigncode computes for the file's contents now, read from a signature it makes
    for a copy with a throwaway key; None when it cannot make one."""
    paths = os.path.join(scratch, "digest-only.pem"), os.path.join(scratch, "digest-only.key")
    for target, data in zip(paths, throwaway_signer()):
        with open(target, "wb") as out:
            out.write(data)
    copy = os.path.join(scratch, "resigned")
    result = subprocess.run(["osslsigncode", "sign", "-h", DIGESTS[digest_name][0], "-certs", paths[0], "-key",
                             paths[1], "-in", path, "-out", copy], capture_output=True)
    if result.returncode != 0:
        return None
    return Signature(extract(copy, scratch)).file_digest


def read(path):
    """The file's signature (None: unsigned), checked to be whole and to match the file as it is
    now; Damaged otherwise, whatever part of it cannot be read."""
    try:
        if not has_signature(path):
            return None
        with tempfile.TemporaryDirectory() as scratch:
            signature = Signature(extract(path, scratch))
            # A signature that cannot be checked is no better than one that does not match.
            unknown = signature.digest_names - set(DIGESTS)
            if unknown:
                raise Damaged("its signature uses a digest that cannot be checked (%s)" % ", ".join(sorted(unknown)))
            if current_digest(path, signature.file_digest_name, scratch) != signature.file_digest:
                raise Damaged("its signature does not match its contents: it was changed after it was signed")
        signature.check_signer_signature()
        return signature
    except UNREADABLE as problem:
        raise Damaged("its signature cannot be read (%s)" % short_reason(problem)) from None


def short_reason(problem):
    """The first words of what a library said, on one line."""
    detail = problem.args[0] if problem.args else ""
    while isinstance(detail, tuple) and detail:
        detail = detail[0]
    text = " ".join(str(detail).split()) or type(problem).__name__
    return text if len(text) <= 100 else text[:97] + "..."
