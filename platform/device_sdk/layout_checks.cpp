// The 32-bit layout of every structure the programs hand to the device's coredll and aygshell,
// checked at compile time by both device builds: each size and each field's offset, and for the
// bit-fields the word that holds them and each one's bits. Linked into nothing.
//
// The members and their order are the pages' named beside each structure ("WM 6.5 docs, ID":
// learn.microsoft.com/en-us/previous-versions/ID(v=msdn.10); "CE 5.0 docs, ID": the same under
// previous-versions/windows/embedded/). The offsets follow from them as the device's compiler
// lays a structure out ("Storage and Alignment of Structures", Microsoft C: members in the order
// declared, each at a multiple of the smaller of its size and the default packing of 8), with
// DWORD, UINT, LONG, int, BOOL, COLORREF, WPARAM, LPARAM, handles and pointers 4 bytes on the
// 32-bit processor. Bit-fields: adjacent ones share one allocation unit of their type ("Storage and
// Alignment of Structures") and are "allocated within an integer from least-significant to
// most-significant bit" ("Storage of Bit Fields", Microsoft C).
#include <stddef.h>
#include <windows.h>

#include "aygshell.h"

#define LAYOUT(name, condition) typedef char name[(condition) ? 1 : -1]

// SHMENUBARINFO (WM 6.5 docs, aa928226)
LAYOUT(SHMENUBARINFO_size, sizeof(SHMENUBARINFO) == 36);
LAYOUT(SHMENUBARINFO_cbSize, offsetof(SHMENUBARINFO, cbSize) == 0);
LAYOUT(SHMENUBARINFO_hwndParent, offsetof(SHMENUBARINFO, hwndParent) == 4);
LAYOUT(SHMENUBARINFO_dwFlags, offsetof(SHMENUBARINFO, dwFlags) == 8);
LAYOUT(SHMENUBARINFO_nToolBarId, offsetof(SHMENUBARINFO, nToolBarId) == 12);
LAYOUT(SHMENUBARINFO_hInstRes, offsetof(SHMENUBARINFO, hInstRes) == 16);
LAYOUT(SHMENUBARINFO_nBmpId, offsetof(SHMENUBARINFO, nBmpId) == 20);
LAYOUT(SHMENUBARINFO_cBmpImages, offsetof(SHMENUBARINFO, cBmpImages) == 24);
LAYOUT(SHMENUBARINFO_hwndMB, offsetof(SHMENUBARINFO, hwndMB) == 28);
LAYOUT(SHMENUBARINFO_clrBk, offsetof(SHMENUBARINFO, clrBk) == 32);

// SHINITDLGINFO (WM 6.5 docs, aa924964)
LAYOUT(SHINITDLGINFO_size, sizeof(SHINITDLGINFO) == 12);
LAYOUT(SHINITDLGINFO_dwMask, offsetof(SHINITDLGINFO, dwMask) == 0);
LAYOUT(SHINITDLGINFO_hDlg, offsetof(SHINITDLGINFO, hDlg) == 4);
LAYOUT(SHINITDLGINFO_dwFlags, offsetof(SHINITDLGINFO, dwFlags) == 8);

// SHACTIVATEINFO (WM 6.5 docs, aa926182): the four bit-fields share the word at offset 8, the
// size leaving no room for another; their bits are checked below.
LAYOUT(SHACTIVATEINFO_size, sizeof(SHACTIVATEINFO) == 12);
LAYOUT(SHACTIVATEINFO_cbSize, offsetof(SHACTIVATEINFO, cbSize) == 0);
LAYOUT(SHACTIVATEINFO_hwndLastFocus, offsetof(SHACTIVATEINFO, hwndLastFocus) == 4);

// WNDCLASS (WM 6.5 docs, aa925944), the wide WNDCLASSW that RegisterClassW takes
LAYOUT(WNDCLASSW_size, sizeof(WNDCLASSW) == 40);
LAYOUT(WNDCLASSW_style, offsetof(WNDCLASSW, style) == 0);
LAYOUT(WNDCLASSW_lpfnWndProc, offsetof(WNDCLASSW, lpfnWndProc) == 4);
LAYOUT(WNDCLASSW_cbClsExtra, offsetof(WNDCLASSW, cbClsExtra) == 8);
LAYOUT(WNDCLASSW_cbWndExtra, offsetof(WNDCLASSW, cbWndExtra) == 12);
LAYOUT(WNDCLASSW_hInstance, offsetof(WNDCLASSW, hInstance) == 16);
LAYOUT(WNDCLASSW_hIcon, offsetof(WNDCLASSW, hIcon) == 20);
LAYOUT(WNDCLASSW_hCursor, offsetof(WNDCLASSW, hCursor) == 24);
LAYOUT(WNDCLASSW_hbrBackground, offsetof(WNDCLASSW, hbrBackground) == 28);
LAYOUT(WNDCLASSW_lpszMenuName, offsetof(WNDCLASSW, lpszMenuName) == 32);
LAYOUT(WNDCLASSW_lpszClassName, offsetof(WNDCLASSW, lpszClassName) == 36);

