// The device's CAB installer for the emulated device: installs a CAB package as the device
// does (its setup library's hooks called by name around creating the folders, copying the
// files, creating the shortcuts and setting the registry values), removes an installed
// application by its name with what its installation recorded, or lists and checks a package.
//
//   SetupInstaller install-cab PACKAGE.CAB --security FOLDER [--role MASK] [--library-sha256 HEX|none] [--answer yes|no|unseen]
//                              [--question-seconds SECONDS] [--signer THUMBPRINT|unsigned]
//   SetupInstaller remove      APPLICATION --security FOLDER [--library-sha256 HEX|none] [--answer yes|no|unseen]
//                              [--question-seconds SECONDS]
//   SetupInstaller list        PACKAGE.CAB
//   SetupInstaller answer      DOCUMENT.XML ANSWER.XML --security FOLDER [--role MASK]
//
// A .cpf (a cabinet of _setup.xml alone) is applied by the device's configuration manager
// instead. answer hands a provisioning document to the configuration manager as the management
// system's channel does (its settings applied, its queries answered) and writes its answer.
// FOLDER is the device's security state: its certificate stores and installation records. MASK
// is the security role the package was accepted with, with the Manager role (8) already added
// where the device's policies grant it: the emulated device's scripts decide that, and nothing
// here reads a policy (16, User Authenticated, when none is given). --library-sha256 names the
// setup library the device's security checked: another one (or any, with none) is not loaded.
// --signer is who signed the package, as the device's security found it (the thumbprint of the
// certificate that signed it when it trusted it; unsigned when not given). The setup library's message boxes are answered on the
// screen (a question nobody answers is a No after its deadline, --question-seconds, 120 s unless
// given), or as --answer says; unseen: nobody can see the screen, so a question is a No and goes
// unanswered.
//
// Exit codes: kExitCodes below, which the usage text prints.
#include <windows.h>

#include <stdio.h>

#include "cab_package.h"
#include "configuration_manager.h"
#include "device_files.h"
#include "installed_applications.h"
#include "question_boxes.h"
#include "setup_hooks.h"

#define EXIT_UNANSWERED 12
#define EXIT_INSTALLED_ELSEWHERE 15

struct SetupLibrary {
    HMODULE module;
    pfnInstall_Init installInit;
    pfnInstall_Exit installExit;
    pfnUninstall_Init uninstallInit;
    pfnUninstall_Exit uninstallExit;
};

static BOOL LoadSetupLibrary(LPCWSTR path, SetupLibrary* library)
{
    library->module = LoadLibraryW(path);
    if (library->module == NULL) {
        wprintf(L"cannot load %ls (error %lu)\n", path, GetLastError());
        return FALSE;
    }
    library->installInit = (pfnInstall_Init)(void*)GetProcAddress(library->module, INSTALL_INIT_NAME);
    library->installExit = (pfnInstall_Exit)(void*)GetProcAddress(library->module, INSTALL_EXIT_NAME);
    library->uninstallInit = (pfnUninstall_Init)(void*)GetProcAddress(library->module, UNINSTALL_INIT_NAME);
    library->uninstallExit = (pfnUninstall_Exit)(void*)GetProcAddress(library->module, UNINSTALL_EXIT_NAME);
    if (!library->installInit || !library->installExit || !library->uninstallInit || !library->uninstallExit) {
        wprintf(L"%ls lacks a setup hook\n", path);
        // Freed at once, so that the unpacked library can be deleted.
        FreeLibrary(library->module);
        return FALSE;
    }
    return TRUE;
}

// Install_Init, before anything is created; TRUE when the library lets the installation go on.
static BOOL InstallInit(const SetupLibrary& library, LPCWSTR folder)
{
    BOOL previouslyInstalled = GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES;
    codeINSTALL_INIT init = library.installInit(NULL, TRUE, previouslyInstalled, folder);
    wprintf(L"Install_Init: %d (%ls)\n", init, init == codeINSTALL_INIT_CONTINUE ? L"continue" : L"cancel");
    return init == codeINSTALL_INIT_CONTINUE;
}

static BOOL UninstallInit(const SetupLibrary& library, LPCWSTR folder)
{
    codeUNINSTALL_INIT init = library.uninstallInit(NULL, folder);
    wprintf(L"Uninstall_Init: %d (%ls)\n", init, init == codeUNINSTALL_INIT_CONTINUE ? L"continue" : L"cancel");
    return init == codeUNINSTALL_INIT_CONTINUE;
}

