// The kit's CAB package: read back as the device's installer reads it, compared with the CAB
// Wizard's .inf, and installed on the emulated device by the stand-in installer.
#include "cab_package.h"
#include "device_files.h"
#include "device_registry.h"
#include "message_box_answerer.h"
#include "program_driver.h"

namespace {

const wchar_t kInstallDir[] = L"C:\\Device\\Program Files\\Quillmere";
const wchar_t kInstalledProgram[] = L"C:\\Device\\Program Files\\Quillmere\\Quillmere.exe";
const wchar_t kShortcut[] = L"C:\\Device\\Windows\\Start Menu\\Programs\\Quillmere.lnk";
const wchar_t kOtherFolder[] = L"C:\\Device\\Program Files\\Other";
const wchar_t kOtherFile[] = L"C:\\Device\\Program Files\\Other\\readme.txt";

bool Exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

void WriteBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL);
    CloseHandle(file);
}

// Unpacking folders that an earlier run left (one stopped half-way) are not this test's.
void DeleteUnpackedFolders()
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((std::wstring(folder) + L"unpacked-*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring unpacked = std::wstring(folder) + found.cFileName;
        WIN32_FIND_DATAW member;
        HANDLE members = FindFirstFileW((unpacked + L"\\*").c_str(), &member);
        if (members != INVALID_HANDLE_VALUE) {
            do
                DeleteFileW((unpacked + L"\\" + member.cFileName).c_str());
            while (FindNextFileW(members, &member));
            FindClose(members);
        }
        RemoveDirectoryW(unpacked.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

int UnpackedFoldersLeft()
{
    wchar_t pattern[MAX_PATH];
    GetTempPathW(MAX_PATH, pattern);
    lstrcatW(pattern, L"unpacked-*");
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    int count = 0;
    do
        ++count;
    while (FindNextFileW(search, &found));
    FindClose(search);
    return count;
}

class Package : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UnpackPackage(HostPath(QUILLMERE_CAB).c_str(), &package)) << Narrow(package.problem);
    }
    void TearDown() override { DeleteUnpackedPackage(&package); }

    std::string Member(const wchar_t* name) { return ReadWhole(std::wstring(package.folder) + L"\\" + name); }

    UnpackedPackage package;
};

// Both packages, the emulated device's and the device's, from the one description: the same
// members and instructions but for the architecture, each carrying its own build's binaries.
TEST(Packages, ReadBackAsTheKitWithTheInstructionFileFirst)
{
    struct Case {
        const wchar_t* cabinet;
        DWORD architecture;
        WORD machine;
        std::wstring program, library;
    } cases[] = {
        {QUILLMERE_CAB, 8664, IMAGE_FILE_MACHINE_AMD64, ProgramPath(), HostPath(CORVANE_DLL)},
        {QUILLMERE_ARM_CAB, 0, IMAGE_FILE_MACHINE_ARM, HostPath(ARM_QUILLMERE), HostPath(ARM_CORVANE)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.cabinet));
        static UnpackedPackage package;
        ASSERT_TRUE(UnpackPackage(HostPath(c.cabinet).c_str(), &package)) << Narrow(package.problem);
        const wchar_t* expected[] = {L"Quillmer.000", L"0Corvane.999", L"Quillmer.001", L"_setup.xml"};
        ASSERT_EQ(4, package.memberCount);
        for (int i = 0; i < 4; ++i)
            EXPECT_STREQ(expected[i], package.members[i]);

        const PackageInstructions& instructions = package.instructions;
        EXPECT_EQ(c.architecture, instructions.architecture);
        EXPECT_STREQ("Quillmere", instructions.appName);
        EXPECT_STREQ("Pellworth", instructions.provider);
        std::string member = ReadWhole(std::wstring(package.folder) + L"\\Quillmer.000");
        EXPECT_EQ(member.size(), instructions.totalLength);
        ASSERT_EQ(1, instructions.directoryCount);
        EXPECT_STREQ("%CE1%\\Quillmere", instructions.directories[0].path);
        ASSERT_EQ(1, instructions.fileCount);
        EXPECT_EQ(1, instructions.files[0].id);
        EXPECT_EQ(instructions.directories[0].id, instructions.files[0].directoryId);
        EXPECT_STREQ("Quillmere.exe", instructions.files[0].target);
        ASSERT_EQ(1, instructions.shortcutCount);
        EXPECT_STREQ("Quillmere", instructions.shortcuts[0].name);
        EXPECT_EQ(11, instructions.shortcuts[0].baseDirectory);
        EXPECT_EQ(1, instructions.shortcuts[0].targetFile);
        EXPECT_EQ(1, instructions.shortcuts[0].type);
        EXPECT_EQ(0, instructions.registryKeyCount);
        EXPECT_EQ(0, instructions.registryValueCount);

        // The members are the built binaries, the setup library as .999.
        EXPECT_EQ(ReadWhole(c.library), ReadWhole(std::wstring(package.folder) + L"\\0Corvane.999"));
        EXPECT_EQ(ReadWhole(c.program), ReadWhole(std::wstring(package.folder) + L"\\Quillmer.001"));
        for (const wchar_t* program : {L"0Corvane.999", L"Quillmer.001"}) {
            WORD machine = 0;
            EXPECT_TRUE(MemberMachine(&package, program, &machine));
            EXPECT_EQ(c.machine, machine);
        }
        DeleteUnpackedPackage(&package);
    }
}

