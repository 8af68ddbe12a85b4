// Quillmere's start-up, its one full-screen window and the message loop.
#include "quillmere.h"

#include "device.h"
#include "resource.h"
#include "shell.h"

#define NAME_CHARS 100

struct MainWindowState {
    HINSTANCE instance;
    DWORD saveOnClose;
    HWND menuBar;
    SHACTIVATEINFO activation;
};

static MainWindowState Window;

static HWND CreateEmptyMenuBar(HWND window)
{
    SHMENUBARINFO menuBarInfo;
    memset(&menuBarInfo, 0, sizeof menuBarInfo);
    menuBarInfo.cbSize = sizeof menuBarInfo;
    menuBarInfo.hwndParent = window;
    menuBarInfo.dwFlags = SHCMBF_EMPTYBAR;
    menuBarInfo.hInstRes = Window.instance;
    return SHCreateMenuBar(&menuBarInfo) ? menuBarInfo.hwndMB : NULL;
}

static void OnCreate(HWND window)
{
    Window.menuBar = CreateEmptyMenuBar(window);

    SHINITDLGINFO dialogInfo;
    dialogInfo.dwMask = SHIDIM_FLAGS;
    dialogInfo.hDlg = window;
    dialogInfo.dwFlags = SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN;
    SHInitDialog(&dialogInfo);

    // A stored set that could not be read whole is written back whole at close.
    Window.saveOnClose = 0;
    if (LoadWhiteListSettings() != 0)
        Window.saveOnClose = 1;

    CreateControlsForWindowShape(window);

    memset(&Window.activation, 0, sizeof Window.activation);
    Window.activation.cbSize = sizeof Window.activation;
}

// The window itself is never destroyed: it and its controls stay until the process ends, so a
// close request still queued behind this one finds the form as it was.
static void OnClose(HWND window)
{
    if (Window.saveOnClose)
        SaveWhiteListSettings();
    SendMessageW(window, WM_DESTROY, 0, 0);
}

// A second close runs this again; the bar it destroyed then must not be destroyed twice.
static void OnDestroy(void)
{
    if (Window.menuBar != NULL) {
        DestroyWindow(Window.menuBar);
        Window.menuBar = NULL;
    }
    PostQuitMessage(0);
}

static void OnPaint(HWND window)
{
    PAINTSTRUCT paint;
    BeginPaint(window, &paint);
    EndPaint(window, &paint);
}

static LRESULT OnCommand(HWND window, WPARAM wParam, LPARAM lParam)
{
    switch (LOWORD(wParam)) {
    case IDOK:
        Window.saveOnClose = 1;
        SendMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    case IDM_CLOSE:
        SendMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    return DefWindowProcW(window, WM_COMMAND, wParam, lParam);
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        return 0;
    case WM_ACTIVATE:
        SHHandleWMActivate(window, wParam, lParam, &Window.activation, 0);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_SETTINGCHANGE:
        SHHandleWMSettingChange(window, wParam, lParam, &Window.activation);
        return 0;
    case WM_COMMAND:
        return OnCommand(window, wParam, lParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

ATOM RegisterMainWindowClass(HINSTANCE instance, LPCWSTR className)
{
    WNDCLASSW windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_QUILLMERE));
    windowClass.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    windowClass.lpszClassName = className;
    // The class's ATOM is the low 16 bits of what the device's library returns.
    return (ATOM)RegisterClassW(&windowClass);
}

BOOL StartInstance(HINSTANCE instance, int showCommand)
{
    Window.instance = instance;
    SHInitExtraControls();

    // Without its own title and class name the program cannot tell its running window from
    // another's: a failed string load is a failed start.
    WCHAR title[NAME_CHARS] = L"";
    WCHAR className[NAME_CHARS] = L"";
    if (LoadStringW(instance, IDS_WINDOW_TITLE, title, NAME_CHARS) == 0 ||
        LoadStringW(instance, IDS_WINDOW_CLASS, className, NAME_CHARS) == 0)
        return FALSE;

    HWND running = FindWindowW(className, title);
    if (running != NULL) {
        SetForegroundWindow(DeviceForegroundHandle(running));
        return FALSE;
    }

    if (RegisterMainWindowClass(instance, className) == 0)
        return FALSE;

    HWND window = CreateWindowExW(0, className, title, WS_VISIBLE | WS_SYSMENU, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, CW_USEDEFAULT, NULL, NULL, instance, NULL);
    if (window == NULL)
        return FALSE;

    ShowWindow(window, showCommand);
    UpdateWindow(window);
    return TRUE;
}

int ProgramMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand)
{
    if (!StartInstance(instance, showCommand))
        return 0;

    HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(IDR_ACCELERATORS));
    MSG message;
    BOOL received;
    // A shortcut is translated for the window the key went to: Ctrl+Q reaches the main window
    // only while it has the focus, and a focused field or check box swallows it.
    while ((received = GetMessageW(&message, NULL, 0, 0)) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return received == 0 ? (int)message.wParam : 0;
}
