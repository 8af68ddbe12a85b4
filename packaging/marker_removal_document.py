#!/usr/bin/python3
"""Writes the document that removes Corvane's installation marker from a device, so that the next
installation of the kit there (a reinstallation, an upgrade) goes ahead without Corvane's question
on the device's screen: one provisioning document for the Registry configuration service provider
that deletes the value Fennistry of HKEY_LOCAL_MACHINE\\Pellworth\\Patches (a noparm), for the
device-management system to send before it pushes the kit.

    marker-removal-document OUTPUT_FOLDER

writes OUTPUT_FOLDER/marker-removal.xml, the same bytes each time, in place only once complete;
never into the checkout, its build folder, the home folder, the current folder or a folder above
them. The Registry provider needs the Manager role, which policy 4119 gives a management server's
Enterprise role on Classic and Professional devices by default. A device without the marker
answers that it was not there, and stays as it was.
Exit codes: 0 written, 1 refused or it cannot be written (nothing written), 2 bad arguments."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import command_line  # noqa: E402
import output_folders  # noqa: E402
import provisioning_xml as xml  # noqa: E402
import whole_files  # noqa: E402

FILE_NAME = "marker-removal.xml"
# Where Corvane records a clean installation, and asks before another one when it is set.
MARKER_KEY, MARKER_VALUE = "HKLM\\Pellworth\\Patches", "Fennistry"


def removal_document():
    return xml.document(xml.registry_removal_characteristic(MARKER_KEY, [MARKER_VALUE]))


def main():
    parser = command_line.parser("marker-removal-document", __doc__)
    parser.add_argument("output_folder", metavar="OUTPUT_FOLDER")
    arguments = parser.parse_args()
    path = os.path.join(arguments.output_folder, FILE_NAME)
    try:
        output_folders.output_place(arguments.output_folder, "marker-removal-document")
        place = output_folders.output_file(path, "marker-removal-document")
        os.makedirs(arguments.output_folder, exist_ok=True)
        whole_files.write_whole(place, removal_document())
    except output_folders.Refused as problem:
        print("marker-removal-document: %s" % problem, file=sys.stderr)
        return 1
    except OSError as problem:
        print("marker-removal-document: %s: %s" % (path, problem.strerror or problem), file=sys.stderr)
        return 1
    print("wrote " + path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
