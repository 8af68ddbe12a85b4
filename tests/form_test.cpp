// The main window and its form, created in this process by the program's own start-up code on
// a device screen of the size DEVICE_SCREEN names: the windows made, in order, with their
// classes, texts, styles and rectangles.
#include "device_registry.h"
#include "quillmere.h"
#include "import_spy.h"
#include "resource.h"
#include "shell.h"
#include "program_driver.h"

namespace {

struct CreatedWindow {
    HWND window;
    DWORD style;  // as asked for at creation
    int x, y;
};

std::vector<CreatedWindow> created;

LRESULT CALLBACK RecordCreation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        const CREATESTRUCTW* create = ((CBT_CREATEWNDW*)lParam)->lpcs;
        created.push_back({(HWND)wParam, (DWORD)create->style, create->x, create->y});
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

// The windows whose creation is refused: the class and, for a class's n-th window, n (0: all).
struct Refusal {
    const wchar_t* className;
    int nth;
};
std::vector<Refusal> refusals;
std::vector<int> createdOfRefusal;

LRESULT CALLBACK RefuseCreation(int code, WPARAM wParam, LPARAM lParam)
{
    if (code == HCBT_CREATEWND) {
        wchar_t className[64];
        GetClassNameW((HWND)wParam, className, 64);
        for (size_t i = 0; i < refusals.size(); ++i)
            if (lstrcmpiW(className, refusals[i].className) == 0 &&
                (++createdOfRefusal[i] == refusals[i].nth || refusals[i].nth == 0))
                return 1;
    }
    return CallNextHookEx(NULL, code, wParam, lParam);
}

void Refuse(const std::vector<Refusal>& windows)
{
    refusals = windows;
    createdOfRefusal.assign(windows.size(), 0);
}

struct ExpectedControl {
    const wchar_t* className;
    std::wstring text;
    DWORD style;
    RECT at;
};

// The form's controls from the table the ARM build's runs take too, with the loaded count and
// SSIDs in place of "{count}" and "{ssidN}".
std::vector<ExpectedControl> ExpectedForm(bool landscape, const std::wstring& count,
                                          const std::vector<std::wstring>& ssids)
{
    std::vector<ExpectedControl> form;
    for (const std::vector<std::string>& row : ReadCaseTable("form_controls.txt")) {
        if (row[0] != (landscape ? "landscape" : "portrait"))
            continue;
        std::wstring text(row[2].begin(), row[2].end());
        if (text == L"{count}")
            text = count;
        else if (text.rfind(L"{ssid", 0) == 0) {
            size_t entry = std::stoi(text.substr(5)) - 1;
            text = entry < ssids.size() ? ssids[entry] : L"";
        }
        int x = std::stoi(row[4]), y = std::stoi(row[5]);
        form.push_back({row[1] == "Static" ? L"Static" : row[1] == "Button" ? L"Button" : L"Edit", text,
                        (DWORD)std::stoul(row[3], nullptr, 16), {x, y, x + std::stoi(row[6]), y + std::stoi(row[7])}});
    }
    EXPECT_EQ(24u, form.size());
    return form;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[128] = {};
    GetWindowTextW(window, text, 128);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t className[64] = {};
    GetClassNameW(window, className, 64);
    return className;
}

class Form : public ::testing::Test {
protected:
    void SetUp() override
    {
        screenWidth = GetSystemMetrics(SM_CXSCREEN);
        screenHeight = GetSystemMetrics(SM_CYSCREEN);
        created.clear();
    }
    void TearDown() override
    {
        if (hook)
            UnhookWindowsHookEx(hook);
        DeleteParametersKey();
    }

    // Runs the program's start-up here and returns its main window.
    HWND StartHere()
    {
        hook = SetWindowsHookExW(WH_CBT, RecordCreation, NULL, GetCurrentThreadId());
        EXPECT_TRUE(StartInstance(GetModuleHandleW(NULL), SW_SHOWNORMAL));
        UnhookWindowsHookEx(hook);
        hook = NULL;
        HWND main = FindWindowW(L"QUILLMERE", L"Quillmere");
        EXPECT_NE(nullptr, main);
        return main;
    }

