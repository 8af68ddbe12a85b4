// The HAL's device query as the emulated device answers it: the platform name comes from the
// registry, where a device image would have it built in.
#include "kernel.h"

// The name's bytes as stored: a device HAL may fill the caller's buffer without a terminator,
// and a name stored without its NUL plays such a HAL.
static BOOL ReadStandInPlatformName(BYTE* name, DWORD* nameBytes)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, STANDIN_PLATFORM_KEY, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return FALSE;
    DWORD type = 0;
    LONG status = RegQueryValueExW(key, STANDIN_PLATFORM_VALUE, NULL, &type, name, nameBytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_SZ && *nameBytes > 0;
}

extern "C" BOOL WINAPI KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                       DWORD outSize, LPDWORD bytesReturned)
{
    if (ioControlCode != IOCTL_HAL_GET_DEVICE_INFO || inBuffer == NULL || inSize < sizeof(DWORD) ||
        *(DWORD*)inBuffer != SPI_GETPLATFORMNAME || outBuffer == NULL) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    BYTE name[256];
    DWORD nameBytes = sizeof name;
    if (!ReadStandInPlatformName(name, &nameBytes)) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (nameBytes > outSize) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyMemory(outBuffer, name, nameBytes);
    if (bytesReturned != NULL)
        *bytesReturned = nameBytes;
    return TRUE;
}
