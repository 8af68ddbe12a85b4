// The device check's two binaries read back: 32-bit images for the device's subsystem, calling
// nothing but the device's coredll and aygshell, and Corvane exporting exactly its four hooks.
#include "device_registry.h"
#include "program_driver.h"

#include <map>
#include <set>

namespace {

struct Image {
    std::string bytes;
    const IMAGE_NT_HEADERS32* headers = nullptr;

    // The file bytes at a relative virtual address.
    const BYTE* At(DWORD rva) const
    {
        const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(headers);
        for (int i = 0; i < headers->FileHeader.NumberOfSections; ++i, ++section)
            if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->SizeOfRawData)
                return (const BYTE*)bytes.data() + section->PointerToRawData + (rva - section->VirtualAddress);
        ADD_FAILURE() << "address " << rva << " lies in no section";
        static const BYTE nothing[8] = {};
        return nothing;
    }
    const IMAGE_DATA_DIRECTORY& Directory(int entry) const { return headers->OptionalHeader.DataDirectory[entry]; }
};

Image Read(const wchar_t* unixPath)
{
    Image image;
    image.bytes = ReadWhole(HostPath(unixPath));
    if (image.bytes.size() < sizeof(IMAGE_DOS_HEADER))
        return image;
    image.headers = (const IMAGE_NT_HEADERS32*)(image.bytes.data() + ((const IMAGE_DOS_HEADER*)image.bytes.data())->e_lfanew);
    return image;
}

std::map<std::string, std::set<std::string>> Imports(const Image& image)
{
    std::map<std::string, std::set<std::string>> imports;
    const IMAGE_DATA_DIRECTORY& directory = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    for (const IMAGE_IMPORT_DESCRIPTOR* dll = (const IMAGE_IMPORT_DESCRIPTOR*)image.At(directory.VirtualAddress);
         dll->Name; ++dll) {
        std::set<std::string>& functions = imports[(const char*)image.At(dll->Name)];
        for (const IMAGE_THUNK_DATA32* thunk = (const IMAGE_THUNK_DATA32*)image.At(dll->OriginalFirstThunk);
             thunk->u1.AddressOfData; ++thunk) {
            EXPECT_FALSE(IMAGE_SNAP_BY_ORDINAL32(thunk->u1.Ordinal)) << "an import by ordinal";
            functions.insert((const char*)((const IMAGE_IMPORT_BY_NAME*)image.At(thunk->u1.AddressOfData))->Name);
        }
    }
    return imports;
}

TEST(DeviceCheck, BinariesAreForTheDeviceAndCallOnlyItsLibraries)
{
    // The imports the ARM build's tests expect too.
    std::map<std::string, std::map<std::string, std::set<std::string>>> expected;
    for (const std::vector<std::string>& row : ReadCaseTable("device_imports.txt")) {
        std::vector<std::string> functions = SplitList(row[2]);
        expected[row[0]][row[1]] = std::set<std::string>(functions.begin(), functions.end());
    }
    struct Case {
        const wchar_t* path;
        bool library;
        std::map<std::string, std::set<std::string>> imports;
    } cases[] = {
        {DEVICE_CHECK_QUILLMERE, false, expected["Quillmere.exe"]},
        {DEVICE_CHECK_CORVANE, true, expected["Corvane.dll"]},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        Image image = Read(c.path);
        ASSERT_NE(nullptr, image.headers);
        ASSERT_EQ((DWORD)IMAGE_NT_SIGNATURE, image.headers->Signature);
        EXPECT_EQ(IMAGE_FILE_MACHINE_I386, image.headers->FileHeader.Machine);
        EXPECT_EQ(IMAGE_NT_OPTIONAL_HDR32_MAGIC, image.headers->OptionalHeader.Magic);
        EXPECT_EQ(IMAGE_SUBSYSTEM_WINDOWS_CE_GUI, image.headers->OptionalHeader.Subsystem);
        EXPECT_EQ(5, image.headers->OptionalHeader.MajorSubsystemVersion);
        EXPECT_EQ(2, image.headers->OptionalHeader.MinorSubsystemVersion);
        EXPECT_EQ(c.library, (image.headers->FileHeader.Characteristics & IMAGE_FILE_DLL) != 0);
        EXPECT_EQ(c.imports, Imports(image));
    }

    Image corvane = Read(DEVICE_CHECK_CORVANE);
    ASSERT_NE(nullptr, corvane.headers);
    const IMAGE_EXPORT_DIRECTORY* exports =
        (const IMAGE_EXPORT_DIRECTORY*)corvane.At(corvane.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    EXPECT_EQ(1u, exports->Base);
    ASSERT_EQ(4u, exports->NumberOfFunctions);
    ASSERT_EQ(4u, exports->NumberOfNames);
    const DWORD* names = (const DWORD*)corvane.At(exports->AddressOfNames);
    const WORD* ordinals = (const WORD*)corvane.At(exports->AddressOfNameOrdinals);
    std::map<std::string, DWORD> byName;
    for (int i = 0; i < 4; ++i)
        byName[(const char*)corvane.At(names[i])] = ordinals[i] + exports->Base;
    const std::map<std::string, DWORD> hooks = {
        {"Install_Init", 1}, {"Install_Exit", 2}, {"Uninstall_Init", 3}, {"Uninstall_Exit", 4}};
    EXPECT_EQ(hooks, byName);
}

}  // namespace
