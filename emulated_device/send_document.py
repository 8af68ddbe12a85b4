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

Exit codes: the configuration manager's: 0 done (every setting applied, every query answered); 4
the document cannot be read (nothing applied, no answer) or the answer cannot be written; 7 the
role does not allow it (nothing applied or read; the answer says so for each element); 14 an
element is in error (its *-error in the answer): nothing applied (in part only where undoing a
failed setting failed too, as the output says), or a query not answered; 2 bad arguments; 13 the
device's policies are damaged (nothing sent)."""
import os
import sys

import security
import command_line
import output_folders
import whole_files
from install_package import INSTALLER

ANSWERED = (0, 7, 14)  # the configuration manager wrote an answer


def main():
    parser = command_line.parser("send-document", __doc__, epilog=__doc__.split("\n\n")[-1])
    parser.add_argument("document")
    parser.add_argument("answer")
    security.add_device_arguments(parser)
    arguments = parser.parse_args()
    if not os.path.isfile(arguments.document):
        parser.error("%s: no such document" % arguments.document)
    try:
        folder = os.path.dirname(output_folders.output_file(arguments.answer, "send-document"))
        os.makedirs(folder, exist_ok=True)
    except output_folders.Refused as problem:
        parser.error(str(problem))
    except OSError as problem:
        parser.error("%s: %s" % (folder, problem.strerror or problem))
    if os.path.isdir(arguments.answer):
        parser.error("%s is a folder; name the answer's file" % arguments.answer)
    device = security.Device(arguments.name, arguments.screen)
    role = security.effective_role(security.SECROLE_ENTERPRISE, device.policies())

    def answer(partial):
        sys.stdout.flush()
        return device.run(INSTALLER, ["answer", security.host_path(arguments.document), security.host_path(partial),
                                      "--security", security.host_path(device.security), "--role", str(role)])
    return whole_files.write_with(arguments.answer, answer, keep=lambda status: status in ANSWERED)


if __name__ == "__main__":
    sys.exit(main())
