// The few places where the emulated device (desktop Win32 under Wine) must differ from the
// device itself. Each difference is one definition here, with its reason.
#pragma once
#include <windows.h>

#ifdef UNDER_CE
#define DEVICE_KEY_ACCESS 0
#define DEVICE_OWNED_CONTROL_STYLE 0
#define DeviceForegroundHandle(window) ((HWND)((UINT_PTR)(window) | 1))
#else
// Windows CE ignores the access mask; the desktop refuses writes through a key opened with 0.
#define DEVICE_KEY_ACCESS (KEY_QUERY_VALUE | KEY_SET_VALUE)
// The desktop turns a window without WS_CHILD or WS_POPUP into a captioned overlapped window.
#define DEVICE_OWNED_CONTROL_STYLE WS_POPUP
// Wine's SetForegroundWindow refuses the shell's "owned windows too" bit in the handle.
#define DeviceForegroundHandle(window) (window)
#endif
