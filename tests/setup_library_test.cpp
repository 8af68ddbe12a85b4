// Corvane loaded as the installer loads it, on the emulated device: its export table, the
// device-model check, the repeat question and the marker, with the message boxes answered as a
// user would.
#include "device_registry.h"
#include "message_box_answerer.h"
#include "program_driver.h"
#include "import_spy.h"
#include "setup_hooks.h"

#include <map>

namespace {

const wchar_t kMarkerKey[] = L"Pellworth\\Patches";
const wchar_t kNotForThisProduct[] = L"This CAB file is not for this product";
const wchar_t kAskBeforeRepeat[] =
    L"A newer version of this CAB is already installed, do you still want to install this version?";

void StoreMarker(DWORD type, const void* data, DWORD size)
{
    StoreBytes(HKEY_LOCAL_MACHINE, kMarkerKey, L"Fennistry", type, data, size);
}

void StoreMarker(DWORD marker)
{
    StoreMarker(REG_DWORD, &marker, sizeof marker);
}

StoredValue Marker()
{
    return ReadStored(HKEY_LOCAL_MACHINE, kMarkerKey, L"Fennistry");
}

::testing::AssertionResult MarkerIsOne()
{
    StoredValue marker = Marker();
    DWORD one = 1;
    if (marker.present && marker.type == REG_DWORD && marker.data.size() == 4 && memcmp(marker.data.data(), &one, 4) == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "marker present " << marker.present << ", type " << marker.type
                                         << ", size " << marker.data.size();
}

::testing::AssertionResult ShowedOnly(const std::vector<SeenMessageBox>& seen, const wchar_t* text, bool yesNo)
{
    if (seen.size() != 1)
        return ::testing::AssertionFailure() << seen.size() << " message boxes";
    const SeenMessageBox& box = seen[0];
    if (box.caption != L"" || box.text != text || box.owned)
        return ::testing::AssertionFailure() << "box \"" << Narrow(box.caption) << "\": \"" << Narrow(box.text)
                                             << "\"" << (box.owned ? ", owned" : "");
    bool buttons = yesNo ? (box.yes && box.no && !box.ok && !box.cancel) : (box.ok && !box.yes && !box.no && !box.cancel);
    if (!buttons)
        return ::testing::AssertionFailure() << "buttons ok " << box.ok << " yes " << box.yes << " no " << box.no;
    return ::testing::AssertionSuccess();
}

class SetupLibrary : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryW(HostPath(CORVANE_DLL).c_str());
        ASSERT_NE(nullptr, module);
        installInit = (pfnInstall_Init)(void*)GetProcAddress(module, "Install_Init");
        installExit = (pfnInstall_Exit)(void*)GetProcAddress(module, "Install_Exit");
        uninstallInit = (pfnUninstall_Init)(void*)GetProcAddress(module, "Uninstall_Init");
        uninstallExit = (pfnUninstall_Exit)(void*)GetProcAddress(module, "Uninstall_Exit");
        ASSERT_TRUE(installInit && installExit && uninstallInit && uninstallExit);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Pellworth");
        SetPlatformName(L"Brisle2");
    }
    void TearDown() override
    {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Pellworth");
        SetPlatformName(L"Brisle2");
        if (module)
            FreeLibrary(module);
    }

    // Install_Init with every box answered `answer`; the boxes shown land in `seen`.
    int InstallInit(int answer, std::vector<SeenMessageBox>* seen)
    {
        MessageBoxAnswerer answerer(answer);
        int result = installInit(NULL, TRUE, FALSE, L"\\Program Files\\Quillmere");
        *seen = answerer.Seen();
        return result;
    }

    int InstallExit(WORD dirs, WORD files, WORD keys, WORD values, WORD shortcuts, std::vector<SeenMessageBox>* seen)
    {
        MessageBoxAnswerer answerer(IDOK);
        int result = installExit(NULL, L"\\Program Files\\Quillmere", dirs, files, keys, values, shortcuts);
        *seen = answerer.Seen();
        return result;
    }

    HMODULE module = NULL;
    pfnInstall_Init installInit = nullptr;
    pfnInstall_Exit installExit = nullptr;
    pfnUninstall_Init uninstallInit = nullptr;
    pfnUninstall_Exit uninstallExit = nullptr;
    std::vector<SeenMessageBox> seen;
};

