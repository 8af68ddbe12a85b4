// The setup hooks as the device's CAB installer declares them in the platform's published setup
// header (ce_setup.h; the signatures below as the Windows Mobile 6.5 pages of Install_Init,
// Install_Exit, Uninstall_Init and Uninstall_Exit give them, listed in setup_hooks.h), checked at
// compile time against setup_hooks.h, whose declarations Corvane's definitions must match.
#include "setup_hooks.h"

template <typename T, typename U> struct SameType {
    enum { value = -1 };
};
template <typename T> struct SameType<T, T> {
    enum { value = 1 };
};

typedef codeINSTALL_INIT(WINAPI* InstallerInstallInit)(HWND hwndParent, BOOL fFirstCall, BOOL fPreviouslyInstalled,
                                                       LPCTSTR pszInstallDir);
typedef codeINSTALL_EXIT(WINAPI* InstallerInstallExit)(HWND hwndParent, LPCTSTR pszInstallDir, WORD cFailedDirs,
                                                       WORD cFailedFiles, WORD cFailedRegKeys, WORD cFailedRegVals,
                                                       WORD cFailedShortcuts);
typedef codeUNINSTALL_INIT(WINAPI* InstallerUninstallInit)(HWND hwndParent, LPCTSTR pszInstallDir);
typedef codeUNINSTALL_EXIT(WINAPI* InstallerUninstallExit)(HWND hwndParent);

typedef char InstallInitAsTheInstallerCallsIt[SameType<pfnInstall_Init, InstallerInstallInit>::value];
typedef char InstallExitAsTheInstallerCallsIt[SameType<pfnInstall_Exit, InstallerInstallExit>::value];
typedef char UninstallInitAsTheInstallerCallsIt[SameType<pfnUninstall_Init, InstallerUninstallInit>::value];
typedef char UninstallExitAsTheInstallerCallsIt[SameType<pfnUninstall_Exit, InstallerUninstallExit>::value];

// Corvane's Install_Exit differs from the installer's only in taking the counts register-sized:
// each is one 32-bit argument either way.
typedef codeINSTALL_EXIT(WINAPI* InstallExitWithWideCounts)(HWND hwndParent, LPCTSTR pszInstallDir, DWORD cFailedDirs,
                                                            DWORD cFailedFiles, DWORD cFailedRegKeys,
                                                            DWORD cFailedRegVals, DWORD cFailedShortcuts);

extern const InstallerInstallInit kInstallInit = Install_Init;
extern const InstallExitWithWideCounts kInstallExit = Install_Exit;
extern const InstallerUninstallInit kUninstallInit = Uninstall_Init;
extern const InstallerUninstallExit kUninstallExit = Uninstall_Exit;
