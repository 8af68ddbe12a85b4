// White-list packages on the emulated device: installed by the stand-in CAB installer, the
// values are exactly what Quillmere's own save writes, Quillmere shows them, and a damaged
// registry section is refused. Documents as the management system sends them: their settings
// applied in document order, as a whole or not at all, and their queries of values answered as
// each is stored, whatever its type, or with the error element that says why not.
#include "cab_package.h"
#include "device_registry.h"
#include "message_box_answerer.h"
#include "program_driver.h"

#include <wincrypt.h>

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
    EXPECT_EQ(0u, run.exitCode) << run.output;
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
    EXPECT_EQ(0u, run.exitCode) << run.output;
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

void DeleteFolder(const std::wstring& folder)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    for (BOOL more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
        std::wstring path = folder + L"\\" + found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW(path.c_str());
        else if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            DeleteFolder(path);
    }
    if (search != INVALID_HANDLE_VALUE)
        FindClose(search);
    RemoveDirectoryW(folder.c_str());
    DeleteFileW(folder.c_str());
}

// A security state of the tests' own, its stores empty (a file named "stores" in it when
// blocked: no certificate can be added there).
std::wstring ChannelState(bool blocked = false)
{
    std::wstring state = TempFile(L"channel-state");
    DeleteFolder(state);
    CreateDirectoryW(state.c_str(), NULL);
    if (blocked)
        WriteFileBytes(state + L"\\stores", "");
    return state;
}

// Sends a document as the management system's channel does (the Enterprise role, 32, with the
// Manager role that policy 4119 grants it on a device as its edition comes) and reads the answer;
// "" when none was written.
AnsweredRun SendDocument(const std::string& document, std::string* answer, const wchar_t* role = L"40",
                         const std::wstring& state = ChannelState(), DWORD deadlineMilliseconds = 30000)
{
    std::wstring sent = TempFile(L"query.xml"), answered = TempFile(L"answer.xml");
    DeleteFileW(answered.c_str());
    WriteFileBytes(sent, document);
    AnsweredRun run = RunAnswering(HostPath(SETUP_INSTALLER_EXE), L"answer \"" + sent + L"\" \"" + answered +
                                                                      L"\" --security \"" + state + L"\" --role " + role,
                                   IDNO, deadlineMilliseconds);
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
    EXPECT_EQ(14u, run.exitCode) << "the values it cannot show are queries not answered: " << run.output;
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
    EXPECT_NE(std::string::npos, run.output.find("answered: 0 values, 0 missing, 1 key missing, 0 queries not answered\r\n"))
        << run.output;
    run = SendDocument(Query("HKLM\\COMM\\TIWLNAPI1\\PARMS", {"WhiteListEnable"}), &answer, L"32");
    EXPECT_EQ(7u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("answered: 0 values, 0 missing, 0 keys missing, 1 query not answered "
                                                 "(the role does not allow it)\r\n"))
        << run.output;
    EXPECT_NE(std::string::npos, answer.find("      <parm-query-error name=\"WhiteListEnable\" desc=\"access denied: the "
                                             "Registry provider needs the Manager role; this document came with role mask "
                                             "32, which lacks it\" />"))
        << answer;
}

