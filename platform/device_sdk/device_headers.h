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
#include <windows.h>
#undef WinMain