    std::vector<CreatedWindow> OwnedBy(HWND owner)
    {
        std::vector<CreatedWindow> owned;
        for (const CreatedWindow& window : created)
            if (GetWindow(window.window, GW_OWNER) == owner)
                owned.push_back(window);
        return owned;
    }

    // What the window's creation handling chooses: the window is sized to the screen between
    // the shell's bars, then its shape decides.
    bool ExpectLandscape()
    {
        return screenWidth > screenHeight - STANDIN_TOP_BAR_HEIGHT - STANDIN_MENU_BAR_HEIGHT;
    }

    void ExpectForm(HWND main, const std::vector<ExpectedControl>& expected)
    {
        std::vector<CreatedWindow> owned = OwnedBy(main);
        std::vector<CreatedWindow> controls;
        for (const CreatedWindow& window : owned)
            if (ClassOf(window.window).rfind(L"StandIn", 0) != 0)
                controls.push_back(window);
        ASSERT_EQ(expected.size(), controls.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            SCOPED_TRACE("control " + std::to_string(i + 1) + ": " + Narrow(expected[i].text));
            HWND control = controls[i].window;
            EXPECT_EQ(0, lstrcmpiW(expected[i].className, ClassOf(control).c_str())) << Narrow(ClassOf(control));
            EXPECT_EQ(Narrow(expected[i].text), Narrow(TextOf(control)));
            // The emulated device adds WS_POPUP, never WS_CHILD, to every style bit of the kind.
            EXPECT_EQ(expected[i].style | WS_POPUP, controls[i].style);
            EXPECT_EQ(0, GetWindowLongW(control, GWL_STYLE) & WS_CHILD);
            EXPECT_EQ(0, GetWindowLongW(control, GWL_EXSTYLE) & ~(WS_EX_NOPARENTNOTIFY | WS_EX_CLIENTEDGE));
            EXPECT_EQ(0, GetWindowLongPtrW(control, GWLP_ID));
            RECT at;
            GetWindowRect(control, &at);
            EXPECT_EQ(expected[i].at.left, at.left);
            EXPECT_EQ(expected[i].at.top, at.top);
            EXPECT_EQ(expected[i].at.right, at.right);
            EXPECT_EQ(expected[i].at.bottom, at.bottom);
        }
    }

