// The 32-bit layout of every structure the programs hand to the device's coredll and aygshell,
// checked at compile time by both device builds: each size, each member's offset and width, and
// for the bit-fields the word that holds them and each one's bits. Linked into nothing.
//
// The members and their order are the pages' named beside each structure ("WM 6.5 docs, ID":
// learn.microsoft.com/en-us/previous-versions/ID(v=msdn.10); "CE 5.0 docs, ID": the same under
// previous-versions/windows/embedded/). The offsets follow from them as the device's compiler
// lays a structure out ("Storage and Alignment of Structures", Microsoft C: members in the order
// declared, each at a multiple of the smaller of its size and the default packing of 8), with
// DWORD, UINT, LONG, int, BOOL, COLORREF, WPARAM, LPARAM, handles and pointers 4 bytes on the
// 32-bit processor. Each member's width is that of the type its page gives it, checked too: a
// member declared narrower (a WORD for a DWORD) can leave every offset and the size as they were.
// Bit-fields: adjacent ones share one allocation unit of their type ("Storage and Alignment of
// Structures") and are "allocated within an integer from least-significant to most-significant
// bit" ("Storage of Bit Fields", Microsoft C).
#include <stddef.h>
#include <windows.h>

#include "aygshell.h"

#define LAYOUT(name, condition) typedef char name[(condition) ? 1 : -1]
#define MEMBER(type, member, offset, width) \
    LAYOUT(type##_##member##_offset, offsetof(type, member) == (offset)); \
    LAYOUT(type##_##member##_width, sizeof(((type*)0)->member) == (width))

// SHMENUBARINFO (WM 6.5 docs, aa928226)
LAYOUT(SHMENUBARINFO_size, sizeof(SHMENUBARINFO) == 36);
MEMBER(SHMENUBARINFO, cbSize, 0, 4);
MEMBER(SHMENUBARINFO, hwndParent, 4, 4);
MEMBER(SHMENUBARINFO, dwFlags, 8, 4);
MEMBER(SHMENUBARINFO, nToolBarId, 12, 4);
MEMBER(SHMENUBARINFO, hInstRes, 16, 4);
MEMBER(SHMENUBARINFO, nBmpId, 20, 4);
MEMBER(SHMENUBARINFO, cBmpImages, 24, 4);
MEMBER(SHMENUBARINFO, hwndMB, 28, 4);
MEMBER(SHMENUBARINFO, clrBk, 32, 4);

// SHINITDLGINFO (WM 6.5 docs, aa924964)
LAYOUT(SHINITDLGINFO_size, sizeof(SHINITDLGINFO) == 12);
MEMBER(SHINITDLGINFO, dwMask, 0, 4);
MEMBER(SHINITDLGINFO, hDlg, 4, 4);
MEMBER(SHINITDLGINFO, dwFlags, 8, 4);

// SHACTIVATEINFO (WM 6.5 docs, aa926182): the four bit-fields share the word at offset 8, the
// size leaving no room for another; their bits are checked below.
LAYOUT(SHACTIVATEINFO_size, sizeof(SHACTIVATEINFO) == 12);
MEMBER(SHACTIVATEINFO, cbSize, 0, 4);
MEMBER(SHACTIVATEINFO, hwndLastFocus, 4, 4);

// WNDCLASS (WM 6.5 docs, aa925944), the wide WNDCLASSW that RegisterClassW takes
LAYOUT(WNDCLASSW_size, sizeof(WNDCLASSW) == 40);
MEMBER(WNDCLASSW, style, 0, 4);
MEMBER(WNDCLASSW, lpfnWndProc, 4, 4);
MEMBER(WNDCLASSW, cbClsExtra, 8, 4);
MEMBER(WNDCLASSW, cbWndExtra, 12, 4);
MEMBER(WNDCLASSW, hInstance, 16, 4);
MEMBER(WNDCLASSW, hIcon, 20, 4);
MEMBER(WNDCLASSW, hCursor, 24, 4);
MEMBER(WNDCLASSW, hbrBackground, 28, 4);
MEMBER(WNDCLASSW, lpszMenuName, 32, 4);
MEMBER(WNDCLASSW, lpszClassName, 36, 4);

// MSG (CE 5.0 docs, ms931459), with its POINT (CE 5.0 docs, ms911930): no member beyond pt
LAYOUT(MSG_size, sizeof(MSG) == 28);
MEMBER(MSG, hwnd, 0, 4);
MEMBER(MSG, message, 4, 4);
MEMBER(MSG, wParam, 8, 4);
MEMBER(MSG, lParam, 12, 4);
MEMBER(MSG, time, 16, 4);
MEMBER(MSG, pt, 20, 8);
LAYOUT(POINT_size, sizeof(POINT) == 8);
MEMBER(POINT, x, 0, 4);
MEMBER(POINT, y, 4, 4);

// PAINTSTRUCT (WM 6.5 docs, aa932285), with its RECT and rgbReserved[32]
LAYOUT(PAINTSTRUCT_size, sizeof(PAINTSTRUCT) == 64);
MEMBER(PAINTSTRUCT, hdc, 0, 4);
MEMBER(PAINTSTRUCT, fErase, 4, 4);
MEMBER(PAINTSTRUCT, rcPaint, 8, 16);
MEMBER(PAINTSTRUCT, fRestore, 24, 4);
MEMBER(PAINTSTRUCT, fIncUpdate, 28, 4);
MEMBER(PAINTSTRUCT, rgbReserved, 32, 32);

// RECT (WM 6.5 docs, aa932309), which GetWindowRect fills
LAYOUT(RECT_size, sizeof(RECT) == 16);
MEMBER(RECT, left, 0, 4);
MEMBER(RECT, top, 4, 4);
MEMBER(RECT, right, 8, 4);
MEMBER(RECT, bottom, 12, 4);

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
