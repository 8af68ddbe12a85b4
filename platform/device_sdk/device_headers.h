// Included first in every file of the device check: where mingw's desktop headers declare a
// function otherwise than the device's SDK does, this makes them agree with the device.
#pragma once

// The device (ARM) has one calling convention, so its libraries export plain, undecorated names
// and WINAPI means nothing there; x86's __stdcall would decorate every name with its size.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wkeyword-macro"
#endif
#undef __stdcall
#define __stdcall
#undef _stdcall
#define _stdcall

// The desktop's WinMain takes the narrow command line; the device's takes the wide one.
#define WinMain DesktopWinMain
// clang takes a 16-bit result as cleared above by the callee and drops the caller's narrowing;
// the device's libraries need not clear it. The one such import's ATOM is declared register-sized.
#ifdef __arm__
#define RegisterClassW DesktopRegisterClassW
#endif
#include <windows.h>
#undef WinMain
#ifdef __arm__
#undef RegisterClassW
extern "C" UINT WINAPI RegisterClassW(const WNDCLASSW* windowClass);
#endif