    int screenWidth = 0, screenHeight = 0;
    HHOOK hook = NULL;
};

TEST_F(Form, MainWindowFillsTheScreenBetweenTheShellBars)
{
    StoreWhiteList(L"1", L"1", {L"one"});
    HWND main = StartHere();
    ASSERT_FALSE(created.empty());
    EXPECT_EQ(main, created[0].window);
    EXPECT_EQ((DWORD)(WS_VISIBLE | WS_SYSMENU), created[0].style);
    EXPECT_EQ(nullptr, GetWindow(main, GW_OWNER));

    RECT frame;
    GetWindowRect(main, &frame);
    EXPECT_EQ(0, frame.left);
    EXPECT_EQ(STANDIN_TOP_BAR_HEIGHT, frame.top);
    EXPECT_EQ(screenWidth, frame.right);
    EXPECT_EQ(screenHeight - STANDIN_MENU_BAR_HEIGHT, frame.bottom);

    HWND menuBar = FindWindowW(STANDIN_MENU_BAR_CLASS, NULL);
    ASSERT_NE(nullptr, menuBar);
    EXPECT_EQ(main, GetWindow(menuBar, GW_OWNER));
    RECT bar;
    GetWindowRect(menuBar, &bar);
    EXPECT_EQ(screenHeight - STANDIN_MENU_BAR_HEIGHT, bar.top);
    EXPECT_EQ(screenHeight, bar.bottom);
    EXPECT_EQ(screenWidth, bar.right);

    HWND topBar = FindWindowW(STANDIN_TOP_BAR_CLASS, NULL);
    ASSERT_NE(nullptr, topBar);
    EXPECT_EQ(main, GetWindow(topBar, GW_OWNER));
    EXPECT_EQ(L"Quillmere", TextOf(topBar));
    HWND ok = FindWindowExW(topBar, NULL, L"Button", L"ok");
    ASSERT_NE(nullptr, ok);
    RECT okAt;
    GetWindowRect(ok, &okAt);
    EXPECT_EQ(screenWidth - 4, okAt.right);
    // The ok button lies right of the widest form control, so the two never overlap.
    EXPECT_GE(okAt.left, 430);
}

// The shell calls get the records the window's creation fills, and the activation and
// setting-change messages reach the shell with the window's own activation record.
TEST_F(Form, ShellCallsReceiveTheWindowsRecords)
{
    StoreWhiteList(L"1", L"0", {});
    HWND main = StartHere();
    const SHMENUBARINFO& bar = StandInShellCalls.menuBar;
    EXPECT_EQ(sizeof(SHMENUBARINFO), bar.cbSize);
    EXPECT_EQ(main, bar.hwndParent);
    EXPECT_EQ((DWORD)SHCMBF_EMPTYBAR, bar.dwFlags);
    EXPECT_EQ(GetModuleHandleW(NULL), bar.hInstRes);
    EXPECT_EQ(0u, bar.nToolBarId);
    EXPECT_EQ(0, bar.nBmpId);
    EXPECT_EQ(0, bar.cBmpImages);
    EXPECT_EQ(nullptr, bar.hwndMB);
    EXPECT_EQ(0u, bar.clrBk);
    const SHINITDLGINFO& dialog = StandInShellCalls.dialog;
    EXPECT_EQ((DWORD)SHIDIM_FLAGS, dialog.dwMask);
    EXPECT_EQ(main, dialog.hDlg);
    EXPECT_EQ((DWORD)(SHIDIF_DONEBUTTON | SHIDIF_SIZEDLGFULLSCREEN), dialog.dwFlags);

    struct Case {
        UINT message;
        StandInShellHandlerCall* call;
    } cases[] = {{WM_ACTIVATE, &StandInShellCalls.activate}, {WM_SETTINGCHANGE, &StandInShellCalls.settingChange}};
    SHACTIVATEINFO* record = nullptr;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        memset(c.call, 0, sizeof *c.call);
        EXPECT_EQ(0, SendMessageW(main, c.message, 0x12, 0x34));
        EXPECT_EQ(1, c.call->calls);
        EXPECT_EQ(main, c.call->window);
        EXPECT_EQ(0x12u, c.call->wParam);
        EXPECT_EQ(0x34, c.call->lParam);
        EXPECT_EQ(0u, c.call->flags);
        EXPECT_EQ(sizeof(SHACTIVATEINFO), c.call->activationSize);
        ASSERT_NE(nullptr, c.call->activation);
        if (record != nullptr) {
            EXPECT_EQ(record, c.call->activation);
        }
        record = c.call->activation;
    }
}

