// Quillmere as a real process on the emulated device: the three ways of closing, what each
// writes, and a second start while one runs.
#include "device_registry.h"
#include "program_driver.h"

namespace {

class ProgramClose : public ::testing::Test {
protected:
    void TearDown() override
    {
        EndProgram(program);
        DeleteParametersKey();
    }

    void Start()
    {
        program = StartQuillmere();
        ASSERT_NE(nullptr, program.window);
        fields = OwnedWindowsOfClass(program.window, L"Edit");
        ASSERT_EQ(10u, fields.size());
        std::vector<HWND> buttons = OwnedWindowsOfClass(program.window, L"Button");
        ASSERT_EQ(1u, buttons.size());
        checkBox = buttons[0];
    }

    void ExpectExitsWithZero()
    {
        EXPECT_EQ(0u, WaitForExit(program));
    }

    // What a user does before closing: one field retyped and the check box toggled.
    void EditTheForm()
    {
        SendMessageW(fields[1], WM_SETTEXT, 0, (LPARAM)L"edited");
        SendMessageW(checkBox, BM_SETCHECK, BST_UNCHECKED, 0);
    }

    void PressCtrlQOnTheMainWindow()
    {
        ASSERT_TRUE(BringToFront(program.window));
        HWND window = program.window;
        ASSERT_TRUE(WaitUntil([window] { return FocusOf(window) == window; }));
        PressCtrlQ();
    }