TEST_F(Package, SecondBuildGivesTheSameBytes)
{
    std::string first = ReadWhole(HostPath(QUILLMERE_CAB));
    EXPECT_FALSE(first.empty());
    EXPECT_EQ(first, ReadWhole(HostPath(QUILLMERE_CAB_AGAIN)));
}

TEST_F(Package, UnsoundInstructionFilesAreRefused)
{
    std::string good = Member(L"Quillmer.000");
    PackageInstructions parsed;
    wchar_t problem[256];
    ASSERT_TRUE(ParseInstructions((const BYTE*)good.data(), (DWORD)good.size(), &parsed, problem, 256));

    auto offsetOf = [&good](size_t headerField) { return (size_t) * (const DWORD*)(good.data() + headerField); };
    size_t strings = offsetOf(60), directories = offsetOf(64), files = offsetOf(68), shortcuts = offsetOf(80);
    size_t macro = good.find("%CE1%");
    ASSERT_NE(std::string::npos, macro);
    struct Damage {
        const char* what;
        size_t at;
        unsigned char value;
    } damages[] = {
        {"signature", 0, 'X'},
        {"total length", 8, 0x10},
        {"string section offset", 60, 0xFF},
        {"shortcut section offset", 80, 0xFF},
        {"application name offset", 84, 0},
        {"file entry's repeated id", files + 4, 7},
        {"%CE1% without its closing %", macro + 4, 'x'},
        {"unknown folder macro %CE7%", macro + 3, '7'},
        {"string length short of its NUL", strings + 2, (unsigned char)(good[strings + 2] - 1)},
        {"string id 0", strings, 0},
        {"directory naming an unknown string", directories + 4, 0x7F},
        {"file in an unknown directory", files + 2, 0x7F},
        {"shortcut to an unknown file", shortcuts + 6, 0x7F},
        {"shortcut in an unknown folder", shortcuts + 4, 7},
    };
    for (const Damage& damage : damages) {
        SCOPED_TRACE(damage.what);
        std::string bad = good;
        bad[damage.at] = (char)damage.value;
        EXPECT_FALSE(ParseInstructions((const BYTE*)bad.data(), (DWORD)bad.size(), &parsed, problem, 256));
        EXPECT_NE(L'\0', problem[0]);
    }
    wchar_t path[MAX_PATH];
    EXPECT_FALSE(ResolveDevicePath("%CE1\\Quillmere", L"", path, MAX_PATH));
    EXPECT_FALSE(ResolveDevicePath("%CE1%\\Quillmere", L"", path, 8));
    EXPECT_STREQ(L"", path);
    std::string cut = good.substr(0, good.size() - 3);
    EXPECT_FALSE(ParseInstructions((const BYTE*)cut.data(), (DWORD)cut.size(), &parsed, problem, 256));
}

