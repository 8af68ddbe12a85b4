// The Windows Mobile shell calls the settings program uses. The device has them in aygshell;
// the emulated device gets the stand-ins in shell_standin.cpp, declared here with the device's
// own names, field order and values.
#pragma once
#include <windows.h>

#ifdef UNDER_CE
#include <aygshell.h>
#else

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

// The emulated device's screen furniture, in pixels: the shell's top bar with the title and
// OK button, and the soft-key menu bar along the bottom.
#define STANDIN_TOP_BAR_HEIGHT 36
#define STANDIN_MENU_BAR_HEIGHT 52
#define STANDIN_TOP_BAR_CLASS L"StandInTopBar"
#define STANDIN_MENU_BAR_CLASS L"StandInMenuBar"

#endif
