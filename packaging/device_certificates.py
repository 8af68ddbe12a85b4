"""Certificates as the device's security takes them, read with python3-cryptography: RSA keys of
at most 2048 bits, certificates signed with SHA-1 (the platform's certificate services know no
other hash). Shared by the signing commands, which refuse what a device could not use, and by the
emulated device, which trusts nothing a device would refuse."""
from cryptography import x509
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID

MAX_KEY_BITS = 2048
PEM_BEGIN, PEM_END = b"-----BEGIN CERTIFICATE-----", b"-----END CERTIFICATE-----"


class CertificateError(Exception):
    pass


def read_certificates(data, source):
    """Every certificate of a PEM file (in its order) or the one of a DER file."""
    try:
        if PEM_BEGIN not in data:
            return [x509.load_der_x509_certificate(data)]
        blocks, at = [], data.find(PEM_BEGIN)
        while at >= 0:
            end = data.index(PEM_END, at) + len(PEM_END)
            blocks.append(x509.load_pem_x509_certificate(data[at:end]))
            at = data.find(PEM_BEGIN, end)
        return blocks
    except ValueError:
        raise CertificateError("%s holds no certificate the device can read (PEM or DER)" % source) from None


def name_of(certificate):
    """The certificate's subject, for messages."""
    return certificate.subject.rfc4514_string() or "(no subject)"


def device_problem(certificate):
    """Why the device cannot use this certificate, or None."""
    key = certificate.public_key()
    if not isinstance(key, rsa.RSAPublicKey):
        return "its key is not RSA; the device takes RSA keys only"
    if key.key_size > MAX_KEY_BITS:
        return "its key has %d bits; the device takes RSA keys of at most %d bits" % (key.key_size, MAX_KEY_BITS)
    try:
        digest = certificate.signature_hash_algorithm
    except Exception:  # noqa: BLE001 (an algorithm cryptography does not know)
        digest = None
    if not isinstance(digest, hashes.SHA1):
        return "it is signed with %s; the device understands SHA-1 only" % (digest.name.upper() if digest else
                                                                            certificate.signature_algorithm_oid.dotted_string)
    return None


def is_for_code_signing(certificate):
    try:
        usage = certificate.extensions.get_extension_for_class(x509.ExtendedKeyUsage).value
    except x509.ExtensionNotFound:
        return False
    return ExtendedKeyUsageOID.CODE_SIGNING in usage


def is_self_signed_authority(certificate):
    """A root the device can anchor a chain in: self-issued, signed by its own key, a CA."""
    try:
        constraints = certificate.extensions.get_extension_for_class(x509.BasicConstraints).value
    except x509.ExtensionNotFound:
        return False
    if not constraints.ca or certificate.issuer != certificate.subject:
        return False
    return signed_by(certificate, certificate)


def signed_by(certificate, issuer):
    """Whether the issuer's key made the certificate's signature."""
    try:
        issuer.public_key().verify(certificate.signature, certificate.tbs_certificate_bytes, padding.PKCS1v15(),
                                   certificate.signature_hash_algorithm)
        return True
    except Exception:  # noqa: BLE001 (a wrong key, a broken signature, an unknown algorithm)
        return False


def validity_problem(certificate, now):
    """Why the certificate is not valid at `now` (an aware datetime), or None."""
    not_before = certificate.not_valid_before.replace(tzinfo=now.tzinfo)
    not_after = certificate.not_valid_after.replace(tzinfo=now.tzinfo)
    if now > not_after:
        return "it expired on %s" % not_after.date()
    if now < not_before:
        return "it is valid only from %s" % not_before.date()
    return None