// A menu bar that cannot be made leaves handle 0: the form is made all the same, and a close ends
// the loop with 0 without destroying the window or anything of it in the bar's place.
TEST_F(Form, FailedMenuBarStillGivesTheFormAndAClosingLoop)
{
    StoreWhiteList(L"1", L"1", {L"one"});
    Refuse({{STANDIN_MENU_BAR_CLASS, 0}});
    HHOOK refusing = SetWindowsHookExW(WH_CBT, RefuseCreation, NULL, GetCurrentThreadId());
    HWND main = StartHere();
    UnhookWindowsHookEx(refusing);
    ASSERT_NE(nullptr, main);
    EXPECT_EQ(main, StandInShellCalls.menuBar.hwndParent);
    EXPECT_EQ(nullptr, FindWindowW(STANDIN_MENU_BAR_CLASS, NULL));
    EXPECT_EQ(L"one", TextOf(MainWindowControls.ssidField[0]));

    PostMessageW(main, WM_CLOSE, 0, 0);
    SetTimer(NULL, 0, 5000, NULL);  // a loop that never ends is a failure, not a hang
    MSG message;
    while (GetMessageW(&message, NULL, 0, 0) > 0 && message.message != WM_TIMER)
        DispatchMessageW(&message);
    EXPECT_EQ((UINT)WM_QUIT, message.message);
    EXPECT_EQ(0, (int)message.wParam);
    EXPECT_TRUE(IsWindow(main));
    EXPECT_TRUE(IsWindow(FindWindowW(STANDIN_TOP_BAR_CLASS, NULL)));
    EXPECT_TRUE(IsWindow(MainWindowControls.ssidField[0]));
}

TEST_F(Form, ControlsFollowTheArrangementOfTheScreen)
{
    StoreWhiteList(L"1", L"3", {L"Warehouse-North", L"", L"Dock", L"", L"", L"", L"", L"", L"Yard", L"Gate"});
    HWND main = StartHere();
    ExpectForm(main, ExpectedForm(ExpectLandscape(), L"3",
                                  {L"Warehouse-North", L"", L"Dock", L"", L"", L"", L"", L"", L"Yard", L"Gate"}));
    EXPECT_EQ(BST_CHECKED, SendMessageW(MainWindowControls.enableCheckBox, BM_GETCHECK, 0, 0));
}

TEST_F(Form, MissingKeyShowsAnEmptyForm)
{
    DeleteParametersKey();
    HWND main = StartHere();
    ExpectForm(main, ExpectedForm(ExpectLandscape(), L"0", {}));
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(MainWindowControls.enableCheckBox, BM_GETCHECK, 0, 0));
}

TEST_F(Form, RecordedHandlesAreTheCheckBoxAndTheTenFieldsInOrder)
{
    StoreWhiteList(L"0", L"10", {L"s1", L"s2", L"s3", L"s4", L"s5", L"s6", L"s7", L"s8", L"s9", L"s10"});
    StartHere();
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(MainWindowControls.enableCheckBox, BM_GETCHECK, 0, 0));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(L"s" + std::to_wstring(i + 1), TextOf(MainWindowControls.ssidField[i]));
}

TEST_F(Form, CountTenAndA32CharacterSsidShowWhole)
{
    const std::wstring longest = L"ABCDEFGHIJKLMNOPQRSTUVWXYZ-12345";
    StoreWhiteList(L"1", L"10", {longest});
    HWND main = StartHere();
    std::vector<CreatedWindow> owned = OwnedBy(main);
    bool countShown = false;
    for (const CreatedWindow& window : owned)
        countShown |= window.style == (0x10000040 | WS_POPUP) && TextOf(window.window) == L"10";
    EXPECT_TRUE(countShown);
    EXPECT_EQ(longest, TextOf(MainWindowControls.ssidField[0]));
    if (ExpectLandscape())
        return;  // the narrower landscape field scrolls sideways
    // In portrait the text also fits inside the field without scrolling.
    HDC dc = GetDC(MainWindowControls.ssidField[0]);
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageW(MainWindowControls.ssidField[0], WM_GETFONT, 0, 0));
    SIZE extent;
    GetTextExtentPoint32W(dc, longest.c_str(), (int)longest.size(), &extent);
    SelectObject(dc, old);
    ReleaseDC(MainWindowControls.ssidField[0], dc);
    RECT inside;
    SendMessageW(MainWindowControls.ssidField[0], EM_GETRECT, 0, (LPARAM)&inside);
    EXPECT_LE(extent.cx, inside.right - inside.left);
}

