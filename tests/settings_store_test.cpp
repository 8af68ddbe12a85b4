// Loading and saving the white list against the real registry and real controls.
#include "device_registry.h"
#include "quillmere.h"
#include "import_spy.h"
#include "program_driver.h"

#include <map>

namespace {

const std::wstring k32 = L"abcdefghijklmnopqrstuvwxyz012345";
const std::wstring k33 = k32 + L"6";

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        DeleteParametersKey();
        memset(&WhiteListSettings, 0, sizeof WhiteListSettings);
        memset(&MainWindowControls, 0, sizeof MainWindowControls);
    }
    void TearDown() override
    {
        for (HWND control : created)
            DestroyWindow(control);
        DeleteParametersKey();
    }

    // The form's inputs as the window would make them, here as plain top-level windows.
    void CreateForm(bool checked, const std::vector<std::wstring>& fields)
    {
        MainWindowControls.enableCheckBox =
            Create(L"BUTTON", L"Enable", WS_POPUP | BS_AUTOCHECKBOX | BS_LEFTTEXT, 0);
        SendMessageW(MainWindowControls.enableCheckBox, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
        for (int i = 0; i < SSID_ENTRIES; ++i) {
            const wchar_t* text = i < (int)fields.size() ? fields[i].c_str() : L"";
            MainWindowControls.ssidField[i] =
                Create(L"EDIT", text, WS_POPUP | WS_BORDER | ES_AUTOVSCROLL | ES_AUTOHSCROLL, 40 * (i + 1));
        }
    }

    HWND Create(const wchar_t* className, const wchar_t* text, DWORD style, int y)
    {
        HWND control = CreateWindowExW(0, className, text, style, 0, y, 300, 40, NULL, NULL, NULL, NULL);
        EXPECT_NE(nullptr, control);
        created.push_back(control);
        return control;
    }

    std::vector<HWND> created;
};

std::wstring Ssid(int entry)
{
    return WhiteListSettings.ssid[entry - 1];
}

void StoreCompleteExcept(const wchar_t* name)
{
    StoreWhiteList(L"1", L"3", {L"one", L"two", L"three"});
    DeleteParameter(name);
}

TEST_F(SettingsStore, MissingKeyFailsAndLeavesTheRecordAsItWas)
{
    WhiteListSettings.enable = 1;
    WhiteListSettings.count = 4;
    wcscpy(WhiteListSettings.ssid[0], L"kept");
    WhiteListRecord before = WhiteListSettings;

    EXPECT_EQ(1u, LoadWhiteListSettings());
    EXPECT_EQ(0, memcmp(&before, &WhiteListSettings, sizeof before));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kParametersKeyPath));
}

TEST_F(SettingsStore, CompleteSetLoads)
{
    StoreWhiteList(L"1", L"3", {L"Warehouse", L"", L"Dock", L"", L"", L"", L"", L"", L"", L"Yard"});
    EXPECT_EQ(0u, LoadWhiteListSettings());
    EXPECT_EQ(1u, WhiteListSettings.enable);
    EXPECT_EQ(3u, WhiteListSettings.count);
    EXPECT_EQ(L"Warehouse", Ssid(1));
    EXPECT_EQ(L"", Ssid(2));
    EXPECT_EQ(L"Dock", Ssid(3));
    EXPECT_EQ(L"Yard", Ssid(10));
}

TEST_F(SettingsStore, EnableIsOnUnlessExactlyZeroAndNeverFailsTheLoad)
{
    struct Case {
        const wchar_t* stored;  // nullptr: missing
        DWORD enable;
    } cases[] = {{L"0", 0}, {L"1", 1}, {L"x", 1}, {L"", 1}, {L"ab", 0}, {L"00", 0}, {nullptr, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? Narrow(c.stored) : "missing");
        StoreWhiteList(L"1", L"0", {});
        if (c.stored)
            StoreParameter(L"WhiteListEnable", c.stored);
        else
            DeleteParameter(L"WhiteListEnable");
        WhiteListSettings.enable = 7;
        EXPECT_EQ(0u, LoadWhiteListSettings());
        EXPECT_EQ(c.enable, WhiteListSettings.enable);
    }
}

TEST_F(SettingsStore, CountIsOneOfZeroToTenOrZero)
{
    struct Case {
        const wchar_t* stored;  // nullptr: missing
        DWORD count;
        DWORD result;
    } cases[] = {{L"0", 0, 0},  {L"5", 5, 0},  {L"10", 10, 0},   {L"07", 0, 0},     {L"11", 0, 0},
                 {L" 3", 0, 0}, {L"", 0, 0},   {L"-1", 0, 0},    {L"100", 0, 1},    {nullptr, 0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? Narrow(c.stored) : "missing");
        StoreWhiteList(L"1", L"0", {});
        if (c.stored)
            StoreParameter(L"WhiteListCount", c.stored);
        else
            DeleteParameter(L"WhiteListCount");
        WhiteListSettings.count = 7;
        EXPECT_EQ(c.result, LoadWhiteListSettings());
        EXPECT_EQ(c.count, WhiteListSettings.count);
    }
}

