// What the device keeps of each installed application, so that it can remove it later without
// its package: its provider and who signed it, the setup library that was checked when it was
// installed, and the folders, files and shortcuts the installation made. Kept in the device's security state (the
// folder given to each function), in applications\<application name>\.
#pragma once
#include "instruction_file.h"

// Who signed a package: the SHA-1 thumbprint of the certificate that signed it (40 hexadecimal
// digits), when the device's security trusted it; otherwise unsigned.
#define SIGNER_CHARS 41
#define UNSIGNED_SIGNER L"unsigned"

struct InstalledApplication {
    DWORD magic;
    char provider[PACKAGE_NAME_CHARS];  // as the package names it
    WCHAR signer[SIGNER_CHARS];         // as the device's security found it: a thumbprint, or UNSIGNED
    WCHAR installDir[MAX_PATH];
    BOOL hasLibrary;
    WCHAR librarySha256[65];  // of the setup library as it was checked and installed
    int directoryCount, fileCount, shortcutCount;
    WCHAR directories[PACKAGE_MAX_ENTRIES][MAX_PATH];  // in the order they were made
    WCHAR files[PACKAGE_MAX_ENTRIES][MAX_PATH];
    WCHAR shortcuts[PACKAGE_MAX_ENTRIES][MAX_PATH];
};

// Whether a name can name an application's record: a plain folder name.
BOOL IsApplicationName(LPCWSTR name);
// Whether a text names a signer: a thumbprint or UNSIGNED_SIGNER.
BOOL IsSigner(LPCWSTR text);
// Replaces the record of the application; library is copied as its setup library. With library
// NULL the record has none, unless it keeps the one recorded before (hasLibrary set).
BOOL RecordApplication(LPCWSTR state, LPCWSTR name, const InstalledApplication* application, LPCWSTR library);
// Adds to a record the folders, files and shortcuts of an earlier one that it does not hold
// (letter case aside), each folder before any folder inside it, so that a removal (which takes
// the folders last to first) finds them empty; FALSE when they do not fit in one record.
BOOL AddEarlierPaths(InstalledApplication* application, const InstalledApplication* earlier);
// The record of an installed application; FALSE when there is none or it is damaged (a path
// in it that is not on the device's drive C: among the damage).
BOOL ReadApplication(LPCWSTR state, LPCWSTR name, InstalledApplication* application);
// Where the application's recorded setup library lies.
BOOL RecordedLibraryPath(LPCWSTR state, LPCWSTR name, WCHAR* path);
// Deletes the record and the recorded setup library.
void ForgetApplication(LPCWSTR state, LPCWSTR name);