// A second close handled before the loop ends saves the unchanged form again, after OK and,
// since the flag is never cleared, after a load that failed: a marker written between the two
// closes is overwritten, and the list is never emptied.
void CloseTwiceAndExpectTheFormSavedAgain(HWND main, UINT close, WPARAM wParam)
{
    HWND marker = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, NULL, NULL);
    SetWindowLongPtrW(marker, GWLP_WNDPROC, (LONG_PTR)(WNDPROC)[](HWND w, UINT m, WPARAM p, LPARAM l) -> LRESULT {
        if (m == WM_APP) {
            StoreParameter(L"WhiteListSSID1", L"between");
            StoreParameter(L"WhiteListCount", L"9");
            return 0;
        }
        return DefWindowProcW(w, m, p, l);
    });
    PostMessageW(main, close, wParam, 0);
    PostMessageW(marker, WM_APP, 0, 0);
    PostMessageW(main, close, wParam, 0);
    PostThreadMessageW(GetCurrentThreadId(), WM_NULL, 0, 0);

    MSG message;
    int closes = 0;
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        if (message.message == close && message.hwnd == main)
            ++closes;
        DispatchMessageW(&message);
    }
    EXPECT_EQ(2, closes);
    EXPECT_EQ(0, (int)message.wParam);
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID1", L"alpha"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID2", L"beta"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"2"));
    // The menu bar went with the first close; the form stays for the second.
    EXPECT_EQ(nullptr, FindWindowW(STANDIN_MENU_BAR_CLASS, NULL));
    EXPECT_TRUE(IsWindow(main));
    EXPECT_TRUE(IsWindow(MainWindowControls.ssidField[0]));
    DestroyWindow(marker);
}

TEST_F(Form, SecondOkBeforeTheLoopEndsSavesTheFormAgain)
{
    StoreWhiteList(L"1", L"2", {L"alpha", L"beta"});
    CloseTwiceAndExpectTheFormSavedAgain(StartHere(), WM_COMMAND, IDOK);
}

TEST_F(Form, SecondWmCloseAfterAFailedLoadSavesTheFormAgain)
{
    StoreWhiteList(L"1", L"2", {L"alpha", L"beta"});
    DeleteParameter(L"WhiteListCount");
    CloseTwiceAndExpectTheFormSavedAgain(StartHere(), WM_CLOSE, 0);
}

TEST_F(Form, MainWindowClassAndASecondStartThatTouchesNoRegistryValue)
{
    StoreWhiteList(L"1", L"1", {L"one"});
    HWND main = StartHere();
    HINSTANCE module = GetModuleHandleW(NULL);
    WNDCLASSW registered;
    ASSERT_TRUE(GetClassInfoW(module, L"QUILLMERE", &registered));
    EXPECT_EQ((UINT)(CS_HREDRAW | CS_VREDRAW), registered.style);
    EXPECT_EQ((WNDPROC)MainWindowProc, registered.lpfnWndProc);
    EXPECT_EQ(0, registered.cbClsExtra);
    EXPECT_EQ(0, registered.cbWndExtra);
    EXPECT_EQ(LoadIconW(module, MAKEINTRESOURCEW(IDI_QUILLMERE)), registered.hIcon);
    EXPECT_NE(nullptr, registered.hIcon);
    EXPECT_EQ(nullptr, registered.hCursor);
    EXPECT_EQ(GetStockObject(WHITE_BRUSH), (HGDIOBJ)registered.hbrBackground);
    EXPECT_EQ(nullptr, registered.lpszMenuName);

    ImportSpy spy(module);
    EXPECT_FALSE(StartInstance(module, SW_SHOWNORMAL));
    EXPECT_EQ(std::vector<std::string>(), spy.calls);
    EXPECT_EQ(main, FindWindowW(L"QUILLMERE", L"Quillmere"));
}