TEST_F(SettingsStore, SsidOf32CharactersLoadsWholeAnd33DoNotFit)
{
    StoreWhiteList(L"1", L"2", {k32, k33});
    EXPECT_EQ(1u, LoadWhiteListSettings());
    EXPECT_EQ(k32, Ssid(1));
    EXPECT_EQ(L"", Ssid(2));
}

TEST_F(SettingsStore, MissingSsidFailsTheLoadButLaterOnesStillLoad)
{
    StoreWhiteList(L"1", L"10", {L"s1", L"s2", L"s3", L"s4", L"s5", L"s6", L"s7", L"s8", L"s9", L"s10"});
    DeleteParameter(L"WhiteListSSID5");
    memset(WhiteListSettings.ssid, 0x41, sizeof WhiteListSettings.ssid);
    EXPECT_EQ(1u, LoadWhiteListSettings());
    EXPECT_EQ(L"s4", Ssid(4));
    EXPECT_EQ(L"", Ssid(5));
    EXPECT_EQ(L"s6", Ssid(6));
    EXPECT_EQ(L"s10", Ssid(10));
    EXPECT_EQ(10u, WhiteListSettings.count);
}

TEST_F(SettingsStore, EachMissingValueButEnableFailsTheLoad)
{
    for (const wchar_t* name : kWhiteListValueNames) {
        SCOPED_TRACE(Narrow(name));
        StoreCompleteExcept(name);
        EXPECT_EQ(wcscmp(name, L"WhiteListEnable") == 0 ? 0u : 1u, LoadWhiteListSettings());
    }
}

// A stored value: the characters of text, then a NUL when asked, then `stray` bytes.
std::vector<BYTE> Stored(const std::wstring& text, bool nul, int stray = 0)
{
    std::vector<BYTE> bytes((const BYTE*)text.c_str(), (const BYTE*)(text.c_str() + text.size() + (nul ? 1 : 0)));
    bytes.insert(bytes.end(), stray, 0x55);
    return bytes;
}

// A value's stored bytes as a shape of the byte-limit table gives them, and the text it reads.
std::vector<BYTE> ShapedValue(const std::wstring& all, const std::vector<std::string>& shape, std::wstring* read)
{
    size_t max = all.size() - 1;
    std::map<std::string, std::wstring> texts = {
        {"below", all.substr(0, max - 1)}, {"at", all.substr(0, max)}, {"past", all}, {"first", all.substr(0, 1)}};
    *read = shape[5] == "fails" ? L"" : texts.at(shape[5]);
    if (shape[2] == "first-then-more") {
        std::vector<BYTE> bytes = Stored(texts["first"], true), more = Stored(all.substr(1, max - 1), false);
        bytes.insert(bytes.end(), more.begin(), more.end());
        return bytes;
    }
    return Stored(texts.at(shape[2]), shape[3] == "nul", std::stoi(shape[4]));
}

// Each value one below, at and past its byte limit, with and without NUL, in even and odd sizes
// (the table the ARM build's runs take too); the text ends at its first NUL. This test's copy of
// the store is built with the stack protector, so an overrun of the load's own buffers ends the
// test; the form's record after it must stay as set.
TEST_F(SettingsStore, EachValueIsReadWithinItsByteLimitOnly)
{
    std::vector<std::vector<std::string>> values, shapes;
    for (const std::vector<std::string>& row : ReadCaseTable("byte_limits.txt"))
        (row[0] == "value" ? values : shapes).push_back(row);
    ASSERT_EQ(12u, values.size());
    for (const std::vector<std::string>& value : values) {
        std::wstring name(value[1].begin(), value[1].end()), all(value[2].begin(), value[2].end());
        for (const std::vector<std::string>& shape : shapes) {
            SCOPED_TRACE(value[1] + ": " + shape[1]);
            std::wstring read;
            std::vector<BYTE> bytes = ShapedValue(all, shape, &read);
            StoreWhiteList(L"1", L"0", {});
            StoreParameterBytes(name.c_str(), REG_SZ, bytes.data(), (DWORD)bytes.size());
            memset(&WhiteListSettings, 0xBD, sizeof WhiteListSettings);
            memset(&MainWindowControls, 0xBD, sizeof MainWindowControls);
            DWORD result = LoadWhiteListSettings();

            bool fails = shape[5] == "fails";
            if (name == L"WhiteListEnable") {
                EXPECT_EQ(0u, result);
                EXPECT_EQ(fails ? 0u : 1u, WhiteListSettings.enable);
            } else if (name == L"WhiteListCount") {
                EXPECT_EQ(fails ? 1u : 0u, result);
                EXPECT_EQ(read == L"1" ? 1u : read == L"10" ? 10u : 0u, WhiteListSettings.count);
            } else {
                EXPECT_EQ(fails ? 1u : 0u, result);
                EXPECT_EQ(read, Ssid(_wtoi(name.c_str() + 13)));
            }
            for (int i = 0; i < SSID_ENTRIES; ++i) {
                const WCHAR* entry = WhiteListSettings.ssid[i];
                for (size_t at = wcslen(entry); at <= SSID_MAX_CHARS; ++at)
                    ASSERT_EQ(0, entry[at]) << "entry " << i + 1 << " after its text";
            }
            FormControls untouched;
            memset(&untouched, 0xBD, sizeof untouched);
            EXPECT_EQ(0, memcmp(&untouched, &MainWindowControls, sizeof untouched));
        }
    }
}

