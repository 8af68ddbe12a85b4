#include "cab_package.h"

#include <setupapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "device_files.h"
#include "provisioning_document.h"

static void SetProblem(UnpackedPackage* package, LPCWSTR text)
{
    lstrcpynW(package->problem, text, sizeof package->problem / sizeof package->problem[0]);
}

// A member lands in the unpacking folder under its own name, so that name must be a plain name.
static BOOL IsPlainMemberName(LPCWSTR name)
{
    int length = lstrlenW(name);
    return length < PACKAGE_NAME_CHARS && IsPlainName(name, length);
}

static BOOL IsSetupLibraryName(LPCWSTR name)
{
    int length = lstrlenW(name);
    return length >= 4 && lstrcmpW(name + length - 4, L".999") == 0;
}

// A second setup library, or a member that would land on an earlier one's file: the installer
// could load or copy a file other than the one that was checked.
static BOOL IsAmbiguous(UnpackedPackage* package, LPCWSTR name)
{
    for (int i = 0; i < package->memberCount; ++i) {
        if (CompareStringOrdinal(name, -1, package->members[i], -1, TRUE) == CSTR_EQUAL) {
            SetProblem(package, L"two members are one file on the device (their names differ only in letter case)");
            return TRUE;
        }
        if (IsSetupLibraryName(name) && IsSetupLibraryName(package->members[i])) {
            SetProblem(package, L"the package has more than one setup library (.999 member)");
            return TRUE;
        }
    }
    return FALSE;
}

// First pass: every member's name is read and checked, nothing is extracted.
static UINT CALLBACK ListMember(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR)
{
    UnpackedPackage* package = (UnpackedPackage*)context;
    if (notification != SPFILENOTIFY_FILEINCABINET)
        return NO_ERROR;
    const FILE_IN_CABINET_INFO_W* member = (const FILE_IN_CABINET_INFO_W*)param1;
    if (package->memberCount >= PACKAGE_MAX_ENTRIES) {
        SetProblem(package, L"the cabinet has too many members");
        return FILEOP_ABORT;
    }
    if (!IsPlainMemberName(member->NameInCabinet)) {
        SetProblem(package, L"a member's name is not a plain file name");
        return FILEOP_ABORT;
    }
    if (IsAmbiguous(package, member->NameInCabinet)) {
        package->ambiguous = TRUE;
        return FILEOP_ABORT;
    }
    lstrcpynW(package->members[package->memberCount++], member->NameInCabinet, PACKAGE_NAME_CHARS);
    return FILEOP_SKIP;
}

// Second pass: the checked members are extracted, and each file made is noted.
static UINT CALLBACK ExtractMember(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR)
{
    UnpackedPackage* package = (UnpackedPackage*)context;
    if (notification == SPFILENOTIFY_FILEEXTRACTED) {
        const FILEPATHS_W* paths = (const FILEPATHS_W*)param1;
        if (paths->Win32Error == NO_ERROR && package->unpackedCount < PACKAGE_MAX_ENTRIES)
            lstrcpynW(package->unpacked[package->unpackedCount++], paths->Target, MAX_PATH);
        return NO_ERROR;
    }
    if (notification != SPFILENOTIFY_FILEINCABINET)
        return NO_ERROR;
    // The names were checked by the first pass; the cabinet is read again, so they are again.
    FILE_IN_CABINET_INFO_W* member = (FILE_IN_CABINET_INFO_W*)param1;
    if (!IsPlainMemberName(member->NameInCabinet) ||
        !FormatPath(member->FullTargetName, MAX_PATH, L"%ls\\%ls", package->folder, member->NameInCabinet)) {
        SetProblem(package, L"a member's name is not a plain file name, or its path is too long");
        return FILEOP_ABORT;
    }
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
    FormatPath(ending, 8, L".%03u", fileId);
    for (int i = 0; i < package->memberCount; ++i)
        if (EndsWith(package->members[i], ending))
            return package->members[i];
    return NULL;
}

// Reads at most capacity bytes from the start of a member.
static BOOL ReadMemberStart(const UnpackedPackage* package, LPCWSTR member, BYTE* data, DWORD capacity, DWORD* size)
{
    WCHAR path[MAX_PATH];
    if (!FormatPath(path, MAX_PATH, L"%ls\\%ls", package->folder, member))
        return FALSE;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    BOOL read = ReadFile(file, data, capacity, size, NULL);
    CloseHandle(file);
    return read;
}

// Reads a whole member, which must be smaller than capacity.
static BOOL ReadMember(const UnpackedPackage* package, LPCWSTR member, BYTE* data, DWORD capacity, DWORD* size)
{
    return ReadMemberStart(package, member, data, capacity, size) && *size < capacity;
}

