// Loading and saving the white list against the real registry and real controls.
#include "device_registry.h"
#include "quillmere.h"

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

TEST_F(SettingsStore, ValuesStoredWithoutNulCountAsIfTheyHadOne)
{
    StoreWhiteList(L"1", L"0", {});
    StoreParameterWithoutNul(L"WhiteListEnable", L"ab");
    StoreParameterWithoutNul(L"WhiteListCount", L"10");
    StoreParameterWithoutNul(L"WhiteListSSID1", k32);
    EXPECT_EQ(0u, LoadWhiteListSettings());
    EXPECT_EQ(0u, WhiteListSettings.enable);
    EXPECT_EQ(10u, WhiteListSettings.count);
    EXPECT_EQ(k32, Ssid(1));
    // Nothing was written past the first entry: the second is still cleared to its last byte.
    EXPECT_EQ(L"", Ssid(2));

    StoreParameterWithoutNul(L"WhiteListEnable", L"0");
    StoreParameterWithoutNul(L"WhiteListCount", L"100");
    StoreParameterWithoutNul(L"WhiteListSSID1", k33);
    EXPECT_EQ(1u, LoadWhiteListSettings());
    EXPECT_EQ(0u, WhiteListSettings.enable);
    EXPECT_EQ(0u, WhiteListSettings.count);
    EXPECT_EQ(L"", Ssid(1));
}

TEST_F(SettingsStore, UnterminatedLongestSsidBeforeAMissingOneWritesNothingBeyondItsEntry)
{
    StoreWhiteList(L"1", L"1", {});
    StoreParameterWithoutNul(L"WhiteListSSID1", k32);
    DeleteParameter(L"WhiteListSSID2");
    memset(WhiteListSettings.ssid, 0xBD, sizeof WhiteListSettings.ssid);
    EXPECT_EQ(1u, LoadWhiteListSettings());
    EXPECT_EQ(k32, Ssid(1));
    SsidText cleared = {};
    EXPECT_EQ(0, memcmp(cleared, WhiteListSettings.ssid[1], sizeof cleared));
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

}  // namespace
