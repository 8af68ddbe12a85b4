// The kernel's device query, with the source of each value (a page "ID" is
// learn.microsoft.com/en-us/previous-versions/ID); the emulated device gets the stand-in in
// kernel_standin.cpp.
#pragma once
#include <windows.h>

// IOCTL_HAL_GET_DEVICE_INFO is CTL_CODE(FILE_DEVICE_HAL, 1, METHOD_BUFFERED, FILE_ANY_ACCESS):
// CTL_CODE's formula is public ("CTL_CODE", Windows Embedded CE 6.0 docs,
// windows/embedded/ee478525(v=winembedded.60)), but no Microsoft page found gives FILE_DEVICE_HAL's
// value (0x101) or the function number 1; third-party copies of SDK headers only (Compact 7's
// winioctl.h and pkfuncs.h, docs/building-for-the-device.md gives where). Not verified by
// Microsoft. The query's input is a DWORD SPI code, 4 bytes ("IOCTL_HAL_GET_DEVICE_INFO",
// Windows CE 5.0 docs, windows/embedded/ms904439(v=msdn.10)).
#define IOCTL_HAL_GET_DEVICE_INFO 0x01010004
// SPI_GETPLATFORMNAME is named among that query's codes ("IOCTL_HAL_GET_DEVICE_INFO", Windows
// Embedded CE 6.0 docs, aa917256(v=winembedded.60)); no Microsoft page found gives its value 260,
// third-party copies of SDK headers only (Compact 7's winuser.h, as above). Not verified by
// Microsoft.
#ifndef SPI_GETPLATFORMNAME
#define SPI_GETPLATFORMNAME 260
#endif

// "KernelIoControl" (Windows Mobile 6.5 docs, aa909165(v=msdn.10)): this signature. coredll
// exports it by name (tests/cases/device_imports.txt). That the Windows Mobile SDK's headers do
// not declare it (hence this declaration) is not verified: the SDK was not inspected.
extern "C" BOOL WINAPI KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                                       LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned);

#ifndef UNDER_CE
// Where the emulated device keeps the platform name that the device's HAL would report.
#define STANDIN_PLATFORM_KEY L"Emulator"
#define STANDIN_PLATFORM_VALUE L"PlatformName"
#endif