BOOL MemberMachine(const UnpackedPackage* package, LPCWSTR member, WORD* machine)
{
    static BYTE head[4096];
    DWORD size = 0;
    if (!ReadMemberStart(package, member, head, sizeof head, &size) || size < sizeof(IMAGE_DOS_HEADER) ||
        head[0] != 'M' || head[1] != 'Z')
        return FALSE;
    LONG at = ((const IMAGE_DOS_HEADER*)head)->e_lfanew;
    if (at < 0 || (DWORD)at + sizeof(IMAGE_FILE_HEADER) + 4 > size || memcmp(head + at, "PE\0\0", 4) != 0)
        return FALSE;
    *machine = ((const IMAGE_FILE_HEADER*)(head + at + 4))->Machine;
    return TRUE;
}

// The elements of _setup.xml that the instruction file accounts for, marked as they are found:
// a package whose _setup.xml says more than its instructions is refused.
static BOOL Accounted[XML_MAX_ELEMENTS];

static int Account(int element)
{
    if (element >= 0)
        Accounted[element] = TRUE;
    return element;
}

static int Characteristic(const XmlDocument* xml, int parent, const char* type)
{
    return parent >= 0 ? Account(XmlChild(xml, parent, -1, "characteristic", type)) : -1;
}

// The child <parm name="NAME" ... />, accounted for; -1 when there is none.
static int Parm(const XmlDocument* xml, int parent, const char* name)
{
    for (int parm = parent >= 0 ? XmlChild(xml, parent, -1, "parm", NULL) : -1; parm >= 0;
         parm = XmlChild(xml, parent, parm, "parm", NULL)) {
        const char* parmName = XmlAttributeOf(xml, parm, "name");
        if (parmName != NULL && strcmp(parmName, name) == 0)
            return Account(parm);
    }
    return -1;
}

static const char* ParmValue(const XmlDocument* xml, int parent, const char* name)
{
    int parm = Parm(xml, parent, name);
    return parm >= 0 ? XmlAttributeOf(xml, parm, "value") : NULL;
}

static BOOL ParmIsNumber(const XmlDocument* xml, int install, const char* name, int expected)
{
    char text[16];
    const char* value = ParmValue(xml, install, name);
    return value != NULL && _snprintf(text, sizeof text, "%d", expected) > 0 && strcmp(value, text) == 0;
}

// A parm that may be left out says, when it is there, what the package holds (expected NULL: nothing).
static BOOL IsAbsentOr(const char* value, const char* expected)
{
    return value == NULL || (expected != NULL && strcmp(value, expected) == 0);
}

static const char* DirectoryPathOf(const PackageInstructions* instructions, WORD id)
{
    for (int d = 0; d < instructions->directoryCount; ++d)
        if (instructions->directories[d].id == id)
            return instructions->directories[d].path;
    return NULL;
}

static BOOL CheckInstall(const XmlDocument* xml, const UnpackedPackage* package)
{
    const PackageInstructions* instructions = &package->instructions;
    int install = Characteristic(xml, 0, "Install");
    char expectedName[2 * PACKAGE_NAME_CHARS + 2], library[PACKAGE_NAME_CHARS] = "";
    _snprintf(expectedName, sizeof expectedName, "%s %s", instructions->provider, instructions->appName);
    expectedName[sizeof expectedName - 1] = 0;
    if (MemberOfFile(package, 999) != NULL)
        _snprintf(library, sizeof library, "%ls", MemberOfFile(package, 999));
    library[sizeof library - 1] = 0;
    const char* name = ParmValue(xml, install, "AppName");
    return name != NULL && strcmp(name, expectedName) == 0 &&
           ParmIsNumber(xml, install, "NumFiles", instructions->fileCount) &&
           ParmIsNumber(xml, install, "NumDirs", instructions->directoryCount) &&
           ParmIsNumber(xml, install, "NumShortcuts", instructions->shortcutCount) &&
           ParmIsNumber(xml, install, "NumRegKeys", instructions->registryKeyCount) &&
           ((instructions->registryValueCount == 0 && Parm(xml, install, "NumRegVals") < 0) ||
            ParmIsNumber(xml, install, "NumRegVals", instructions->registryValueCount)) &&
           IsAbsentOr(ParmValue(xml, install, "InstallPhase"), "install") &&
           IsAbsentOr(ParmValue(xml, install, "InstallDir"),
                      instructions->directoryCount > 0 ? instructions->directories[0].path : NULL) &&
           IsAbsentOr(ParmValue(xml, install, "SetupDLL"), library[0] ? library : NULL);
}

