#include "cab_package.h"

#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#define HEADER_SIZE 100

static void SetProblem(WCHAR* problem, int problemChars, LPCWSTR text)
{
    lstrcpynW(problem, text, problemChars);
}

static WORD Word(const BYTE* data, DWORD at)
{
    return (WORD)(data[at] | data[at + 1] << 8);
}

static DWORD Dword(const BYTE* data, DWORD at)
{
    return Word(data, at) | (DWORD)Word(data, at + 2) << 16;
}

// Copies a NUL-terminated 8-bit text that must end inside [at, end).
static BOOL ReadText(const BYTE* data, DWORD at, DWORD end, char* text, int textChars)
{
    for (int i = 0; at + i < end; ++i) {
        if (i >= textChars)
            return FALSE;
        text[i] = (char)data[at + i];
        if (text[i] == 0)
            return TRUE;
    }
    return FALSE;
}

static const char* StringById(const PackageInstructions* instructions, WORD id)
{
    for (int i = 0; i < instructions->stringCount; ++i)
        if (instructions->strings[i].id == id)
            return instructions->strings[i].text;
    return NULL;
}

// A list of string ids ending in 0, joined with '\'.
static BOOL JoinStringIds(const PackageInstructions* instructions, const BYTE* data, DWORD at, DWORD end, char* joined,
                          int joinedChars)
{
    joined[0] = 0;
    for (;; at += 2) {
        if (at + 2 > end)
            return FALSE;
        WORD id = Word(data, at);
        if (id == 0)
            return TRUE;
        const char* part = StringById(instructions, id);
        if (part == NULL || (int)(strlen(joined) + strlen(part) + 2) > joinedChars)
            return FALSE;
        if (joined[0] != 0)
            strcat(joined, "\\");
        strcat(joined, part);
    }
}

BOOL ParseInstructions(const BYTE* data, DWORD size, PackageInstructions* instructions, WCHAR* problem, int problemChars)
{
    memset(instructions, 0, sizeof *instructions);
    if (size < HEADER_SIZE || memcmp(data, "MSCE", 4) != 0) {
        SetProblem(problem, problemChars, L"no MSCE header");
        return FALSE;
    }
    instructions->totalLength = Dword(data, 8);
    instructions->architecture = Dword(data, 20);
    if (instructions->totalLength != size) {
        SetProblem(problem, problemChars, L"total length differs from the file's size");
        return FALSE;
    }
    int* counts[6] = {&instructions->stringCount, &instructions->directoryCount, &instructions->fileCount,
                      &instructions->registryHiveCount, &instructions->registryKeyCount, &instructions->shortcutCount};
    DWORD offsets[6];
    for (int i = 0; i < 6; ++i) {
        *counts[i] = Word(data, 48 + 2 * i);
        offsets[i] = Dword(data, 60 + 4 * i);
        if (offsets[i] < HEADER_SIZE || offsets[i] > size || *counts[i] > PACKAGE_MAX_ENTRIES) {
            SetProblem(problem, problemChars, L"a section lies outside the file");
            return FALSE;
        }
    }
    if (!ReadText(data, Word(data, 84), size, instructions->appName, PACKAGE_NAME_CHARS) ||
        !ReadText(data, Word(data, 88), size, instructions->provider, PACKAGE_NAME_CHARS)) {
        SetProblem(problem, problemChars, L"application or provider name outside the file");
        return FALSE;
    }

    DWORD at = offsets[0];
    for (int i = 0; i < instructions->stringCount; ++i, at += 4 + Word(data, at + 2)) {
        PackageString* entry = &instructions->strings[i];
        if (at + 4 > size || at + 4 + Word(data, at + 2) > size ||
            !ReadText(data, at + 4, at + 4 + Word(data, at + 2), entry->text, PACKAGE_NAME_CHARS)) {
            SetProblem(problem, problemChars, L"a string entry runs past the file");
            return FALSE;
        }
        entry->id = Word(data, at);
    }
    at = offsets[1];
    for (int i = 0; i < instructions->directoryCount; ++i, at += 4 + Word(data, at + 2)) {
        PackageDirectory* entry = &instructions->directories[i];
        if (at + 4 > size || at + 4 + Word(data, at + 2) > size ||
            !JoinStringIds(instructions, data, at + 4, at + 4 + Word(data, at + 2), entry->path, MAX_PATH)) {
            SetProblem(problem, problemChars, L"a directory entry runs past the file or names an unknown string");
            return FALSE;
        }
        entry->id = Word(data, at);
    }
    at = offsets[2];
    for (int i = 0; i < instructions->fileCount; ++i, at += 12 + Word(data, at + 10)) {
        PackageFile* entry = &instructions->files[i];
        if (at + 12 > size || at + 12 + Word(data, at + 10) > size ||
            !ReadText(data, at + 12, at + 12 + Word(data, at + 10), entry->target, PACKAGE_NAME_CHARS) ||
            Word(data, at) != Word(data, at + 4)) {
            SetProblem(problem, problemChars, L"a file entry runs past the file or repeats a different id");
            return FALSE;
        }
        entry->id = Word(data, at);
        entry->directoryId = Word(data, at + 2);
        entry->flags = Dword(data, at + 6);
    }
    at = offsets[5];
    for (int i = 0; i < instructions->shortcutCount; ++i, at += 12 + Word(data, at + 10)) {
        PackageShortcut* entry = &instructions->shortcuts[i];
        if (at + 12 > size || at + 12 + Word(data, at + 10) > size ||
            !JoinStringIds(instructions, data, at + 12, at + 12 + Word(data, at + 10), entry->name, MAX_PATH)) {
            SetProblem(problem, problemChars, L"a shortcut entry runs past the file or names an unknown string");
            return FALSE;
        }
        entry->id = Word(data, at);
        entry->baseDirectory = Word(data, at + 4);
        entry->targetFile = Word(data, at + 6);
        entry->type = Word(data, at + 8);
    }
    problem[0] = 0;
    return TRUE;
}

