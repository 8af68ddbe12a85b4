#!/usr/bin/python3
"""Makes, from the organisation's root certificate, the provisioning document that makes devices
trust what it signs: NAME.xml, for a device-management system, and NAME.cpf, the same document as
a device opens it by hand (signed when a code-signing certificate is given). The document adds the
certificate to the SPC store with a role mask (CAB files signed under it install with that role)
and to the Privileged Execution Trust Authorities store (programs signed under it run).

    trust-document ROOT_CERTIFICATE OUTPUT_FOLDER [--name NAME] [--role MASK] [signing options]

ROOT_CERTIFICATE is PEM or DER: the root of the signing chain, a self-signed CA certificate
(basic constraints CA:TRUE) the device can use (RSA of at most 2048 bits, signed with SHA-1,
valid now); anything else is refused, a certificate issued by another included, since a device
anchors a chain only in a root. NAME is its file name without extension unless given. The role
mask is a sum of the platform's security roles; the default, 8, is the Manager role. Writing these
stores needs the Manager role on the device itself: the first trust document reaches a device
through its management system, the device maker's or operator's channel, or by hand on a device
whose policy prompts."""
import argparse
import base64
import datetime
import hashlib
import os
import sys

from cryptography.hazmat.primitives import serialization

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cabinet  # noqa: E402
import code_signing  # noqa: E402
import device_certificates as certificates  # noqa: E402
import provisioning_xml as xml  # noqa: E402

SECROLE_MANAGER = 8


def root_der(path):
    """The root certificate's DER bytes, read as PEM or as DER; refused when a device could not
    anchor a chain in it."""
    found = certificates.read_certificates(code_signing.read_file(path), path)
    if len(found) != 1:
        raise code_signing.SigningError("%s holds %d certificates: give the root alone" % (path, len(found)))
    root = found[0]
    problem = certificates.device_problem(root) or certificates.validity_problem(
        root, datetime.datetime.now(datetime.timezone.utc))
    if problem:
        raise code_signing.SigningError("%s: %s" % (path, problem))
    if not certificates.is_self_signed_authority(root):
        raise code_signing.SigningError(
            "%s (%s) is not a root: not a self-signed CA certificate (basic constraints CA:TRUE); a device anchors a "
            "signature's chain only in its root, so give the root of the signing chain" % (path,
                                                                                         certificates.name_of(root)))
    return root.public_bytes(serialization.Encoding.DER)


def trust_document(der, role):
    thumbprint = hashlib.sha1(der).hexdigest().upper()
    encoded = base64.b64encode(der).decode("ascii")
    return xml.document(xml.certificate_store_characteristic(thumbprint, encoded, role))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("root_certificate")
    parser.add_argument("output_folder")
    parser.add_argument("--name")
    parser.add_argument("--role", type=int, default=SECROLE_MANAGER, help="the SPC role mask (default 8, Manager)")
    code_signing.add_arguments(parser)
    arguments = parser.parse_args()
    name = arguments.name or os.path.splitext(os.path.basename(arguments.root_certificate))[0]
    written = [os.path.join(arguments.output_folder, name + extension) for extension in (".xml", ".cpf")]
    try:
        if not 0 < arguments.role < 2 ** 32:
            raise code_signing.SigningError("the role mask must be a sum of security roles, not %d" % arguments.role)
        document = trust_document(root_der(arguments.root_certificate), arguments.role)
        signer = code_signing.signer_of(arguments)
        os.makedirs(arguments.output_folder, exist_ok=True)
        partial = [path + ".partial" for path in written]
        with open(partial[0], "wb") as out:
            out.write(document)
        cabinet.pack([("_setup.xml", document)], partial[1])
        if signer:
            signer.sign(partial[1])
        for source, target in zip(partial, written):
            os.replace(source, target)
    except Exception as problem:  # noqa: BLE001 (a certificate, a file, a tool): one line, never a traceback
        sys.exit("trust-document: %s" % problem)
    for path in written:
        print("wrote " + path)


if __name__ == "__main__":
    main()
