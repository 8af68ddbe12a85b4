// The kernel's device query. The device's coredll exports KernelIoControl but its SDK does not
// declare it; the emulated device gets the stand-in in kernel_standin.cpp.
#pragma once
#include <windows.h>

#define IOCTL_HAL_GET_DEVICE_INFO 0x01010004
#ifndef SPI_GETPLATFORMNAME
#define SPI_GETPLATFORMNAME 260
#endif

extern "C" BOOL WINAPI KernelIoControl(DWORD ioControlCode, LPVOID inBuffer, DWORD inSize,
                                       LPVOID outBuffer, DWORD outSize, LPDWORD bytesReturned);

#ifndef UNDER_CE
// Where the emulated device keeps the platform name that the device's HAL would report.
#define STANDIN_PLATFORM_KEY L"Emulator"
#define STANDIN_PLATFORM_VALUE L"PlatformName"
#endif