static UINT CALLBACK ExtractMember(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR)
{
    UnpackedPackage* package = (UnpackedPackage*)context;
    if (notification != SPFILENOTIFY_FILEINCABINET)
        return NO_ERROR;
    FILE_IN_CABINET_INFO_W* member = (FILE_IN_CABINET_INFO_W*)param1;
    if (package->memberCount >= PACKAGE_MAX_ENTRIES)
        return FILEOP_ABORT;
    lstrcpynW(package->members[package->memberCount++], member->NameInCabinet, PACKAGE_NAME_CHARS);
    _snwprintf(member->FullTargetName, MAX_PATH, L"%ls\\%ls", package->folder, member->NameInCabinet);
    return FILEOP_DOIT;
}

static BOOL EndsWith(LPCWSTR text, LPCWSTR ending)
{
    int textLength = lstrlenW(text), endingLength = lstrlenW(ending);
    return textLength >= endingLength && lstrcmpiW(text + textLength - endingLength, ending) == 0;
}

LPCWSTR MemberOfFile(const UnpackedPackage* package, WORD fileId)
{
    WCHAR ending[8];
    _snwprintf(ending, 8, L".%03u", fileId);
    for (int i = 0; i < package->memberCount; ++i)
        if (EndsWith(package->members[i], ending))
            return package->members[i];
    return NULL;
}

static BOOL ReadMember(const UnpackedPackage* package, LPCWSTR member, BYTE* data, DWORD capacity, DWORD* size)
{
    WCHAR path[MAX_PATH];
    _snwprintf(path, MAX_PATH, L"%ls\\%ls", package->folder, member);
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL read = ReadFile(file, data, capacity, size, NULL) && *size < capacity;
    CloseHandle(file);
    return read;
}

// The value of <parm name="NAME" value="..."> in the document, or FALSE.
static BOOL XmlParm(const char* xml, const char* name, char* value, int valueChars)
{
    char pattern[80];
    _snprintf(pattern, sizeof pattern, "<parm name=\"%s\" value=\"", name);
    const char* found = strstr(xml, pattern);
    if (found == NULL)
        return FALSE;
    found += strlen(pattern);
    const char* end = strchr(found, '"');
    if (end == NULL || end - found >= valueChars)
        return FALSE;
    memcpy(value, found, end - found);
    value[end - found] = 0;
    return TRUE;
}

static BOOL XmlNumberIs(const char* xml, const char* name, int expected)
{
    char value[16];
    return XmlParm(xml, name, value, sizeof value) && atoi(value) == expected;
}

