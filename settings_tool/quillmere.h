// Quillmere's process-wide records and the operations that join them.
#pragma once
#include <windows.h>

#define SSID_ENTRIES 10
#define SSID_MAX_CHARS 32

typedef WCHAR SsidText[SSID_MAX_CHARS + 1];

// The wireless driver's white list as the program holds it between the load and the save.
struct WhiteListRecord {
    DWORD enable;
    DWORD count;
    SsidText ssid[SSID_ENTRIES];
};

// The form's inputs that the save reads; zero until the controls exist.
struct FormControls {
    HWND enableCheckBox;
    HWND ssidField[SSID_ENTRIES];
};

extern WhiteListRecord WhiteListSettings;
extern FormControls MainWindowControls;

// settings_store.cpp: 0 on success, 1 when something could not be read or written.
DWORD LoadWhiteListSettings(void);
DWORD SaveWhiteListSettings(void);

// control_layouts.cpp
void CreatePortraitControls(HWND mainWindow);
void CreateLandscapeControls(HWND mainWindow);
void CreateControlsForWindowShape(HWND mainWindow);

// main_window.cpp
int ProgramMain(HINSTANCE instance, HINSTANCE previousInstance, LPWSTR commandLine, int showCommand);
BOOL StartInstance(HINSTANCE instance, int showCommand);
ATOM RegisterMainWindowClass(HINSTANCE instance, LPCWSTR className);
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
