// Starts one program of the emulated device by its exact path, as the device's CreateProcess
// does, and waits for it. Given the path as the application's name, CreateProcessW runs that
// file or nothing: it adds no extension and has no fallback for an image it cannot load, unlike
// Wine's loader, which hands such an image to start.exe, and start.exe looks for other files of
// that name. The program's own folder is its current folder, so that no library is looked up in
// the folder the caller happens to be in. Exit code: the program's; 1 when it cannot be started
// (one line why); 2 for bad arguments.
//
//   Launcher C:\FULL\PATH\PROGRAM.exe
#include <windows.h>

#include <stdio.h>

// The folder part of a full path ("C:\A\B.exe" -> "C:\A", "C:\B.exe" -> "C:\"); FALSE when the
// path is no full path of a file.
static BOOL FolderOf(LPCWSTR path, WCHAR* folder)
{
    const WCHAR* last = wcsrchr(path, L'\\');
    if (path[0] == 0 || path[1] != L':' || path[2] != L'\\' || last == NULL || last[1] == 0)
        return FALSE;
    int length = last == path + 2 ? 3 : (int)(last - path);
    lstrcpynW(folder, path, length + 1);
    return TRUE;
}

int wmain(int argc, WCHAR** argv)
{
    static WCHAR commandLine[MAX_PATH + 2];
    static WCHAR folder[MAX_PATH];
    if (argc != 2 || lstrlenW(argv[1]) >= MAX_PATH - 1 || wcschr(argv[1], L'"') != NULL || !FolderOf(argv[1], folder)) {
        fwprintf(stderr, L"usage: Launcher C:\\FULL\\PATH\\PROGRAM.exe\n");
        return 2;
    }
    swprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", argv[1]);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(argv[1], commandLine, NULL, NULL, FALSE, 0, NULL, folder, &startup, &process)) {
        fwprintf(stderr, L"Launcher: %ls cannot be started (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    CloseHandle(process.hThread);
    DWORD exitCode = 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &exitCode);
    CloseHandle(process.hProcess);
    return (int)exitCode;
}
