// Corvane, the setup library of the kit's CAB package: the installer calls these hooks around
// an installation and a removal. Its only memory is the installation marker in the registry.
#include <windows.h>

#include "device.h"
#include "kernel.h"
#include "setup_hooks.h"

static const WCHAR kMarkerKey[] = L"Pellworth\\Patches";
static const WCHAR kMarkerValue[] = L"Fennistry";
static const WCHAR* const kAcceptedPlatforms[] = {L"Brisle2", L"Mondrey2"};

static const WCHAR kNotForThisProduct[] = L"This CAB file is not for this product";
static const WCHAR kAskBeforeRepeat[] =
    L"A newer version of this CAB is already installed, do you still want to install this version?";
static const WCHAR kFailed[] = L"Failed";

#define PLATFORM_NAME_BYTES 64
#define PLATFORM_NAME_CHARS (PLATFORM_NAME_BYTES / sizeof(WCHAR))

static int ShowMessage(LPCWSTR text, UINT buttons)
{
    return MessageBoxW(NULL, text, L"", buttons | MB_SETFOREGROUND);
}

static BOOL IsAcceptedPlatform(void)
{
    WCHAR name[PLATFORM_NAME_CHARS + 1];
    memset(name, 0, sizeof name);
    DWORD query = SPI_GETPLATFORMNAME;
    DWORD returned = 0;
    if (!KernelIoControl(IOCTL_HAL_GET_DEVICE_INFO, &query, sizeof query, name, PLATFORM_NAME_BYTES, &returned))
        return FALSE;
    // The HAL need not terminate a name that fills the buffer; the spare character does.
    name[PLATFORM_NAME_CHARS] = 0;
    for (int i = 0; i < (int)(sizeof kAcceptedPlatforms / sizeof kAcceptedPlatforms[0]); ++i)
        if (wcscmp(name, kAcceptedPlatforms[i]) == 0)
            return TRUE;
    return FALSE;
}

static HKEY OpenMarkerKey(void)
{
    HKEY key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMarkerKey, 0, NULL, 0, DEVICE_KEY_ACCESS, NULL, &key, NULL) !=
        ERROR_SUCCESS)
        return NULL;
    return key;
}

extern "C" codeINSTALL_INIT WINAPI Install_Init(HWND, BOOL, BOOL, LPCWSTR)
{
    if (!IsAcceptedPlatform()) {
        ShowMessage(kNotForThisProduct, MB_OK);
        return codeINSTALL_INIT_CANCEL;
    }
    HKEY key = OpenMarkerKey();
    if (key == NULL)
        return codeINSTALL_INIT_CONTINUE;

    // A marker stored shorter than 4 bytes reads as the number its bytes make.
    DWORD marker = 0;
    DWORD size = sizeof marker;
    codeINSTALL_INIT result = codeINSTALL_INIT_CONTINUE;
    if (RegQueryValueExW(key, kMarkerValue, NULL, NULL, (BYTE*)&marker, &size) == ERROR_SUCCESS && marker != 0 &&
        ShowMessage(kAskBeforeRepeat, MB_YESNO) != IDYES)
        result = codeINSTALL_INIT_CANCEL;
    RegCloseKey(key);
    return result;
}

// A caller need not clear a WORD argument's upper half: the counts come register-sized, narrowed here.
extern "C" codeINSTALL_EXIT WINAPI Install_Exit(HWND, LPCWSTR, DWORD failedDirs, DWORD failedFiles,
                                                DWORD failedRegKeys, DWORD failedRegValues, DWORD failedShortcuts)
{
    if (LOWORD(failedDirs) || LOWORD(failedFiles) || LOWORD(failedRegKeys) || LOWORD(failedRegValues) ||
        LOWORD(failedShortcuts)) {
        ShowMessage(kFailed, MB_OK);
        return codeINSTALL_EXIT_DONE;
    }
    HKEY key = OpenMarkerKey();
    if (key == NULL)
        return codeINSTALL_EXIT_DONE;
    DWORD installed = 1;
    RegSetValueExW(key, kMarkerValue, 0, REG_DWORD, (const BYTE*)&installed, sizeof installed);
    RegCloseKey(key);
    return codeINSTALL_EXIT_DONE;
}

extern "C" codeUNINSTALL_INIT WINAPI Uninstall_Init(HWND, LPCWSTR)
{
    return codeUNINSTALL_INIT_CONTINUE;
}

extern "C" codeUNINSTALL_EXIT WINAPI Uninstall_Exit(HWND)
{
    return codeUNINSTALL_EXIT_DONE;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH)
        DisableThreadLibraryCalls(module);
    return TRUE;
}
