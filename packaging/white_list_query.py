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
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import provisioning_xml as xml  # noqa: E402
from white_list_package import KEY, ROOT, VALUE_NAMES  # noqa: E402

FILE_NAME = "white-list-query.xml"


def query_document():
    return xml.document(xml.registry_query_characteristic(f"{ROOT}\\{KEY}", VALUE_NAMES))


def write_whole(path, data):
    """Writes beside the target and moves into place: the file is there whole or not at all."""
    folder = os.path.dirname(path) or "."
    handle, partial = tempfile.mkstemp(prefix="." + os.path.basename(path) + "-", suffix=".partial", dir=folder)
    try:
        with os.fdopen(handle, "wb") as out:
            out.write(data)
        os.chmod(partial, 0o666 & ~current_umask())
        os.replace(partial, path)
    finally:
        if os.path.exists(partial):
            os.remove(partial)


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output_folder")
    arguments = parser.parse_args()
    path = os.path.join(arguments.output_folder, FILE_NAME)
    try:
        os.makedirs(arguments.output_folder, exist_ok=True)
        write_whole(path, query_document())
    except OSError as problem:
        print("white-list-query: %s: %s" % (path, problem.strerror or problem), file=sys.stderr)
        return 1
    print("wrote " + path)
    return 0


if __name__ == "__main__":
    sys.exit(main())
