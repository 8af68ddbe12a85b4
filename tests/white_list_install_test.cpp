// White-list packages on the emulated device: installed by the stand-in CAB installer, the
// values are exactly what Quillmere's own save writes, Quillmere shows them, and a damaged
// registry section is refused. Queries of the values, as the management system sends them: each
// value answered as it is stored, whatever its type, or with the error element that says why not.
#include "cab_package.h"
#include "device_registry.h"
#include "message_box_answerer.h"
#include "program_driver.h"

namespace {

AnsweredRun Install(const wchar_t* cabinet)
{
    return RunAnswering(HostPath(SETUP_INSTALLER_EXE), L"install-cab \"" + HostPath(cabinet) + L"\"" + InstallerOptions(),
                        IDNO);
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


void WriteFileBytes(const std::wstring& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL));
    CloseHandle(file);
}

std::wstring TempFile(const wchar_t* name)
{
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    return std::wstring(folder) + name;
}

// Sends a document as the management system's channel does (the Enterprise role, 32, with the
// Manager role that policy 4119 grants it on a device as its edition comes) and reads the answer;
// "" when none was written.
AnsweredRun SendDocument(const std::string& document, std::string* answer, const wchar_t* role = L"40")
{
    std::wstring sent = TempFile(L"query.xml"), answered = TempFile(L"answer.xml");
    DeleteFileW(answered.c_str());
    WriteFileBytes(sent, document);
    AnsweredRun run = RunAnswering(HostPath(SETUP_INSTALLER_EXE),
                                   L"answer \"" + sent + L"\" \"" + answered + L"\" --role " + role, IDNO);
    *answer = ReadWhole(answered);
    return run;
}

std::string Query(const char* key, const std::vector<std::string>& names)
{
    std::string document = "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"";
    document += key;
    document += "\">";
    for (const std::string& name : names)
        document += "<parm-query name=\"" + name + "\"/>";
    return document + "</characteristic></characteristic></wap-provisioningdoc>";
}

std::string Bytes(const std::wstring& text, bool nul = true)
{
    return std::string((const char*)text.c_str(), (text.size() + (nul ? 1 : 0)) * sizeof(wchar_t));
}