TEST(WhiteListQuery, WhatIsNoRequestIsNotAnswered)
{
    RecreateParametersKey();
    std::string answer;
    AnsweredRun run;
    // What is no request, or no document read as it was written, is not answered at all, and
    // nothing of it is applied.
    std::string nested = "<wap-provisioningdoc>", deeper;
    for (int depth = 2; depth <= 32; ++depth)
        nested += "<characteristic type=\"x\">";
    for (int depth = 2; depth <= 32; ++depth)
        deeper += "</characteristic>";
    run = SendDocument(nested + deeper + "</wap-provisioningdoc>", &answer);
    EXPECT_EQ(14u, run.exitCode) << "32 levels of elements are read, and answered: " << run.output;
    const std::string notWellFormed = "not a well-formed document of at most 32 levels without a DTD";
    const std::string cut = "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKLM\\COMM\\"
                            "TIWLNAPI1\\PARMS\">";
    const struct {
        std::string document;
        std::string says;
    } unsound[] = {
        {"<answer/>", "it is no wap-provisioningdoc"},
        {"<wap-provisioningdoc><characteristic/></wap-provisioningdoc>", "an element that is not characteristic"},
        {"<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\">"
         "<parm name=\"WhiteListEnable\" value=\"1\" datatype=\"string\"/></characteristic></characteristic>"
         "<parm-query-error name=\"x\"/></wap-provisioningdoc>", "an element that is not"},
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
    // Each is refused at once: one that is not, such as a cut document read on and on, fails here
    // within seconds and is ended, rather than at the suite's time-out with the installer left running.
    for (const auto& c : unsound) {
        SCOPED_TRACE(c.document.substr(0, 80));
        run = SendDocument(c.document, &answer, L"40", ChannelState(), 5000);
        EXPECT_EQ(4u, run.exitCode) << (run.exitCode == STILL_ACTIVE ? "not refused within 5 s" : "") << run.output;
        EXPECT_NE(std::string::npos, run.output.find(c.says)) << run.output;
        EXPECT_EQ("", answer);
    }
    EXPECT_FALSE(ParameterIsText(L"WhiteListEnable", L"1"));
    DeleteParametersKey();
}

std::wstring Wide(const char* ascii)
{
    return std::wstring(ascii, ascii + strlen(ascii));
}

std::string Dword(DWORD number)
{
    return std::string((const char*)&number, sizeof number);
}

std::string KeyDocument(const std::string& key, const std::string& elements, const std::string& more = "")
{
    return "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"" + key + "\">" + elements +
           "</characteristic></characteristic>" + more + "</wap-provisioningdoc>";
}

std::string AnswerLines(const std::vector<std::string>& lines)
{
    std::string answer;
    for (const std::string& line : lines)
        answer += line + "\r\n";
    return answer;
}

TEST(ManagementChannel, SettingsAreAppliedInDocumentOrderAsTheirDataTypeSaysThenQueriesAnswered)
{
    RecreateParametersKey();
    StoreParameterBytes(L"Text", REG_DWORD, Dword(7).data(), 4);
    StoreParameter(L"Old", L"deleted by the document");
    const struct {
        const char* name;
        const char* datatype;
        std::string value;  // as the document writes it, and the answer repeats it
        DWORD type;
        std::string stored;
    } settings[] = {
        {"Text", "string", "Loading Dock", REG_SZ, Bytes(L"Loading Dock")},
        {"Empty", "string", "", REG_SZ, Bytes(L"")},
        {"Wide", "string", "S\xC3\xBC" "d \xF0\x9F\x98\x80", REG_SZ, Bytes(L"S\u00fcd \U0001F600")},
        {"Integer", "integer", "1", REG_DWORD, Dword(1)},
        {"Lowest", "integer", "-2147483648", REG_DWORD, Dword(0x80000000)},
        {"Highest", "integer", "2147483647", REG_DWORD, Dword(0x7FFFFFFF)},
        {"Flag", "boolean", "0", REG_DWORD, Dword(0)},
        {"Binary", "binary", "AQBBAA==", REG_BINARY, std::string("\x01\x00\x41\x00", 4)},
        {"NoBytes", "binary", "", REG_BINARY, ""},
        {"Multiple", "multiplestring", "a&#xF000;b&#xF000;&#xF000;", REG_MULTI_SZ,
         Bytes(std::wstring(L"a\0b\0\0", 5), false)},
        {"Twice", "string", "first", REG_SZ, Bytes(L"first")},
        {"Twice", "string", "second", REG_SZ, Bytes(L"second")},
    };
    // The query comes first in the document, and is answered after every setting.
    std::string elements = "<parm-query name=\"Twice\"/>";
    std::vector<std::string> answer = {"<wap-provisioningdoc>", "  <characteristic type=\"Registry\">",
                                       "    <characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\">",
                                       "      <parm name=\"Twice\" value=\"second\" datatype=\"string\" />"};
    for (const auto& setting : settings) {
        std::string parm = std::string("parm name=\"") + setting.name + "\" value=\"" + setting.value + "\" datatype=\"" +
                           setting.datatype + "\"";
        elements += "<" + parm + "/>";
        answer.push_back("      <" + parm + " />");
    }
    elements += "<noparm name=\"Old\"/><noparm name=\"Absent\"/><parm-query name=\"Old\"/>";
    answer.insert(answer.end(), {"      <noparm name=\"Old\" />", "      <noparm name=\"Absent\" />",
                                 "      <noparm name=\"Old\" />", "    </characteristic>", "  </characteristic>",
                                 "</wap-provisioningdoc>"});
    std::string answered;
    AnsweredRun run = SendDocument(KeyDocument("HKLM\\COMM\\TIWLNAPI1\\PARMS", elements), &answered);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_EQ(AnswerLines(answer), answered);
    EXPECT_NE(std::string::npos, run.output.find("applied: 12 values set, 1 value deleted, 1 already absent; answered: 1 "
                                                 "value, 1 missing, 0 keys missing, 0 queries not answered\r\n"))
        << run.output;
    for (const auto& setting : settings) {
        SCOPED_TRACE(setting.name);
        StoredValue stored = ReadParameter(std::wstring(setting.name, setting.name + strlen(setting.name)).c_str());
        if (strcmp(setting.name, "Twice") == 0 && setting.value == "first")
            continue;
        EXPECT_EQ(setting.type, stored.type);
        EXPECT_EQ(setting.stored, std::string(stored.data.begin(), stored.data.end()));
    }
    EXPECT_FALSE(ReadParameter(L"Old").present);
    DeleteParametersKey();
}

// A certificate the channel's tests add: self-signed, RSA 1024, its SHA-1 thumbprint beside it.
const char kCertificate[] =
    "MIICFjCCAX+gAwIBAgIUWdbHNgWrpWKcPyamSzVkRIEuc/gwDQYJKoZIhvcNAQEFBQAwHDEaMBgGA1UEAwwRQ2hhbm5lbCB0"
    "ZXN0IHJvb3QwIBcNMjYxMjA5MTQ1NTQwWhgPMjEyNjExMTUxNDU1NDBaMBwxGjAYBgNVBAMMEUNoYW5uZWwgdGVzdCByb290"
    "MIGfMA0GCSqGSIb3DQEBAQUAA4GNADCBiQKBgQDBW3bCuyA1JZoSCNoSCy1JpMNpSvaZBnOQIGGE/hymXza6LH6AbUUdBeo4"
    "pAKovbGZVCBo4bUoNr8IOBtDVmsMugbaxh0Y1MwJjIU6G9gZJf92t1l9oEOIhTEdM7GDQ1XFVLPzJkkqsCWbATpiFyqh7y+D"
    "KtklgcJ58NvTPf5KPQIDAQABo1MwUTAdBgNVHQ4EFgQUhZn8gYR9S0J9Ea/NKytECrJvCeYwHwYDVR0jBBgwFoAUhZn8gYR9"
    "S0J9Ea/NKytECrJvCeYwDwYDVR0TAQH/BAUwAwEB/zANBgkqhkiG9w0BAQUFAAOBgQBAUpeHTU4NLmHaVxknvvTARdBY/QTW"
    "DZqV+g0ijqM1YSlB+vHORIzR6bPjI5tKvhmCJhuIbsZACImMDJ/clPdfHtM97e4oY9qp/Q8H/kJSUNQBI6WQ3FL0auuuLY9O"
    "9dm8o9insNotGxADv2oNINBURFpOZYKjXdgNPhb9cm/sXw==";
const char kThumbprint[] = "0533BC77DA1F611D7EEA838E09F8A4A4CABFEB67";

std::string Certificate(const std::string& thumbprint, const std::string& role = "8",
                        const std::string& encoded = kCertificate)
{
    return "<characteristic type=\"" + thumbprint + "\"><parm name=\"EncodedCertificate\" value=\"" + encoded + "\"/>" +
           (role.empty() ? "" : "<parm name=\"Role\" value=\"" + role + "\"/>") + "</characteristic>";
}

std::string StoresDocument(const std::string& spc, const std::string& privileged, const std::string& stores = "")
{
    return "<wap-provisioningdoc><characteristic type=\"CertificateStore\"><characteristic type=\"SPC\">" + spc +
           "</characteristic><characteristic type=\"Privileged Execution Trust Authorities\">" + privileged +
           "</characteristic>" + stores + "</characteristic></wap-provisioningdoc>";
}

TEST(ManagementChannel, CertificatesAreAddedAndDeletedByThumbprintWithTheManagerRoleOnly)
{
    std::wstring state = ChannelState(), spc = state + L"\\stores\\SPC\\" + Wide(kThumbprint);
    std::wstring privileged = state + L"\\stores\\Privileged Execution Trust Authorities\\" + Wide(kThumbprint);
    std::string adding = StoresDocument(Certificate(kThumbprint), Certificate(kThumbprint, "")), answer;
    AnsweredRun run = SendDocument(adding, &answer, L"32", state);
    EXPECT_EQ(7u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, answer.find(std::string("<characteristic-error type=\"") + kThumbprint + "\" desc=\"access "
                                             "denied: the CertificateStore provider needs the Manager role; this document "
                                             "came with role mask 32, which lacks it\" />"))
        << answer;
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((state + L"\\stores").c_str()));

    run = SendDocument(adding, &answer, L"40", state);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    std::vector<BYTE> der(4096);
    DWORD size = (DWORD)der.size();
    ASSERT_TRUE(CryptStringToBinaryA(kCertificate, 0, CRYPT_STRING_BASE64, der.data(), &size, NULL, NULL));
    EXPECT_EQ(std::string((const char*)der.data(), size), ReadWhole(spc + L".cer"));
    EXPECT_EQ("8", ReadWhole(spc + L".role"));
    EXPECT_EQ(std::string((const char*)der.data(), size), ReadWhole(privileged + L".cer"));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((privileged + L".role").c_str()));

    // Deleted by its thumbprint in either letter case; a second time there is nothing to delete.
    std::string lower = kThumbprint;
    CharLowerBuffA(&lower[0], (DWORD)lower.size());
    std::string deleting = StoresDocument("<nocharacteristic type=\"" + lower + "\"/>",
                                          "<nocharacteristic type=\"" + lower + "\"/>");
    run = SendDocument(deleting, &answer, L"40", state);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("applied: 2 certificates deleted\r\n")) << run.output;
    for (const std::wstring& path : {spc + L".cer", spc + L".role", privileged + L".cer"})
        EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path.c_str()));
    run = SendDocument(deleting, &answer, L"40", state);
    EXPECT_EQ(0u, run.exitCode) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("applied: 2 already absent\r\n")) << run.output;
    DeleteFolder(state);
}