// _setup.xml must say what the .000 says: name, counts, and each file extracted from its member.
static BOOL CheckSetupXml(UnpackedPackage* package)
{
    static char xml[16384];
    DWORD size = 0;
    if (!ReadMember(package, L"_setup.xml", (BYTE*)xml, sizeof xml - 1, &size)) {
        SetProblem(package->problem, 256, L"no readable _setup.xml");
        return FALSE;
    }
    xml[size] = 0;
    const PackageInstructions* instructions = &package->instructions;
    char expectedName[2 * PACKAGE_NAME_CHARS + 2], name[2 * PACKAGE_NAME_CHARS + 2];
    _snprintf(expectedName, sizeof expectedName, "%s %s", instructions->provider, instructions->appName);
    if (!XmlParm(xml, "AppName", name, sizeof name) || strcmp(name, expectedName) != 0 ||
        !XmlNumberIs(xml, "NumFiles", instructions->fileCount) ||
        !XmlNumberIs(xml, "NumDirs", instructions->directoryCount) ||
        !XmlNumberIs(xml, "NumShortcuts", instructions->shortcutCount) || !XmlNumberIs(xml, "NumRegKeys", 0)) {
        SetProblem(package->problem, 256, L"_setup.xml disagrees with the instruction file");
        return FALSE;
    }
    for (int i = 0; i < instructions->fileCount; ++i) {
        char extract[2 * PACKAGE_NAME_CHARS + 160];
        _snprintf(extract, sizeof extract,
                  "<characteristic type=\"%s\" translation=\"install\">\r\n"
                  "        <characteristic type=\"Extract\">\r\n"
                  "          <parm name=\"Source\" value=\"%ls\" />",
                  instructions->files[i].target, MemberOfFile(package, instructions->files[i].id));
        if (strstr(xml, extract) == NULL) {
            SetProblem(package->problem, 256, L"_setup.xml extracts a file from another member");
            return FALSE;
        }
    }
    return TRUE;
}

static BOOL CheckMembers(UnpackedPackage* package)
{
    const PackageInstructions* instructions = &package->instructions;
    for (int i = 0; i < instructions->fileCount; ++i)
        if (MemberOfFile(package, instructions->files[i].id) == NULL) {
            SetProblem(package->problem, 256, L"a file entry has no member");
            return FALSE;
        }
    if (MemberOfFile(package, 999) == NULL) {
        SetProblem(package->problem, 256, L"no setup library (.999)");
        return FALSE;
    }
    return CheckSetupXml(package);
}

BOOL UnpackPackage(LPCWSTR cabinet, UnpackedPackage* package)
{
    memset(package, 0, sizeof *package);
    WCHAR temporary[MAX_PATH];
    GetTempPathW(MAX_PATH, temporary);
    _snwprintf(package->folder, MAX_PATH, L"%lsunpacked-%lu-%lu", temporary, GetCurrentProcessId(), GetTickCount());
    if (!CreateDirectoryW(package->folder, NULL)) {
        SetProblem(package->problem, 256, L"cannot make a folder to unpack into");
        return FALSE;
    }
    if (!SetupIterateCabinetW(cabinet, 0, ExtractMember, package) || package->memberCount == 0) {
        SetProblem(package->problem, 256, L"cannot unpack the cabinet");
        return FALSE;
    }
    if (!EndsWith(package->members[0], L".000")) {
        SetProblem(package->problem, 256, L"the first member is not the .000 instruction file");
        return FALSE;
    }
    static BYTE data[65536];
    DWORD size = 0;
    if (!ReadMember(package, package->members[0], data, sizeof data, &size)) {
        SetProblem(package->problem, 256, L"cannot read the instruction file");
        return FALSE;
    }
    if (!ParseInstructions(data, size, &package->instructions, package->problem, 256))
        return FALSE;
    return CheckMembers(package);
}

void DeleteUnpackedPackage(const UnpackedPackage* package)
{
    for (int i = 0; i < package->memberCount; ++i) {
        WCHAR path[MAX_PATH];
        _snwprintf(path, MAX_PATH, L"%ls\\%ls", package->folder, package->members[i]);
        DeleteFileW(path);
    }
    RemoveDirectoryW(package->folder);
}

// Where the device's folder macros lie on the emulated device.
static LPCWSTR MacroFolder(int number)
{
    switch (number) {
    case 1:
        return L"C:\\Program Files";
    case 2:
        return L"C:\\Windows";
    case 11:
        return L"C:\\Windows\\Start Menu\\Programs";
    }
    return NULL;
}

BOOL ShortcutFolder(WORD baseDirectory, LPCWSTR installDir, WCHAR* path, int pathChars)
{
    LPCWSTR folder = baseDirectory == 0 ? installDir : MacroFolder(baseDirectory);
    if (folder == NULL)
        return FALSE;
    lstrcpynW(path, folder, pathChars);
    return TRUE;
}

BOOL ResolveDevicePath(const char* stored, LPCWSTR installDir, WCHAR* path, int pathChars)
{
    int number = 0;
    const char* rest = stored;
    LPCWSTR folder = NULL;
    if (strncmp(stored, "%InstallDir%", 12) == 0) {
        folder = installDir;
        rest = stored + 12;
    } else if (sscanf(stored, "%%CE%d%%", &number) == 1) {
        folder = MacroFolder(number);
        rest = strchr(stored + 1, '%') + 1;
    }
    if (folder == NULL && stored[0] == '%')
        return FALSE;
    int written = folder ? _snwprintf(path, pathChars, L"%ls%hs", folder, rest) : _snwprintf(path, pathChars, L"%hs", rest);
    return written > 0 && written < pathChars;
}
