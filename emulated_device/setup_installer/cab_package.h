// A CAB package as the device's installer reads it: the members unpacked with the platform's
// cabinet calls, after every member's name is checked, the .000 instruction file parsed and
// checked against the members and the package's _setup.xml.
#pragma once
#include "instruction_file.h"
#include "provisioning_document.h"

struct UnpackedPackage {
    WCHAR folder[MAX_PATH];  // empty until this package made it
    int memberCount;
    WCHAR members[PACKAGE_MAX_ENTRIES][PACKAGE_NAME_CHARS];  // in the cabinet's order
    int unpackedCount;
    WCHAR unpacked[PACKAGE_MAX_ENTRIES][MAX_PATH];  // the files the unpacking made, to delete again
    BOOL provisioningOnly;  // a .cpf: a provisioning document alone, no instructions
    PackageInstructions instructions;
    WCHAR problem[256];  // why the package is not sound; empty when it is
    BOOL ambiguous;  // the problem: two setup libraries, or two members that are one file on the device
};

// Unpacks the cabinet into a new temporary folder, when every member is a plain file name, no two
// members are one file on the device and at most one is a setup library (.999), and
// parses and checks its instructions (a cabinet of _setup.xml alone is a provisioning document,
// a .cpf). FALSE when it cannot be unpacked or is unsound (problem says why).
BOOL UnpackPackage(LPCWSTR cabinet, UnpackedPackage* package);
// Deletes what the unpacking made, and nothing else.
void DeleteUnpackedPackage(const UnpackedPackage* package);

// The member that holds the file with this id (NNN extension), or NULL.
LPCWSTR MemberOfFile(const UnpackedPackage* package, WORD fileId);
// The machine a member's program is built for (IMAGE_FILE_MACHINE_...); FALSE when the member
// is no program (PE image).
BOOL MemberMachine(const UnpackedPackage* package, LPCWSTR member, WORD* machine);
// The package's _setup.xml read as XML; FALSE when it cannot be read or is no XML.
BOOL ReadSetupXml(const UnpackedPackage* package, XmlDocument* document);
