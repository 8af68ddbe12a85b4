#include "device_files.h"

#include <shlobj.h>
#include <stdio.h>
#include <wchar.h>

BOOL IsPlainName(LPCWSTR name, int length)
{
    if (length <= 0 || length > MAX_PATH - 8)
        return FALSE;
    for (int i = 0; i < length; ++i)
        if (name[i] < 0x20 || wcschr(L"\\/:*?\"<>|", name[i]) != NULL)
            return FALSE;
    // Windows drops trailing dots and spaces, and takes a device name for the device ("\\.\NUL")
    // whatever folder it is joined to: the name must resolve to itself.
    WCHAR probe[MAX_PATH], full[MAX_PATH];
    int probeLength = _snwprintf(probe, MAX_PATH, L"C:\\%.*ls", length, name);
    return probeLength > 0 && GetFullPathNameW(probe, MAX_PATH, full, NULL) == (DWORD)probeLength &&
           CompareStringOrdinal(full, -1, probe, -1, FALSE) == CSTR_EQUAL;
}

BOOL IsPlainNameA(const char* name, int length)
{
    WCHAR wide[MAX_PATH];
    int wideLength = length < MAX_PATH ? _snwprintf(wide, MAX_PATH, L"%.*hs", length, name) : -1;
    return wideLength > 0 && wideLength < MAX_PATH && IsPlainName(wide, wideLength);
}

// A new, empty file in the folder of path.
static BOOL FileBeside(LPCWSTR path, WCHAR* beside)
{
    WCHAR folder[MAX_PATH];
    lstrcpynW(folder, path, MAX_PATH);
    WCHAR* name = wcsrchr(folder, L'\\');
    if (name == NULL)
        return FALSE;
    name[name == folder + 2 ? 1 : 0] = 0;  // "C:\" keeps its backslash
    return GetTempFileNameW(folder, L"new", 0, beside) != 0;
}

static BOOL MoveIntoPlace(LPCWSTR beside, LPCWSTR path, BOOL made)
{
    if (made && MoveFileExW(beside, path, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return TRUE;
    DeleteFileW(beside);
    return FALSE;
}

BOOL WriteWhole(LPCWSTR path, const void* data, DWORD size)
{
    WCHAR beside[MAX_PATH];
    if (!FileBeside(path, beside))
        return FALSE;
    HANDLE file = CreateFileW(beside, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_FLAG_WRITE_THROUGH, NULL);
    DWORD written = 0;
    BOOL wrote = file != INVALID_HANDLE_VALUE && WriteFile(file, data, size, &written, NULL) && written == size &&
                 FlushFileBuffers(file);
    if (file != INVALID_HANDLE_VALUE)
        wrote = CloseHandle(file) && wrote;
    return MoveIntoPlace(beside, path, wrote);
}

BOOL CopyWhole(LPCWSTR source, LPCWSTR path)
{
    WCHAR beside[MAX_PATH];
    return FileBeside(path, beside) && MoveIntoPlace(beside, path, CopyFileW(source, beside, FALSE));
}

// The path as Windows takes it: made full, and the part of it that exists with its long names
// (another letter case or a short name names the same folder).
static BOOL Resolve(LPCWSTR path, WCHAR* resolved)
{
    WCHAR full[MAX_PATH], head[MAX_PATH];
    DWORD length = GetFullPathNameW(path, MAX_PATH, full, NULL);
    if (length < 3 || length >= MAX_PATH || (full[0] != L'C' && full[0] != L'c') || full[1] != L':' || full[2] != L'\\')
        return FALSE;
    for (DWORD split = length; split >= 3;) {
        lstrcpynW(head, full, split + 1);
        DWORD found = GetLongPathNameW(head, resolved, MAX_PATH);
        if (found > 0 && found + length - split < MAX_PATH) {
            lstrcpyW(resolved + found, full + split);
            return TRUE;
        }
        while (--split > 3 && full[split] != L'\\')
            ;
    }
    return FALSE;
}

static BOOL IsInside(LPCWSTR path, LPCWSTR folder)
{
    int length = lstrlenW(folder);
    return length > 0 && lstrlenW(path) >= length &&
           CompareStringOrdinal(path, length, folder, length, TRUE) == CSTR_EQUAL &&
           (path[length] == 0 || path[length] == L'\\');
}

// Wine's folder of that CSIDL, resolved; FALSE when it has none.
static BOOL WineFolder(int csidl, WCHAR* resolved)
{
    WCHAR folder[MAX_PATH];
    return SHGetFolderPathW(NULL, csidl, NULL, SHGFP_TYPE_CURRENT, folder) == S_OK && Resolve(folder, resolved);
}

// The device's security state needs no place here: it lies beside Wine's prefix, outside drive C:,
// and every path a package writes is a full path on drive C:.
LPCWSTR ProtectedPlace(LPCWSTR path)
{
    WCHAR resolved[MAX_PATH], windows[MAX_PATH], folder[MAX_PATH], programs[MAX_PATH];
    if (!Resolve(path, resolved))
        return L"it does not resolve to a full path on drive C:";
    UINT length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH || !Resolve(folder, windows))
        return L"Wine's Windows folder cannot be found";
    if (IsInside(resolved, windows))
        return L"it lies in Wine's own Windows folder, whose files Wine acts on (boot files at start, libraries "
               L"along its search path, fonts)";
    // Where Wine keeps the modules it registers; a 64-bit prefix also has a folder for 32-bit ones.
    if (!WineFolder(CSIDL_PROGRAM_FILES, programs))
        return L"Wine's Program Files folder cannot be found";
    if (IsInside(resolved, programs) || (WineFolder(CSIDL_PROGRAM_FILESX86, programs) && IsInside(resolved, programs)))
        return L"it lies in Wine's own Program Files, which holds the modules Wine registers";
    return NULL;
}
