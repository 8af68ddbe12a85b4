#!/usr/bin/python3
"""Writes the white-list query: one provisioning document that asks a device for the twelve
white-list values of HKEY_LOCAL_MACHINE\\COMM\\TIWLNAPI1\\PARMS (Registry configuration service
provider, one parm-query a value), for the device-management system to send. Each device answers
with the same document, the values filled in; packaging/white-list-report reads the answers.

    white-list-query OUTPUT_FOLDER

writes OUTPUT_FOLDER/white-list-query.xml, the same bytes each time, in place only once complete.
It travels through the management system, which carries the answer back: no .cpf, no signature.
OUTPUT_FOLDER is never the checkout, its build folder, the home folder, the current folder, nor a
folder above one of them; a folder below them is fine (build/query).
Exit codes: 0 written, 1 it cannot be written (nothing written), 2 bad arguments."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import command_line  # noqa: E402
import output_folders  # noqa: E402
import provisioning_xml as xml  # noqa: E402
import whole_files  # noqa: E402
from printable_text import printable  # noqa: E402
from white_list_package import KEY, ROOT, VALUE_NAMES  # noqa: E402

FILE_NAME = "white-list-query.xml"


def query_document():
    return xml.document(xml.registry_query_characteristic(f"{ROOT}\\{KEY}", VALUE_NAMES))


def main():
    parser = command_line.parser("white-list-query", __doc__)
    parser.add_argument("output_folder", metavar="OUTPUT_FOLDER")
    arguments = parser.parse_args()
    path = os.path.join(arguments.output_folder, FILE_NAME)
    try:
        if os.path.exists(arguments.output_folder) and not os.path.isdir(arguments.output_folder):
            raise output_folders.Refused("%s is not a folder: give the folder to write %s into" % (
                printable(arguments.output_folder), FILE_NAME))
        place = output_folders.output_file(path, "white-list-query")
        os.makedirs(arguments.output_folder, exist_ok=True)
        whole_files.write_whole(place, query_document())
    except output_folders.Refused as problem:
        print("white-list-query: %s" % problem, file=sys.stderr)
        return 1
    except OSError as problem:
        print("white-list-query: %s: %s" % (printable(path), problem.strerror or problem), file=sys.stderr)
        return 1
    print("wrote " + path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
