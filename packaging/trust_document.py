#!/usr/bin/python3
"""Makes, from the organisation's root certificate, the provisioning document that makes devices
trust what it signs: NAME.xml, for a device-management system, and NAME.cpf, the same document as
a device opens it by hand (signed when a code-signing certificate is given). The document adds the
certificate to the SPC store with a role mask (CAB files signed under it install with that role)
and to the Privileged Execution Trust Authorities store (programs signed under it run).

    trust-document ROOT_CERTIFICATE OUTPUT_FOLDER [--name NAME] [--role MASK] [signing options]

ROOT_CERTIFICATE is PEM or DER; NAME is its file name without extension unless given. The role
mask is a sum of the platform's security roles; the default, 8, is the Manager role. Writing these
stores needs the Manager role on the device itself: the first trust document reaches a device
through its management system, the device maker's or operator's channel, or by hand on a device
whose policy prompts."""
import argparse
import base64
import hashlib
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cabinet  # noqa: E402
import code_signing  # noqa: E402
import provisioning_xml as xml  # noqa: E402

SECROLE_MANAGER = 8


def certificate_der(path):
    """The certificate's DER bytes, read as PEM or as DER; refused when the device cannot use it."""
    for form in ("PEM", "DER"):
        result = subprocess.run(["openssl", "x509", "-inform", form, "-in", path, "-outform", "DER"],
                                capture_output=True)
        if result.returncode == 0:
            code_signing.check_certificate(path, for_signing=False, form=form)
            return result.stdout
    raise code_signing.SigningError("%s is no certificate (PEM or DER)" % path)


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
        document = trust_document(certificate_der(arguments.root_certificate), arguments.role)
        with code_signing.signer_of(arguments) as signer:
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
