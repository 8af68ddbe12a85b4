// The Windows Mobile shell's calls as the emulated device provides them: an empty soft-key bar
// along the bottom of the screen, a top bar with the window's title and an "ok" button that
// sends IDOK, and a full-screen sizing of the window between the two. The desktop has no soft
// input panel, so the activation and setting-change handlers have nothing to show or hide.
#include "shell.h"

#define OK_BUTTON_WIDTH 46

StandInShellRecord StandInShellCalls;

static HINSTANCE StandInModule(void)
{
    HMODULE module = NULL;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       (LPCWSTR)(void*)StandInModule, &module);
    return module;
}

static void PaintBar(HWND bar, COLORREF background)
{
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(bar, &paint);
    RECT area;
    GetClientRect(bar, &area);
    HBRUSH brush = CreateSolidBrush(background);
    FillRect(dc, &area, brush);
    DeleteObject(brush);

    WCHAR title[100];
    if (GetWindowTextW(bar, title, 100) > 0) {
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        area.left += 8;
        DrawTextW(dc, title, -1, &area, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
    }
    EndPaint(bar, &paint);
}

static LRESULT CALLBACK TopBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_PAINT:
        PaintBar(bar, RGB(16, 48, 96));
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            PostMessageW(GetWindow(bar, GW_OWNER), WM_COMMAND, IDOK, 0);
        return 0;
    }
    return DefWindowProcW(bar, message, wParam, lParam);
}

static LRESULT CALLBACK MenuBarProc(HWND bar, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        PaintBar(bar, RGB(40, 40, 40));
        return 0;
    }
    return DefWindowProcW(bar, message, wParam, lParam);
}

static BOOL RegisterBarClass(LPCWSTR className, WNDPROC procedure)
{
    WNDCLASSW barClass = {};
    if (GetClassInfoW(StandInModule(), className, &barClass))
        return TRUE;
    barClass.lpfnWndProc = procedure;
    barClass.hInstance = StandInModule();
    barClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    barClass.lpszClassName = className;
    return RegisterClassW(&barClass) != 0;
}

// Bars are owned by the window, so they stay above it and go away with it.
static HWND CreateBar(LPCWSTR className, WNDPROC procedure, LPCWSTR text, HWND owner, int top, int height)
{
    if (!RegisterBarClass(className, procedure))
        return NULL;
    return CreateWindowExW(0, className, text, WS_POPUP | WS_VISIBLE, 0, top, GetSystemMetrics(SM_CXSCREEN),
                           height, owner, NULL, StandInModule(), NULL);
}

extern "C" BOOL WINAPI SHInitExtraControls(void)
{
    return TRUE;
}

extern "C" BOOL WINAPI SHCreateMenuBar(SHMENUBARINFO* info)
{
    if (info != NULL)
        StandInShellCalls.menuBar = *info;
    if (info == NULL || info->cbSize != sizeof(SHMENUBARINFO) || !IsWindow(info->hwndParent))
        return FALSE;
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    info->hwndMB = CreateBar(STANDIN_MENU_BAR_CLASS, MenuBarProc, L"", info->hwndParent,
                             screenHeight - STANDIN_MENU_BAR_HEIGHT, STANDIN_MENU_BAR_HEIGHT);
    return info->hwndMB != NULL;
}

static BOOL AddTopBar(HWND window)
{
    WCHAR title[100];
    GetWindowTextW(window, title, 100);
    HWND bar = CreateBar(STANDIN_TOP_BAR_CLASS, TopBarProc, title, window, 0, STANDIN_TOP_BAR_HEIGHT);
    if (bar == NULL)
        return FALSE;
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    return CreateWindowExW(0, L"BUTTON", L"ok", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON,
                           screenWidth - OK_BUTTON_WIDTH - 4, 4, OK_BUTTON_WIDTH, STANDIN_TOP_BAR_HEIGHT - 8,
                           bar, (HMENU)IDOK, StandInModule(), NULL) != NULL;
}

// The device's full-screen dialog has no caption or frame of its own: the top bar shows its title.
static void SizeFullScreen(HWND window)
{
    LONG style = GetWindowLongW(window, GWL_STYLE);
    SetWindowLongW(window, GWL_STYLE, style & ~(WS_CAPTION | WS_THICKFRAME));
    int screenWidth = GetSystemMetrics(SM_CXSCREEN);
    int screenHeight = GetSystemMetrics(SM_CYSCREEN);
    SetWindowPos(window, NULL, 0, STANDIN_TOP_BAR_HEIGHT, screenWidth,
                 screenHeight - STANDIN_TOP_BAR_HEIGHT - STANDIN_MENU_BAR_HEIGHT,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

extern "C" BOOL WINAPI SHInitDialog(PSHINITDLGINFO info)
{
    if (info != NULL)
        StandInShellCalls.dialog = *info;
    if (info == NULL || !IsWindow(info->hDlg))
        return FALSE;
    if (!(info->dwMask & SHIDIM_FLAGS))
        return TRUE;
    if (info->dwFlags & (SHIDIF_SIZEDLG | SHIDIF_SIZEDLGFULLSCREEN))
        SizeFullScreen(info->hDlg);
    if (info->dwFlags & SHIDIF_DONEBUTTON)
        return AddTopBar(info->hDlg);
    return TRUE;
}

static void RecordHandlerCall(StandInShellHandlerCall* call, HWND window, WPARAM wParam, LPARAM lParam,
                              SHACTIVATEINFO* activation, DWORD flags)
{
    call->calls++;
    call->window = window;
    call->wParam = wParam;
    call->lParam = lParam;
    call->activation = activation;
    call->activationSize = activation != NULL ? activation->cbSize : 0;
    call->flags = flags;
}

extern "C" BOOL WINAPI SHHandleWMActivate(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* activation,
                                          DWORD flags)
{
    RecordHandlerCall(&StandInShellCalls.activate, window, wParam, lParam, activation, flags);
    if (activation == NULL || activation->cbSize != sizeof(SHACTIVATEINFO))
        return FALSE;
    activation->fActive = LOWORD(wParam) != WA_INACTIVE;
    if (!activation->fActive)
        activation->hwndLastFocus = GetFocus();
    return TRUE;
}

extern "C" BOOL WINAPI SHHandleWMSettingChange(HWND window, WPARAM wParam, LPARAM lParam, SHACTIVATEINFO* activation)
{
    RecordHandlerCall(&StandInShellCalls.settingChange, window, wParam, lParam, activation, 0);
    return activation != NULL && activation->cbSize == sizeof(SHACTIVATEINFO);
}