static BOOL InstallDirOf(const UnpackedPackage& package, WCHAR* installDir)
{
    const PackageInstructions& instructions = package.instructions;
    return instructions.directoryCount > 0 &&
           ResolveDevicePath(instructions.directories[0].path, L"", installDir, MAX_PATH);
}

static BOOL DirectoryPath(const UnpackedPackage& package, WORD id, LPCWSTR installDir, WCHAR* path)
{
    for (int i = 0; i < package.instructions.directoryCount; ++i)
        if (package.instructions.directories[i].id == id)
            return ResolveDevicePath(package.instructions.directories[i].path, installDir, path, MAX_PATH);
    return FALSE;
}

// Each folder of the path below C:\ that is not there, parents first, in turn: TRUE to go on.
static BOOL ForEachMissingFolder(LPCWSTR path, BOOL (*missing)(LPCWSTR folder, InstalledApplication* record),
                                 InstalledApplication* record)
{
    WCHAR partial[MAX_PATH];
    for (int i = 0; path[i] != 0 && i < MAX_PATH - 1; ++i) {
        partial[i] = path[i];
        partial[i + 1] = 0;
        if ((path[i + 1] == L'\\' || path[i + 1] == 0) && i > 2 &&
            GetFileAttributesW(partial) == INVALID_FILE_ATTRIBUTES && !missing(partial, record))
            return FALSE;
    }
    return TRUE;
}

// A folder is the installation's only when it made it (CreateDirectoryW succeeded): the record
// keeps only those, so that a removal never deletes a folder that was there before. A folder the
// record has no room for is not made.
static BOOL MakeFolder(LPCWSTR folder, InstalledApplication* made)
{
    if (made->directoryCount >= PACKAGE_MAX_ENTRIES)
        return FALSE;
    if (CreateDirectoryW(folder, NULL))
        lstrcpynW(made->directories[made->directoryCount++], folder, MAX_PATH);
    return TRUE;
}

