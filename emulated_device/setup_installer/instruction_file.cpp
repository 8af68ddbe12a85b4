#include "instruction_file.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "device_files.h"

#define HEADER_SIZE 100

BOOL FormatPath(WCHAR* path, int pathChars, LPCWSTR format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int written = _vsnwprintf(path, pathChars, format, arguments);
    va_end(arguments);
    if (written >= 0 && written < pathChars)
        return TRUE;
    path[0] = 0;
    return FALSE;
}

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

// A list of string ids ending in 0 exactly at end, joined with '\'.
static BOOL JoinStringIds(const PackageInstructions* instructions, const BYTE* data, DWORD at, DWORD end, char* joined,
                          int joinedChars)
{
    joined[0] = 0;
    if ((end - at) % 2 != 0)
        return FALSE;
    for (;; at += 2) {
        if (at + 2 > end)
            return FALSE;
        WORD id = Word(data, at);
        if (id == 0)
            return at + 2 == end && joined[0] != 0;
        const char* part = StringById(instructions, id);
        if (part == NULL || (int)(strlen(joined) + strlen(part) + 2) > joinedChars)
            return FALSE;
        if (joined[0] != 0)
            strcat(joined, "\\");
        strcat(joined, part);
    }
}

// Where the device's folder macros lie on the emulated device; NULL for one it does not know.
// The device's \Windows and \Program Files are folders of their own, apart from Wine's C:\windows
// and C:\Program Files: Wine acts on what lies in its Windows folder (boot files at start,
// libraries along its search path, the fonts every program reads) and keeps the modules it
// registers in its Program Files, so no path of a package leads into a folder of Wine's.
#define DEVICE_WINDOWS L"C:\\Device\\Windows"
#define DEVICE_PROGRAM_FILES L"C:\\Device\\Program Files"

static LPCWSTR MacroFolder(int number)
{
    switch (number) {
    case 1:
        return DEVICE_PROGRAM_FILES;
    case 2:
        return DEVICE_WINDOWS;
    case 11:
        return DEVICE_WINDOWS L"\\Start Menu\\Programs";
    }
    return NULL;
}

// The length of a leading folder macro ("%InstallDir%" or "%CEn%" with a known n) and its
// number (0 for %InstallDir%); 0 when the path does not start with '%', -1 when the macro is
// unknown or unclosed.
static int LeadingMacro(const char* path, int* number)
{
    *number = 0;
    if (path[0] != '%')
        return 0;
    if (strncmp(path, "%InstallDir%", 12) == 0)
        return 12;
    if (strncmp(path, "%CE", 3) != 0)
        return -1;
    int length = 3;
    while (path[length] >= '0' && path[length] <= '9' && length < 6)
        *number = *number * 10 + (path[length++] - '0');
    if (length == 3 || path[length] != '%' || MacroFolder(*number) == NULL)
        return -1;
    return length + 1;
}

// A name in a path is a plain name, and holds no '%', which only a leading folder macro may.
static BOOL IsSoundName(const char* name, size_t length)
{
    return IsPlainNameA(name, (int)length) && memchr(name, '%', length) == NULL;
}

// A stored folder is sound when it starts with a known folder macro and every name after it is
// plain: it stays inside the folder the macro names.
static BOOL IsSoundPath(const char* path)
{
    int number;
    int macro = LeadingMacro(path, &number);
    if (macro <= 0)
        return FALSE;
    for (const char* part = path + macro; *part != 0;) {
        if (*part != '\\')
            return FALSE;
        const char* end = strchr(part + 1, '\\');
        size_t length = end != NULL ? (size_t)(end - part - 1) : strlen(part + 1);
        if (!IsSoundName(part + 1, length))
            return FALSE;
        part += 1 + length;
    }
    return TRUE;
}


struct InstructionReader {
    const BYTE* data;
    DWORD size;
    PackageInstructions* instructions;
    LPCWSTR problem;
};

static BOOL Refuse(InstructionReader* reader, LPCWSTR problem)
{
    reader->problem = problem;
    return FALSE;
}

// An entry of fixed part `fixed` whose last WORD of that part gives the length of what follows.
static BOOL EntryFits(const InstructionReader* reader, DWORD at, DWORD fixed, DWORD* end)
{
    if (at + fixed > reader->size)
        return FALSE;
    *end = at + fixed + Word(reader->data, at + fixed - 2);
    return *end <= reader->size;
}

