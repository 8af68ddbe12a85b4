// The device's CAB installer as far as a setup library sees it, for the emulated device: loads
// the library, calls its hooks by name around copying or deleting the files, and says what
// each hook answered.
//
//   SetupInstaller install SETUP.DLL INSTALL_DIR FILE...
//   SetupInstaller remove  SETUP.DLL INSTALL_DIR FILE_NAME...
//
// Exit codes: 0 done, 1 cancelled by the setup library, 2 bad arguments, 3 the library or one
// of its hooks is missing.
#include <windows.h>

#include <stdio.h>

#include "setup_hooks.h"

struct SetupLibrary {
    HMODULE module;
    pfnInstall_Init installInit;
    pfnInstall_Exit installExit;
    pfnUninstall_Init uninstallInit;
    pfnUninstall_Exit uninstallExit;
};

static BOOL LoadSetupLibrary(LPCWSTR path, SetupLibrary* library)
{
    library->module = LoadLibraryW(path);
    if (library->module == NULL) {
        wprintf(L"cannot load %ls (error %lu)\n", path, GetLastError());
        return FALSE;
    }
    library->installInit = (pfnInstall_Init)(void*)GetProcAddress(library->module, INSTALL_INIT_NAME);
    library->installExit = (pfnInstall_Exit)(void*)GetProcAddress(library->module, INSTALL_EXIT_NAME);
    library->uninstallInit = (pfnUninstall_Init)(void*)GetProcAddress(library->module, UNINSTALL_INIT_NAME);
    library->uninstallExit = (pfnUninstall_Exit)(void*)GetProcAddress(library->module, UNINSTALL_EXIT_NAME);
    if (!library->installInit || !library->installExit || !library->uninstallInit || !library->uninstallExit) {
        wprintf(L"%ls lacks a setup hook\n", path);
        return FALSE;
    }
    return TRUE;
}

static LPCWSTR FileNameOf(LPCWSTR path)
{
    LPCWSTR name = path;
    for (LPCWSTR c = path; *c; ++c)
        if (*c == L'\\' || *c == L'/')
            name = c + 1;
    return name;
}

static BOOL JoinPath(WCHAR* joined, LPCWSTR folder, LPCWSTR name)
{
    return _snwprintf(joined, MAX_PATH, L"%ls\\%ls", folder, name) > 0;
}

static int Install(const SetupLibrary& library, LPCWSTR folder, int fileCount, WCHAR** files)
{
    BOOL previouslyInstalled = GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES;
    codeINSTALL_INIT init = library.installInit(NULL, TRUE, previouslyInstalled, folder);
    wprintf(L"Install_Init: %d (%ls)\n", init, init == codeINSTALL_INIT_CONTINUE ? L"continue" : L"cancel");
    if (init != codeINSTALL_INIT_CONTINUE)
        return 1;

    WORD failedDirs = 0, failedFiles = 0;
    if (!CreateDirectoryW(folder, NULL) && GetLastError() != ERROR_ALREADY_EXISTS)
        failedDirs++;
    for (int i = 0; i < fileCount; ++i) {
        WCHAR target[MAX_PATH];
        if (!JoinPath(target, folder, FileNameOf(files[i])) || !CopyFileW(files[i], target, FALSE)) {
            wprintf(L"cannot copy %ls\n", files[i]);
            failedFiles++;
        }
    }
    codeINSTALL_EXIT exit = library.installExit(NULL, folder, failedDirs, failedFiles, 0, 0, 0);
    wprintf(L"Install_Exit(%u directories, %u files failed): %d\n", failedDirs, failedFiles, exit);
    return 0;
}

static int Remove(const SetupLibrary& library, LPCWSTR folder, int fileCount, WCHAR** names)
{
    codeUNINSTALL_INIT init = library.uninstallInit(NULL, folder);
    wprintf(L"Uninstall_Init: %d (%ls)\n", init, init == codeUNINSTALL_INIT_CONTINUE ? L"continue" : L"cancel");
    if (init != codeUNINSTALL_INIT_CONTINUE)
        return 1;
    for (int i = 0; i < fileCount; ++i) {
        WCHAR target[MAX_PATH];
        if (JoinPath(target, folder, FileNameOf(names[i])))
            DeleteFileW(target);
    }
    RemoveDirectoryW(folder);
    wprintf(L"Uninstall_Exit: %d\n", library.uninstallExit(NULL));
    return 0;
}

int wmain(int argc, WCHAR** argv)
{
    if (argc < 4 || (lstrcmpW(argv[1], L"install") != 0 && lstrcmpW(argv[1], L"remove") != 0)) {
        wprintf(L"usage: SetupInstaller install|remove SETUP.DLL INSTALL_DIR FILE...\n");
        return 2;
    }
    SetupLibrary library;
    if (!LoadSetupLibrary(argv[2], &library))
        return 3;
    int result = lstrcmpW(argv[1], L"install") == 0 ? Install(library, argv[3], argc - 4, argv + 4)
                                                    : Remove(library, argv[3], argc - 4, argv + 4);
    FreeLibrary(library.module);
    return result;
}
