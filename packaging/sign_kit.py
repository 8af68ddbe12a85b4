#!/usr/bin/python3
"""Signs the kit with the organisation's code-signing certificate: each build's Quillmere.exe and
Corvane.dll are signed before they are packed, then each package is packed from them and signed.

    sign-kit OUTPUT_FOLDER (--certificate CERT.pem --key KEY.pem | --pkcs12 FILE.p12
             [--password-file FILE]) [--signing-time SECONDS] [--build FOLDER]

writes OUTPUT_FOLDER/Quillmere-ARM.cab and .inf (the device's) with the signed ARM binaries in
OUTPUT_FOLDER/ARM/, and the same for the emulated device (Quillmere-emulated.cab, emulated/).
The build folder (default: build/) holds the unsigned builds. A certificate the device cannot use
is refused before anything is written; the folder appears only when it is complete, replacing
an earlier one. Signed outputs differ by their signing time unless --signing-time pins it."""
import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import code_signing  # noqa: E402
import make_cab  # noqa: E402

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output")
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    code_signing.add_arguments(parser)
    arguments = parser.parse_args()
    output = os.path.abspath(arguments.output)
    try:
        signer = code_signing.signer_of(arguments)
        if signer is None:
            raise code_signing.SigningError("the kit is signed with a certificate: --certificate and --key, "
                                            "or --pkcs12")
        os.makedirs(os.path.dirname(output), exist_ok=True)
        staging = tempfile.mkdtemp(prefix=".sign-kit-", dir=os.path.dirname(output))
        try:
            for processor in BINARIES:
                sign_package(processor, arguments.build, signer, staging)
            shutil.rmtree(output, ignore_errors=True)
            os.replace(staging, output)
        finally:
            shutil.rmtree(staging, ignore_errors=True)
    except Exception as problem:  # noqa: BLE001 (a certificate, a file, a tool): one line, never a traceback
        sys.exit("sign-kit: %s" % problem)
    for name in sorted(os.listdir(output)):
        print("wrote " + os.path.join(output, name))


if __name__ == "__main__":
    main()
