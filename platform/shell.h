// The Windows Mobile shell calls the settings program uses. The device has them in aygshell;
// the emulated device gets the stand-ins in shell_standin.cpp, with the device's own names,
// field order and values from device_sdk/aygshell.h.
#pragma once
#include <windows.h>

#ifdef UNDER_CE
#include <aygshell.h>
#else
#include "device_sdk/aygshell.h"

// The emulated device's screen furniture, in pixels: the shell's top bar with the title and
// OK button, and the soft-key menu bar along the bottom.
#define STANDIN_TOP_BAR_HEIGHT 36
#define STANDIN_MENU_BAR_HEIGHT 52
#define STANDIN_TOP_BAR_CLASS L"StandInTopBar"
#define STANDIN_MENU_BAR_CLASS L"StandInMenuBar"

// What the stand-ins were last given, as the tests read it.
struct StandInShellHandlerCall {
    int calls;
    HWND window;
    WPARAM wParam;
    LPARAM lParam;
    SHACTIVATEINFO* activation;
    DWORD activationSize;  // the record's cbSize when it arrived
    DWORD flags;
};
struct StandInShellRecord {
    SHMENUBARINFO menuBar;  // as SHCreateMenuBar received it
    SHINITDLGINFO dialog;   // as SHInitDialog received it
    StandInShellHandlerCall activate, settingChange;
};
extern StandInShellRecord StandInShellCalls;

#endif
