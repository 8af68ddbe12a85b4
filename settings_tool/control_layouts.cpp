// The form's 24 controls in their two arrangements. Each control is a window of its own,
// owned by the main window and placed in screen coordinates.
#include "quillmere.h"

#include "device.h"

#define STATIC_TEXT_STYLE (WS_VISIBLE | SS_LEFT)
#define COUNT_VALUE_STYLE (WS_VISIBLE | 0x40)
#define CHECK_BOX_STYLE (WS_VISIBLE | BS_AUTOCHECKBOX | BS_LEFTTEXT)
#define SSID_FIELD_STYLE (WS_VISIBLE | WS_BORDER | ES_AUTOVSCROLL | ES_AUTOHSCROLL)

struct Placement {
    int x, y, width, height;
};

struct FormLayout {
    Placement title;
    Placement checkBox;
    Placement countLabel;
    Placement countValue;
    Placement ssidLabel[SSID_ENTRIES];
    Placement ssidField[SSID_ENTRIES];
};

static const WCHAR* const kSsidLabels[SSID_ENTRIES] = {
    L"SSID1", L"SSID2", L"SSID3", L"SSID4", L"SSID5", L"SSID6", L"SSID7", L"SSID8", L"SSID9", L"SSID10",
};

static Placement At(int x, int y, int width, int height)
{
    Placement placement = {x, y, width, height};
    return placement;
}

static HWND CreateControl(HWND mainWindow, LPCWSTR className, LPCWSTR text, DWORD style, const Placement& at)
{
    return CreateWindowExW(0, className, text, style | DEVICE_OWNED_CONTROL_STYLE, at.x, at.y, at.width, at.height,
                           mainWindow, NULL, GetModuleHandleW(NULL), NULL);
}

static void CreateControls(HWND mainWindow, const FormLayout& layout)
{
    CreateControl(mainWindow, L"STATIC", L"Wi-Fi White list tool", STATIC_TEXT_STYLE, layout.title);

    MainWindowControls.enableCheckBox =
        CreateControl(mainWindow, L"BUTTON", L"Enable Wi-Fi White list support", CHECK_BOX_STYLE, layout.checkBox);
    SendMessageW(MainWindowControls.enableCheckBox, BM_SETCHECK,
                 WhiteListSettings.enable ? BST_CHECKED : BST_UNCHECKED, 0);

    CreateControl(mainWindow, L"STATIC", L"White list SSID count: ", STATIC_TEXT_STYLE, layout.countLabel);
    WCHAR countText[3];
    wsprintfW(countText, L"%d", (int)WhiteListSettings.count);
    CreateControl(mainWindow, L"STATIC", countText, COUNT_VALUE_STYLE, layout.countValue);

    for (int i = 0; i < SSID_ENTRIES; ++i) {
        CreateControl(mainWindow, L"STATIC", kSsidLabels[i], STATIC_TEXT_STYLE, layout.ssidLabel[i]);
        MainWindowControls.ssidField[i] =
            CreateControl(mainWindow, L"EDIT", WhiteListSettings.ssid[i], SSID_FIELD_STYLE, layout.ssidField[i]);
    }
}

void CreatePortraitControls(HWND mainWindow)
{
    FormLayout layout;
    layout.title = At(10, 10, 420, 30);
    layout.checkBox = At(10, 50, 370, 30);
    layout.countLabel = At(10, 85, 245, 30);
    layout.countValue = At(255, 85, 70, 30);
    for (int i = 0; i < SSID_ENTRIES; ++i) {
        layout.ssidLabel[i] = At(10, 125 + 40 * i, 85, 40);
        layout.ssidField[i] = At(95, 120 + 40 * i, 370, 40);
    }
    CreateControls(mainWindow, layout);
}

// Two columns of five: the left labels are narrower than the right ones.
void CreateLandscapeControls(HWND mainWindow)
{
    FormLayout layout;
    layout.title = At(10, 10, 420, 30);
    layout.checkBox = At(10, 50, 370, 30);
    layout.countLabel = At(10, 90, 245, 30);
    layout.countValue = At(255, 91, 70, 30);
    for (int i = 0; i < SSID_ENTRIES / 2; ++i) {
        layout.ssidLabel[i] = At(10, 135 + 40 * i, 80, 40);
        layout.ssidField[i] = At(90, 130 + 40 * i, 210, 40);
        layout.ssidLabel[i + 5] = At(330, 135 + 40 * i, 85, 40);
        layout.ssidField[i + 5] = At(415, 130 + 40 * i, 210, 40);
    }
    CreateControls(mainWindow, layout);
}

// Wider than tall is landscape; a square window is portrait.
void CreateControlsForWindowShape(HWND mainWindow)
{
    RECT frame = {};
    GetWindowRect(mainWindow, &frame);
    if (frame.right - frame.left > frame.bottom - frame.top)
        CreateLandscapeControls(mainWindow);
    else
        CreatePortraitControls(mainWindow);
}