TEST(WhiteListQuery, EachValueIsAnsweredAsItIsStored)
{
    DeleteParametersKey();
    const DWORD one = 1, all = 0xFFFFFFFF;
    const std::string tooLong(4098, 'x');
    struct Case {
        const char* name;
        DWORD type;
        std::string stored;
        const char* answer;  // the answer's attributes after the name: a parm's, or a parm-query-error's desc
    } cases[] = {
        {"Text", REG_SZ, Bytes(L"Loading Dock"), "value=\"Loading Dock\" datatype=\"string\""},
        {"Escaped", REG_SZ, Bytes(L"a\tb\nc\r<&\"'>"), "value=\"a&#9;b&#10;c&#13;&lt;&amp;&quot;'&gt;\" datatype=\"string\""},
        {"Empty", REG_SZ, Bytes(L""), "value=\"\" datatype=\"string\""},
        {"Wide", REG_SZ, Bytes(L"S\u00fcd \U0001F600"), "value=\"S\xC3\xBC" "d \xF0\x9F\x98\x80\" datatype=\"string\""},
        {"Integer", REG_DWORD, std::string((const char*)&one, 4), "value=\"1\" datatype=\"integer\""},
        {"Negative", REG_DWORD, std::string((const char*)&all, 4), "value=\"-1\" datatype=\"integer\""},
        {"Binary", REG_BINARY, std::string("\x01\x00\x41\x00", 4), "value=\"AQBBAA==\" datatype=\"binary\""},
        {"NoBytes", REG_BINARY, "", "value=\"\" datatype=\"binary\""},
        {"Multiple", REG_MULTI_SZ, Bytes(std::wstring(L"a\0b\0", 4)),
         "value=\"a&#xF000;b&#xF000;&#xF000;\" datatype=\"multiplestring\""},
        {"NoNul", REG_SZ, Bytes(L"Dock", false),
         "desc=\"the value is stored without its terminating NUL, which a string answer cannot show\""},
        {"NulInside", REG_SZ, Bytes(std::wstring(L"Do\0ck", 5)),
         "desc=\"the value holds a NUL before its end, which a string answer cannot show\""},
        {"OddSize", REG_SZ, Bytes(L"Dock") + "x", "desc=\"the value holds an odd number of bytes, which no UTF-16 text has\""},
        {"Control", REG_SZ, Bytes(L"a\x01"), "desc=\"the value holds a character that an XML document cannot carry\""},
        {"Separator", REG_MULTI_SZ, Bytes(L"a\xF000"),
         "desc=\"the value holds U+F000, which stands for a NUL in a multiplestring answer\""},
        {"Short", REG_DWORD, std::string("\x01\x00", 2), "desc=\"the REG_DWORD value does not hold 4 bytes\""},
        {"Expandable", REG_EXPAND_SZ, Bytes(L"%x%"),
         "desc=\"the value is of registry type 2, which the Registry provider's data types do not answer\""},
        {"Large", REG_BINARY, tooLong, "desc=\"the value holds more than the 4096 bytes that the emulated device answers\""},
    };
    std::vector<std::string> names;
    for (const Case& c : cases) {
        std::wstring name(c.name, c.name + strlen(c.name));
        StoreParameterBytes(name.c_str(), c.type, c.stored.data(), (DWORD)c.stored.size());
        names.push_back(c.name);
    }
    names.push_back("Missing");
    std::string answer;
    AnsweredRun run = SendDocument(Query("HKLM\\COMM\\TIWLNAPI1\\PARMS", names), &answer);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    std::string expected = "<wap-provisioningdoc>\r\n  <characteristic type=\"Registry\">\r\n"
                           "    <characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\">\r\n";
    for (const Case& c : cases)
        expected += std::string("      <") + (strncmp(c.answer, "desc", 4) == 0 ? "parm-query-error" : "parm") +
                    " name=\"" + c.name + "\" " + c.answer + " />\r\n";
    expected += "      <noparm name=\"Missing\" />\r\n    </characteristic>\r\n  </characteristic>\r\n"
                "</wap-provisioningdoc>\r\n";
    EXPECT_EQ(expected, answer);

    // A key that does not exist, asked about by a role that may read it, and not.
    DeleteParametersKey();
    run = SendDocument(Query("HKLM\\COMM\\TIWLNAPI1\\PARMS", {"WhiteListEnable"}), &answer);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, answer.find("    <nocharacteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\" />\r\n"))
        << answer;
    run = SendDocument(Query("HKLM\\COMM\\TIWLNAPI1\\PARMS", {"WhiteListEnable"}), &answer, L"32");
    EXPECT_EQ(7u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, answer.find("      <parm-query-error name=\"WhiteListEnable\" desc=\"access denied: the "
                                             "Registry provider needs the Manager role; this document came with role mask "
                                             "32, which lacks it\" />"))
        << answer;
}

