// The HAL's device query as the emulated device answers it: the platform name comes from the
// registry, where a device image would have it built in.
#include "kernel.h"

static BOOL ReadStandInPlatformName(WCHAR* name, DWORD nameBytes)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STANDIN_PLATFORM_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return FALSE;
    DWORD type = 0;
    DWORD size = nameBytes;
    LONG status = RegQueryValueExW(key, STANDIN_PLATFORM_VALUE, NULL, &type, (BYTE*)name, &size);
    RegCloseKey(key);
    // The HAL answers with a terminated name or not at all.
    return status == ERROR_SUCCESS && type == REG_SZ && size >= sizeof(WCHAR) && size % sizeof(WCHAR) == 0 &&
           name[size / sizeof(WCHAR) - 1] == 0;
}

extern "C" BOOL WINAPI KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                       DWORD outSize, LPDWORD bytesReturned)
{
    if (ioControlCode != IOCTL_HAL_GET_DEVICE_INFO || inBuffer == NULL || inSize < sizeof(DWORD) ||
        *(DWORD*)inBuffer != SPI_GETPLATFORMNAME || outBuffer == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    WCHAR name[128];
    if (!ReadStandInPlatformName(name, sizeof name)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    DWORD nameBytes = (lstrlenW(name) + 1) * sizeof(WCHAR);
    if (nameBytes > outSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyMemory(outBuffer, name, nameBytes);
    if (bytesReturned != NULL)
        *bytesReturned = nameBytes;
    return TRUE;
}
