// Included first in every file of the device check: where mingw's desktop headers declare a
// function otherwise than the device's SDK does, this makes them agree with the device. (A page
// "ID" below is learn.microsoft.com/en-us/previous-versions/ID.)
#pragma once

// The device's libraries export plain, undecorated names: CeGCC's src/w32api/libce/coredll.def and
// aygshell.def list them so (RegisterClassW, not _RegisterClassW@4), and that is the evidence that
// WINAPI decorates nothing on the device's ARM. No page found says so of the 2008 ARM compiler:
// its "__stdcall" page (Visual Studio 2008 docs, zxk0tw93(v=vs.90)) names only IPF and x64 as
// ignoring it, and the Visual Studio 2013 one that adds ARM is Windows RT's compiler's. Not
// verified. x86's __stdcall would decorate every name with its size.
#ifdef __clang__
#pragma clang diagnostic ignored "-Wkeyword-macro"
#endif
#undef __stdcall
#define __stdcall
#undef _stdcall
#define _stdcall

// The desktop's WinMain takes the narrow command line; the device's takes the wide one
// ("WinMain", Windows Mobile 6.5 docs, aa930760(v=msdn.10): LPWSTR lpCmdLine).
#define WinMain DesktopWinMain
// clang takes a 16-bit result as cleared above by the callee and drops the caller's narrowing;
// the device's libraries need not clear it. The one such import's ATOM ("RegisterClass", Windows
// Mobile 6.5 docs, aa932511(v=msdn.10): returns ATOM) is declared register-sized.
#ifdef __arm__
#define RegisterClassW DesktopRegisterClassW
#endif
#include <windows.h>
#undef WinMain
#ifdef __arm__
#undef RegisterClassW
extern "C" UINT WINAPI RegisterClassW(const WNDCLASSW* windowClass);
#endif