TEST_F(SetupLibrary, ExportsExactlyTheFourHooksAtOrdinalsOneToFour)
{
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY entry = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    ASSERT_NE(0u, entry.VirtualAddress);
    IMAGE_EXPORT_DIRECTORY* exports = (IMAGE_EXPORT_DIRECTORY*)(base + entry.VirtualAddress);
    EXPECT_EQ(1u, exports->Base);
    ASSERT_EQ(4u, exports->NumberOfFunctions);
    ASSERT_EQ(4u, exports->NumberOfNames);
    DWORD* names = (DWORD*)(base + exports->AddressOfNames);
    WORD* ordinals = (WORD*)(base + exports->AddressOfNameOrdinals);
    DWORD* functions = (DWORD*)(base + exports->AddressOfFunctions);
    const char* expected[] = {"Install_Init", "Install_Exit", "Uninstall_Init", "Uninstall_Exit"};
    for (int hook = 0; hook < 4; ++hook) {
        SCOPED_TRACE(expected[hook]);
        int found = -1;
        for (int i = 0; i < 4; ++i)
            if (strcmp((const char*)(base + names[i]), expected[hook]) == 0)
                found = i;
        ASSERT_NE(-1, found);
        EXPECT_EQ(hook + 1, (int)(ordinals[found] + exports->Base));
        EXPECT_EQ(GetProcAddress(module, expected[hook]), (FARPROC)(base + functions[ordinals[found]]));
        EXPECT_EQ(GetProcAddress(module, expected[hook]), GetProcAddress(module, MAKEINTRESOURCEA(hook + 1)));
    }
}

TEST_F(SetupLibrary, FirstInstallationOnEitherModelAsksNothingAndSetsTheMarker)
{
    for (const wchar_t* model : {L"Brisle2", L"Mondrey2"}) {
        SCOPED_TRACE(Narrow(model));
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Pellworth");
        SetPlatformName(model);
        EXPECT_EQ(codeINSTALL_INIT_CONTINUE, InstallInit(IDNO, &seen));
        EXPECT_TRUE(seen.empty());
        EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kMarkerKey));
        EXPECT_FALSE(Marker().present);
        EXPECT_EQ(codeINSTALL_EXIT_DONE, InstallExit(0, 0, 0, 0, 0, &seen));
        EXPECT_TRUE(seen.empty());
        EXPECT_TRUE(MarkerIsOne());
    }
}

TEST_F(SetupLibrary, LaterInstallationAsksAndOnlyYesContinues)
{
    StoreMarker(1);
    EXPECT_EQ(codeINSTALL_INIT_CANCEL, InstallInit(IDNO, &seen));
    EXPECT_TRUE(ShowedOnly(seen, kAskBeforeRepeat, true));
    EXPECT_TRUE(MarkerIsOne());

    EXPECT_EQ(codeINSTALL_INIT_CONTINUE, InstallInit(IDYES, &seen));
    EXPECT_TRUE(ShowedOnly(seen, kAskBeforeRepeat, true));
    EXPECT_EQ(codeINSTALL_EXIT_DONE, InstallExit(0, 0, 0, 0, 0, &seen));
    EXPECT_TRUE(MarkerIsOne());
}

TEST_F(SetupLibrary, RemovalKeepsTheMarkerSoTheNextInstallationAsks)
{
    EXPECT_EQ(codeINSTALL_INIT_CONTINUE, InstallInit(IDYES, &seen));
    EXPECT_EQ(codeINSTALL_EXIT_DONE, InstallExit(0, 0, 0, 0, 0, &seen));
    {
        MessageBoxAnswerer answerer(IDOK);
        EXPECT_EQ(codeUNINSTALL_INIT_CONTINUE, uninstallInit(NULL, L"\\Program Files\\Quillmere"));
        EXPECT_EQ(codeUNINSTALL_EXIT_DONE, uninstallExit(NULL));
        EXPECT_TRUE(answerer.Seen().empty());
    }
    EXPECT_TRUE(MarkerIsOne());
    EXPECT_EQ(codeINSTALL_INIT_CANCEL, InstallInit(IDNO, &seen));
    EXPECT_TRUE(ShowedOnly(seen, kAskBeforeRepeat, true));
}

// Bytes written in hexadecimal.
std::vector<BYTE> FromHex(const std::string& hex)
{
    std::vector<BYTE> bytes;
    for (size_t at = 0; at + 1 < hex.size(); at += 2)
        bytes.push_back((BYTE)std::stoi(hex.substr(at, 2), nullptr, 16));
    return bytes;
}

// A registry value as the path table writes it: its type and bytes ("dword 01000000"), or none.
StoredValue TableValue(const std::string& field)
{
    StoredValue value;
    if (field == "none")
        return value;
    size_t blank = field.find(' ');
    std::string type = field.substr(0, blank);
    value.present = true;
    value.type = type == "dword" ? REG_DWORD : type == "sz" ? REG_SZ : REG_BINARY;
    value.data = FromHex(blank == std::string::npos ? "" : field.substr(blank + 1));
    return value;
}

