// The few places where the emulated device (desktop Win32 under Wine) must differ from the
// device itself. Each difference is one definition here, with its reason, and the device's side
// with its source (a page "ID" is learn.microsoft.com/en-us/previous-versions/ID).
#pragma once
#include <windows.h>

#ifdef UNDER_CE
// "RegOpenKeyEx" (Windows Mobile 6.5 docs, aa912084(v=msdn.10)): samDesired "Not supported. Set
// to zero."; "CeRegCreateKeyEx (RAPI)" (Windows Embedded CE 6.0 docs,
// windows/embedded/ee496450(v=winembedded.60)), RegCreateKeyEx's remote form: "Ignored; set to 0".
#define DEVICE_KEY_ACCESS 0
// Nothing added to the controls' styles: form_controls.txt gives them as the device makes them.
// How the device draws an owned window with neither WS_CHILD nor WS_POPUP: no public page found;
// not verified.
#define DEVICE_OWNED_CONTROL_STYLE 0
// "SetForegroundWindow" (Windows Mobile 6.5 docs, aa923858(v=msdn.10)): "To ensure that the last
// active owned window is reactivated, combine the window handle with 0x01 using the logical OR
// operator".
#define DeviceForegroundHandle(window) ((HWND)((UINT_PTR)(window) | 1))
#else
// Windows CE ignores the access mask; the desktop refuses writes through a key opened with 0.
#define DEVICE_KEY_ACCESS (KEY_QUERY_VALUE | KEY_SET_VALUE)
// The desktop turns a window without WS_CHILD or WS_POPUP into a captioned overlapped window.
#define DEVICE_OWNED_CONTROL_STYLE WS_POPUP
// Wine's SetForegroundWindow refuses the shell's "owned windows too" bit in the handle.
#define DeviceForegroundHandle(window) (window)
#endif
