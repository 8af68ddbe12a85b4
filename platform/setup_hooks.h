// The platform's setup-library hooks, as the device's CAB installer calls them by name: "A
// custom installer dll should export the Install_Init function" and likewise the other three
// (Windows Mobile 6.5 docs, learn.microsoft.com/en-us/previous-versions/ID(v=msdn.10): Install_Init
// bb415364, Install_Exit bb446100, Uninstall_Init bb446064, Uninstall_Exit bb446138; header
// ce_setup.h, which mingw lacks).
#pragma once
#include <windows.h>

// codeINSTALL_INIT bb446091, codeINSTALL_EXIT bb415665, codeUNINSTALL_INIT bb415640,
// codeUNINSTALL_EXIT bb415511 (Windows Mobile 6.5 docs): each value as the page gives it.
typedef enum { codeINSTALL_INIT_CONTINUE = 0, codeINSTALL_INIT_CANCEL } codeINSTALL_INIT;
typedef enum { codeINSTALL_EXIT_DONE = 0, codeINSTALL_EXIT_UNINSTALL } codeINSTALL_EXIT;
typedef enum { codeUNINSTALL_INIT_CONTINUE = 0, codeUNINSTALL_INIT_CANCEL } codeUNINSTALL_INIT;
typedef enum { codeUNINSTALL_EXIT_DONE = 0 } codeUNINSTALL_EXIT;

// The hooks' parameters as the pages above give them, LPCTSTR being the wide LPCWSTR of a
// Unicode build.
typedef codeINSTALL_INIT(WINAPI* pfnInstall_Init)(HWND parent, BOOL firstCall, BOOL previouslyInstalled,
                                                  LPCWSTR installDir);
typedef codeINSTALL_EXIT(WINAPI* pfnInstall_Exit)(HWND parent, LPCWSTR installDir, WORD failedDirs,
                                                  WORD failedFiles, WORD failedRegKeys, WORD failedRegValues,
                                                  WORD failedShortcuts);
typedef codeUNINSTALL_INIT(WINAPI* pfnUninstall_Init)(HWND parent, LPCWSTR installDir);
typedef codeUNINSTALL_EXIT(WINAPI* pfnUninstall_Exit)(HWND parent);

// Corvane's exports; the installer finds them by the names below. Install_Exit takes the
// installer's WORD counts register-sized and narrows them itself.
extern "C" {
codeINSTALL_INIT WINAPI Install_Init(HWND parent, BOOL firstCall, BOOL previouslyInstalled, LPCWSTR installDir);
codeINSTALL_EXIT WINAPI Install_Exit(HWND parent, LPCWSTR installDir, DWORD failedDirs, DWORD failedFiles,
                                     DWORD failedRegKeys, DWORD failedRegValues, DWORD failedShortcuts);
codeUNINSTALL_INIT WINAPI Uninstall_Init(HWND parent, LPCWSTR installDir);
codeUNINSTALL_EXIT WINAPI Uninstall_Exit(HWND parent);
}

#define INSTALL_INIT_NAME "Install_Init"
#define INSTALL_EXIT_NAME "Install_Exit"
#define UNINSTALL_INIT_NAME "Uninstall_Init"
#define UNINSTALL_EXIT_NAME "Uninstall_Exit"
