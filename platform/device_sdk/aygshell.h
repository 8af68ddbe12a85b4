// The Windows Mobile shell's declarations that the settings program uses, as the device's SDK
// has them in aygshell.h (written from the platform's public documentation): the device check
// takes this header as <aygshell.h>, the emulated device's stand-ins implement it, and the
// device build takes the SDK's own header instead.
#pragma once
#include <windows.h>

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

#define SHCMBF_EMPTYBAR 0x0001
#define SHCMBF_HIDDEN 0x0002
#define SHCMBF_HIDESIPBUTTON 0x0004
#define SHCMBF_COLORBK 0x0008
#define SHCMBF_HMENU 0x0010

typedef struct tagSHINITDLGINFO {
    DWORD dwMask;
    HWND hDlg;
    DWORD dwFlags;
} SHINITDLGINFO, *PSHINITDLGINFO;

#define SHIDIM_FLAGS 0x0001
#define SHIDIF_DONEBUTTON 0x0001
#define SHIDIF_SIZEDLG 0x0002
#define SHIDIF_SIZEDLGFULLSCREEN 0x0004
#define SHIDIF_SIPDOWN 0x0008
#define SHIDIF_FULLSCREENNOMENUBAR 0x0010

typedef struct {
    DWORD cbSize;
    HWND hwndLastFocus;
    UINT fSipUp : 1;
    UINT fSipOnDeactivation : 1;
    UINT fActive : 1;
    UINT fReserved : 29;
} SHACTIVATEINFO, *PSHACTIVATEINFO;

extern "C" {
BOOL WINAPI SHInitExtraControls(void);
BOOL WINAPI SHCreateMenuBar(SHMENUBARINFO* info);
BOOL WINAPI SHInitDialog(PSHINITDLGINFO info);
BOOL WINAPI SHHandleWMActivate(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* activation, DWORD flags);
BOOL WINAPI SHHandleWMSettingChange(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* activation);
}

#ifdef UNDER_CE
// The device's 32-bit layout, which the program's records and cbSize fields rely on.
typedef char SHMENUBARINFO_is_36_bytes[sizeof(SHMENUBARINFO) == 36 ? 1 : -1];
typedef char SHACTIVATEINFO_is_12_bytes[sizeof(SHACTIVATEINFO) == 12 ? 1 : -1];
typedef char SHINITDLGINFO_is_12_bytes[sizeof(SHINITDLGINFO) == 12 ? 1 : -1];
#endif
