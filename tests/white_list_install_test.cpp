// White-list packages on the emulated device: installed by the stand-in CAB installer, the
// values are exactly what Quillmere's own save writes, Quillmere shows them, and a damaged
// registry section is refused.
#include "cab_package.h"
#include "device_registry.h"
#include "message_box_answerer.h"
#include "program_driver.h"

namespace {

AnsweredRun Install(const wchar_t* cabinet)
{
    return RunAnswering(HostPath(SETUP_INSTALLER_EXE), L"install-cab \"" + HostPath(cabinet) + L"\"", IDNO);
}

TEST(WhiteListPackage, InstallsWhatQuillmereWouldWriteAndASecondListReplacesIt)
{
    DeleteParametersKey();
    const std::vector<std::wstring> tricky = {L"  both ends  ", L"Dock #1 = east", L"quoted \"\" inside",
                                              L"ABCDEFGHIJKLMNOPQRSTUVWXYZ012345", L"", L"<Yard> & 'Gate'", L"", L"", L"",
                                              L"last"};
    AnsweredRun run = Install(TRICKY_CAB);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.seen.empty());
    ExpectWhiteList(L"1", L"6", tricky);

    // Quillmere finds a complete, normalised set: it shows it, and a close writes nothing. Each
    // value is stored again with another type, which any write would turn back into REG_SZ.
    std::vector<StoredValue> before = ReadWhiteList();
    for (int i = 0; i < 12; ++i) {
        StoreParameterBytes(kWhiteListValueNames[i], REG_BINARY, before[i].data.data(), (DWORD)before[i].data.size());
        before[i].type = REG_BINARY;
    }
    RunningProgram program = StartQuillmere();
    ASSERT_NE(nullptr, program.window);
    std::vector<HWND> fields = OwnedWindowsOfClass(program.window, L"Edit");
    ASSERT_EQ(10u, fields.size());
    for (int i = 0; i < 10; ++i) {
        wchar_t text[64] = {};
        SendMessageW(fields[i], WM_GETTEXT, 64, (LPARAM)text);
        EXPECT_EQ(tricky[i], text) << "field " << i + 1;
    }
    std::vector<HWND> buttons = OwnedWindowsOfClass(program.window, L"Button");
    ASSERT_EQ(1u, buttons.size());
    EXPECT_EQ(BST_CHECKED, SendMessageW(buttons[0], BM_GETCHECK, 0, 0));
    PostMessageW(program.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitForExit(program));
    EndProgram(program);
    EXPECT_EQ(before, ReadWhiteList());

    run = Install(SECOND_CAB);
    EXPECT_EQ(0u, run.exitCode);
    ExpectWhiteList(L"0", L"1", {L"replaced", L"", L"", L"", L"", L"", L"", L"", L"", L""});
    DeleteParametersKey();
}

TEST(WhiteListPackage, DamagedRegistrySectionsAreRefused)
{
    static UnpackedPackage package;
    ASSERT_TRUE(UnpackPackage(HostPath(TRICKY_CAB).c_str(), &package)) << Narrow(package.problem);
    ASSERT_EQ(1, package.instructions.registryKeyCount);
    ASSERT_EQ(12, package.instructions.registryValueCount);
    std::string good = ReadWhole(std::wstring(package.folder) + L"\\" + package.members[0]);
    DeleteUnpackedPackage(&package);

    size_t hive = *(const DWORD*)(good.data() + 72), value = *(const DWORD*)(good.data() + 76);
    size_t firstData = value + 12 + strlen("WhiteListEnable") + 1;
    struct Damage {
        const char* what;
        size_t at;
        unsigned char byte;
    } damages[] = {
        {"hive count past the limit", 54, 33},
        {"hive section offset past the file", 74, 0x7F},
        {"unknown root", hive + 2, 9},
        {"hive's reserved word", hive + 4, 1},
        {"hive naming an unknown string", hive + 8, 0x7F},
        {"value in an unknown key", value + 2, 2},
        {"unknown value type", value + 6, 5},
        {"value length past the file", value + 11, 0x7F},
        {"string data without its NUL", firstData + 1, 'x'},
        {"value name without its NUL", firstData - 1, 'x'},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::string bad = good;
        bad[damage.at] = (char)damage.byte;
        PackageInstructions parsed;
        wchar_t problem[256];
        EXPECT_FALSE(ParseInstructions((const BYTE*)bad.data(), (DWORD)bad.size(), &parsed, problem, 256));
        EXPECT_NE(L'\0', problem[0]);
    }
}

}  // namespace
