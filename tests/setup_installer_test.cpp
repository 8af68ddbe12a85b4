// The stand-in CAB installer running Corvane end to end on the emulated device: an
// installation of Quillmere, a refusal on a foreign device, the question on a repeat and a
// removal.
#include "device_registry.h"
#include "message_box_answerer.h"
#include "program_driver.h"

namespace {

const wchar_t kInstallDir[] = L"C:\\Program Files\\Quillmere";
const wchar_t kInstalledProgram[] = L"C:\\Program Files\\Quillmere\\Quillmere.exe";

AnsweredRun RunInstaller(const wchar_t* action, int answer)
{
    std::wstring arguments = std::wstring(action) + L" \"" + HostPath(CORVANE_DLL) + L"\" \"" + kInstallDir +
                             L"\" \"" + ProgramPath() + L"\"";
    return RunAnswering(HostPath(SETUP_INSTALLER_EXE), arguments, answer);
}

bool Installed()
{
    return GetFileAttributesW(kInstalledProgram) != INVALID_FILE_ATTRIBUTES;
}

class SetupInstaller : public ::testing::Test {
protected:
    void SetUp() override { Clean(); }
    void TearDown() override
    {
        Clean();
        SetPlatformName(L"Brisle2");
    }
    void Clean()
    {
        DeleteFileW(kInstalledProgram);
        RemoveDirectoryW(kInstallDir);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Pellworth");
    }
};

TEST_F(SetupInstaller, InstallsAsksOnARepeatAndRemoves)
{
    SetPlatformName(L"Brisle2");
    AnsweredRun first = RunInstaller(L"install", IDNO);
    EXPECT_EQ(0u, first.exitCode);
    EXPECT_TRUE(first.seen.empty());
    EXPECT_TRUE(Installed());
    EXPECT_EQ(REG_DWORD, ReadStored(HKEY_LOCAL_MACHINE, L"Pellworth\\Patches", L"Fennistry").type);

    AnsweredRun declined = RunInstaller(L"install", IDNO);
    EXPECT_EQ(1u, declined.exitCode);
    ASSERT_EQ(1u, declined.seen.size());
    EXPECT_TRUE(declined.seen[0].yes && declined.seen[0].no);
    EXPECT_TRUE(Installed());

    AnsweredRun accepted = RunInstaller(L"install", IDYES);
    EXPECT_EQ(0u, accepted.exitCode);
    EXPECT_EQ(1u, accepted.seen.size());

    AnsweredRun removal = RunInstaller(L"remove", IDOK);
    EXPECT_EQ(0u, removal.exitCode);
    EXPECT_TRUE(removal.seen.empty());
    EXPECT_FALSE(Installed());
    EXPECT_TRUE(ReadStored(HKEY_LOCAL_MACHINE, L"Pellworth\\Patches", L"Fennistry").present);
}

TEST_F(SetupInstaller, RefusesAForeignDeviceAndCopiesNothing)
{
    SetPlatformName(L"Mondrey3");
    AnsweredRun run = RunInstaller(L"install", IDOK);
    EXPECT_EQ(1u, run.exitCode);
    ASSERT_EQ(1u, run.seen.size());
    EXPECT_EQ(L"This CAB file is not for this product", run.seen[0].text);
    EXPECT_FALSE(Installed());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(kInstallDir));
}

}  // namespace