// MSG (CE 5.0 docs, ms931459), with its POINT (CE 5.0 docs, ms911930): no member beyond pt
LAYOUT(MSG_size, sizeof(MSG) == 28);
LAYOUT(MSG_hwnd, offsetof(MSG, hwnd) == 0);
LAYOUT(MSG_message, offsetof(MSG, message) == 4);
LAYOUT(MSG_wParam, offsetof(MSG, wParam) == 8);
LAYOUT(MSG_lParam, offsetof(MSG, lParam) == 12);
LAYOUT(MSG_time, offsetof(MSG, time) == 16);
LAYOUT(MSG_pt, offsetof(MSG, pt) == 20);
LAYOUT(POINT_size, sizeof(POINT) == 8);
LAYOUT(POINT_x, offsetof(POINT, x) == 0);
LAYOUT(POINT_y, offsetof(POINT, y) == 4);

// PAINTSTRUCT (WM 6.5 docs, aa932285), with its RECT and rgbReserved[32]
LAYOUT(PAINTSTRUCT_size, sizeof(PAINTSTRUCT) == 64);
LAYOUT(PAINTSTRUCT_hdc, offsetof(PAINTSTRUCT, hdc) == 0);
LAYOUT(PAINTSTRUCT_fErase, offsetof(PAINTSTRUCT, fErase) == 4);
LAYOUT(PAINTSTRUCT_rcPaint, offsetof(PAINTSTRUCT, rcPaint) == 8);
LAYOUT(PAINTSTRUCT_fRestore, offsetof(PAINTSTRUCT, fRestore) == 24);
LAYOUT(PAINTSTRUCT_fIncUpdate, offsetof(PAINTSTRUCT, fIncUpdate) == 28);
LAYOUT(PAINTSTRUCT_rgbReserved, offsetof(PAINTSTRUCT, rgbReserved) == 32);

// RECT (WM 6.5 docs, aa932309), which GetWindowRect fills
LAYOUT(RECT_size, sizeof(RECT) == 16);
LAYOUT(RECT_left, offsetof(RECT, left) == 0);
LAYOUT(RECT_top, offsetof(RECT, top) == 4);
LAYOUT(RECT_right, offsetof(RECT, right) == 8);
LAYOUT(RECT_bottom, offsetof(RECT, bottom) == 12);

// A bit-field's position is no constant expression: each check below is a call that the optimiser
// (both device builds compile with -Os) removes when the word at offset 8 holds the field's bits
// where the device has them, and that fails the compile where it cannot. Reading the union's other
// member is how GCC and clang document reinterpreting a structure's bytes.
extern "C" void BitFieldNotWhereTheDeviceHasIt(void)
    __attribute__((error("a bit-field of SHACTIVATEINFO is not where the device's compiler puts it")));

union ActivationWords {
    SHACTIVATEINFO info;
    DWORD words[3];
};

extern "C" void CheckActivationBitFields(void)
{
    ActivationWords probe;
    probe.words[2] = 0;
    probe.info.fSipUp = 1;
    if (probe.words[2] != 0x00000001)
        BitFieldNotWhereTheDeviceHasIt();
    probe.words[2] = 0;
    probe.info.fSipOnDeactivation = 1;
    if (probe.words[2] != 0x00000002)
        BitFieldNotWhereTheDeviceHasIt();
    probe.words[2] = 0;
    probe.info.fActive = 1;
    if (probe.words[2] != 0x00000004)
        BitFieldNotWhereTheDeviceHasIt();
    probe.words[2] = 0;
    probe.info.fReserved = 0x1FFFFFFF;
    if (probe.words[2] != 0xFFFFFFF8)
        BitFieldNotWhereTheDeviceHasIt();
}
