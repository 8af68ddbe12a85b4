#!/usr/bin/python3
"""Writes the white-list query: one provisioning document that asks a device for the twelve
white-list values of HKEY_LOCAL_MACHINE\\COMM\\TIWLNAPI1\\PARMS (Registry configuration service
provider, one parm-query a value), for the device-management system to send. Each device answers
with the same document, the values filled in; packaging/white-list-report reads the answers.

    white-list-query OUTPUT_FOLDER

writes OUTPUT_FOLDER/white-list-query.xml, the same bytes each time, in place only once complete.
It travels through the management system, which carries the answer back: no .cpf, no signature.
Exit codes: 0 written, 1 it cannot be written (nothing written), 2 bad arguments."""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import provisioning_xml as xml  # noqa: E402
import whole_files  # noqa: E402
from white_list_package import KEY, ROOT, VALUE_NAMES  # noqa: E402

FILE_NAME = "white-list-query.xml"


def query_document():
    return xml.document(xml.registry_query_characteristic(f"{ROOT}\\{KEY}", VALUE_NAMES))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output_folder")
    arguments = parser.parse_args()
    path = os.path.join(arguments.output_folder, FILE_NAME)
    try:
        os.makedirs(arguments.output_folder, exist_ok=True)
        whole_files.write_whole(path, query_document())
    except OSError as problem:
        print("white-list-query: %s: %s" % (path, problem.strerror or problem), file=sys.stderr)
        return 1
    print("wrote " + path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