    RunningProgram program;
    std::vector<HWND> fields;
    HWND checkBox = NULL;
};

// Stored values that differ from what a save would write, so that any write shows.
void StoreCompleteUnnormalisedList()
{
    StoreWhiteList(L"x", L"5", {L"alpha", L"beta"});
}

TEST_F(ProgramClose, OkTappedWritesAllTwelveValuesNormalised)
{
    StoreCompleteUnnormalisedList();
    Start();
    ASSERT_TRUE(BringToFront(program.window));
    HWND topBar = FindWindowW(L"StandInTopBar", NULL);
    ASSERT_NE(nullptr, topBar);
    HWND ok = FindWindowExW(topBar, NULL, L"Button", L"ok");
    ASSERT_NE(nullptr, ok);
    TapCentreOf(ok);
    ExpectExitsWithZero();
    ExpectWhiteList(L"1", L"2", {L"alpha", L"beta"});
}

// The same bytes come back, and every value was written: each was stored with another type.
TEST_F(ProgramClose, OkOnAnUntouchedNormalisedListRewritesTheSameBytes)
{
    StoreWhiteList(L"1", L"3", {L"one", L"", L"three", L"", L"", L"", L"", L"", L"", L"ten"});
    std::vector<StoredValue> before = ReadWhiteList();
    for (int i = 0; i < 12; ++i)
        StoreParameterBytes(kWhiteListValueNames[i], REG_BINARY, before[i].data.data(), (DWORD)before[i].data.size());
    Start();
    PostMessageW(program.window, WM_COMMAND, IDOK, 0);
    ExpectExitsWithZero();
    EXPECT_EQ(before, ReadWhiteList());
}

TEST_F(ProgramClose, OkWritesWhatTheUserEdited)
{
    StoreCompleteUnnormalisedList();
    Start();
    EditTheForm();
    PostMessageW(program.window, WM_COMMAND, IDOK, 0);
    ExpectExitsWithZero();
    ExpectWhiteList(L"0", L"2", {L"alpha", L"edited"});
}

TEST_F(ProgramClose, CtrlQAfterACompleteLoadWritesNothing)
{
    StoreCompleteUnnormalisedList();
    std::vector<StoredValue> before = ReadWhiteList();
    Start();
    EditTheForm();
    PressCtrlQOnTheMainWindow();
    ExpectExitsWithZero();
    EXPECT_EQ(before, ReadWhiteList());
}

TEST_F(ProgramClose, CtrlQAfterAMissingCountWritesTheForm)
{
    StoreCompleteUnnormalisedList();
    DeleteParameter(L"WhiteListCount");
    Start();
    EditTheForm();
    PressCtrlQOnTheMainWindow();
    ExpectExitsWithZero();
    ExpectWhiteList(L"0", L"2", {L"alpha", L"edited"});
}

TEST_F(ProgramClose, CtrlQAfterAnUnreadableSsidWritesTheForm)
{
    StoreCompleteUnnormalisedList();
    StoreParameter(L"WhiteListSSID7", L"this entry is far too long to be an SSID");
    Start();
    PressCtrlQOnTheMainWindow();
    ExpectExitsWithZero();
    ExpectWhiteList(L"1", L"2", {L"alpha", L"beta"});
}

// Each Ctrl+Q is followed by a key stroke, which the program handles after it: its effect shows
// that the program went on, and nothing was written.
TEST_F(ProgramClose, CtrlQWhileAFieldOrTheCheckBoxHasTheFocusDoesNothing)
{
    StoreCompleteUnnormalisedList();
    DeleteParameter(L"WhiteListSSID3");  // a close would write
    std::vector<StoredValue> before = ReadWhiteList();
    Start();
    ASSERT_TRUE(BringToFront(program.window));

    HWND field = fields[0], box = checkBox;
    ASSERT_TRUE(TapToFocus(field));
    PressCtrlQ();
    PressKey('Z');
    EXPECT_TRUE(WaitUntil([field] {
        wchar_t text[64] = L"";
        SendMessageW(field, WM_GETTEXT, 64, (LPARAM)text);
        return lstrcmpW(text, L"alphaz") == 0;
    }));

    // The tap is a click of the box, which turns it over; the space after Ctrl+Q turns it back.
    LRESULT shown = SendMessageW(box, BM_GETCHECK, 0, 0);
    ASSERT_TRUE(TapToFocus(box));
    ASSERT_TRUE(WaitUntil([box, shown] { return SendMessageW(box, BM_GETCHECK, 0, 0) != shown; }));
    PressCtrlQ();
    PressKey(VK_SPACE);
    EXPECT_TRUE(WaitUntil([box, shown] { return SendMessageW(box, BM_GETCHECK, 0, 0) == shown; }));

    EXPECT_EQ((DWORD)STILL_ACTIVE, WaitForExit(program, 0));
    EXPECT_EQ(before, ReadWhiteList());
}

TEST_F(ProgramClose, WmCloseFromAnotherProgramActsAsCtrlQ)
{
    StoreCompleteUnnormalisedList();
    std::vector<StoredValue> before = ReadWhiteList();
    Start();
    EditTheForm();
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    ExpectExitsWithZero();
    EXPECT_EQ(before, ReadWhiteList());
    EndProgram(program);

    DeleteParameter(L"WhiteListSSID10");
    Start();
    EditTheForm();
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    ExpectExitsWithZero();
    ExpectWhiteList(L"0", L"2", {L"alpha", L"edited"});
}

TEST_F(ProgramClose, WithoutTheDriversKeyNothingIsCreated)
{
    DeleteParametersKey();
    Start();
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(checkBox, BM_GETCHECK, 0, 0));
    SendMessageW(fields[0], WM_SETTEXT, 0, (LPARAM)L"typed");
    PostMessageW(program.window, WM_COMMAND, IDOK, 0);
    ExpectExitsWithZero();
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kParametersKeyPath));
}

TEST_F(ProgramClose, SecondOkQueuedBehindTheFirstWritesTheSameValuesAgain)
{
    StoreCompleteUnnormalisedList();
    Start();
    EditTheForm();
    // Both requests wait in the queue while the program's thread is held.
    DWORD threadId = GetWindowThreadProcessId(program.window, NULL);
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, threadId);
    ASSERT_NE(nullptr, thread);
    ASSERT_NE((DWORD)-1, SuspendThread(thread));
    PostMessageW(program.window, WM_COMMAND, IDOK, 0);
    PostMessageW(program.window, WM_COMMAND, IDOK, 0);
    ResumeThread(thread);
    CloseHandle(thread);
    ExpectExitsWithZero();
    ExpectWhiteList(L"0", L"2", {L"alpha", L"edited"});
}

