// The .000 instruction file of a device CAB as the device's installer reads it: parsed and every
// entry checked, and the device's folder and registry macros resolved for the emulated device.
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
    WORD substitute;  // 1: the device's macros in a string are replaced when it is stored
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

// Parses an instruction file; FALSE with problem filled when a field or section is out of bounds.
BOOL ParseInstructions(const BYTE* data, DWORD size, PackageInstructions* instructions, WCHAR* problem, int problemChars);

// Formats into path; FALSE, with path empty, when the text does not fit.
BOOL FormatPath(WCHAR* path, int pathChars, LPCWSTR format, ...);

// A stored directory or shortcut path with its macro resolved for the emulated device.
BOOL ResolveDevicePath(const char* stored, LPCWSTR installDir, WCHAR* path, int pathChars);
BOOL ShortcutFolder(WORD baseDirectory, LPCWSTR installDir, WCHAR* path, int pathChars);
HKEY RegistryRoot(WORD root);
const char* RegistryRootName(WORD root);  // "HKLM" and the like, as provisioning documents name it
const PackageRegistryKey* RegistryKeyById(const PackageInstructions* instructions, WORD id);

// A string value's data as the device stores it, in characters (its NULs included): ASCII only
// (the device's code page is unknown here), and, when the value asks for substitution, %CE1%,
// %CE2%, %CE11%, %InstallDir% and %AppName% replaced. FALSE for any other '%' in such a value
// or when the text does not fit; text NULL only checks.
BOOL RegistryText(const PackageInstructions* instructions, const PackageRegistryValue* value, LPCWSTR installDir,
                  WCHAR* text, int textChars, int* length);
