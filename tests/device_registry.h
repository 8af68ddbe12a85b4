// Reads and writes the emulated device's registry for tests: exact bytes, types and sizes.
#pragma once
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

extern const wchar_t kParametersKeyPath[];
extern const wchar_t* const kWhiteListValueNames[12];  // in the order the save writes them

struct StoredValue {
    bool present = false;
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const StoredValue& other) const
    {
        return present == other.present && type == other.type && data == other.data;
    }
};

void DeleteKeyTree(HKEY root, const wchar_t* path);
bool KeyExists(HKEY root, const wchar_t* path);
void StoreBytes(HKEY root, const wchar_t* path, const wchar_t* name, DWORD type, const void* data, DWORD size);
StoredValue ReadStored(HKEY root, const wchar_t* path, const wchar_t* name);

// The wireless driver's parameter key.
void RecreateParametersKey();
void DeleteParametersKey();
void StoreParameter(const wchar_t* name, const std::wstring& text);          // REG_SZ with its NUL
void StoreParameterWithoutNul(const wchar_t* name, const std::wstring& text);  // REG_SZ, no NUL
void StoreParameterBytes(const wchar_t* name, DWORD type, const void* data, DWORD size);
void DeleteParameter(const wchar_t* name);
StoredValue ReadParameter(const wchar_t* name);
std::vector<StoredValue> ReadWhiteList();  // all twelve, in write order

// A complete stored list: enable, count and ten SSIDs (missing ones stored as "").
void StoreWhiteList(const wchar_t* enable, const wchar_t* count, const std::vector<std::wstring>& ssids);

// REG_SZ holding exactly text and its NUL.
::testing::AssertionResult ValueIsText(HKEY root, const wchar_t* path, const wchar_t* name, const std::wstring& text);
::testing::AssertionResult ParameterIsText(const wchar_t* name, const std::wstring& text);
// All twelve values as the save writes them (SSIDs not given: "").
void ExpectWhiteList(const wchar_t* enable, const wchar_t* count, const std::vector<std::wstring>& ssids);

// The emulated device's platform name; nullptr removes it, so the query fails.
void SetPlatformName(const wchar_t* name);

std::string Narrow(const std::wstring& text);