// Each file is extracted from its own member, into its directory; a shortcut, where it is listed,
// leads to its target file.
static BOOL CheckFileOperations(const XmlDocument* xml, const UnpackedPackage* package)
{
    const PackageInstructions* instructions = &package->instructions;
    int operations = Characteristic(xml, 0, "FileOperation");
    char text[MAX_PATH + 8];
    for (int i = 0; i < instructions->fileCount; ++i) {
        const PackageFile* file = &instructions->files[i];
        int folder = Characteristic(xml, operations, DirectoryPathOf(instructions, file->directoryId));
        Characteristic(xml, folder, "MakeDir");
        int extract = Characteristic(xml, Characteristic(xml, folder, file->target), "Extract");
        const char* source = ParmValue(xml, extract, "Source");
        _snprintf(text, sizeof text, "%ls", MemberOfFile(package, file->id));
        if (source == NULL || strcmp(source, text) != 0)
            return FALSE;
    }
    for (int i = 0; i < instructions->shortcutCount; ++i) {
        const PackageShortcut* shortcut = &instructions->shortcuts[i];
        if (shortcut->baseDirectory == 0)
            strcpy(text, "%InstallDir%");
        else
            _snprintf(text, sizeof text, "%%CE%u%%", shortcut->baseDirectory);
        int folder = Characteristic(xml, operations, text);
        Characteristic(xml, folder, "MakeDir");
        _snprintf(text, sizeof text, "%s.lnk", shortcut->name);
        text[sizeof text - 1] = 0;
        int made = Characteristic(xml, Characteristic(xml, folder, text), "Shortcut");
        const char* source = ParmValue(xml, made, "Source");
        for (int f = 0; f < instructions->fileCount; ++f)
            if (instructions->files[f].id == shortcut->targetFile)
                _snprintf(text, sizeof text, "%s\\%s", DirectoryPathOf(instructions, instructions->files[f].directoryId),
                          instructions->files[f].target);
        text[sizeof text - 1] = 0;
        if (made >= 0 && (source == NULL || strcmp(source, text) != 0))
            return FALSE;
    }
    return TRUE;
}

// Each string value stands in the Registry characteristic of its key with the same text, marked
// for translation exactly when the .000 marks it for substitution. Values of other types are
// not compared: _setup.xml may not list them.
static BOOL CheckRegistry(const XmlDocument* xml, const PackageInstructions* instructions)
{
    int registry = Characteristic(xml, 0, "Registry");
    int keys[PACKAGE_MAX_ENTRIES];
    for (int k = 0; k < instructions->registryKeyCount; ++k) {
        char keyPath[MAX_PATH + 8];
        _snprintf(keyPath, sizeof keyPath, "%s\\%s", RegistryRootName(instructions->registryKeys[k].root),
                  instructions->registryKeys[k].path);
        keyPath[sizeof keyPath - 1] = 0;
        keys[k] = Characteristic(xml, registry, keyPath);
    }
    for (int i = 0; i < instructions->registryValueCount; ++i) {
        const PackageRegistryValue* value = &instructions->registryValues[i];
        if ((value->type & ~PACKAGE_REG_NO_CLOBBER) != 0)
            continue;
        int parm = Parm(xml, keys[RegistryKeyById(instructions, value->keyId) - instructions->registryKeys], value->name);
        const char* text = parm >= 0 ? XmlAttributeOf(xml, parm, "value") : NULL;
        const char* datatype = parm >= 0 ? XmlAttributeOf(xml, parm, "datatype") : NULL;
        const char* translation = parm >= 0 ? XmlAttributeOf(xml, parm, "translation") : NULL;
        if (text == NULL || strcmp(text, (const char*)value->data) != 0 || datatype == NULL ||
            strcmp(datatype, "string") != 0 ||
            (value->substitute ? translation == NULL || strcmp(translation, "install") != 0 : translation != NULL))
            return FALSE;
    }
    return TRUE;
}

// The first element the instruction file does not account for, as the problem.
static BOOL IsAllAccountedFor(const XmlDocument* xml, UnpackedPackage* package)
{
    for (int i = 0; i < xml->elementCount; ++i) {
        if (Accounted[i])
            continue;
        const char* what = XmlAttributeOf(xml, i, "type") ? XmlAttributeOf(xml, i, "type") : XmlAttributeOf(xml, i, "name");
        _snwprintf(package->problem, 255, L"_setup.xml holds %hs \"%hs\", which the instruction file does not account for",
                   xml->elements[i].name, what ? what : "");
        package->problem[255] = 0;
        return FALSE;
    }
    return TRUE;
}