TEST_F(Package, CabWizardInfListsTheSameFilesFoldersAndShortcut)
{
    std::string inf = ReadWhole(HostPath(QUILLMERE_INF));
    ASSERT_FALSE(inf.empty());
    auto has = [&inf](const std::string& line) { return inf.find(line + "\r\n") != std::string::npos; };
    const PackageInstructions& instructions = package.instructions;
    EXPECT_TRUE(has(std::string("AppName=\"") + instructions.appName + "\""));
    EXPECT_TRUE(has(std::string("Provider=\"") + instructions.provider + "\""));
    EXPECT_TRUE(has(std::string("InstallDir=") + instructions.directories[0].path));
    EXPECT_TRUE(has("Files=0,%InstallDir%"));
    EXPECT_TRUE(has(std::string("\"") + instructions.files[0].target + "\",\"" + instructions.files[0].target +
                    "\",,0x40000000"));
    EXPECT_TRUE(has(std::string(instructions.files[0].target) + "=1"));
    EXPECT_TRUE(has("Shortcuts=0,%CE11%"));
    EXPECT_TRUE(has(std::string(instructions.shortcuts[0].name) + ",0," + instructions.files[0].target));
    EXPECT_TRUE(has("CESetupDLL=Corvane.dll"));
    EXPECT_EQ(std::string::npos, inf.find("AddReg=Reg"));
}

AnsweredRun RunInstaller(const wchar_t* action, int answer, const std::wstring& cabinet = HostPath(QUILLMERE_CAB),
                         const wchar_t* options = L"")
{
    return RunAnswering(HostPath(SETUP_INSTALLER_EXE),
                        std::wstring(action) + L" \"" + cabinet + L"\"" + InstallerOptions() + options, answer);
}

std::wstring TestPackage(const wchar_t* name)
{
    return HostPath(TEST_PACKAGES) + L"\\" + name + L".cab";
}

AnsweredRun Remove(const wchar_t* application)
{
    return RunAnswering(HostPath(SETUP_INSTALLER_EXE), std::wstring(L"remove ") + application + SecurityStateOption(), IDOK);
}

class PackageInstallation : public ::testing::Test {
protected:
    void SetUp() override
    {
        Clean();
        DeleteUnpackedFolders();
    }
    void TearDown() override
    {
        Clean();
        SetPlatformName(L"Brisle2");
        DeleteParametersKey();
    }
    void Clean()
    {
        DeleteFileW(kInstalledProgram);
        DeleteFileW(kShortcut);
        RemoveDirectoryW(kInstallDir);
        DeleteFileW(kOtherFile);
        RemoveDirectoryW(kOtherFolder);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Pellworth");
    }
};

