#!/usr/bin/python3
"""Sends a provisioning document to an emulated device as its device-management system would: the
device's configuration manager applies its settings and answers its queries, and the device's
answer (the same document, each query answered, each element that failed turned into its error
element) is written to a file, in place only once complete.

    emulated_device/send-document DOCUMENT ANSWER [--name NAME] [--screen WxH]

The document comes with the Enterprise role (32), the role of a management server such as
System Center Mobile Device Manager or Exchange ("Setting the Grant Manager Policy"); the device's
policy 4119 (Grant Manager) raises it to the Manager role, which the Registry and CertificateStore
providers need, on a Classic and a Professional device alike unless the policy is set otherwise.
No signature is checked: the management system's channel vouches for the document. The whole
document is checked before any of it is applied; its registry values are set and deleted and its
certificates added to and deleted from the device's stores in document order, as a whole or not
at all; then its queries are answered.

The device is handed a copy of the document and writes its answer beside it, both under plain
names in a folder of their own, whatever the names given here; the answer is moved into place
from there, and only when it is a whole XML document. ANSWER is a file of its own: never the
document, a symbolic link, a FIFO or a device, nor in a folder the kit never writes into (the
checkout, its build folder, the home folder, the current folder, or one above them).

Exit codes: the configuration manager's: 0 done (every setting applied, every query answered); 4
the document cannot be read (nothing applied, no answer) or the answer cannot be written (nothing
sent when that shows before, else the output says so); 7 the
role does not allow it (nothing applied or read; the answer says so for each element); 14 an
element is in error (its *-error in the answer): nothing applied (in part only where undoing a
failed setting failed too, as the output says), or a query not answered; 2 bad arguments; 13 the
device's policies are damaged (nothing sent)."""
import os
import sys
import tempfile
import xml.parsers.expat as expat

import security
import command_line
import output_folders
import provisioning_xml
import whole_files
from install_package import INSTALLER
from printable_text import printable

ANSWERED = (0, 7, 14)  # the configuration manager wrote an answer
UNREADABLE = 4
# The device reads documents of up to 64 KiB; each query in one may come back as up to 4096 bytes
# in base64, so an answer is never near this.
MAX_ANSWER_BYTES = 32 << 20


class NoAnswer(Exception):
    """The device answered, but its answer is not one: empty, or no whole XML document."""


def well_formed(data):
    parser = expat.ParserCreate()
    try:
        parser.Parse(data, True)
    except expat.ExpatError:
        return False
    return True


def readable_document(path):
    """The document's bytes when the device could read it; else None, and one line that says
    why, naming the file as given (the device would name its copy)."""
    why = None
    try:
        document = whole_files.read_whole(path, provisioning_xml.MAX_DOCUMENT_BYTES)
        provisioning_xml.read(document)
    except whole_files.Unreadable as problem:
        why = "cannot be read: %s" % problem
    except provisioning_xml.Unreadable as problem:
        why = "not a document the device reads: %s" % problem
        if document.startswith(b"MSCF"):
            why = ("it is a cabinet (a .cab or .cpf), which emulated_device/install-quillmere --package installs; "
                   "send-document sends a provisioning document (NAME.xml)")
    if why is None:
        return document
    print("send-document: %s: %s; nothing sent" % (printable(path), why), file=sys.stderr)
    return None


def main():
    parser = command_line.parser("send-document", __doc__, epilog=__doc__.split("\n\n")[-1])
    parser.add_argument("document")
    parser.add_argument("answer")
    security.add_device_arguments(parser)
    arguments = parser.parse_args()
    document = readable_document(arguments.document)
    if document is None:
        return UNREADABLE
    try:
        place = output_folders.output_file(arguments.answer, "send-document")
        output_folders.refuse_over_an_input(arguments.answer, [("the document sent", arguments.document)],
                                            "an input: give the answer a file of its own")
        os.makedirs(os.path.dirname(place), exist_ok=True)
    except output_folders.Refused as problem:
        parser.error(str(problem))
    except OSError as problem:
        parser.error("%s: %s" % (printable(os.path.dirname(arguments.answer)), problem.strerror or problem))

    # The device sees only a copy of the document and its own answer, under plain names in a
    # folder of their own: Wine would read a backslash in a name as a folder, and a '?' or a
    # trailing dot as something else again. The answer is moved into place from here.
    status = []
    try:
        with tempfile.TemporaryDirectory(prefix="send-document-") as scratch:
            sent, answered = os.path.join(scratch, "document.xml"), os.path.join(scratch, "answer.xml")
            whole_files.write_whole(sent, document)

            def send(partial):
                device = security.Device(arguments.name, arguments.screen)
                role = security.effective_role(security.SECROLE_ENTERPRISE, device.policies())
                status.append(device.run(INSTALLER, [
                    "answer", security.host_path(sent), security.host_path(answered), "--security",
                    security.host_path(device.security), "--role", str(role)]))
                if status[0] in ANSWERED:
                    copy_answer(answered, partial)
                elif status[0] == UNREADABLE:
                    print("send-document: %s: the device cannot read the document, as it says above: nothing "
                          "applied, no answer" % printable(arguments.document), file=sys.stderr)
                return status[0]
            return whole_files.write_with(place, send, keep=lambda code: code in ANSWERED)
    except (NoAnswer, OSError) as problem:
        why = problem if isinstance(problem, NoAnswer) else problem.strerror or problem
        print("send-document: %s: cannot be written: %s; %s" % (
            printable(arguments.answer), why, "nothing sent" if not status else
            "the device's exit code was %d, as for the document sent, but its answer is lost" % status[0]),
            file=sys.stderr)
        return UNREADABLE


def copy_answer(answered, partial):
    """The device's answer into the partial file, when it is one."""
    try:
        data = whole_files.read_whole(answered, MAX_ANSWER_BYTES)
    except whole_files.Unreadable as problem:
        raise NoAnswer("the device's answer cannot be read: %s" % problem) from None
    if not data or not well_formed(data):
        raise NoAnswer("the device's answer is %s" % ("empty" if not data else "no whole XML document"))
    with open(partial, "wb") as out:
        out.write(data)

if __name__ == "__main__":
    sys.exit(main())
