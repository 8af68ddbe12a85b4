#include "device_registry.h"

#include <stdio.h>

// A crash (an overrun caught by the stack protector among them) ends the test at once with a
// message, instead of waiting on Wine's debugger.
static LONG WINAPI EndOnCrash(EXCEPTION_POINTERS* exception)
{
    fprintf(stderr, "crashed with exception 0x%08lx\n", exception->ExceptionRecord->ExceptionCode);
    fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 3);
    return EXCEPTION_EXECUTE_HANDLER;
}
static const LPTOP_LEVEL_EXCEPTION_FILTER kPreviousFilter = SetUnhandledExceptionFilter(EndOnCrash);

const wchar_t kParametersKeyPath[] = L"COMM\\TIWLNAPI1\\PARMS";
const wchar_t* const kWhiteListValueNames[12] = {
    L"WhiteListEnable", L"WhiteListSSID1", L"WhiteListSSID2", L"WhiteListSSID3", L"WhiteListSSID4",
    L"WhiteListSSID5",  L"WhiteListSSID6", L"WhiteListSSID7", L"WhiteListSSID8", L"WhiteListSSID9",
    L"WhiteListSSID10", L"WhiteListCount",
};

std::string Narrow(const std::wstring& text)
{
    std::string narrow;
    for (wchar_t c : text)
        narrow += c < 128 ? (char)c : '?';
    return narrow;
}

void DeleteKeyTree(HKEY root, const wchar_t* path)
{
    LONG status = RegDeleteTreeW(root, path);
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << "RegDeleteTreeW: " << status;
    RegDeleteKeyW(root, path);
}

bool KeyExists(HKEY root, const wchar_t* path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

void StoreBytes(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    // RegSetValueExW counts a string's NUL that the size left out when one follows the data, as
    // NT does: a non-zero guard after the bytes keeps the stored size exactly as asked.
    std::vector<BYTE> guarded((const BYTE*)data, (const BYTE*)data + size);
    guarded.insert(guarded.end(), 4, 0xFF);
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, path, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, name, 0, type, guarded.data(), size));
    RegCloseKey(key);
}

StoredValue ReadStored(HKEY root, const wchar_t* path, const wchar_t* name)
{
    StoredValue value;
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    if (RegQueryValueExW(key, name, NULL, &value.type, NULL, &size) == ERROR_SUCCESS) {
        value.present = true;
        value.data.resize(size);
        if (size > 0)
            RegQueryValueExW(key, name, NULL, &value.type, value.data.data(), &size);
    }
    RegCloseKey(key);
    return value;
}

void DeleteParametersKey()
{
    DeleteKeyTree(HKEY_LOCAL_MACHINE, kParametersKeyPath);
}

void RecreateParametersKey()
{
    DeleteParametersKey();
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
    RegCloseKey(key);
}

void StoreParameterBytes(const wchar_t* name, DWORD type, const void* data, DWORD size)
{
    StoreBytes(HKEY_LOCAL_MACHINE, kParametersKeyPath, name, type, data, size);
}

void StoreParameter(const wchar_t* name, const std::wstring& text)
{
    StoreParameterBytes(name, REG_SZ, text.c_str(), (DWORD)((text.size() + 1) * sizeof(wchar_t)));
}

void StoreParameterWithoutNul(const wchar_t* name, const std::wstring& text)
{
    StoreParameterBytes(name, REG_SZ, text.data(), (DWORD)(text.size() * sizeof(wchar_t)));
}

void DeleteParameter(const wchar_t* name)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKeyPath, 0, KEY_ALL_ACCESS, &key));
    RegDeleteValueW(key, name);
    RegCloseKey(key);
}

StoredValue ReadParameter(const wchar_t* name)
{
    return ReadStored(HKEY_LOCAL_MACHINE, kParametersKeyPath, name);
}

std::vector<StoredValue> ReadWhiteList()
{
    std::vector<StoredValue> values;
    for (const wchar_t* name : kWhiteListValueNames)
        values.push_back(ReadParameter(name));
    return values;
}

void StoreWhiteList(const wchar_t* enable, const wchar_t* count, const std::vector<std::wstring>& ssids)
{
    RecreateParametersKey();
    StoreParameter(L"WhiteListEnable", enable);
    StoreParameter(L"WhiteListCount", count);
    for (int i = 0; i < 10; ++i)
        StoreParameter(kWhiteListValueNames[1 + i], i < (int)ssids.size() ? ssids[i] : L"");
}

::testing::AssertionResult ParameterIsText(const wchar_t* name, const std::wstring& text)
{
    return ValueIsText(HKEY_LOCAL_MACHINE, kParametersKeyPath, name, text);
}

::testing::AssertionResult ValueIsText(HKEY root, const wchar_t* path, const wchar_t* name, const std::wstring& text)
{
    StoredValue value = ReadStored(root, path, name);
    if (!value.present)
        return ::testing::AssertionFailure() << Narrow(name) << " is missing";
    if (value.type != REG_SZ)
        return ::testing::AssertionFailure() << Narrow(name) << " has type " << value.type;
    size_t expectedSize = (text.size() + 1) * sizeof(wchar_t);
    if (value.data.size() != expectedSize)
        return ::testing::AssertionFailure()
               << Narrow(name) << " is " << value.data.size() << " bytes, not " << expectedSize;
    if (memcmp(value.data.data(), text.c_str(), expectedSize) != 0) {
        std::wstring stored((const wchar_t*)value.data.data(), value.data.size() / sizeof(wchar_t));
        return ::testing::AssertionFailure() << Narrow(name) << " holds \"" << Narrow(stored) << "\", not \""
                                             << Narrow(text) << "\"";
    }
    return ::testing::AssertionSuccess();
}

void ExpectWhiteList(const wchar_t* enable, const wchar_t* count, const std::vector<std::wstring>& ssids)
{
    EXPECT_TRUE(ParameterIsText(L"WhiteListEnable", enable));
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(ParameterIsText(kWhiteListValueNames[1 + i], i < (int)ssids.size() ? ssids[i] : L""));
    EXPECT_TRUE(ParameterIsText(L"WhiteListCount", count));
}

void SetPlatformName(const wchar_t* name)
{
    DeleteKeyTree(HKEY_LOCAL_MACHINE, L"Emulator");
    if (name != nullptr)
        StoreBytes(HKEY_LOCAL_MACHINE, L"Emulator", L"PlatformName", REG_SZ, name,
                   (DWORD)((wcslen(name) + 1) * sizeof(wchar_t)));
}