static BOOL ReadStrings(InstructionReader* reader, DWORD at)
{
    PackageInstructions* instructions = reader->instructions;
    for (int i = 0; i < instructions->stringCount; ++i) {
        PackageString* entry = &instructions->strings[i];
        DWORD end;
        if (!EntryFits(reader, at, 4, &end) || end == at + 4 ||
            !ReadText(reader->data, at + 4, end, entry->text, PACKAGE_NAME_CHARS) ||
            strlen(entry->text) + 1 != end - at - 4)
            return Refuse(reader, L"a string entry runs past the file or is not terminated at its length");
        entry->id = Word(reader->data, at);
        if (entry->id == 0 || StringById(instructions, entry->id) != entry->text)
            return Refuse(reader, L"a string id is 0 or repeated");
        at = end;
    }
    return TRUE;
}

static const PackageDirectory* DirectoryById(const PackageInstructions* instructions, WORD id)
{
    for (int i = 0; i < instructions->directoryCount; ++i)
        if (instructions->directories[i].id == id)
            return &instructions->directories[i];
    return NULL;
}

static BOOL ReadDirectories(InstructionReader* reader, DWORD at)
{
    PackageInstructions* instructions = reader->instructions;
    for (int i = 0; i < instructions->directoryCount; ++i) {
        PackageDirectory* entry = &instructions->directories[i];
        DWORD end;
        if (!EntryFits(reader, at, 4, &end) ||
            !JoinStringIds(instructions, reader->data, at + 4, end, entry->path, MAX_PATH))
            return Refuse(reader, L"a directory entry runs past the file or names an unknown string");
        if (!IsSoundPath(entry->path))
            return Refuse(reader, L"a directory does not start with a known folder macro, or leaves its folder");
        entry->id = Word(reader->data, at);
        if (entry->id == 0 || DirectoryById(instructions, entry->id) != entry)
            return Refuse(reader, L"a directory id is 0 or repeated");
        at = end;
    }
    return TRUE;
}

static const PackageFile* FileById(const PackageInstructions* instructions, WORD id)
{
    for (int i = 0; i < instructions->fileCount; ++i)
        if (instructions->files[i].id == id)
            return &instructions->files[i];
    return NULL;
}

static BOOL ReadFiles(InstructionReader* reader, DWORD at)
{
    PackageInstructions* instructions = reader->instructions;
    for (int i = 0; i < instructions->fileCount; ++i) {
        PackageFile* entry = &instructions->files[i];
        DWORD end;
        if (!EntryFits(reader, at, 12, &end) ||
            !ReadText(reader->data, at + 12, end, entry->target, PACKAGE_NAME_CHARS) ||
            strlen(entry->target) + 1 != end - at - 12 || Word(reader->data, at) != Word(reader->data, at + 4))
            return Refuse(reader, L"a file entry runs past the file or repeats a different id");
        entry->id = Word(reader->data, at);
        entry->directoryId = Word(reader->data, at + 2);
        entry->flags = Dword(reader->data, at + 6);
        if (entry->id == 0 || entry->id == 999 || FileById(instructions, entry->id) != entry)
            return Refuse(reader, L"a file id is 0, 999 or repeated");
        if (DirectoryById(instructions, entry->directoryId) == NULL || !IsSoundName(entry->target, strlen(entry->target)))
            return Refuse(reader, L"a file names an unknown directory or a target outside it");
        at = end;
    }
    return TRUE;
}

static BOOL ReadShortcuts(InstructionReader* reader, DWORD at)
{
    PackageInstructions* instructions = reader->instructions;
    for (int i = 0; i < instructions->shortcutCount; ++i) {
        PackageShortcut* entry = &instructions->shortcuts[i];
        DWORD end;
        if (!EntryFits(reader, at, 12, &end) ||
            !JoinStringIds(instructions, reader->data, at + 12, end, entry->name, MAX_PATH))
            return Refuse(reader, L"a shortcut entry runs past the file or names an unknown string");
        entry->id = Word(reader->data, at);
        entry->baseDirectory = Word(reader->data, at + 4);
        entry->targetFile = Word(reader->data, at + 6);
        entry->type = Word(reader->data, at + 8);
        if ((entry->baseDirectory != 0 && MacroFolder(entry->baseDirectory) == NULL) ||
            FileById(instructions, entry->targetFile) == NULL || !IsSoundName(entry->name, strlen(entry->name)))
            return Refuse(reader, L"a shortcut has an unknown folder, an unknown target file or an unsound name");
        at = end;
    }
    return TRUE;
}

// The instruction file's registry roots, by number: the key and the name provisioning uses.
static const struct {
    HKEY key;
    const char* name;
} kRoots[] = {{NULL, ""}, {HKEY_CLASSES_ROOT, "HKCR"}, {HKEY_CURRENT_USER, "HKCU"}, {HKEY_LOCAL_MACHINE, "HKLM"},
              {HKEY_USERS, "HKU"}};