TEST_F(Form, ControlsThatFailAreSkippedAndTheRestCreated)
{
    StoreWhiteList(L"1", L"3", {L"s1", L"s2", L"s3", L"s4"});
    ASSERT_EQ(0u, LoadWhiteListSettings());
    Refuse({{L"Button", 1}, {L"Edit", 3}});
    hook = SetWindowsHookExW(WH_CBT, RefuseCreation, NULL, GetCurrentThreadId());
    CreatePortraitControls(CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 480, 552, NULL, NULL, NULL, NULL));
    UnhookWindowsHookEx(hook);
    hook = NULL;
    EXPECT_EQ(nullptr, MainWindowControls.enableCheckBox);
    EXPECT_EQ(nullptr, MainWindowControls.ssidField[2]);
    for (int i : {0, 1, 3, 9})
        EXPECT_NE(nullptr, MainWindowControls.ssidField[i]) << i + 1;
    EXPECT_EQ(L"s4", TextOf(MainWindowControls.ssidField[3]));
}

// Leaves names on the stack below the caller, where the next call's buffers will lie.
__attribute__((noinline)) wchar_t LeaveNamesOnTheStack()
{
    volatile wchar_t names[4096];
    for (int i = 0; i < 4096; ++i)
        names[i] = L"QUILLMERE"[i % 10];
    return names[0];
}

TEST_F(Form, StartWithoutItsStringsFailsAndCreatesNothing)
{
    HMODULE withoutStrings = GetModuleHandleW(L"msvcrt.dll");
    wchar_t text[100];
    ASSERT_EQ(0, LoadStringW(withoutStrings, IDS_WINDOW_TITLE, text, 100));
    hook = SetWindowsHookExW(WH_CBT, RecordCreation, NULL, GetCurrentThreadId());
    LeaveNamesOnTheStack();
    EXPECT_FALSE(StartInstance(withoutStrings, SW_SHOWNORMAL));
    UnhookWindowsHookEx(hook);
    hook = NULL;
    EXPECT_TRUE(created.empty());
}

TEST_F(Form, SquareWindowIsPortraitAndAWiderOneLandscape)
{
    struct Case {
        int width, height;
        bool landscape;
    } cases[] = {{400, 400, false}, {480, 640, false}, {401, 400, true}, {640, 480, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        created.clear();
        HWND main = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, c.width, c.height, NULL, NULL, NULL, NULL);
        ASSERT_NE(nullptr, main);
        hook = SetWindowsHookExW(WH_CBT, RecordCreation, NULL, GetCurrentThreadId());
        CreateControlsForWindowShape(main);
        UnhookWindowsHookEx(hook);
        hook = NULL;
        std::vector<CreatedWindow> owned = OwnedBy(main);
        ASSERT_EQ(24u, owned.size());
        RECT lastField;
        GetWindowRect(owned[23].window, &lastField);
        EXPECT_EQ(c.landscape ? 415 : 95, lastField.left);
    }
}

TEST_F(Form, StartUpFailuresEndTheProgramWithZero)
{
    StoreWhiteList(L"1", L"0", {});
    Refuse({{L"QUILLMERE", 0}});
    hook = SetWindowsHookExW(WH_CBT, RefuseCreation, NULL, GetCurrentThreadId());
    EXPECT_EQ(0, ProgramMain(GetModuleHandleW(NULL), NULL, (LPWSTR)L"", SW_SHOWNORMAL));
    UnhookWindowsHookEx(hook);
    hook = NULL;
    EXPECT_EQ(nullptr, FindWindowW(L"QUILLMERE", NULL));

    // The class is still registered from the first start, so registering it fails now.
    WNDCLASSW taken;
    ASSERT_TRUE(GetClassInfoW(GetModuleHandleW(NULL), L"QUILLMERE", &taken));
    EXPECT_EQ(0, ProgramMain(GetModuleHandleW(NULL), NULL, (LPWSTR)L"", SW_SHOWNORMAL));
    EXPECT_EQ(nullptr, FindWindowW(L"QUILLMERE", NULL));
}

}  // namespace