TEST(ManagementChannel, AnElementInErrorLeavesTheWholeDocumentUnapplied)
{
    RecreateParametersKey();
    StoreParameter(L"Good", L"old");
    StoreParameter(L"Old", L"kept");
    enum Place { KEY, REGISTRY, STORE, STORES, TOP };
    const std::string notAThumbprint(40, 'G'), otherThumbprint(40, 'A');
    const struct {
        Place place;
        std::string element;
        std::string answered;  // its error element, without its indentation
    } bad[] = {
        {KEY, "<parm name=\"NoType\" value=\"1\"/>",
         "<parm-error name=\"NoType\" value=\"1\" desc=\"it has no datatype: the Registry provider's settings are typed\" />"},
        {KEY, "<parm name=\"Float\" value=\"1.5\" datatype=\"float\"/>",
         "<parm-error name=\"Float\" value=\"1.5\" desc=\"the emulated device does not set the Registry provider's float, "
         "time and date data types\" />"},
        {KEY, "<parm name=\"Dword\" value=\"1\" datatype=\"dword\"/>",
         "<parm-error name=\"Dword\" value=\"1\" desc=\"its datatype is none of the Registry provider's\" />"},
        {KEY, "<parm name=\"Big\" value=\"2147483648\" datatype=\"integer\"/>",
         "<parm-error name=\"Big\" value=\"2147483648\" desc=\"an integer value is a decimal number in the range of signed "
         "32-bit integers\" />"},
        {KEY, "<parm name=\"Hex\" value=\"0x10\" datatype=\"integer\"/>",
         "<parm-error name=\"Hex\" value=\"0x10\" desc=\"an integer value is a decimal number in the range of signed 32-bit "
         "integers\" />"},
        {KEY, "<parm name=\"Yes\" value=\"2\" datatype=\"boolean\"/>",
         "<parm-error name=\"Yes\" value=\"2\" desc=\"a boolean value is 1 or 0\" />"},
        {KEY, "<parm name=\"Bits\" value=\"!!\" datatype=\"binary\"/>",
         "<parm-error name=\"Bits\" value=\"!!\" desc=\"a binary value is base64 of at most 4096 bytes\" />"},
        {KEY, "<parm name=\"List\" value=\"a&#xF000;b\" datatype=\"multiplestring\"/>",
         "<parm-error name=\"List\" value=\"a&#xF000;b\" desc=\"a multiplestring value ends with two U+F000\" />"},
        {KEY, "<parm name=\"Long\" value=\"" + std::string(2048, 'x') + "\" datatype=\"string\"/>",
         "<parm-error name=\"Long\" value=\"" + std::string(2048, 'x') + "\" desc=\"its value holds more than the 4096 bytes "
         "the emulated device sets\" />"},
        {KEY, "<parm name=\"Path\" value=\"x\" datatype=\"string\" translation=\"install\"/>",
         "<parm-error name=\"Path\" value=\"x\" desc=\"it has an attribute other than name, value and datatype (the "
         "emulated device does not play translation)\" />"},
        {KEY, "<characteristic type=\"Sub\"/>",
         "<characteristic-error type=\"Sub\" desc=\"the Registry provider reaches a subkey through a characteristic of its "
         "own, not one nested in its key\" />"},
        {REGISTRY, "<characteristic-query type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\"/>",
         "<characteristic-query-error type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\" desc=\"the emulated device answers the "
         "parm-query of each value, not a query of a whole key\" />"},
        {REGISTRY, "<nocharacteristic type=\"HKLM\\COMM\"/>",
         "<nocharacteristic-error type=\"HKLM\\COMM\" desc=\"the emulated device deletes values with a noparm in their "
         "key's characteristic, never a key\" />"},
        {REGISTRY, "<characteristic type=\"HKXY\\Key\"/>",
         "<characteristic-error type=\"HKXY\\Key\" desc=\"it names no key under HKLM, HKCU, HKCR or HKU\" />"},
        {REGISTRY, "<characteristic type=\"HKLM\\A\\\\B\"/>",
         "<characteristic-error type=\"HKLM\\A\\\\B\" desc=\"its path is 260 characters or more, or holds an empty name "
         "or a backslash (written \\\\) that no key of the emulated device's registry has\" />"},
        {STORE, Certificate(otherThumbprint),
         "<characteristic-error type=\"" + otherThumbprint + "\" desc=\"its type is not the SHA-1 thumbprint of its "
         "EncodedCertificate\" />"},
        {STORE, Certificate(otherThumbprint, "8", "bm90IGEgY2VydGlmaWNhdGU="),
         "<characteristic-error type=\"" + otherThumbprint + "\" desc=\"its EncodedCertificate is not a certificate\" />"},
        {STORE, Certificate(kThumbprint, ""),
         std::string("<characteristic-error type=\"") + kThumbprint + "\" desc=\"in the SPC store a certificate needs a "
         "decimal Role, and in the others it has none\" />"},
        {STORE, "<nocharacteristic type=\"" + notAThumbprint + "\"/>",
         "<nocharacteristic-error type=\"" + notAThumbprint + "\" desc=\"its type is not a certificate's thumbprint: 40 "
         "hexadecimal digits\" />"},
        // A thumbprint names a file of the store: nothing else, nothing outside it.
        {STORE, "<nocharacteristic type=\"..\\..\\..\\policies\"/>",
         "<nocharacteristic-error type=\"..\\..\\..\\policies\" desc=\"its type is not a certificate's thumbprint: 40 "
         "hexadecimal digits\" />"},
        {STORES, "<nocharacteristic type=\"SPC\"/>",
         "<nocharacteristic-error type=\"SPC\" desc=\"the emulated device deletes a certificate by its thumbprint, in a "
         "store's characteristic, never a whole store, and answers no query of a store\" />"},
        {STORES, "<characteristic type=\"ROOT\"/>",
         "<characteristic-error type=\"ROOT\" desc=\"it names a store the emulated device does not keep\" />"},
        {TOP, "<characteristic type=\"FileOperation\"/>",
         "<characteristic-error type=\"FileOperation\" desc=\"the emulated device plays only the Registry and "
         "CertificateStore configuration service providers\" />"},
        {TOP, "<characteristic-query type=\"Registry\"/>",
         "<characteristic-query-error type=\"Registry\" desc=\"the Registry provider does not answer a query of its top "
         "level\" />"},
    };
    // Good settings first, each place's bad elements after them.
    const std::string notApplied = "desc=\"not applied: another element of the document is in error, and a document is "
                                   "applied whole or not at all\" />";
    std::string placed[5];
    std::vector<std::string> expected[5];
    for (const auto& c : bad) {
        placed[c.place] += c.element;
        expected[c.place].push_back(std::string(c.place == KEY || c.place == STORE ? 6 : c.place == TOP ? 2 : 4, ' ') +
                                    c.answered);
    }
    std::string document = "<wap-provisioningdoc><characteristic type=\"Registry\"><characteristic type=\"HKLM\\COMM\\"
                           "TIWLNAPI1\\PARMS\"><parm name=\"Good\" value=\"new\" datatype=\"string\"/><noparm name=\"Old\"/>" +
                           placed[KEY] + "</characteristic>" + placed[REGISTRY] + "</characteristic>" +
                           "<characteristic type=\"CertificateStore\"><characteristic type=\"SPC\">" +
                           Certificate(kThumbprint) + placed[STORE] + "</characteristic>" + placed[STORES] +
                           "</characteristic>" + placed[TOP] + "</wap-provisioningdoc>";
    std::vector<std::string> answer = {"<wap-provisioningdoc>", "  <characteristic type=\"Registry\">",
                                       "    <characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\">",
                                       "      <parm-error name=\"Good\" value=\"new\" " + notApplied,
                                       "      <noparm-error name=\"Old\" " + notApplied};
    answer.insert(answer.end(), expected[KEY].begin(), expected[KEY].end());
    answer.push_back("    </characteristic>");
    answer.insert(answer.end(), expected[REGISTRY].begin(), expected[REGISTRY].end());
    answer.insert(answer.end(), {"  </characteristic>", "  <characteristic type=\"CertificateStore\">",
                                 "    <characteristic type=\"SPC\">",
                                 std::string("      <characteristic-error type=\"") + kThumbprint + "\" " + notApplied});
    answer.insert(answer.end(), expected[STORE].begin(), expected[STORE].end());
    answer.push_back("    </characteristic>");
    answer.insert(answer.end(), expected[STORES].begin(), expected[STORES].end());
    answer.push_back("  </characteristic>");
    answer.insert(answer.end(), expected[TOP].begin(), expected[TOP].end());
    answer.push_back("</wap-provisioningdoc>");

    std::wstring state = ChannelState();
    std::string answered;
    AnsweredRun run = SendDocument(document, &answered, L"40", state);
    EXPECT_EQ(14u, run.exitCode) << run.output;
    EXPECT_EQ(AnswerLines(answer), answered);
    EXPECT_NE(std::string::npos, run.output.find("refused <parm name=\"NoType\">: it has no datatype")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("nothing applied (elements in error: 24)\r\n")) << run.output;
    EXPECT_TRUE(ParameterIsText(L"Good", L"old"));
    EXPECT_TRUE(ParameterIsText(L"Old", L"kept"));
    EXPECT_FALSE(ReadParameter(L"NoType").present);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW((state + L"\\stores").c_str()));
    DeleteFolder(state);
    DeleteParametersKey();
}

