#include "installed_applications.h"

#include "device_files.h"

#include <wchar.h>

#define RECORD_MAGIC 0x34505041  // "APP4"

BOOL IsApplicationName(LPCWSTR name)
{
    int length = lstrlenW(name);
    return length < PACKAGE_NAME_CHARS && IsPlainName(name, length);
}

BOOL IsSigner(LPCWSTR text)
{
    if (lstrcmpW(text, UNSIGNED_SIGNER) == 0)
        return TRUE;
    int length = 0;
    while (length < SIGNER_CHARS && iswxdigit(text[length]))
        ++length;
    return length == SIGNER_CHARS - 1 && text[length] == 0;
}

static BOOL RecordPath(LPCWSTR state, LPCWSTR name, LPCWSTR file, WCHAR* path)
{
    return IsApplicationName(name) && FormatPath(path, MAX_PATH, L"%ls\\applications\\%ls%ls%ls", state, name,
                                                 file[0] ? L"\\" : L"", file);
}

BOOL RecordedLibraryPath(LPCWSTR state, LPCWSTR name, WCHAR* path)
{
    return RecordPath(state, name, L"Setup.dll", path);
}

BOOL RecordApplication(LPCWSTR state, LPCWSTR name, const InstalledApplication* application, LPCWSTR library)
{
    WCHAR applications[MAX_PATH], folder[MAX_PATH], record[MAX_PATH], setup[MAX_PATH];
    if (!FormatPath(applications, MAX_PATH, L"%ls\\applications", state) || !RecordPath(state, name, L"", folder) ||
        !RecordPath(state, name, L"Installed", record) || !RecordedLibraryPath(state, name, setup))
        return FALSE;
    CreateDirectoryW(applications, NULL);
    CreateDirectoryW(folder, NULL);
    InstalledApplication written = *application;
    written.magic = RECORD_MAGIC;
    written.hasLibrary = library != NULL || application->hasLibrary;
    if (library != NULL ? !CopyWhole(library, setup)
                        : !written.hasLibrary && !DeleteFileW(setup) && GetLastError() != ERROR_FILE_NOT_FOUND)
        return FALSE;
    return WriteWhole(record, &written, sizeof written);
}

static BOOL IsTerminated(const WCHAR* text)
{
    for (int i = 0; i < MAX_PATH; ++i)
        if (text[i] == 0)
            return TRUE;
    return FALSE;
}

static BOOL AreDevicePaths(const WCHAR (*paths)[MAX_PATH], int count)
{
    for (int i = 0; i < count; ++i)
        if (!IsTerminated(paths[i]) || _wcsnicmp(paths[i], L"C:\\", 3) != 0)
            return FALSE;
    return TRUE;
}

BOOL ReadApplication(LPCWSTR state, LPCWSTR name, InstalledApplication* application)
{
    WCHAR record[MAX_PATH];
    if (!RecordPath(state, name, L"Installed", record))
        return FALSE;
    HANDLE file = CreateFileW(record, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD size = 0;
    BOOL read = ReadFile(file, application, sizeof *application, &size, NULL) && size == sizeof *application &&
                GetFileSize(file, NULL) == sizeof *application;
    CloseHandle(file);
    return read && application->magic == RECORD_MAGIC &&
           memchr(application->provider, 0, sizeof application->provider) != NULL &&
           wmemchr(application->signer, 0, SIGNER_CHARS) != NULL && IsSigner(application->signer) &&
           IsTerminated(application->installDir) &&
           application->librarySha256[64] == 0 &&
           application->directoryCount >= 0 && application->directoryCount <= PACKAGE_MAX_ENTRIES &&
           application->fileCount >= 0 && application->fileCount <= PACKAGE_MAX_ENTRIES &&
           application->shortcutCount >= 0 && application->shortcutCount <= PACKAGE_MAX_ENTRIES &&
           AreDevicePaths(application->directories, application->directoryCount) &&
           AreDevicePaths(application->files, application->fileCount) &&
           AreDevicePaths(application->shortcuts, application->shortcutCount);
}

static int FindPath(const WCHAR (*paths)[MAX_PATH], int count, LPCWSTR path)
{
    for (int i = 0; i < count; ++i)
        if (lstrcmpiW(paths[i], path) == 0)
            return i;
    return -1;
}

static BOOL AddPaths(WCHAR (*paths)[MAX_PATH], int* count, const WCHAR (*earlier)[MAX_PATH], int earlierCount)
{
    for (int i = 0; i < earlierCount; ++i) {
        if (FindPath(paths, *count, earlier[i]) >= 0)
            continue;
        if (*count >= PACKAGE_MAX_ENTRIES)
            return FALSE;
        lstrcpynW(paths[(*count)++], earlier[i], MAX_PATH);
    }
    return TRUE;
}

// A folder goes before the first folder inside it.
static BOOL AddFolders(InstalledApplication* application, const InstalledApplication* earlier)
{
    for (int i = 0; i < earlier->directoryCount; ++i) {
        LPCWSTR folder = earlier->directories[i];
        int length = lstrlenW(folder);
        if (FindPath(application->directories, application->directoryCount, folder) >= 0)
            continue;
        if (application->directoryCount >= PACKAGE_MAX_ENTRIES)
            return FALSE;
        int at = 0;
        while (at < application->directoryCount && !(_wcsnicmp(application->directories[at], folder, length) == 0 &&
                                                      application->directories[at][length] == L'\\'))
            ++at;
        memmove(application->directories[at + 1], application->directories[at],
                (application->directoryCount - at) * sizeof application->directories[0]);
        lstrcpynW(application->directories[at], folder, MAX_PATH);
        application->directoryCount++;
    }
    return TRUE;
}

BOOL AddEarlierPaths(InstalledApplication* application, const InstalledApplication* earlier)
{
    return AddFolders(application, earlier) &&
           AddPaths(application->files, &application->fileCount, earlier->files, earlier->fileCount) &&
           AddPaths(application->shortcuts, &application->shortcutCount, earlier->shortcuts, earlier->shortcutCount);
}

void ForgetApplication(LPCWSTR state, LPCWSTR name)
{
    WCHAR path[MAX_PATH];
    if (RecordedLibraryPath(state, name, path))
        DeleteFileW(path);
    if (RecordPath(state, name, L"Installed", path))
        DeleteFileW(path);
    if (RecordPath(state, name, L"", path))
        RemoveDirectoryW(path);
}