TEST(ProgramStart, SecondStartBringsTheRunningWindowForwardAndEndsWithZero)
{
    StoreCompleteUnnormalisedList();
    DeleteParameter(L"WhiteListCount");  // any close would write
    std::vector<StoredValue> before = ReadWhiteList();
    RunningProgram first = StartQuillmere();
    ASSERT_NE(nullptr, first.window);

    HWND elsewhere = CreateWindowExW(0, L"STATIC", L"elsewhere", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, NULL,
                                     NULL, NULL, NULL);
    ASSERT_TRUE(BringToFront(elsewhere));

    RunningProgram second;
    ASSERT_TRUE(Launch(ProgramPath(), L"", &second.process));
    EXPECT_EQ(0u, WaitForExit(second));
    EndProgram(second);

    HWND window = first.window;
    EXPECT_TRUE(WaitUntil([window] { return GetForegroundWindow() == window; }));
    EXPECT_EQ(first.window, FindMainWindow());
    EXPECT_EQ((DWORD)STILL_ACTIVE, WaitForExit(first, 0));
    EXPECT_EQ(before, ReadWhiteList());

    DestroyWindow(elsewhere);
    EndProgram(first);
    DeleteParametersKey();
}

}  // namespace

namespace {

#pragma pack(push, 2)
struct IconGroupEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitsPerPixel;
    DWORD bytes;
    WORD id;
};
struct IconGroup {
    WORD reserved, type, count;
    IconGroupEntry entries[1];
};
#pragma pack(pop)

TEST(ProgramResources, StringsIconGroupAndCtrlQAreShippedInTheProgram)
{
    HMODULE program = LoadLibraryExW(ProgramPath().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, program);

    wchar_t text[100];
    ASSERT_EQ(9, LoadStringW(program, 1, text, 100));
    EXPECT_STREQ(L"Quillmere", text);
    ASSERT_EQ(9, LoadStringW(program, 2, text, 100));
    EXPECT_STREQ(L"QUILLMERE", text);

    HRSRC found = FindResourceW(program, MAKEINTRESOURCEW(101), (LPCWSTR)RT_GROUP_ICON);
    ASSERT_NE(nullptr, found);
    const IconGroup* group = (const IconGroup*)LockResource(LoadResource(program, found));
    ASSERT_EQ(8, group->count);
    const int expected[8][2] = {{32, 4}, {16, 4}, {48, 8}, {32, 8}, {16, 8}, {48, 32}, {32, 32}, {16, 32}};
    for (int i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i][0], group->entries[i].width);
        EXPECT_EQ(expected[i][0], group->entries[i].height);
        EXPECT_EQ(expected[i][1], group->entries[i].bitsPerPixel);
        EXPECT_NE(nullptr, FindResourceW(program, MAKEINTRESOURCEW(group->entries[i].id), (LPCWSTR)RT_ICON));
    }

    HRSRC table = FindResourceW(program, MAKEINTRESOURCEW(2), (LPCWSTR)RT_ACCELERATOR);
    ASSERT_NE(nullptr, table);
    // Stored entries: flags, key, command, padding; the last has flag 0x80.
    const WORD* entry = (const WORD*)LockResource(LoadResource(program, table));
    ASSERT_EQ(8u, SizeofResource(program, table));
    EXPECT_EQ(FVIRTKEY | FCONTROL | FNOINVERT | 0x80, entry[0]);
    EXPECT_EQ(0x51, entry[1]);
    EXPECT_EQ(32771, entry[2]);
    FreeLibrary(program);
}

}  // namespace