static BOOL MakeFolders(LPCWSTR path, InstalledApplication* made)
{
    return ForEachMissingFolder(path, MakeFolder, made) && GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

static BOOL TargetPath(const UnpackedPackage& package, const PackageFile& file, LPCWSTR installDir, WCHAR* target)
{
    WCHAR folder[MAX_PATH];
    return DirectoryPath(package, file.directoryId, installDir, folder) &&
           FormatPath(target, MAX_PATH, L"%ls\\%hs", folder, file.target);
}

static BOOL ShortcutPath(const PackageShortcut& shortcut, LPCWSTR installDir, WCHAR* path)
{
    WCHAR folder[MAX_PATH];
    return ShortcutFolder(shortcut.baseDirectory, installDir, folder, MAX_PATH) &&
           FormatPath(path, MAX_PATH, L"%ls\\%hs.lnk", folder, shortcut.name);
}

// The device's shortcuts are text files: the length of what follows the '#', then the quoted target.
static BOOL WriteShortcut(LPCWSTR path, LPCWSTR target)
{
    char text[MAX_PATH + 16];
    int quotedLength = lstrlenW(target) + 2;
    int length = _snprintf(text, sizeof text, "%d#\"%ls\"", quotedLength, target);
    // Only a text that fits is written: a failed shortcut leaves no file behind.
    return length > 0 && length < (int)sizeof text && WriteWhole(path, text, (DWORD)length);
}

// A stored 8-bit text as the device's installer would write it. The device converts it with its
// own code page, which the emulated device does not know: only ASCII is taken.
static BOOL WidenAscii(const char* text, WCHAR* wide, int wideChars)
{
    for (int i = 0; i < wideChars; ++i) {
        if ((BYTE)text[i] >= 0x80)
            return FALSE;
        wide[i] = text[i];
        if (text[i] == 0)
            return TRUE;
    }
    return FALSE;
}

static BOOL SetRegistryValue(const PackageInstructions& instructions, HKEY key, const PackageRegistryValue& value,
                             LPCWSTR installDir)
{
    WCHAR name[PACKAGE_NAME_CHARS];
    if (!WidenAscii(value.name, name, PACKAGE_NAME_CHARS))
        return FALSE;
    if ((value.type & PACKAGE_REG_NO_CLOBBER) && RegQueryValueExW(key, name, NULL, NULL, NULL, NULL) == ERROR_SUCCESS)
        return TRUE;
    switch (value.type & PACKAGE_REG_TYPE_MASK) {
    case 0:
    case 0x10000: {
        static WCHAR text[4 * PACKAGE_VALUE_BYTES];
        int length;
        return RegistryText(&instructions, &value, installDir, text, 4 * PACKAGE_VALUE_BYTES, &length) &&
               RegSetValueExW(key, name, 0, value.type & 0x10000 ? REG_MULTI_SZ : REG_SZ, (const BYTE*)text,
                              length * sizeof(WCHAR)) == ERROR_SUCCESS;
    }
    case 1:
        return RegSetValueExW(key, name, 0, REG_BINARY, value.data, value.dataSize) == ERROR_SUCCESS;
    default:
        return RegSetValueExW(key, name, 0, REG_DWORD, value.data, value.dataSize) == ERROR_SUCCESS;
    }
}

// Creates each key the package names (as the device's installer does, when missing) and sets
// its values; what fails is counted for Install_Exit.
static void ApplyRegistry(const PackageInstructions& instructions, LPCWSTR installDir, WORD* failedKeys,
                          WORD* failedValues)
{
    for (int k = 0; k < instructions.registryKeyCount; ++k) {
        const PackageRegistryKey& entry = instructions.registryKeys[k];
        WCHAR path[MAX_PATH];
        HKEY key = NULL;
        if (!WidenAscii(entry.path, path, MAX_PATH) ||
            RegCreateKeyExW(RegistryRoot(entry.root), path, 0, NULL, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, NULL, &key,
                            NULL) != ERROR_SUCCESS) {
            wprintf(L"cannot create the registry key %hs\n", entry.path);
            (*failedKeys)++;
            key = NULL;
        }
        for (int v = 0; v < instructions.registryValueCount; ++v) {
            const PackageRegistryValue& value = instructions.registryValues[v];
            if (value.keyId != entry.id)
                continue;
            if (key == NULL || !SetRegistryValue(instructions, key, value, installDir)) {
                wprintf(L"cannot set the registry value %hs\n", value.name);
                (*failedValues)++;
            } else {
                wprintf(L"set %hs in %hs\n", value.name, entry.path);
            }
        }
        if (key != NULL)
            RegCloseKey(key);
    }
}

// A package without a setup library is installed without hooks. What the installation makes is
// noted in the application's record.
static int InstallPackage(const UnpackedPackage& package, const SetupLibrary* library, LPCWSTR installDir,
                          InstalledApplication* made)
{
    const PackageInstructions& instructions = package.instructions;
    if (library != NULL && !InstallInit(*library, installDir))
        return 1;

    WORD failedDirs = 0, failedFiles = 0, failedShortcuts = 0;
    for (int i = 0; i < instructions.directoryCount; ++i) {
        WCHAR folder[MAX_PATH];
        if (!DirectoryPath(package, instructions.directories[i].id, installDir, folder) || !MakeFolders(folder, made))
            failedDirs++;
    }
    for (int i = 0; i < instructions.fileCount; ++i) {
        WCHAR source[MAX_PATH], target[MAX_PATH];
        if (!FormatPath(source, MAX_PATH, L"%ls\\%ls", package.folder, MemberOfFile(&package, instructions.files[i].id)) ||
            !TargetPath(package, instructions.files[i], installDir, target) || !CopyWhole(source, target)) {
            wprintf(L"cannot copy %hs\n", instructions.files[i].target);
            failedFiles++;
        } else {
            wprintf(L"copied %ls\n", target);
            lstrcpynW(made->files[made->fileCount++], target, MAX_PATH);
        }
    }
    for (int i = 0; i < instructions.shortcutCount; ++i) {
        const PackageShortcut& shortcut = instructions.shortcuts[i];
        WCHAR path[MAX_PATH], folder[MAX_PATH], target[MAX_PATH] = L"";
        for (int f = 0; f < instructions.fileCount; ++f)
            if (instructions.files[f].id == shortcut.targetFile)
                TargetPath(package, instructions.files[f], installDir, target);
        if (target[0] == 0 || !ShortcutFolder(shortcut.baseDirectory, installDir, folder, MAX_PATH) ||
            !MakeFolders(folder, made) || !ShortcutPath(shortcut, installDir, path) || !WriteShortcut(path, target)) {
            wprintf(L"cannot create the shortcut %hs\n", shortcut.name);
            failedShortcuts++;
        } else {
            wprintf(L"created %ls\n", path);
            lstrcpynW(made->shortcuts[made->shortcutCount++], path, MAX_PATH);
        }
    }
    WORD failedKeys = 0, failedValues = 0;
    ApplyRegistry(instructions, installDir, &failedKeys, &failedValues);
    if (library == NULL) {
        wprintf(L"installed (%u directories, %u files, %u registry keys, %u registry values, %u shortcuts failed)\n",
                failedDirs, failedFiles, failedKeys, failedValues, failedShortcuts);
        return 0;
    }
    codeINSTALL_EXIT exit =
        library->installExit(NULL, installDir, failedDirs, failedFiles, failedKeys, failedValues, failedShortcuts);
    wprintf(L"Install_Exit(%u directories, %u files, %u registry keys, %u registry values, %u shortcuts failed): %d\n",
            failedDirs, failedFiles, failedKeys, failedValues, failedShortcuts, exit);
    return 0;
}

// SHA-256 of a file in 64 lowercase hexadecimal digits.
static BOOL FileSha256(LPCWSTR path, WCHAR* hex)
{
    static BYTE data[1 << 20];
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD size = 0;
    BOOL read = ReadFile(file, data, sizeof data, &size, NULL) && size < sizeof data;
    CloseHandle(file);
    BYTE hash[32];
    if (!read || !Hash(CALG_SHA_256, data, size, hash, sizeof hash))
        return FALSE;
    for (int i = 0; i < 32; ++i)
        _snwprintf(hex + 2 * i, 3, L"%02x", hash[i]);
    return TRUE;
}

// An application is removed with what its installation recorded: its setup library, checked when
// it was installed, and the folders, files and shortcuts it made. Registry values are kept:
// public documentation does not settle whether the device's installer removes them, and the
// driver's key is not the package's own.
static int RemoveApplication(LPCWSTR name, LPCWSTR checkedLibrary, LPCWSTR state)
{
    static InstalledApplication application;
    if (!ReadApplication(state, name, &application)) {
        wprintf(L"no application named %ls is installed (or its record is damaged)\n", name);
        return 11;
    }
    SetupLibrary library;
    WCHAR libraryPath[MAX_PATH], digest[65] = L"";
    if (application.hasLibrary) {
        // The recorded library is loaded only as it was installed, and as the device's security
        // checked it now.
        if (!RecordedLibraryPath(state, name, libraryPath) || !FileSha256(libraryPath, digest) ||
            lstrcmpiW(digest, application.librarySha256) != 0 ||
            (checkedLibrary != NULL && lstrcmpiW(digest, checkedLibrary) != 0)) {
            wprintf(L"the recorded setup library of %ls is not the one installed and checked\n", name);
            return 10;
        }
        if (!LoadSetupLibrary(libraryPath, &library))
            return 3;
    } else if (checkedLibrary != NULL && lstrcmpW(checkedLibrary, L"none") != 0) {
        wprintf(L"%ls has no recorded setup library\n", name);
        return 10;
    }
    if (application.hasLibrary && !UninstallInit(library, application.installDir)) {
        FreeLibrary(library.module);
        return 1;
    }
    for (int i = 0; i < application.shortcutCount; ++i)
        if (DeleteFileW(application.shortcuts[i]))
            wprintf(L"deleted %ls\n", application.shortcuts[i]);
    for (int i = 0; i < application.fileCount; ++i)
        if (DeleteFileW(application.files[i]))
            wprintf(L"deleted %ls\n", application.files[i]);
    for (int i = application.directoryCount - 1; i >= 0; --i)
        RemoveDirectoryW(application.directories[i]);
    if (application.hasLibrary) {
        wprintf(L"Uninstall_Exit: %d\n", library.uninstallExit(NULL));
        FreeLibrary(library.module);
    }
    ForgetApplication(state, name);
    wprintf(L"removed %ls; registry values kept\n", name);
    return 0;
}

static void ListPackage(const UnpackedPackage& package)
{
    const PackageInstructions& instructions = package.instructions;
    wprintf(L"application %hs, provider %hs, architecture %lu, %lu bytes of instructions\n", instructions.appName,
            instructions.provider, instructions.architecture, instructions.totalLength);
    for (int i = 0; i < package.memberCount; ++i)
        wprintf(L"member %ls\n", package.members[i]);
    for (int i = 0; i < instructions.directoryCount; ++i)
        wprintf(L"directory %u: %hs\n", instructions.directories[i].id, instructions.directories[i].path);
    for (int i = 0; i < instructions.fileCount; ++i)
        wprintf(L"file %u: %hs into directory %u, flags 0x%08lx, from %ls\n", instructions.files[i].id,
                instructions.files[i].target, instructions.files[i].directoryId, instructions.files[i].flags,
                MemberOfFile(&package, instructions.files[i].id));
    for (int i = 0; i < instructions.shortcutCount; ++i)
        wprintf(L"shortcut %u: %hs in %%CE%u%% to file %u\n", instructions.shortcuts[i].id, instructions.shortcuts[i].name,
                instructions.shortcuts[i].baseDirectory, instructions.shortcuts[i].targetFile);
    for (int i = 0; i < instructions.registryKeyCount; ++i)
        wprintf(L"registry key %u: root %u, %hs\n", instructions.registryKeys[i].id, instructions.registryKeys[i].root,
                instructions.registryKeys[i].path);
    for (int i = 0; i < instructions.registryValueCount; ++i) {
        const PackageRegistryValue& value = instructions.registryValues[i];
        if ((value.type & PACKAGE_REG_TYPE_MASK) == 0)
            wprintf(L"registry value %u: %hs in key %u, type 0x%lx, \"%hs\"\n", value.id, value.name, value.keyId,
                    value.type, (const char*)value.data);
        else
            wprintf(L"registry value %u: %hs in key %u, type 0x%lx, %lu bytes\n", value.id, value.name, value.keyId,
                    value.type, value.dataSize);
    }
    LPCWSTR library = MemberOfFile(&package, 999);
    wprintf(L"setup library %ls\n", library ? library : L"none");
}

// The emulated device's processor is the one this installer runs on: the platform's processor
// type for the instruction file, the machine of its own image for the programs.
#define PROCESSOR_AMD_X8664 8664

static WORD DeviceMachine(void)
{
    const BYTE* image = (const BYTE*)GetModuleHandleW(NULL);
    return ((const IMAGE_NT_HEADERS*)(image + ((const IMAGE_DOS_HEADER*)image)->e_lfanew))->FileHeader.Machine;
}

static LPCWSTR MachineName(WORD machine)
{
    return machine == IMAGE_FILE_MACHINE_ARM ? L"ARM" : machine == IMAGE_FILE_MACHINE_AMD64 ? L"x86-64"
           : machine == IMAGE_FILE_MACHINE_I386 ? L"x86" : L"another processor";
}

// The architecture field may be 0 ("any"), so every program the package carries (its files and
// its setup library) must be built for the device's processor too.
static BOOL IsForThisProcessor(const UnpackedPackage& package)
{
    DWORD architecture = package.instructions.architecture;
    if (architecture != 0 && architecture != PROCESSOR_AMD_X8664) {
        wprintf(L"the package is for processor type %lu, not for this device's (%d)\n", architecture,
                PROCESSOR_AMD_X8664);
        return FALSE;
    }
    for (int i = 0; i < package.memberCount; ++i) {
        WORD machine;
        if (MemberMachine(&package, package.members[i], &machine) && machine != DeviceMachine()) {
            wprintf(L"%ls is built for %ls (machine 0x%04x), not for this device's processor, %ls\n",
                    package.members[i], MachineName(machine), machine, MachineName(DeviceMachine()));
            return FALSE;
        }
    }
    return TRUE;
}

static int RunDocument(LPCWSTR action, const UnpackedPackage& package, DWORD role, LPCWSTR state)
{
    static XmlDocument document;
    if (!ReadSetupXml(&package, &document)) {
        wprintf(L"the provisioning document cannot be read: %ls\n", document.problem);
        return 4;
    }
    if (lstrcmpW(action, L"list") == 0) {
        wprintf(L"provisioning document of %d elements\n", document.elementCount);
        return 0;
    }
    return ProcessProvisioningDocument(&document, role, state, NULL);
}

static BOOL IsAllowedPlace(LPCWSTR path)
{
    LPCWSTR why = ProtectedPlace(path);
    if (why != NULL)
        wprintf(L"the package may not write %ls: %ls\n", path, why);
    return why == NULL;
}

static BOOL PlanFolder(LPCWSTR folder, InstalledApplication* planned)
{
    for (int i = 0; i < planned->directoryCount; ++i)
        if (lstrcmpiW(planned->directories[i], folder) == 0)
            return TRUE;
    if (planned->directoryCount >= PACKAGE_MAX_ENTRIES) {
        wprintf(L"the package makes more than %d folders, more than one record keeps\n", PACKAGE_MAX_ENTRIES);
        return FALSE;
    }
    lstrcpynW(planned->directories[planned->directoryCount++], folder, MAX_PATH);
    return TRUE;
}

static BOOL PlanFolders(LPCWSTR path, InstalledApplication* planned)
{
    return IsAllowedPlace(path) && ForEachMissingFolder(path, PlanFolder, planned);
}

static BOOL PlanPath(LPCWSTR path, WCHAR (*planned)[MAX_PATH], int* count)
{
    if (!IsAllowedPlace(path))
        return FALSE;
    lstrcpynW(planned[(*count)++], path, MAX_PATH);
    return TRUE;
}

// Every folder, file and shortcut at its full path, before anything is made (a path too long to
// build is not made at all); planned, what the installation would make: the folders that are not
// there yet, the files and the shortcuts.
static BOOL KeepsOutOfProtectedPlaces(const UnpackedPackage& package, LPCWSTR installDir, InstalledApplication* planned)
{
    const PackageInstructions& instructions = package.instructions;
    WCHAR path[MAX_PATH];
    for (int i = 0; i < instructions.directoryCount; ++i)
        if (DirectoryPath(package, instructions.directories[i].id, installDir, path) && !PlanFolders(path, planned))
            return FALSE;
    for (int i = 0; i < instructions.fileCount; ++i)
        if (TargetPath(package, instructions.files[i], installDir, path) &&
            !PlanPath(path, planned->files, &planned->fileCount))
            return FALSE;
    for (int i = 0; i < instructions.shortcutCount; ++i) {
        const PackageShortcut& shortcut = instructions.shortcuts[i];
        if (ShortcutFolder(shortcut.baseDirectory, installDir, path, MAX_PATH) && !PlanFolders(path, planned))
            return FALSE;
        if (ShortcutPath(shortcut, installDir, path) && !PlanPath(path, planned->shortcuts, &planned->shortcutCount))
            return FALSE;
    }
    return TRUE;
}

// An application of the same name (letter case aside) installed before: refused when it came
// from another provider, or was signed and this package is not signed by the same signer (a
// provider's name is only what a package says); otherwise the new record keeps every path of the
// earlier that this installation does not make again, and its setup library when this package
// has none, so that nothing installed is left unrecorded. FALSE when refused.
static BOOL TakesOverEarlier(const PackageInstructions& instructions, LPCWSTR signer, LPCWSTR name,
                             const InstalledApplication& earlier, const InstalledApplication& planned)
{
    static InstalledApplication together;
    if (strcmp(earlier.provider, instructions.provider) != 0) {
        wprintf(L"an application named %ls from provider %hs is installed; remove it first "
                L"(emulated_device/install-quillmere remove --app %ls)\n", name, earlier.provider, name);
        return FALSE;
    }
    if (lstrcmpW(earlier.signer, UNSIGNED_SIGNER) != 0 && lstrcmpiW(earlier.signer, signer) != 0) {
        wprintf(L"an application named %ls signed by %ls is installed, and this package is %ls%ls; remove it first "
                L"(emulated_device/install-quillmere remove --app %ls)\n", name, earlier.signer,
                lstrcmpW(signer, UNSIGNED_SIGNER) == 0 ? L"unsigned" : L"signed by ",
                lstrcmpW(signer, UNSIGNED_SIGNER) == 0 ? L"" : signer, name);
        return FALSE;
    }
    together = planned;
    if (!AddEarlierPaths(&together, &earlier)) {
        wprintf(L"the earlier installation of %ls and this one together make more than %d folders, files or shortcuts, "
                L"more than one record keeps; remove it first (emulated_device/install-quillmere remove --app %ls)\n",
                name, PACKAGE_MAX_ENTRIES, name);
        return FALSE;
    }
    return TRUE;
}

// The setup library is loaded only when it is the one the device's security checked.
static BOOL IsCheckedLibrary(const UnpackedPackage& package, LPCWSTR checked)
{
    LPCWSTR member = MemberOfFile(&package, 999);
    if (checked == NULL)
        return TRUE;
    WCHAR path[MAX_PATH], digest[65] = L"";
    if (member == NULL ? lstrcmpW(checked, L"none") == 0
                       : FormatPath(path, MAX_PATH, L"%ls\\%ls", package.folder, member) && FileSha256(path, digest) &&
                             lstrcmpiW(digest, checked) == 0)
        return TRUE;
    wprintf(L"the setup library %ls is not the one the device's security checked\n", member ? member : L"(none)");
    return FALSE;
}

static int InstallUnpacked(const UnpackedPackage& package, DWORD role, LPCWSTR checkedLibrary, LPCWSTR signer,
                           LPCWSTR state)
{
    if (!IsForThisProcessor(package))
        return 6;
    WCHAR name[PACKAGE_NAME_CHARS];
    if (!FormatPath(name, PACKAGE_NAME_CHARS, L"%hs", package.instructions.appName) || !IsApplicationName(name)) {
        wprintf(L"the application's name %hs cannot name its installation\n", package.instructions.appName);
        return 4;
    }
    if ((package.instructions.registryKeyCount > 0 || package.instructions.registryValueCount > 0) &&
        !(role & SECROLE_MANAGER)) {
        wprintf(L"creating registry keys and setting values needs the Manager role; this package was accepted with "
                L"role mask %lu\n", role);
        return 7;
    }
    static InstalledApplication made, planned, earlier;
    memset(&made, 0, sizeof made);
    memset(&planned, 0, sizeof planned);
    lstrcpynA(made.provider, package.instructions.provider, PACKAGE_NAME_CHARS);
    lstrcpynW(made.signer, signer, SIGNER_CHARS);
    if (package.instructions.directoryCount > 0 && !InstallDirOf(package, made.installDir)) {
        wprintf(L"the installation folder %hs cannot be resolved on this device\n",
                package.instructions.directories[0].path);
        return 5;
    }
    if (!KeepsOutOfProtectedPlaces(package, made.installDir, &planned))
        return 4;
    BOOL hasEarlier = ReadApplication(state, name, &earlier);
    if (hasEarlier && !TakesOverEarlier(package.instructions, signer, name, earlier, planned))
        return EXIT_INSTALLED_ELSEWHERE;
    if (!IsCheckedLibrary(package, checkedLibrary))
        return 10;
    LPCWSTR member = MemberOfFile(&package, 999);
    WCHAR libraryPath[MAX_PATH];
    SetupLibrary library;
    if (member != NULL && (!FormatPath(libraryPath, MAX_PATH, L"%ls\\%ls", package.folder, member) ||
                           !LoadSetupLibrary(libraryPath, &library)))
        return 3;
    if (member != NULL && !FileSha256(libraryPath, made.librarySha256)) {
        FreeLibrary(library.module);
        return 3;
    }
    int result = InstallPackage(package, member ? &library : NULL, made.installDir, &made);
    if (member != NULL)
        FreeLibrary(library.module);
    // The earlier setup library stays with the folder it was installed for, so that its uninstall
    // hooks run on removal as they would have.
    if (hasEarlier && member == NULL && earlier.hasLibrary) {
        made.hasLibrary = TRUE;
        lstrcpynW(made.librarySha256, earlier.librarySha256, 65);
        lstrcpynW(made.installDir, earlier.installDir, MAX_PATH);
    }
    // What was made is part of what was planned, which fits in one record with the earlier paths.
    if (hasEarlier)
        AddEarlierPaths(&made, &earlier);
    if (result == 0 && !RecordApplication(state, name, &made, member ? libraryPath : NULL))
        wprintf(L"cannot record the installation of %ls: it cannot be removed by name\n", name);
    return result;
}

static int RunUnpacked(LPCWSTR action, const UnpackedPackage& package, DWORD role, LPCWSTR checkedLibrary,
                       LPCWSTR signer, LPCWSTR state)
{
    if (package.provisioningOnly)
        return RunDocument(action, package, role, state);
    if (lstrcmpW(action, L"list") == 0) {
        ListPackage(package);
        return 0;
    }
    return InstallUnpacked(package, role, checkedLibrary, signer, state);
}

static int RunPackage(LPCWSTR action, LPCWSTR cabinet, DWORD role, LPCWSTR checkedLibrary, LPCWSTR signer,
                      LPCWSTR state)
{
    static UnpackedPackage package;
    int result;
    if (UnpackPackage(cabinet, &package)) {
        result = RunUnpacked(action, package, role, checkedLibrary, signer, state);
    } else {
        wprintf(L"%ls: %ls\n", cabinet, package.problem);
        result = package.ambiguous ? 9 : 4;
    }
    DeleteUnpackedPackage(&package);
    return result;
}

static int AnswerDocument(LPCWSTR path, LPCWSTR answerPath, DWORD role, LPCWSTR state)
{
    static char text[XML_POOL_BYTES];
    static XmlDocument document;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    DWORD size = 0;
    BOOL read = file != INVALID_HANDLE_VALUE && ReadFile(file, text, sizeof text, &size, NULL) && size < sizeof text;
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    if (!read || !ParseXml(text, size, &document)) {
        wprintf(L"%ls: %ls\n", path, read ? document.problem : L"it cannot be read, or is larger than the emulated device reads");
        return 4;
    }
    return ProcessProvisioningDocument(&document, role, state, answerPath);
}

// The one list of exit codes, printed with the usage and quoted by the documentation.
static const struct {
    int code;
    LPCWSTR meaning;
} kExitCodes[] = {
    {0, L"done (a document: every setting applied, every query answered)"},
    {1, L"cancelled by the setup library"},
    {2, L"bad arguments"},
    {3, L"the setup library or one of its hooks is missing"},
    {4, L"the package or document cannot be read or is unsound, nothing applied (answer: no answer; or the answer "
        L"cannot be written)"},
    {5, L"the package's installation folder cannot be resolved on this device"},
    {6, L"the package is for another processor"},
    {7, L"the role it was accepted with does not allow what it does, nothing applied (a document: nor read)"},
    {9, L"two members are one file on the device, or the package has two setup libraries"},
    {10, L"the setup library is not the one installed and the device's security checked"},
    {11, L"no application of that name is installed"},
    {EXIT_UNANSWERED, L"a question of the setup library went unanswered"},
    {DOCUMENT_IN_ERROR, L"a document has an element in error, its *-error in the answer: nothing applied (in part "
                        L"only where undoing failed too, as the output says), or a query not answered"},
    {EXIT_INSTALLED_ELSEWHERE, L"an application of that name is installed from another provider, or signed by "
                               L"another signer than this package's, or together with this package more than its "
                               L"record keeps: remove it first"},
};

static int Usage(void)
{
    wprintf(L"usage: SetupInstaller install-cab PACKAGE.CAB --security FOLDER [--role MASK] [--library-sha256 HEX|none] "
            L"[--answer yes|no|unseen] [--question-seconds SECONDS] [--signer THUMBPRINT|unsigned]\n"
            L"       SetupInstaller remove APPLICATION --security FOLDER [--library-sha256 HEX|none] "
            L"[--answer yes|no|unseen] [--question-seconds SECONDS]\n"
            L"       SetupInstaller list PACKAGE.CAB\n"
            L"       SetupInstaller answer DOCUMENT.XML ANSWER.XML --security FOLDER [--role MASK]\n"
            L"exit codes:\n");
    for (int i = 0; i < (int)(sizeof kExitCodes / sizeof kExitCodes[0]); ++i)
        wprintf(L"  %2d %ls\n", kExitCodes[i].code, kExitCodes[i].meaning);
    return 2;
}

static BOOL ReadRole(LPCWSTR text, DWORD* role)
{
    WCHAR* end = NULL;
    *role = wcstoul(text, &end, 10);
    return text[0] != 0 && *end == 0;
}

int wmain(int argc, WCHAR** argv)
{
    BOOL install = argc >= 3 && lstrcmpW(argv[1], L"install-cab") == 0;
    BOOL remove = argc >= 3 && lstrcmpW(argv[1], L"remove") == 0;
    BOOL answer = argc >= 4 && lstrcmpW(argv[1], L"answer") == 0;
    if (argc == 3 && lstrcmpW(argv[1], L"list") == 0)
        return RunPackage(argv[1], argv[2], UNSIGNED_ROLE, NULL, UNSIGNED_SIGNER, NULL);
    if (!install && !remove && !answer)
        return Usage();
    DWORD role = UNSIGNED_ROLE;
    LPCWSTR checkedLibrary = NULL, state = NULL, signer = UNSIGNED_SIGNER;
    QuestionMode questions = QUESTIONS_ON_SCREEN;
    UINT questionSeconds = QUESTION_DEADLINE_SECONDS;
    for (int i = answer ? 4 : 3; i < argc; i += 2) {
        if (i + 1 >= argc)
            return Usage();
        if (!answer && lstrcmpW(argv[i], L"--answer") == 0) {
            if (!ReadQuestionMode(argv[i + 1], &questions))
                return Usage();
        } else if (!answer && lstrcmpW(argv[i], L"--question-seconds") == 0) {
            if (!ReadQuestionSeconds(argv[i + 1], &questionSeconds))
                return Usage();
        } else if (!remove && lstrcmpW(argv[i], L"--role") == 0) {
            if (!ReadRole(argv[i + 1], &role))
                return Usage();
        } else if (!answer && lstrcmpW(argv[i], L"--library-sha256") == 0) {
            checkedLibrary = argv[i + 1];
        } else if (install && lstrcmpW(argv[i], L"--signer") == 0) {
            signer = argv[i + 1];
            if (!IsSigner(signer))
                return Usage();
        } else if (lstrcmpW(argv[i], L"--security") == 0) {
            state = argv[i + 1];
        } else {
            return Usage();
        }
    }
    if (state == NULL)
        return Usage();
    if (answer)
        return AnswerDocument(argv[2], argv[3], role, state);
    WatchMessageBoxes(questions, TRUE, questionSeconds);
    int result = install ? RunPackage(argv[1], argv[2], role, checkedLibrary, signer, state)
                         : RemoveApplication(argv[2], checkedLibrary, state);
    return QuestionWentUnanswered() ? EXIT_UNANSWERED : result;
}