HKEY RegistryRoot(WORD root)
{
    return root < sizeof kRoots / sizeof kRoots[0] ? kRoots[root].key : NULL;
}

const char* RegistryRootName(WORD root)
{
    return root < sizeof kRoots / sizeof kRoots[0] ? kRoots[root].name : "";
}

const PackageRegistryKey* RegistryKeyById(const PackageInstructions* instructions, WORD id)
{
    for (int i = 0; i < instructions->registryKeyCount; ++i)
        if (instructions->registryKeys[i].id == id)
            return &instructions->registryKeys[i];
    return NULL;
}

static BOOL ReadRegistryKeys(InstructionReader* reader, DWORD at)
{
    PackageInstructions* instructions = reader->instructions;
    for (int i = 0; i < instructions->registryKeyCount; ++i) {
        PackageRegistryKey* entry = &instructions->registryKeys[i];
        DWORD end;
        if (!EntryFits(reader, at, 8, &end) ||
            !JoinStringIds(instructions, reader->data, at + 8, end, entry->path, MAX_PATH))
            return Refuse(reader, L"a registry key entry runs past the file or names an unknown string");
        entry->id = Word(reader->data, at);
        entry->root = Word(reader->data, at + 2);
        if (entry->id == 0 || RegistryKeyById(instructions, entry->id) != entry || RegistryRoot(entry->root) == NULL ||
            Word(reader->data, at + 4) != 0 || strchr(entry->path, '%') != NULL)
            return Refuse(reader, L"a registry key has id 0, a repeated id, an unknown root or a macro");
        at = end;
    }
    return TRUE;
}

static BOOL IsStringType(DWORD type)
{
    return (type & PACKAGE_REG_TYPE_MASK) == 0 || (type & PACKAGE_REG_TYPE_MASK) == 0x10000;
}

// A value's data as its type needs it: strings end in their NUL, multi-strings in two, a
// DWORD is 4 bytes.
static BOOL IsSoundValueData(DWORD type, const BYTE* data, DWORD size)
{
    switch (type & ~PACKAGE_REG_NO_CLOBBER) {
    case 0:
        return size >= 1 && memchr(data, 0, size) == data + size - 1;
    case 0x10000:
        return size >= 2 && data[size - 1] == 0 && data[size - 2] == 0;
    case 1:
        return TRUE;
    case 0x10001:
        return size == 4;
    }
    return FALSE;
}

static BOOL ReadRegistryValues(InstructionReader* reader, DWORD at)
{
    PackageInstructions* instructions = reader->instructions;
    for (int i = 0; i < instructions->registryValueCount; ++i) {
        PackageRegistryValue* entry = &instructions->registryValues[i];
        DWORD end;
        if (!EntryFits(reader, at, 12, &end) ||
            !ReadText(reader->data, at + 12, end, entry->name, PACKAGE_NAME_CHARS))
            return Refuse(reader, L"a registry value entry runs past the file or its name is not terminated");
        entry->id = Word(reader->data, at);
        entry->keyId = Word(reader->data, at + 2);
        entry->substitute = Word(reader->data, at + 4);
        entry->type = Dword(reader->data, at + 6);
        DWORD dataAt = at + 12 + (DWORD)strlen(entry->name) + 1;
        entry->dataSize = end - dataAt;
        if (entry->id == 0 || RegistryKeyById(instructions, entry->keyId) == NULL || entry->substitute > 1)
            return Refuse(reader, L"a registry value has id 0, an unknown key or an unknown substitution flag");
        if (entry->dataSize > PACKAGE_VALUE_BYTES || !IsSoundValueData(entry->type, reader->data + dataAt, entry->dataSize))
            return Refuse(reader, L"a registry value has an unknown type or data its type does not allow");
        memcpy(entry->data, reader->data + dataAt, entry->dataSize);
        // A package without an installation folder has nothing for %InstallDir% to stand for.
        LPCWSTR installDir = instructions->directoryCount > 0 ? L"" : NULL;
        int length;
        if (IsStringType(entry->type) && entry->substitute && !RegistryText(instructions, entry, installDir, NULL, 0, &length))
            return Refuse(reader, L"a registry value marked for substitution holds a '%' that is no known macro");
        at = end;
    }
    return TRUE;
}