TEST_F(SettingsStore, OddSizesAndOtherTypesAreReadAsText)
{
    StoreWhiteList(L"1", L"0", {});
    const BYTE countSevenAndStrayByte[] = {'7', 0, 0, 0, 0x55};
    StoreParameterBytes(L"WhiteListCount", REG_SZ, countSevenAndStrayByte, sizeof countSevenAndStrayByte);
    DWORD zeroCharacter = L'0';
    StoreParameterBytes(L"WhiteListEnable", REG_DWORD, &zeroCharacter, sizeof zeroCharacter);
    const wchar_t multi[] = L"abc\0";
    StoreParameterBytes(L"WhiteListSSID1", REG_MULTI_SZ, multi, sizeof multi);
    const BYTE oddSsid[] = {'x', 0, 'y'};
    StoreParameterBytes(L"WhiteListSSID2", REG_BINARY, oddSsid, sizeof oddSsid);

    EXPECT_EQ(0u, LoadWhiteListSettings());
    EXPECT_EQ(7u, WhiteListSettings.count);
    EXPECT_EQ(0u, WhiteListSettings.enable);
    EXPECT_EQ(L"abc", Ssid(1));
    EXPECT_EQ(L"x", Ssid(2));
}

TEST_F(SettingsStore, SaveWithoutTheKeyWritesNothingAndCreatesNoKey)
{
    CreateForm(true, {L"one"});
    WhiteListSettings.enable = 7;
    WhiteListSettings.count = 9;
    EXPECT_EQ(1u, SaveWhiteListSettings());
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kParametersKeyPath));
    EXPECT_EQ(7u, WhiteListSettings.enable);
    EXPECT_EQ(9u, WhiteListSettings.count);
}

TEST_F(SettingsStore, SaveWritesEmptyEntriesAndCountsTheFilledOnes)
{
    RecreateParametersKey();
    CreateForm(true, {L"alpha", L"", L"gamma"});
    EXPECT_EQ(0u, SaveWhiteListSettings());
    EXPECT_TRUE(ParameterIsText(L"WhiteListEnable", L"1"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID1", L"alpha"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID2", L""));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID3", L"gamma"));
    for (int i = 4; i <= 10; ++i)
        EXPECT_TRUE(ParameterIsText(kWhiteListValueNames[i], L""));
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"2"));
    EXPECT_EQ(1u, WhiteListSettings.enable);
    EXPECT_EQ(2u, WhiteListSettings.count);
    EXPECT_EQ(L"gamma", Ssid(3));
}

TEST_F(SettingsStore, SaveKeepsTheFirst32CharactersOfALongerLine)
{
    RecreateParametersKey();
    std::wstring forty = k32 + L"ABCDEFGH";
    CreateForm(false, {forty});
    EXPECT_EQ(0u, SaveWhiteListSettings());
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID1", k32));
    EXPECT_TRUE(ParameterIsText(L"WhiteListEnable", L"0"));
    EXPECT_EQ(0u, WhiteListSettings.enable);
}

TEST_F(SettingsStore, AllTenFilledWritesCountTenAndReadsBack)
{
    RecreateParametersKey();
    std::vector<std::wstring> fields;
    for (int i = 1; i <= 10; ++i)
        fields.push_back(L"net" + std::to_wstring(i));
    CreateForm(true, fields);
    EXPECT_EQ(0u, SaveWhiteListSettings());
    StoredValue count = ReadParameter(L"WhiteListCount");
    EXPECT_EQ(6u, count.data.size());
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"10"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID10", L"net10"));

    memset(&WhiteListSettings, 0, sizeof WhiteListSettings);
    EXPECT_EQ(0u, LoadWhiteListSettings());
    EXPECT_EQ(10u, WhiteListSettings.count);
    EXPECT_EQ(L"net10", Ssid(10));
}