TEST(ManagementChannel, ASettingThatFailsIsUndoneWithEverySettingBeforeIt)
{
    RecreateParametersKey();
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Software\\Pellworth\\Channel test");
    StoreParameterBytes(L"Changed", REG_DWORD, Dword(7).data(), 4);
    StoreParameterBytes(L"Deleted", REG_BINARY, "\x01\x02", 2);
    std::vector<StoredValue> before = {ReadParameter(L"Changed"), ReadParameter(L"Deleted")};
    std::string document = "<wap-provisioningdoc><characteristic type=\"Registry\">"
                           "<characteristic type=\"HKLM\\COMM\\TIWLNAPI1\\PARMS\"><parm name=\"Changed\" value=\"text\" "
                           "datatype=\"string\"/><noparm name=\"Deleted\"/><parm name=\"Added\" value=\"1\" "
                           "datatype=\"integer\"/></characteristic><characteristic type=\"HKLM\\Software\\Pellworth\\"
                           "Channel test\\Deep\"><parm name=\"New\" value=\"x\" datatype=\"string\"/></characteristic>"
                           "</characteristic><characteristic type=\"CertificateStore\"><characteristic type=\"SPC\">" +
                           Certificate(kThumbprint) + "</characteristic></characteristic></wap-provisioningdoc>";
    std::string answer;
    AnsweredRun run = SendDocument(document, &answer, L"40", ChannelState(true));
    EXPECT_EQ(14u, run.exitCode) << run.output;
    EXPECT_EQ(before[0], ReadParameter(L"Changed"));
    EXPECT_EQ(before[1], ReadParameter(L"Deleted"));
    EXPECT_FALSE(ReadParameter(L"Added").present);
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Pellworth\\Channel test")) << "made for the document: gone";
    EXPECT_NE(std::string::npos, answer.find(std::string("<characteristic-error type=\"") + kThumbprint +
                                             "\" desc=\"the store's entry cannot be written\" />"))
        << answer;
    EXPECT_NE(std::string::npos, answer.find("<parm-error name=\"New\" value=\"x\" desc=\"not applied:")) << answer;
    EXPECT_NE(std::string::npos, run.output.find("undone: set New in Software\\Pellworth\\Channel test\\Deep\r\n"
                                                 "undone: set Added in COMM\\TIWLNAPI1\\PARMS\r\n"
                                                 "undone: deleted Deleted in COMM\\TIWLNAPI1\\PARMS\r\n"
                                                 "undone: set Changed in COMM\\TIWLNAPI1\\PARMS\r\n"
                                                 "nothing applied (elements in error: 1)\r\n"))
        << run.output;
    DeleteFolder(TempFile(L"channel-state"));
    DeleteParametersKey();
}

}  // namespace
