// A CAB package as the device's installer reads it: the members unpacked with the platform's
// cabinet calls, the .000 instruction file parsed and checked against the members and the
// package's _setup.xml.
#pragma once
#include <windows.h>

#define PACKAGE_MAX_ENTRIES 32
#define PACKAGE_NAME_CHARS 64

struct PackageString {
    WORD id;
    char text[PACKAGE_NAME_CHARS];
};

struct PackageDirectory {
    WORD id;
    char path[MAX_PATH];  // the strings joined with '\', macros as stored
};

struct PackageFile {
    WORD id;
    WORD directoryId;
    DWORD flags;
    char target[PACKAGE_NAME_CHARS];
};

struct PackageShortcut {
    WORD id;
    WORD baseDirectory;  // 0: %InstallDir%, n: %CEn%
    WORD targetFile;
    WORD type;
    char name[MAX_PATH];
};

struct PackageRegistryKey {  // a "registry hive" of the instruction file: root and key path
    WORD id;
    WORD root;  // 1 HKCR, 2 HKCU, 3 HKLM, 4 HKU
    char path[MAX_PATH];
};

#define PACKAGE_REG_TYPE_MASK 0x10001
#define PACKAGE_REG_NO_CLOBBER 0x2
#define PACKAGE_VALUE_BYTES 512

struct PackageRegistryValue {  // a "registry key" of the instruction file: one value
    WORD id;
    WORD keyId;
    DWORD type;  // 0 SZ, 0x10000 MULTI_SZ, 1 BINARY, 0x10001 DWORD; 0x2 no-clobber
    char name[PACKAGE_NAME_CHARS];
    BYTE data[PACKAGE_VALUE_BYTES];  // as stored: 8-bit text for the string types
    DWORD dataSize;
};

struct PackageInstructions {
    DWORD totalLength;
    DWORD architecture;
    char appName[PACKAGE_NAME_CHARS];
    char provider[PACKAGE_NAME_CHARS];
    int stringCount, directoryCount, fileCount, shortcutCount, registryKeyCount, registryValueCount;
    PackageString strings[PACKAGE_MAX_ENTRIES];
    PackageDirectory directories[PACKAGE_MAX_ENTRIES];
    PackageFile files[PACKAGE_MAX_ENTRIES];
    PackageShortcut shortcuts[PACKAGE_MAX_ENTRIES];
    PackageRegistryKey registryKeys[PACKAGE_MAX_ENTRIES];
    PackageRegistryValue registryValues[PACKAGE_MAX_ENTRIES];
};

struct UnpackedPackage {
    WCHAR folder[MAX_PATH];
    int memberCount;
    WCHAR members[PACKAGE_MAX_ENTRIES][PACKAGE_NAME_CHARS];  // in the cabinet's order
    PackageInstructions instructions;
    WCHAR problem[256];  // why the package is not sound; empty when it is
};

// Unpacks the cabinet into a new temporary folder and parses and checks its instructions.
// FALSE when it cannot be unpacked or its instructions are unsound (problem says why).
BOOL UnpackPackage(LPCWSTR cabinet, UnpackedPackage* package);
void DeleteUnpackedPackage(const UnpackedPackage* package);

// Parses an instruction file; FALSE with problem filled when a field or section is out of bounds.
BOOL ParseInstructions(const BYTE* data, DWORD size, PackageInstructions* instructions, WCHAR* problem, int problemChars);

// Formats into path; FALSE, with path empty, when the text does not fit.
BOOL FormatPath(WCHAR* path, int pathChars, LPCWSTR format, ...);

// A stored directory or shortcut path with its macro resolved for the emulated device.
BOOL ResolveDevicePath(const char* stored, LPCWSTR installDir, WCHAR* path, int pathChars);
BOOL ShortcutFolder(WORD baseDirectory, LPCWSTR installDir, WCHAR* path, int pathChars);
HKEY RegistryRoot(WORD root);
// The member that holds the file with this id (NNN extension), or NULL.
LPCWSTR MemberOfFile(const UnpackedPackage* package, WORD fileId);