TEST(WhiteListQuery, WhatTheChannelDoesNotAnswerBecomesItsErrorElement)
{
    RecreateParametersKey();
    std::string answer;
    AnsweredRun run = SendDocument(
        "<wap-provisioningdoc version=\"1.1\"><characteristic type=\"Registry\">"
        "<characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\"><parm name=\"WhiteListEnable\" value=\"1\" datatype=\"string\"/>"
        "<noparm name=\"WhiteListCount\"/><characteristic type=\"Sub\"/></characteristic>"
        "<characteristic-query type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\"/><characteristic type=\"HKXY\\Key\"/>"
        "</characteristic><characteristic-query type=\"Registry\"/><characteristic type=\"CertificateStore\"/>"
        "</wap-provisioningdoc>", &answer);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    const char* notPlayed = "the emulated device answers queries of registry values through this channel; settings "
                            "and removals travel in a package";
    EXPECT_EQ(std::string("<wap-provisioningdoc version=\"1.1\">\r\n  <characteristic type=\"Registry\">\r\n"
                          "    <characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\">\r\n"
                          "      <parm-error name=\"WhiteListEnable\" value=\"1\" desc=\"") + notPlayed + "\" />\r\n"
                  "      <noparm-error name=\"WhiteListCount\" desc=\"" + notPlayed + "\" />\r\n"
                  "      <characteristic-error type=\"Sub\" desc=\"the Registry provider reaches a subkey through a "
                  "characteristic of its own, not one nested in its key\" />\r\n    </characteristic>\r\n"
                  "    <characteristic-query-error type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\" desc=\"the emulated device "
                  "answers the parm-query of each value, not a query of a whole key\" />\r\n"
                  "    <characteristic-error type=\"HKXY\\Key\" desc=\"it names no key under HKLM, HKCU, HKCR or HKU\" />\r\n"
                  "  </characteristic>\r\n"
                  "  <characteristic-query-error type=\"Registry\" desc=\"the Registry provider does not answer a query "
                  "of its top level\" />\r\n"
                  "  <characteristic-error type=\"CertificateStore\" desc=\"the emulated device answers only the Registry "
                  "configuration service provider through this channel\" />\r\n</wap-provisioningdoc>\r\n",
              answer);
    EXPECT_FALSE(ParameterIsText(L"WhiteListEnable", L"1"));  // nothing set through the query's channel

    // What is no request, or no document read as it was written, is not answered at all.
    std::string nested = "<wap-provisioningdoc>", deeper;
    for (int depth = 2; depth <= 32; ++depth)
        nested += "<characteristic type=\"x\">";
    for (int depth = 2; depth <= 32; ++depth)
        deeper += "</characteristic>";
    run = SendDocument(nested + deeper + "</wap-provisioningdoc>", &answer);
    EXPECT_EQ(0u, run.exitCode) << "32 levels of elements are read: " << run.output;
    const std::string notWellFormed = "not a well-formed document of at most 32 levels without a DTD";
    const std::string cut = "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKLM\\COMM\\"
                            "TIWLNAPI1\\PARMS\">";
    const struct {
        std::string document;
        std::string says;
    } unsound[] = {
        {"<answer/>", "it is no wap-provisioningdoc"},
        {"<wap-provisioningdoc><characteristic/></wap-provisioningdoc>", "an element that is not characteristic"},
        {"<wap-provisioningdoc><parm-query-error name=\"x\"/></wap-provisioningdoc>", "an element that is not"},
        {"<wap-provisioningdoc><characteristic type=\"\xFF\"/></wap-provisioningdoc>", "it is not UTF-8"},
        {"<wap-provisioningdoc>text</wap-provisioningdoc>", "text, CDATA or a DOCTYPE"},
        {"<wap-provisioningdoc><![CDATA[]]></wap-provisioningdoc>", "text, CDATA or a DOCTYPE"},
        {"<!DOCTYPE wap-provisioningdoc><wap-provisioningdoc/>", notWellFormed},
        {"<wap-provisioningdoc><characteristic type=\"&x;\"/></wap-provisioningdoc>", notWellFormed},
        {"<wap-provisioningdoc><characteristic type=\"a\" type=\"b\"/></wap-provisioningdoc>", "an attribute twice"},
        {std::string("<wap-provisioningdoc/>\0<x/>", 27), "NUL byte"},
        {"<wap-provisioningdoc><characteristic type=\"a&#9;b\"/></wap-provisioningdoc>", "Wine's XmlLite misreads"},
        {"<wap-provisioningdoc><characteristic type=\"&#x1F600;\"/></wap-provisioningdoc>", "Wine's XmlLite misreads"},
        {"<wap-provisioningdoc><characteristic type=\"a&#x000000000009;b\"/></wap-provisioningdoc>", "XmlLite misreads"},
        {"<wap-provisioningdoc><characteristic type=\"a&#000000000010;b\"/></wap-provisioningdoc>", "XmlLite misreads"},
        {"<wap-provisioningdoc><characteristic type=\"a&#x00000001005C;b\"/></wap-provisioningdoc>", "XmlLite misreads"},
        {"<wap-provisioningdoc><characteristic type=\"&#x000000010041;\"/></wap-provisioningdoc>", "XmlLite misreads"},
        {"<wap-provisioningdoc>\r\n", "cut off"},
        {"<wap-provisioningdoc><!-- more follows -->", "cut off"},
        {cut + "<parm-query name=\"WhiteListEnable\"/>", "cut off"},
        {cut + "<parm-query name=\"WhiteListEnable\"/></characteristic>", "cut off"},
        {"<wap-provisioningdoc><characteristic type=\"\x01\"/></wap-provisioningdoc>", "a character that the answer"},
        {nested + "<characteristic type=\"x\"></characteristic>" + deeper + "</wap-provisioningdoc>", notWellFormed},
        {"<wap-provisioningdoc/>" + std::string(65536, ' '), "larger than the emulated device reads"},
    };
    for (const auto& c : unsound) {
        SCOPED_TRACE(c.document.substr(0, 80));
        run = SendDocument(c.document, &answer);
        EXPECT_EQ(4u, run.exitCode) << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << run.output;
        EXPECT_EQ("", answer);
    }
    DeleteParametersKey();
}

}  // namespace
