// The Windows Mobile shell's declarations that the settings program uses, as the device's SDK
// has them in aygshell.h, each from the public page or header named beside it ("WM 6.5 docs, ID":
// Microsoft's Windows Mobile 6.5 reference, learn.microsoft.com/en-us/previous-versions/ID
// (v=msdn.10), dated 4/8/2010; "CeGCC aygshell.h": src/w32api/include/aygshell.h of CeGCC, the
// open-source Windows CE toolchain, in its mirror github.com/svn2github/cegcc). The device check
// takes this header as <aygshell.h>, the emulated device's stand-ins implement it, and the device
// build takes the SDK's own header instead. The 32-bit layouts are checked at compile time in
// layout_checks.cpp.
#pragma once
#include <windows.h>

// SHMENUBARINFO (WM 6.5 docs, aa928226): these members in this order.
typedef struct tagSHMENUBARINFO {
    DWORD cbSize;
    HWND hwndParent;
    DWORD dwFlags;
    UINT nToolBarId;
    HINSTANCE hInstRes;
    int nBmpId;
    int cBmpImages;
    HWND hwndMB;
    COLORREF clrBk;
} SHMENUBARINFO, *PSHMENUBARINFO;

// The flags' names: SHMENUBARINFO (WM 6.5 docs); their values: CeGCC aygshell.h at the mirror's
// commit 2b0b9ffc (no Microsoft page found gives them).
#define SHCMBF_EMPTYBAR 0x0001
#define SHCMBF_HIDDEN 0x0002
#define SHCMBF_HIDESIPBUTTON 0x0004
#define SHCMBF_COLORBK 0x0008
#define SHCMBF_HMENU 0x0010

// SHINITDLGINFO (WM 6.5 docs, aa924964): these members in this order.
typedef struct tagSHINITDLGINFO {
    DWORD dwMask;
    HWND hDlg;
    DWORD dwFlags;
} SHINITDLGINFO, *PSHINITDLGINFO;

// SHINITDLGINFO (WM 6.5 docs): "#define SHIDIM_FLAGS 0x0001" and the flags' names; the flags'
// values: CeGCC aygshell.h, the version that also declares SHSendBackToFocusWindow (its commit in
// the mirror was not found; no Microsoft page found gives them).
#define SHIDIM_FLAGS 0x0001
#define SHIDIF_DONEBUTTON 0x0001
#define SHIDIF_SIZEDLG 0x0002
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004
#define SHIDIF_SIPDOWN 0x0008
#define SHIDIF_FULLSCREENNOMENUBAR 0x0010

// SHACTIVATEINFO (WM 6.5 docs, aa926182): these members and bit-fields in this order.
typedef struct {
    DWORD cbSize;
    HWND hwndLastFocus;
    UINT fSipUp : 1;
    UINT fSipOnDeactivation : 1;
    UINT fActive : 1;
    UINT fReserved : 29;
} SHACTIVATEINFO, *PSHACTIVATEINFO;

// SHInitExtraControls (aa931617), SHCreateMenuBar (aa931828), SHInitDialog (aa932176),
// SHHandleWMActivate (aa932774), SHHandleWMSettingChange (aa930183), all WM 6.5 docs. How
// aygshell.dll exports each: tests/cases/device_imports.txt.
extern "C" {
BOOL WINAPI SHInitExtraControls(void);
BOOL WINAPI SHCreateMenuBar(SHMENUBARINFO* info);
BOOL WINAPI SHInitDialog(PSHINITDLGINFO info);
BOOL WINAPI SHHandleWMActivate(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* activation, DWORD flags);
BOOL WINAPI SHHandleWMSettingChange(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* activation);
}