BOOL ReadSetupXml(const UnpackedPackage* package, XmlDocument* document)
{
    static char text[XML_POOL_BYTES];
    DWORD size = 0;
    if (ReadMember(package, L"_setup.xml", (BYTE*)text, sizeof text, &size))
        return ParseXml(text, size, document);
    lstrcpyW(document->problem, L"it cannot be read, or is larger than the emulated device reads");
    return FALSE;
}

// _setup.xml must say what the .000 says, and nothing more: name, counts, each file extracted
// from its member, shortcuts, each registry key and string value.
static BOOL CheckSetupXml(UnpackedPackage* package)
{
    static XmlDocument xml;
    if (!ReadSetupXml(package, &xml) || strcmp(xml.elements[0].name, "wap-provisioningdoc") != 0) {
        _snwprintf(package->problem, 255, L"_setup.xml is not a readable provisioning document: %ls",
                   xml.problem[0] ? xml.problem : L"its root is no wap-provisioningdoc");
        package->problem[255] = 0;
        return FALSE;
    }
    memset(Accounted, 0, sizeof Accounted);
    Account(0);
    if (!CheckInstall(&xml, package)) {
        SetProblem(package, L"_setup.xml disagrees with the instruction file");
        return FALSE;
    }
    if (!CheckFileOperations(&xml, package)) {
        SetProblem(package, L"_setup.xml extracts a file from another member, or leads a shortcut to another file");
        return FALSE;
    }
    if (!CheckRegistry(&xml, &package->instructions)) {
        SetProblem(package, L"_setup.xml disagrees with the instruction file's registry values");
        return FALSE;
    }
    return IsAllAccountedFor(&xml, package);
}

static BOOL CheckMembers(UnpackedPackage* package)
{
    const PackageInstructions* instructions = &package->instructions;
    for (int i = 0; i < instructions->fileCount; ++i)
        if (MemberOfFile(package, instructions->files[i].id) == NULL) {
            SetProblem(package, L"a file entry has no member");
            return FALSE;
        }
    return CheckSetupXml(package);
}

static BOOL MakeUnpackingFolder(UnpackedPackage* package)
{
    WCHAR temporary[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, temporary);
    WCHAR folder[MAX_PATH];
    if (length == 0 || length >= MAX_PATH ||
        !FormatPath(folder, MAX_PATH, L"%lsunpacked-%lu-%lu", temporary, GetCurrentProcessId(), GetTickCount()) ||
        !CreateDirectoryW(folder, NULL)) {
        SetProblem(package, L"cannot make a folder to unpack into");
        return FALSE;
    }
    lstrcpynW(package->folder, folder, MAX_PATH);
    return TRUE;
}

BOOL UnpackPackage(LPCWSTR cabinet, UnpackedPackage* package)
{
    memset(package, 0, sizeof *package);
    // A pass that a member's check stopped need not report failure (Wine's does not): the
    // problem it noted decides.
    if (!SetupIterateCabinetW(cabinet, 0, ListMember, package) || package->problem[0] != 0 ||
        package->memberCount == 0) {
        if (package->problem[0] == 0)
            SetProblem(package, L"cannot read the cabinet");
        return FALSE;
    }
    if (!MakeUnpackingFolder(package))
        return FALSE;
    if (!SetupIterateCabinetW(cabinet, 0, ExtractMember, package) || package->problem[0] != 0 ||
        package->unpackedCount != package->memberCount) {
        if (package->problem[0] == 0)
            SetProblem(package, L"cannot unpack the cabinet");
        return FALSE;
    }
    if (package->memberCount == 1 && lstrcmpiW(package->members[0], L"_setup.xml") == 0) {
        package->provisioningOnly = TRUE;
        return TRUE;
    }
    if (!EndsWith(package->members[0], L".000")) {
        SetProblem(package, L"the first member is not the .000 instruction file");
        return FALSE;
    }
    static BYTE data[65536];
    DWORD size = 0;
    if (!ReadMember(package, package->members[0], data, sizeof data, &size)) {
        SetProblem(package, L"cannot read the instruction file");
        return FALSE;
    }
    if (!ParseInstructions(data, size, &package->instructions, package->problem, 256))
        return FALSE;
    return CheckMembers(package);
}

void DeleteUnpackedPackage(const UnpackedPackage* package)
{
    for (int i = 0; i < package->unpackedCount; ++i)
        DeleteFileW(package->unpacked[i]);
    if (package->folder[0] != 0)
        RemoveDirectoryW(package->folder);
}