TEST_F(SettingsStore, StoredCountThatDisagreesIsCorrectedByTheNextSave)
{
    StoreWhiteList(L"1", L"5", {L"first", L"second"});
    EXPECT_EQ(0u, LoadWhiteListSettings());
    EXPECT_EQ(5u, WhiteListSettings.count);
    CreateForm(WhiteListSettings.enable != 0, {Ssid(1), Ssid(2)});
    EXPECT_EQ(0u, SaveWhiteListSettings());
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"2"));
}

TEST_F(SettingsStore, ControlsThatDoNotExistSaveAsUncheckedAndEmpty)
{
    RecreateParametersKey();
    EXPECT_EQ(0u, SaveWhiteListSettings());
    EXPECT_TRUE(ParameterIsText(L"WhiteListEnable", L"0"));
    for (int i = 1; i <= 10; ++i)
        EXPECT_TRUE(ParameterIsText(kWhiteListValueNames[i], L""));
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"0"));
}

TEST_F(SettingsStore, OnlyTheFirstLineOfAFieldIsSaved)
{
    RecreateParametersKey();
    CreateForm(true, {});
    HWND multiline = Create(L"EDIT", L"top\r\nsecond", WS_POPUP | ES_MULTILINE, 0);
    MainWindowControls.ssidField[0] = multiline;
    EXPECT_EQ(0u, SaveWhiteListSettings());
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID1", L"top"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"1"));
}

// A field that copies its line as the device's does: the copy is not terminated, the rest of
// the buffer's capacity is left as the copy leaves it (here filled), and an empty line leaves
// the capacity word where the request put it.
LRESULT CALLBACK DeviceLineField(HWND field, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message != EM_GETLINE)
        return DefWindowProcW(field, message, wParam, lParam);
    WCHAR* buffer = (WCHAR*)lParam;
    WORD capacity = *(WORD*)buffer;
    WCHAR line[64] = {};
    int length = GetWindowTextW(field, line, 64);
    if (length == 0)
        return 0;
    for (int i = 0; i < capacity; ++i)
        buffer[i] = i < length ? line[i] : L'~';
    return length < capacity ? length : capacity;
}

TEST_F(SettingsStore, SaveTakesFromAFieldOnlyTheCharactersItReports)
{
    RecreateParametersKey();
    WNDCLASSW fieldClass = {};
    fieldClass.lpfnWndProc = DeviceLineField;
    fieldClass.lpszClassName = L"DeviceLineField";
    RegisterClassW(&fieldClass);
    CreateForm(true, {});
    const wchar_t* lines[3] = {L"", L"dock", L"ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"};
    for (int i = 0; i < 3; ++i)
        MainWindowControls.ssidField[i] = Create(L"DeviceLineField", lines[i], WS_POPUP, 0);
    EXPECT_EQ(0u, SaveWhiteListSettings());
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID1", L""));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID2", L"dock"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListSSID3", L"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"));
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", L"2"));
}

// Every call the store makes, in order, with the buffer size of each read, and every key closed
// (the table the ARM build's runs take too).
TEST_F(SettingsStore, RegistryCallsOfLoadAndSave)
{
    for (const std::vector<std::string>& c : ReadCaseTable("store_registry_calls.txt")) {
        ASSERT_EQ(8u, c.size());
        SCOPED_TRACE(c[0]);
        DeleteParametersKey();
        if (c[1] == "list")
            StoreWhiteList(L"1", L"1", {L"old"});
        else if (c[1] == "key")
            RecreateParametersKey();
        CreateForm(false, {L"new", L"", L"third"});
        DWORD result;
        std::vector<std::string> calls;
        {
            ImportSpy spy(GetModuleHandleW(NULL));
            spy.failWriteOf = c[3] == "-" ? L"" : std::wstring(c[3].begin(), c[3].end());
            result = c[2] == "save" ? SaveWhiteListSettings() : LoadWhiteListSettings();
            calls = spy.calls;
            EXPECT_TRUE(spy.openKeys.empty());
        }
        EXPECT_EQ((DWORD)std::stoul(c[4]), result);
        EXPECT_EQ(SplitList(c[7]), calls);
        if (c[5] != "-") {
            EXPECT_TRUE(ParameterIsText(L"WhiteListSSID3", std::wstring(c[5].begin(), c[5].end())));
            EXPECT_TRUE(ParameterIsText(L"WhiteListCount", std::wstring(c[6].begin(), c[6].end())));
        }
    }
}

}  // namespace