TEST_F(PackageInstallation, InstallsRunsAsksOnARepeatAndRemoves)
{
    SetPlatformName(L"Brisle2");
    AnsweredRun first = RunInstaller(L"install-cab", IDNO);
    EXPECT_EQ(0u, first.exitCode);
    EXPECT_TRUE(first.seen.empty());
    EXPECT_EQ(ReadWhole(ProgramPath()), ReadWhole(kInstalledProgram));
    EXPECT_EQ("49#\"C:\\Device\\Program Files\\Quillmere\\Quillmere.exe\"", ReadWhole(kShortcut));
    StoredValue marker = ReadStored(HKEY_LOCAL_MACHINE, L"Pellworth\\Patches", L"Fennistry");
    EXPECT_EQ((DWORD)REG_DWORD, marker.type);
    EXPECT_EQ(std::vector<BYTE>({1, 0, 0, 0}), marker.data);
    EXPECT_EQ(0, UnpackedFoldersLeft());

    // The installed program starts and shows its form.
    StoreWhiteList(L"1", L"1", {L"installed"});
    RunningProgram installed = StartQuillmere(kInstalledProgram);
    ASSERT_NE(nullptr, installed.window);
    std::vector<HWND> fields = OwnedWindowsOfClass(installed.window, L"Edit");
    ASSERT_EQ(10u, fields.size());
    wchar_t text[64] = {};
    SendMessageW(fields[0], WM_GETTEXT, 64, (LPARAM)text);
    EXPECT_STREQ(L"installed", text);
    PostMessageW(installed.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(0u, WaitForExit(installed));
    EndProgram(installed);

    // A repeat asks; No leaves the first installation as it was.
    FILETIME before, after;
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    GetFileAttributesExW(kInstalledProgram, GetFileExInfoStandard, &attributes);
    before = attributes.ftLastWriteTime;
    AnsweredRun declined = RunInstaller(L"install-cab", IDNO);
    EXPECT_EQ(1u, declined.exitCode);
    ASSERT_EQ(1u, declined.seen.size());
    EXPECT_TRUE(declined.seen[0].yes && declined.seen[0].no);
    GetFileAttributesExW(kInstalledProgram, GetFileExInfoStandard, &attributes);
    after = attributes.ftLastWriteTime;
    EXPECT_EQ(0, CompareFileTime(&before, &after));
    EXPECT_TRUE(Exists(kShortcut));
    EXPECT_EQ(0, UnpackedFoldersLeft());

    // The installation replaces each file it writes: a file linked to another leaves that one as it was.
    const wchar_t* const linked[][2] = {{kInstalledProgram, L"C:\\linked-program"}, {kShortcut, L"C:\\linked-shortcut"}};
    for (const auto& link : linked) {
        WriteBytes(link[1], "kept");
        DeleteFileW(link[0]);
        ASSERT_TRUE(CreateHardLinkW(link[0], link[1], NULL));
    }
    AnsweredRun accepted = RunInstaller(L"install-cab", IDYES);
    EXPECT_EQ(0u, accepted.exitCode);
    EXPECT_EQ(1u, accepted.seen.size());
    EXPECT_EQ(ReadWhole(ProgramPath()), ReadWhole(kInstalledProgram));
    EXPECT_EQ("49#\"C:\\Device\\Program Files\\Quillmere\\Quillmere.exe\"", ReadWhole(kShortcut));
    for (const auto& link : linked) {
        EXPECT_EQ("kept", ReadWhole(link[1]));
        DeleteFileW(link[1]);
    }

    // Removed by its name, with what the installation recorded.
    AnsweredRun removal = Remove(L"Quillmere");
    EXPECT_EQ(0u, removal.exitCode) << removal.output;
    EXPECT_TRUE(removal.seen.empty());
    EXPECT_FALSE(Exists(kInstalledProgram));
    EXPECT_FALSE(Exists(kShortcut));
    EXPECT_FALSE(Exists(kInstallDir));
    EXPECT_TRUE(ReadStored(HKEY_LOCAL_MACHINE, L"Pellworth\\Patches", L"Fennistry").present);
    wchar_t state[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"DEVICE_SECURITY", state, MAX_PATH);
    EXPECT_FALSE(Exists((HostPath(state) + L"\\applications\\Quillmere").c_str()));
    EXPECT_EQ(11u, Remove(L"Quillmere").exitCode);
}

TEST_F(PackageInstallation, ForeignDeviceIsRefusedAndNothingIsLeftBehind)
{
    SetPlatformName(L"Brisle3");
    AnsweredRun run = RunInstaller(L"install-cab", IDOK);
    EXPECT_EQ(1u, run.exitCode);
    ASSERT_EQ(1u, run.seen.size());
    EXPECT_EQ(L"This CAB file is not for this product", run.seen[0].text);
    EXPECT_FALSE(Exists(kInstallDir));
    EXPECT_FALSE(Exists(kShortcut));
    EXPECT_EQ(0, UnpackedFoldersLeft());
}

// A package named as an installed application (letter case aside) takes nothing from it: from
// another provider it is refused, and from the same provider name unless signed by the same
// signer as the installed one (any package can give that name); otherwise the record keeps what
// the earlier installation made, and its setup library, so that the removal takes everything away.
TEST_F(PackageInstallation, APackageNamedAsAnInstalledApplicationLeavesNothingUnrecorded)
{
    const wchar_t kSigner[] = L" --signer 62EBB40785F213830F6E66D7175CE5186ADC3F7E";
    SetPlatformName(L"Brisle2");
    ASSERT_EQ(0u, RunInstaller(L"install-cab", IDNO, HostPath(QUILLMERE_CAB), kSigner).exitCode);
    const struct {
        const wchar_t* package;
        const wchar_t* options;
        const char* says;
    } refused[] = {
        {L"kit-name-elsewhere", kSigner, "an application named QUILLMERE from provider Pellworth is installed; remove it "
                                         "first"},
        {L"kit-name", L"", "an application named QUILLMERE signed by 62EBB40785F213830F6E66D7175CE5186ADC3F7E is "
                           "installed, and this package is unsigned; remove it first"},
        {L"kit-name", L" --signer 0000000000000000000000000000000000000000", "and this package is signed by "
                                                                            "0000000000000000000000000000000000000000;"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(Narrow(c.package) + Narrow(c.options));
        AnsweredRun run = RunInstaller(L"install-cab", IDOK, TestPackage(c.package), c.options);
        EXPECT_EQ(15u, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << run.output;
        EXPECT_FALSE(Exists(kOtherFolder));
    }

    AnsweredRun same = RunInstaller(L"install-cab", IDOK, TestPackage(L"kit-name"),
                                    L" --signer 62ebb40785f213830f6e66d7175ce5186adc3f7e");
    EXPECT_EQ(0u, same.exitCode) << same.output;
    EXPECT_EQ("same", ReadWhole(kOtherFile));
    AnsweredRun removal = Remove(L"Quillmere");
    EXPECT_EQ(0u, removal.exitCode) << removal.output;
    EXPECT_NE(std::string::npos, removal.output.find("Uninstall_Exit: 0")) << removal.output;
    for (const wchar_t* path : {kOtherFile, kOtherFolder, kInstalledProgram, kShortcut, kInstallDir})
        EXPECT_FALSE(Exists(path)) << Narrow(path);
}

const wchar_t kSubstitutionKey[] = L"Software\\Pellworth\\Substitution";
const wchar_t kBuilderKey[] = L"Software\\Pellworth\\Builder";
const wchar_t kSubstitutionFolder[] = L"C:\\Device\\Program Files\\Substitution";

std::wstring TemporaryPath(const std::wstring& name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    wchar_t full[MAX_PATH];
    GetFullPathNameW((folder + name).c_str(), MAX_PATH, full, NULL);
    return full;
}

// A copy of a package whose _setup.xml member bears another name of the same length; each copy a
// file of its own.
std::wstring WithSetupXmlRenamed(const std::string& name)
{
    static int copies = 0;
    std::string bytes = ReadWhole(TestPackage(L"substitution"));
    size_t at = bytes.find("_setup.xml");
    EXPECT_NE(std::string::npos, at);
    EXPECT_EQ(10u, name.size());
    bytes.replace(at, 10, name);
    std::wstring copy = TemporaryPath(L"renamed-member-" + std::to_wstring(++copies) + L".cab");
    WriteBytes(copy, bytes);
    return copy;
}

class InstallerPackages : public ::testing::Test {
protected:
    void SetUp() override
    {
        TearDown();
        DeleteUnpackedFolders();
    }
    void TearDown() override
    {
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kSubstitutionKey);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kBuilderKey);
        RemoveDirectoryW(kSubstitutionFolder);
        DeleteFileW(L"C:\\Device\\Program Files\\Boot\\boot.txt");
        RemoveDirectoryW(L"C:\\Device\\Program Files\\Boot");
    }
};

TEST_F(InstallerPackages, RegistryStringsAreSubstitutedOnlyWhenMarkedAndAnyBuildersXmlIsRead)
{
    AnsweredRun run = RunInstaller(L"install-cab", IDOK, TestPackage(L"substitution"));
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(ValueIsText(HKEY_LOCAL_MACHINE, kSubstitutionKey, L"Marked", L"C:\\Device\\Program Files\\x"));
    EXPECT_TRUE(ValueIsText(HKEY_LOCAL_MACHINE, kSubstitutionKey, L"Unmarked", L"%CE1%\\x"));
    EXPECT_TRUE(ValueIsText(HKEY_LOCAL_MACHINE, kSubstitutionKey, L"Every",
                            L"C:\\Device\\Windows;C:\\Device\\Windows\\Start Menu\\Programs;C:\\Device\\Program Files\\Substitution;"
                            L"Substitution;50"));

    run = RunInstaller(L"install-cab", IDOK, TestPackage(L"other-builder"));
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_TRUE(ValueIsText(HKEY_LOCAL_MACHINE, kBuilderKey, L"Quoted", L"a \"b\" <c> & 'd'"));
    EXPECT_TRUE(ValueIsText(HKEY_LOCAL_MACHINE, kBuilderKey, L"Plain", L"x"));
}

// The device's \\Windows and \\Program Files are folders of their own: files named as those Wine
// acts on in its own Windows folder (boot files, a driver its desktop looks for along the DLL
// search path, fonts) and as modules it registers in its Program Files land there, and nothing of
// Wine's is made or changed. Wine's folders, which no folder macro reaches any more, stay refused
// for any path. A removal deletes the folders the installation made and no other.
TEST_F(InstallerPackages, TheDevicesFoldersAreItsOwnNotWines)
{
    const struct {
        const wchar_t* device;
        const char* holds;
        const wchar_t* wine;
    } files[] = {
        {L"C:\\Device\\Windows\\wininit.ini", "[rename]", L"C:\\windows\\wininit.ini"},
        {L"C:\\Device\\Windows\\win.ini", "[windows]\r\nload=", L"C:\\windows\\win.ini"},
        {L"C:\\Device\\Windows\\security", "security", L"C:\\windows\\security"},
        {L"C:\\Device\\Windows\\AppMgr", "AppMgr", L"C:\\windows\\AppMgr"},
        {L"C:\\Device\\Windows\\system\\winemac.drv", "driver", L"C:\\windows\\system\\winemac.drv"},
        {L"C:\\Device\\Windows\\Fonts\\x.ttf", "font", L"C:\\windows\\Fonts\\x.ttf"},
        {L"C:\\Device\\Windows\\SYSTEM32\\boot.dll", "library", L"C:\\windows\\system32\\boot.dll"},
        {L"C:\\Device\\Windows\\Boot.lnk", "#\"C:\\Device\\Windows\\wininit.ini\"", L"C:\\windows\\Boot.lnk"},
        {L"C:\\Device\\Program Files\\Common Files\\System\\ADO\\msado15.dll", "ado",
         L"C:\\Program Files\\Common Files\\System\\ADO\\msado15.dll"},
        {L"C:\\Device\\Program Files\\Internet Explorer\\iexplore.exe", "browser",
         L"C:\\Program Files\\Internet Explorer\\iexplore.exe"},
    };
    // A folder that was there before the installation is not the removal's to delete; those it
    // made are.
    const wchar_t* const before[] = {L"C:\\Device\\Program Files\\Common Files",
                                     L"C:\\Device\\Program Files\\Common Files\\System",
                                     L"C:\\Device\\Program Files\\Common Files\\System\\ADO"};
    const wchar_t* const made[] = {L"C:\\Device\\Windows\\system", L"C:\\Device\\Windows\\Fonts",
                                   L"C:\\Device\\Windows\\SYSTEM32", L"C:\\Device\\Program Files\\Internet Explorer"};
    for (const auto& file : files)
        DeleteFileW(file.device);
    for (const wchar_t* folder : made)
        RemoveDirectoryW(folder);
    for (const wchar_t* folder : before)
        CreateDirectoryW(folder, NULL);
    std::vector<std::string> wine;
    for (const auto& file : files)
        wine.push_back(ReadWhole(file.wine));
    AnsweredRun run = RunInstaller(L"install-cab", IDOK, TestPackage(L"device-windows"));
    EXPECT_EQ(0u, run.exitCode) << run.output;
    for (size_t i = 0; i < sizeof files / sizeof files[0]; ++i) {
        SCOPED_TRACE(Narrow(files[i].device));
        EXPECT_NE(std::string::npos, ReadWhole(files[i].device).find(files[i].holds));
        EXPECT_EQ(wine[i], ReadWhole(files[i].wine));
        EXPECT_EQ(nullptr, ProtectedPlace(files[i].device));
        EXPECT_NE(nullptr, ProtectedPlace(files[i].wine));
    }
    for (const wchar_t* refused : {L"C:\\windows", L"C:\\Device\\..\\WINDOWS\\fonts\\y.ttf", L"D:\\Device\\Windows\\x",
                                   L"C:\\Program Files", L"c:\\PROGRAM FILES\\x", L"C:\\Program Files (x86)\\x"})
        EXPECT_NE(nullptr, ProtectedPlace(refused)) << Narrow(refused);
    for (const wchar_t* allowed : {L"C:\\Device\\Program Files\\x", L"C:\\Program Files x\\y"})
        EXPECT_EQ(nullptr, ProtectedPlace(allowed)) << Narrow(allowed);
    AnsweredRun removal = Remove(L"Boot");
    EXPECT_EQ(0u, removal.exitCode) << removal.output;
    for (const auto& file : files)
        EXPECT_FALSE(Exists(file.device)) << Narrow(file.device);
    for (const wchar_t* folder : before)
        EXPECT_TRUE(Exists(folder)) << Narrow(folder);
    for (const wchar_t* folder : made)
        EXPECT_FALSE(Exists(folder)) << Narrow(folder);
    for (const wchar_t* folder : {L"C:\\Device\\Windows", L"C:\\Device\\Program Files"})
        EXPECT_TRUE(Exists(folder)) << Narrow(folder);
    for (int i = sizeof before / sizeof before[0] - 1; i >= 0; --i)
        RemoveDirectoryW(before[i]);
}

// Refused with its own exit code and message, before anything is set, made or extracted
// outside the unpacking folder; the clean-up removes only what the unpacking made.
TEST_F(InstallerPackages, UnsoundPackagesAreRefusedAndLeaveNothingBehind)
{
    std::wstring outside = TemporaryPath(L"..\\evil");
    WriteBytes(outside, "kept");
    struct Case {
        const char* what;
        std::wstring cabinet;
        DWORD exitCode;
        const char* says;
        bool longTemporaryFolder = false;
        const wchar_t* options = L"";
    } cases[] = {
        {"a temporary folder too long for a path", TestPackage(L"substitution"), 4, "cannot make a folder", true},
        {"the device's ARM package", HostPath(QUILLMERE_ARM_CAB), 6, "0Corvane.999 is built for ARM"},
        {"a marked value with an unknown macro", TestPackage(L"unknown-macro"), 4, "no known macro"},
        {"an installation folder too long for the device", TestPackage(L"long-folder"), 5, "cannot be resolved"},
        {"a setup library without hooks", TestPackage(L"hookless"), 3, "lacks a setup hook"},
        {"a _setup.xml that disagrees", TestPackage(L"disagreeing"), 4, "registry values"},
        {"a member in the parent's parent", WithSetupXmlRenamed("..\\..\\evil"), 4, "not a plain file name"},
        {"a member in a folder", WithSetupXmlRenamed("sub\\setupx"), 4, "not a plain file name"},
        {"a member on a drive", WithSetupXmlRenamed("C:evil.xml"), 4, "not a plain file name"},
        {"a member with a slash", WithSetupXmlRenamed("a/evil.xml"), 4, "not a plain file name"},
        {"a member with a trailing dot", WithSetupXmlRenamed("setup.xml."), 4, "not a plain file name"},
        {"a member named as a device", WithSetupXmlRenamed("nul.setupx"), 4, "not a plain file name"},
        {"two setup libraries", TestPackage(L"two-libraries"), 9, "more than one setup library"},
        {"a member twice under one device name", TestPackage(L"one-file-twice"), 9, "one file on the device"},
        {"a setup library other than the one checked", TestPackage(L"hookless"), 10, "not the one the device's",
         false, L" --library-sha256 0000000000000000000000000000000000000000000000000000000000000000"},
        {"a setup library where none was checked", TestPackage(L"hookless"), 10, "not the one the device's", false,
         L" --library-sha256 none"},
        {"a signer that is no thumbprint", TestPackage(L"substitution"), 2, "usage: SetupInstaller", false,
         L" --signer 62EBB40785F213830F6E66D7175CE5186ADC3F7"},
        {"a folder without a folder macro", TestPackage(L"no-macro-folder"), 4, "does not start with a known folder"},
        {"a _setup.xml that adds certificates", TestPackage(L"more-certificates"), 4,
         "_setup.xml holds characteristic \"CertificateStore\", which the instruction file does not account for"},
        {"a _setup.xml that sets another value", TestPackage(L"more-values"), 4, "holds parm \"Unmarked\""},
        {"a _setup.xml that names a setup library", TestPackage(L"more-library"), 4, "_setup.xml disagrees with the "
         "instruction file"},
        {"a _setup.xml that extracts another file", TestPackage(L"more-files"), 4, "holds characteristic \"boot.exe\""},
        {"a registry key without the Manager role", TestPackage(L"key-only"), 7, "needs the Manager role", false,
         L" --role 64"},
        {"a .cpf whose parm holds a characteristic", TestPackage(L"nested-parm"), 4, "an element inside a parm"},
    };
    wchar_t temporary[MAX_PATH];
    GetEnvironmentVariableW(L"TMP", temporary, MAX_PATH);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        // The installer inherits the variable that names its temporary folder.
        if (c.longTemporaryFolder)
            SetEnvironmentVariableW(L"TMP", (L"C:\\" + std::wstring(300, L't')).c_str());
        AnsweredRun run = RunAnswering(HostPath(SETUP_INSTALLER_EXE),
                                       L"install-cab \"" + c.cabinet + L"\"" + InstallerOptions() + c.options, IDOK);
        SetEnvironmentVariableW(L"TMP", temporary);
        EXPECT_EQ(c.exitCode, run.exitCode);
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << run.output;
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kSubstitutionKey));
        EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kBuilderKey));
        EXPECT_FALSE(Exists(kSubstitutionFolder));
        EXPECT_EQ(0, UnpackedFoldersLeft());
        EXPECT_EQ("kept", ReadWhole(outside));
        EXPECT_FALSE(Exists(L"C:\\Device\\Program Files\\Boot"));
    }
    DeleteFileW(outside.c_str());
    for (const Case& c : cases)
        if (c.cabinet.find(L"renamed-member-") != std::wstring::npos)
            DeleteFileW(c.cabinet.c_str());
}

}  // namespace