// Every registry call and message box of each hook's path, in order (the table the ARM build's
// runs take too): the platform names it refuses, the markers it reads, the question and its
// answers, the failed items, and a marker key that cannot be opened or created. The boxes are
// unowned, with the empty caption and exactly MB_SETFOREGROUND with OK or Yes/No; every key is
// closed; the marker afterwards is as the table says.
TEST_F(SetupLibrary, CallsOfEachPath)
{
    const std::map<std::string, int> answers = {{"OK", IDOK}, {"Yes", IDYES}, {"No", IDNO}};
    for (const std::vector<std::string>& c : ReadCaseTable("setup_library_paths.txt")) {
        ASSERT_EQ(10u, c.size());
        SCOPED_TRACE(c[0]);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Pellworth");
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Emulator");
        if (c[1].rfind("hex ", 0) == 0) {
            std::vector<BYTE> name = FromHex(c[1].substr(4));
            StoreBytes(HKEY_LOCAL_MACHINE, L"Emulator", L"PlatformName", REG_SZ, name.data(), (DWORD)name.size());
        } else if (c[1] != "none") {
            SetPlatformName(std::wstring(c[1].begin(), c[1].end()).c_str());
        }
        StoredValue marker = TableValue(c[2]);
        if (marker.present)
            StoreMarker(marker.type, marker.data.data(), (DWORD)marker.data.size());
        WORD counts[5];
        sscanf(c[5].c_str(), "%hu %hu %hu %hu %hu", &counts[0], &counts[1], &counts[2], &counts[3], &counts[4]);
        int result;
        std::vector<std::string> calls;
        {
            ImportSpy spy(module);
            spy.unwatchedKey = L"Emulator";
            spy.failKeys = c[3] == "yes";
            result = c[4] == "Install_Exit" ? InstallExit(counts[0], counts[1], counts[2], counts[3], counts[4], &seen)
                                            : InstallInit(answers.at(c[6]), &seen);
            calls = spy.calls;
            EXPECT_TRUE(spy.openKeys.empty());
        }
        EXPECT_EQ(std::stoi(c[7]), result);
        EXPECT_EQ(SplitList(c[9]), calls);
        if (c[8] != "-") {
            EXPECT_EQ(TableValue(c[8]), Marker());
        }
    }
}

// The library's entry, run by hand on a library loaded without it: on process attach it turns
// off thread notifications for its own module, and says TRUE for every reason.
TEST(SetupLibraryEntry, TurnsOffThreadNotificationsOnAttachAndAlwaysSaysTrue)
{
    static std::vector<HMODULE> turnedOff;
    HMODULE module = LoadLibraryExW(HostPath(CORVANE_DLL).c_str(), NULL, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(nullptr, module);
    BYTE* base = (BYTE*)module;
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY directory = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR* dll = (IMAGE_IMPORT_DESCRIPTOR*)(base + directory.VirtualAddress); dll->Name; ++dll) {
        HMODULE provider = LoadLibraryA((const char*)(base + dll->Name));
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + dll->OriginalFirstThunk);
        IMAGE_THUNK_DATA* slots = (IMAGE_THUNK_DATA*)(base + dll->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            const char* name = (const char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name;
            void* function = (void*)GetProcAddress(provider, name);
            if (strcmp(name, "DisableThreadLibraryCalls") == 0)
                function = (void*)(BOOL(WINAPI*)(HMODULE))[](HMODULE library) -> BOOL {
                    turnedOff.push_back(library);
                    return TRUE;
                };
            ASSERT_NE(nullptr, function) << name;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            slots->u1.Function = (ULONG_PTR)function;
        }
    }
    typedef BOOL(WINAPI * Entry)(HINSTANCE, DWORD, LPVOID);
    Entry entry = (Entry)(void*)(base + headers->OptionalHeader.AddressOfEntryPoint);
    EXPECT_TRUE(entry(module, DLL_PROCESS_ATTACH, NULL));
    EXPECT_EQ(std::vector<HMODULE>{module}, turnedOff);
    EXPECT_TRUE(entry(module, DLL_THREAD_ATTACH, NULL));
    EXPECT_TRUE(entry(module, DLL_THREAD_DETACH, NULL));
    EXPECT_TRUE(entry(module, DLL_PROCESS_DETACH, NULL));
    EXPECT_EQ(1u, turnedOff.size());
    FreeLibrary(module);
}

}  // namespace
