#!/usr/bin/python3
"""Makes, from the organisation's root certificate, the provisioning document that makes devices
trust what it signs: NAME.xml, for a device-management system, and NAME.cpf, the same document as
a device opens it by hand (signed when a code-signing certificate is given). The document adds the
certificate to the SPC store with a role mask (CAB files signed under it install with that role)
and to the Privileged Execution Trust Authorities store (programs signed under it run). With
--remove, the document withdraws that trust instead: it deletes the certificate from both stores.

    trust-document ROOT_CERTIFICATE OUTPUT_FOLDER [--name NAME] [--role MASK] [signing options]
    trust-document ROOT_CERTIFICATE OUTPUT_FOLDER --remove [--name NAME] [signing options]

ROOT_CERTIFICATE is PEM or DER: the root of the signing chain, a self-signed CA certificate
(basic constraints CA:TRUE) the device can use (RSA of at most 2048 bits, signed with SHA-1,
valid now); anything else is refused, a certificate issued by another included, since a device
anchors a chain only in a root. A root to remove need only be a self-signed CA certificate: an
expired one, or one a device could no longer use, must be removable too. NAME is its file name
without extension (with "-removal" after it for --remove) unless given. The role
mask is a sum of the platform's security roles; the default, 8, is the Manager role. Writing these
stores needs the Manager role on the device itself: the first trust document reaches a device
through its management system, the device maker's or operator's channel, or by hand on a device
whose policy prompts.

OUTPUT_FOLDER must be new, empty, or an earlier output of trust-document (its marker file lists
all it holds, unchanged; it may hold several documents); anything else is refused, as are the
checkout, the build folder, the home folder, the current folder and any folder above them. The
two files are made in a temporary folder inside it and moved in together, replacing an earlier
NAME.xml and NAME.cpf only when both are complete.

Exit codes: 0 written; 1 refused or failed (OUTPUT_FOLDER as it was); 2 bad arguments; 128 + the
signal's number when stopped by SIGTERM, SIGINT or SIGHUP."""
import base64
import datetime
import hashlib
import os
import shutil
import sys
import tempfile

from cryptography.hazmat.primitives import serialization

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import cabinet  # noqa: E402
import code_signing  # noqa: E402
import command_line  # noqa: E402
import device_certificates as certificates  # noqa: E402
import output_folders  # noqa: E402
import provisioning_xml as xml  # noqa: E402
from device_roles import SECROLE_MANAGER  # noqa: E402


def root_der(path, removing=False):
    """The root certificate's DER bytes, read as PEM or as DER; refused when a device could not
    anchor a chain in it (to remove it: when it is no root at all)."""
    found = certificates.read_certificates(code_signing.read_file(path), path)
    if len(found) != 1:
        raise code_signing.SigningError("%s holds %d certificates: give the root alone" % (path, len(found)))
    root = found[0]
    problem = None if removing else certificates.device_problem(root) or certificates.validity_problem(
        root, datetime.datetime.now(datetime.timezone.utc))
    if problem:
        raise code_signing.SigningError("%s: %s" % (path, problem))
    if not certificates.is_self_signed_authority(root):
        raise code_signing.SigningError(
            "%s (%s) is not a root: not a self-signed CA certificate (basic constraints CA:TRUE); a device anchors a "
            "signature's chain only in its root, so give the root of the signing chain" % (path,
                                                                                         certificates.name_of(root)))
    return root.public_bytes(serialization.Encoding.DER)


def document_name(arguments):
    name = arguments.name if arguments.name is not None else os.path.splitext(
        os.path.basename(arguments.root_certificate))[0] + ("-removal" if arguments.remove else "")
    if not name or name.startswith(".") or "/" in name:
        raise code_signing.SigningError("'%s' cannot name a document: give a file name without '/', not starting "
                                        "with '.'" % name)
    return name


def thumbprint_of(der):
    return hashlib.sha1(der).hexdigest().upper()


def trust_document(der, role):
    encoded = base64.b64encode(der).decode("ascii")
    return xml.document(xml.certificate_store_characteristic(thumbprint_of(der), encoded, role))


def removal_document(der):
    return xml.document(xml.certificate_removal_characteristic(thumbprint_of(der)))


def write_documents(document, name, place, signer, shown):
    """Writes NAME.xml and NAME.cpf in a temporary folder inside the place and moves both in."""
    created = not os.path.lexists(place)
    os.makedirs(place, exist_ok=True)
    staging = None
    try:
        staging = tempfile.mkdtemp(prefix=".trust-document-", dir=place)
        with open(os.path.join(staging, name + ".xml"), "wb") as out:
            out.write(document)
        cabinet.pack([("_setup.xml", document)], os.path.join(staging, name + ".cpf"))
        if signer:
            signer.sign(os.path.join(staging, name + ".cpf"))
        output_folders.move_in(staging, place, [name + ".xml", name + ".cpf"], "trust-document", shown)
    finally:
        if staging:
            shutil.rmtree(staging, ignore_errors=True)
        if created:
            try:
                os.rmdir(place)  # only when nothing was moved in
            except OSError:
                pass


def main():
    parser = command_line.parser("trust-document", __doc__)
    parser.add_argument("root_certificate")
    parser.add_argument("output_folder")
    parser.add_argument("--name")
    parser.add_argument("--role", type=int, help="the SPC role mask (default 8, Manager)")
    parser.add_argument("--remove", action="store_true", help="withdraw the root's trust: delete it from the stores")
    code_signing.add_arguments(parser)
    arguments = parser.parse_args()
    if arguments.remove and arguments.role is not None:
        parser.error("--role goes with adding the root, not with --remove")
    role = SECROLE_MANAGER if arguments.role is None else arguments.role
    output_folders.stop_on_signals()
    shown = arguments.output_folder
    try:
        name = document_name(arguments)
        if not 0 < role < 2 ** 32:
            raise code_signing.SigningError("the role mask must be a sum of security roles, not %d" % role)
        place = output_folders.output_place(shown, "trust-document")
        output_folders.earlier_output(place, "trust-document", shown)
        der = root_der(arguments.root_certificate, arguments.remove)
        document = removal_document(der) if arguments.remove else trust_document(der, role)
        write_documents(document, name, place, code_signing.signer_of(arguments), shown)
        for extension in (".xml", ".cpf"):
            print("wrote " + os.path.join(shown, name + extension))
    except output_folders.Stopped as stop:
        print("trust-document: stopped by %s" % stop.name, file=sys.stderr)
        return 128 + stop.number
    except OSError as problem:
        print("trust-document: %s: %s" % (problem.filename or shown, problem.strerror), file=sys.stderr)
        return 1
    except Exception as problem:  # noqa: BLE001 (a certificate, a folder, a tool): one line, never a traceback
        print("trust-document: %s" % problem, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