BOOL ParseInstructions(const BYTE* data, DWORD size, PackageInstructions* instructions, WCHAR* problem, int problemChars)
{
    memset(instructions, 0, sizeof *instructions);
    InstructionReader reader = {data, size, instructions, NULL};
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
                      &instructions->registryKeyCount, &instructions->registryValueCount, &instructions->shortcutCount};
    DWORD offsets[6];
    for (int i = 0; i < 6; ++i) {
        *counts[i] = Word(data, 48 + 2 * i);
        offsets[i] = Dword(data, 60 + 4 * i);
        if (offsets[i] < HEADER_SIZE || offsets[i] > size || *counts[i] > PACKAGE_MAX_ENTRIES) {
            SetProblem(problem, problemChars, L"a section lies outside the file or has too many entries");
            return FALSE;
        }
    }
    if (Word(data, 84) < HEADER_SIZE || Word(data, 88) < HEADER_SIZE ||
        !ReadText(data, Word(data, 84), size, instructions->appName, PACKAGE_NAME_CHARS) ||
        !ReadText(data, Word(data, 88), size, instructions->provider, PACKAGE_NAME_CHARS)) {
        SetProblem(problem, problemChars, L"application or provider name outside the file");
        return FALSE;
    }
    if (!ReadStrings(&reader, offsets[0]) || !ReadDirectories(&reader, offsets[1]) || !ReadFiles(&reader, offsets[2]) ||
        !ReadRegistryKeys(&reader, offsets[3]) || !ReadRegistryValues(&reader, offsets[4]) ||
        !ReadShortcuts(&reader, offsets[5])) {
        SetProblem(problem, problemChars, reader.problem);
        return FALSE;
    }
    problem[0] = 0;
    return TRUE;
}
BOOL ShortcutFolder(WORD baseDirectory, LPCWSTR installDir, WCHAR* path, int pathChars)
{
    LPCWSTR folder = baseDirectory == 0 ? installDir : MacroFolder(baseDirectory);
    if (folder == NULL)
        return FALSE;
    lstrcpynW(path, folder, pathChars);
    return TRUE;
}

// A path resolves only to a full path on the device's drive C:.
BOOL ResolveDevicePath(const char* stored, LPCWSTR installDir, WCHAR* path, int pathChars)
{
    int number;
    int macro = LeadingMacro(stored, &number);
    if (macro <= 0)
        return FALSE;
    LPCWSTR folder = number == 0 ? installDir : MacroFolder(number);
    return FormatPath(path, pathChars, L"%ls%hs", folder, stored + macro) && _wcsnicmp(path, L"C:\\", 3) == 0;
}

// The macros the device's installer replaces in a registry string marked for substitution: a
// folder macro's number (0 the installation folder), or -1 for the application's name.
static const struct {
    const char* name;
    int folder;
} kValueMacros[] = {{"%CE1%", 1}, {"%CE2%", 2}, {"%CE11%", 11}, {"%InstallDir%", 0}, {"%AppName%", -1}};

static BOOL AppendCharacter(WCHAR* text, int textChars, int* length, WCHAR character)
{
    if (text != NULL) {
        if (*length >= textChars)
            return FALSE;
        text[*length] = character;
    }
    ++*length;
    return TRUE;
}

static BOOL AppendText(WCHAR* text, int textChars, int* length, LPCWSTR piece)
{
    for (; *piece; ++piece)
        if (!AppendCharacter(text, textChars, length, *piece))
            return FALSE;
    return TRUE;
}

BOOL RegistryText(const PackageInstructions* instructions, const PackageRegistryValue* value, LPCWSTR installDir,
                  WCHAR* text, int textChars, int* length)
{
    WCHAR appName[PACKAGE_NAME_CHARS];
    FormatPath(appName, PACKAGE_NAME_CHARS, L"%hs", instructions->appName);
    *length = 0;
    for (DWORD at = 0; at < value->dataSize;) {
        const char* rest = (const char*)value->data + at;
        if ((BYTE)*rest >= 0x80)
            return FALSE;
        if (*rest != '%' || !value->substitute) {
            if (!AppendCharacter(text, textChars, length, (WCHAR)*rest))
                return FALSE;
            ++at;
            continue;
        }
        int macro = 0;
        int count = (int)(sizeof kValueMacros / sizeof kValueMacros[0]);
        while (macro < count && strncmp(rest, kValueMacros[macro].name, strlen(kValueMacros[macro].name)) != 0)
            ++macro;
        if (macro == count)
            return FALSE;
        int folder = kValueMacros[macro].folder;
        LPCWSTR replacement = folder < 0 ? appName : folder == 0 ? installDir : MacroFolder(folder);
        if (replacement == NULL || !AppendText(text, textChars, length, replacement))
            return FALSE;
        at += (DWORD)strlen(kValueMacros[macro].name);
    }
    return TRUE;
}
