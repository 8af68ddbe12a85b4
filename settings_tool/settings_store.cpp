// The wireless driver's white list: loaded from its parameter key when the window opens and
// written back from the form when it closes.
#include "quillmere.h"

#include "device.h"

WhiteListRecord WhiteListSettings;
FormControls MainWindowControls;

static const WCHAR kParametersKey[] = L"COMM\\TIWLNAPI1\\PARMS";
static const WCHAR kEnableValue[] = L"WhiteListEnable";
static const WCHAR kCountValue[] = L"WhiteListCount";
static const WCHAR* const kSsidValues[SSID_ENTRIES] = {
    L"WhiteListSSID1", L"WhiteListSSID2", L"WhiteListSSID3", L"WhiteListSSID4", L"WhiteListSSID5",
    L"WhiteListSSID6", L"WhiteListSSID7", L"WhiteListSSID8", L"WhiteListSSID9", L"WhiteListSSID10",
};

#define ENABLE_CHARS 1
#define COUNT_CHARS 2

static HKEY OpenParametersKey(void)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParametersKey, 0, DEVICE_KEY_ACCESS, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

// Reads a string value into text, a buffer of maxChars + 1 characters. A value larger than that
// buffer fails to read. The text ends at its first NUL; a value stored without one (by some other
// tool) is read whole when its characters fit maxChars, and fails otherwise. An odd last byte is
// ignored.
static BOOL ReadStoredText(HKEY key, LPCWSTR name, WCHAR* text, DWORD maxChars)
{
    DWORD size = (maxChars + 1) * sizeof(WCHAR);
    if (RegQueryValueExW(key, name, NULL, NULL, (BYTE*)text, &size) != ERROR_SUCCESS)
        return FALSE;
    DWORD chars = size / sizeof(WCHAR);
    for (DWORD i = 0; i < chars; ++i)
        if (text[i] == 0)
            return TRUE;
    if (chars > maxChars)
        return FALSE;
    text[chars] = 0;
    return TRUE;
}

static DWORD CountFromText(LPCWSTR text)
{
    for (DWORD count = 0; count <= SSID_ENTRIES; ++count) {
        WCHAR digits[COUNT_CHARS + 1];
        wsprintfW(digits, L"%d", (int)count);
        if (wcscmp(text, digits) == 0)
            return count;
    }
    return 0;
}

DWORD LoadWhiteListSettings(void)
{
    HKEY key = OpenParametersKey();
    if (key == NULL)
        return 1;
    DWORD result = 0;

    WCHAR enableText[ENABLE_CHARS + 1];
    WhiteListSettings.enable = 0;
    if (ReadStoredText(key, kEnableValue, enableText, ENABLE_CHARS))
        WhiteListSettings.enable = wcscmp(enableText, L"0") != 0;

    WCHAR countText[COUNT_CHARS + 1];
    WhiteListSettings.count = 0;
    if (ReadStoredText(key, kCountValue, countText, COUNT_CHARS))
        WhiteListSettings.count = CountFromText(countText);
    else
        result = 1;

    memset(WhiteListSettings.ssid, 0, sizeof WhiteListSettings.ssid);
    for (int i = 0; i < SSID_ENTRIES; ++i) {
        SsidText ssidText;
        if (ReadStoredText(key, kSsidValues[i], ssidText, SSID_MAX_CHARS))
            wcscpy(WhiteListSettings.ssid[i], ssidText);
        else
            result = 1;
    }

    RegCloseKey(key);
    return result;
}

// EM_GETLINE reads the capacity from the buffer's first word and does not terminate the copy
// (Windows Mobile 6.5's page, learn.microsoft.com/en-us/previous-versions/aa921607). What it
// leaves in that word for an empty line is not documented, so that case is cleared here whatever
// the field did (not verified on a device).
static BOOL ReadFirstLine(HWND field, SsidText ssid)
{
    memset(ssid, 0, sizeof(SsidText));
    ssid[0] = SSID_MAX_CHARS;  // the capacity word the request carries
    LRESULT copied = SendMessageW(field, EM_GETLINE, 0, (LPARAM)ssid);
    if (copied <= 0) {
        ssid[0] = 0;
        return FALSE;
    }
    ssid[copied < SSID_MAX_CHARS ? copied : SSID_MAX_CHARS] = 0;
    return TRUE;
}

static DWORD WriteText(HKEY key, LPCWSTR name, LPCWSTR text)
{
    DWORD size = (DWORD)((wcslen(text) + 1) * sizeof(WCHAR));
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text, size) == ERROR_SUCCESS ? 0 : 1;
}

DWORD SaveWhiteListSettings(void)
{
    HKEY key = OpenParametersKey();
    if (key == NULL)
        return 1;
    DWORD failed = 0;

    WhiteListSettings.enable = (DWORD)SendMessageW(MainWindowControls.enableCheckBox, BM_GETCHECK, 0, 0);
    failed |= WriteText(key, kEnableValue, WhiteListSettings.enable == BST_CHECKED ? L"1" : L"0");

    WhiteListSettings.count = 0;
    memset(WhiteListSettings.ssid, 0, sizeof WhiteListSettings.ssid);
    for (int i = 0; i < SSID_ENTRIES; ++i) {
        if (ReadFirstLine(MainWindowControls.ssidField[i], WhiteListSettings.ssid[i]))
            WhiteListSettings.count++;
        failed |= WriteText(key, kSsidValues[i], WhiteListSettings.ssid[i]);
    }

    WCHAR countText[COUNT_CHARS + 1];
    wsprintfW(countText, L"%d", (int)WhiteListSettings.count);
    failed |= WriteText(key, kCountValue, countText);

    RegCloseKey(key);
    return failed;
}
