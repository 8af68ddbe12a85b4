#!/usr/bin/python3
"""Signs the kit with the organisation's code-signing certificate: each build's Quillmere.exe and
Corvane.dll are signed before they are packed, then each package is packed from them and signed.

    sign-kit OUTPUT_FOLDER (--certificate CERT.pem --key KEY.pem | --pkcs12 FILE.p12
             [--password-file FILE]) [--signing-time SECONDS] [--build FOLDER]

writes OUTPUT_FOLDER/Quillmere-ARM.cab and .inf (the device's) with the signed ARM binaries in
OUTPUT_FOLDER/ARM/, and the same for the emulated device (Quillmere-emulated.cab, emulated/).
The build folder (default: build/) holds the unsigned builds. Signed outputs differ by their
signing time unless --signing-time pins it.

OUTPUT_FOLDER must be new, empty, or an earlier output of sign-kit (its marker file lists all it
holds, unchanged); anything else is refused before anything is signed, as are the checkout, the
build folder, the home folder, the current folder and any folder above them. So is a certificate
the device cannot use. The new output is made beside OUTPUT_FOLDER and moved in only when
complete; an earlier output is moved aside first and deleted only after.

Exit codes: 0 written; 1 refused or failed (OUTPUT_FOLDER as it was); 2 bad arguments; 128 + the
signal's number when stopped by SIGTERM, SIGINT or SIGHUP (OUTPUT_FOLDER is the earlier or the
new output, whole)."""
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import code_signing  # noqa: E402
import command_line  # noqa: E402
import make_cab  # noqa: E402
import output_folders  # noqa: E402
import whole_files  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
# Each package's binaries, in the build folder.
BINARIES = {
    "ARM": {"Quillmere.exe": "device-arm/platform/device_sdk/Quillmere.exe",
            "Corvane.dll": "device-arm/platform/device_sdk/Corvane.dll"},
    "emulated": {"Quillmere.exe": "emulated-device/settings_tool/Quillmere.exe",
                 "Corvane.dll": "emulated-device/setup_library/Corvane.dll"},
}


def sign_package(processor, build, signer, staging):
    """Signs one build's binaries and packs and signs its package in the staging folder."""
    package = make_cab.read_description(os.path.join(HERE, "quillmere.package"))
    folder = os.path.join(staging, processor)
    os.makedirs(folder)
    sources = {}
    for name, path in BINARIES[processor].items():
        sources[name] = os.path.join(folder, name)
        shutil.copyfile(os.path.join(build, path), sources[name])
        signer.sign(sources[name])
    cab = os.path.join(staging, "Quillmere-%s.cab" % processor)
    make_cab.build(package, sources, make_cab.ARCHITECTURES[processor], cab, os.path.join(
        staging, "Quillmere-%s.inf" % processor))
    signer.sign(cab)


def sign_into(place, arguments, signer):
    """Signs both packages beside the place, then puts them in its place; a warning or None."""
    os.makedirs(os.path.dirname(place), exist_ok=True)
    staging = None
    try:
        staging = whole_files.new_folder_beside(place, ".sign-kit-new-")
        for processor in BINARIES:
            sign_package(processor, arguments.build, signer, staging)
        output_folders.mark_folder(staging, "sign-kit")
        return output_folders.replace_folder(staging, place, "sign-kit", arguments.output)
    finally:
        if staging:
            shutil.rmtree(staging, ignore_errors=True)


def main():
    parser = command_line.parser("sign-kit", __doc__, usage=__doc__.split("\n\n")[1].strip())
    parser.add_argument("output", metavar="OUTPUT_FOLDER")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"), metavar="FOLDER",
                        help="the unsigned builds (default: build/)")
    code_signing.add_arguments(parser, required=True)
    arguments = parser.parse_args()
    output_folders.stop_on_signals()
    try:
        place = output_folders.output_place(arguments.output, "sign-kit", [arguments.build])
        output_folders.earlier_output(place, "sign-kit", arguments.output)
        signer = code_signing.signer_of(arguments)
        if signer is None:
            raise code_signing.SigningError("the kit is signed with a certificate: --certificate and --key, "
                                            "or --pkcs12")
        warning = sign_into(place, arguments, signer)
        for name in sorted(os.listdir(place)):
            if name != output_folders.MARKER:
                print("wrote " + os.path.join(arguments.output, name))
    except output_folders.Stopped as stop:
        print("sign-kit: stopped by %s" % stop.name, file=sys.stderr)
        return 128 + stop.number
    except OSError as problem:
        print("sign-kit: %s: %s" % (problem.filename or arguments.output, problem.strerror), file=sys.stderr)
        return 1
    except Exception as problem:  # noqa: BLE001 (a certificate, a folder, a tool): one line, never a traceback
        print("sign-kit: %s" % problem, file=sys.stderr)
        return 1
    if warning:
        print("sign-kit: warning: %s" % warning, file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
