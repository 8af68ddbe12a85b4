#include "configuration_manager.h"

#include <shlwapi.h>
#include <stdio.h>
#include <string.h>
#include <wincrypt.h>

#include "device_files.h"
#include "instruction_file.h"

#define MAX_SETTINGS 64
#define SETTING_BYTES 4096  // a value's data or a certificate's DER, and what is kept to undo either
#define VALUE_NAME_CHARS 256

// The code stores a document may change; the ROOT store (SSL only) and the others are not the kit's.
static const char* const kStores[] = {"SPC", "Privileged Execution Trust Authorities",
                                      "Unprivileged Execution Trust Authorities"};

enum SettingKind { SET_VALUE, DELETE_VALUE, ADD_CERTIFICATE, DELETE_CERTIFICATE };

// A registry value or a store's file as it was before a setting changed it.
struct Kept {
    BOOL existed;
    DWORD type, size;
    BYTE data[SETTING_BYTES];
};

struct Setting {
    SettingKind kind;
    int element;
    HKEY root;
    WCHAR path[MAX_PATH], name[VALUE_NAME_CHARS];
    const char *shownPath, *shownName;  // as the document writes them
    const char* store;
    char thumbprint[41];  // in capitals, as the stores name their files
    DWORD type, size, role;
    BYTE data[SETTING_BYTES];
    BOOL kept, applied;
    Kept before, roleBefore;  // the value, or the store entry and (SPC) its role mask
    WCHAR createdKey[MAX_PATH];  // the first key of the path that was not there, "" when all were
};

static Setting Settings[MAX_SETTINGS];  // in document order

// What the check found and the application did, element by element.
static struct {
    const char* problem[XML_MAX_ELEMENTS];  // why the element is in error, or NULL
    int settingOf[XML_MAX_ELEMENTS];  // its setting, or -1
    const XmlDocument* document;
    int settingCount, queryCount, errorCount, queryErrors;
    BOOL byHand, denied, undoFailed;
    char registryDenial[160], storeDenial[160];
    int set, deleted, added, removed, absent;  // settings applied
    int values, missing, missingKeys, unanswered;  // queries answered
    XmlWriter writer;
} Manager;

static const char kNotApplied[] = "not applied: another element of the document is in error, and a document is "
                                  "applied whole or not at all";

static BOOL Is(const XmlDocument* document, int element, const char* name)
{
    return strcmp(document->elements[element].name, name) == 0;
}

static const char* TypeOf(const XmlDocument* document, int element)
{
    const char* type = XmlAttributeOf(document, element, "type");
    return type != NULL ? type : "";
}

// An element in error keeps the first reason found.
static void Fail(int element, const char* why)
{
    if (Manager.problem[element] != NULL)
        return;
    Manager.errorCount++;
    Manager.queryErrors += strcmp(Manager.document->elements[element].name, "parm-query") == 0;
    Manager.problem[element] = why;
}

BOOL Hash(ALG_ID algorithm, const BYTE* data, DWORD size, BYTE* hash, DWORD hashSize)
{
    HCRYPTPROV provider;
    HCRYPTHASH digest;
    DWORD made = hashSize;
    if (!CryptAcquireContextW(&provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT))
        return FALSE;
    BOOL hashed = CryptCreateHash(provider, algorithm, 0, 0, &digest);
    if (hashed) {
        hashed = CryptHashData(digest, data, size, 0) && CryptGetHashParam(digest, HP_HASHVAL, hash, &made, 0);
        CryptDestroyHash(digest);
    }
    CryptReleaseContext(provider, 0);
    return hashed && made == hashSize;
}

// A thumbprint as the platform writes it: the SHA-1 in 40 hexadecimal digits, copied in capitals.
static BOOL ReadThumbprint(const char* text, char* thumbprint)
{
    if (text == NULL || strlen(text) != 40)
        return FALSE;
    for (int i = 0; i < 40; ++i) {
        char c = text[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return FALSE;
        thumbprint[i] = c >= 'a' ? c - 'a' + 'A' : c;
    }
    thumbprint[40] = 0;
    return TRUE;
}

static BOOL IsThumbprintOf(const char* thumbprint, const BYTE* der, DWORD size)
{
    BYTE hash[20];
    char digits[41];
    if (!Hash(CALG_SHA1, der, size, hash, sizeof hash))
        return FALSE;
    for (int i = 0; i < 20; ++i)
        _snprintf(digits + 2 * i, 3, "%02X", hash[i]);
    return strcmp(digits, thumbprint) == 0;
}

static BOOL ReadDecimal(const char* text, DWORD* number)
{
    *number = 0;
    if (*text == 0 || strlen(text) > 9)
        return FALSE;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return FALSE;
        *number = *number * 10 + (*text - '0');
    }
    return TRUE;
}

// The Registry provider's integers are signed ("CAB files and the Registry configuration service
// provider fail if a registry value is set outside the range of signed integers", "Registry
// Configuration Service Provider").
static BOOL ReadSignedDecimal(const char* text, LONG* number)
{
    BOOL negative = *text == '-';
    const char* digits = text + negative;
    ULONGLONG magnitude = 0;
    if (*digits == 0 || strlen(digits) > 10)
        return FALSE;
    for (; *digits; ++digits) {
        if (*digits < '0' || *digits > '9')
            return FALSE;
        magnitude = magnitude * 10 + (*digits - '0');
    }
    if (magnitude > (negative ? 0x80000000ull : 0x7FFFFFFFull))
        return FALSE;
    *number = (LONG)(negative ? 0 - magnitude : magnitude);
    return TRUE;
}

// The certificate a CertificateStore characteristic adds: its thumbprint, EncodedCertificate and
// (SPC only) Role ("CertificateStore Configuration Service Provider"). NULL, or why not.
static const char* CheckCertificate(const XmlDocument* document, int element, Setting* setting)
{
    const char* encoded = NULL;
    const char* role = NULL;
    if (!ReadThumbprint(XmlAttributeOf(document, element, "type"), setting->thumbprint))
        return "its type is not a certificate's thumbprint: 40 hexadecimal digits";
    for (int parm = XmlNextChild(document, element, -1); parm >= 0; parm = XmlNextChild(document, element, parm)) {
        const char* name = XmlAttributeOf(document, parm, "name");
        const char* value = XmlAttributeOf(document, parm, "value");
        if (!Is(document, parm, "parm") || value == NULL)
            return "it holds something other than the parms of a certificate";
        const char** found = strcmp(name, "EncodedCertificate") == 0 ? &encoded : strcmp(name, "Role") == 0 ? &role
                                                                                                              : NULL;
        if (found == NULL || *found != NULL)
            return "it has a parm other than EncodedCertificate and Role, or one of them twice";
        *found = value;
    }
    setting->size = SETTING_BYTES;
    if (encoded == NULL ||
        !CryptStringToBinaryA(encoded, 0, CRYPT_STRING_BASE64, setting->data, &setting->size, NULL, NULL))
        return "its EncodedCertificate is missing, or not base64 of at most 4096 bytes";
    PCCERT_CONTEXT parsed = CertCreateCertificateContext(X509_ASN_ENCODING, setting->data, setting->size);
    if (parsed == NULL)
        return "its EncodedCertificate is not a certificate";
    CertFreeCertificateContext(parsed);
    if (!IsThumbprintOf(setting->thumbprint, setting->data, setting->size))
        return "its type is not the SHA-1 thumbprint of its EncodedCertificate";
    BOOL spc = strcmp(setting->store, "SPC") == 0;
    if (spc ? role == NULL || !ReadDecimal(role, &setting->role) : role != NULL)
        return "in the SPC store a certificate needs a decimal Role, and in the others it has none";
    return NULL;
}

// A certificate is deleted with a nocharacteristic of its thumbprint ("CertificateStore
// Configuration Service Provider", "Deleting a Certificate Example").
static void CheckStore(const XmlDocument* document, int store, const char* name)
{
    for (int child = XmlNextChild(document, store, -1); child >= 0; child = XmlNextChild(document, store, child)) {
        Setting* setting = Manager.settingCount < MAX_SETTINGS ? &Settings[Manager.settingCount] : NULL;
        const char* why = NULL;
        if (Manager.denied) {
            Fail(child, Manager.storeDenial);
            continue;
        }
        if (setting == NULL) {
            Fail(child, "the document holds more settings than the emulated device applies at once");
            continue;
        }
        memset(setting, 0, sizeof *setting);
        setting->store = name;
        setting->element = child;
        if (Is(document, child, "characteristic")) {
            setting->kind = ADD_CERTIFICATE;
            why = CheckCertificate(document, child, setting);
        } else if (Is(document, child, "nocharacteristic")) {
            setting->kind = DELETE_CERTIFICATE;
            if (!ReadThumbprint(XmlAttributeOf(document, child, "type"), setting->thumbprint))
                why = "its type is not a certificate's thumbprint: 40 hexadecimal digits";
            else if (XmlNextChild(document, child, -1) >= 0)
                why = "a nocharacteristic holds nothing";
        } else {
            why = "the emulated device adds a certificate with a characteristic of its thumbprint and deletes one with "
                  "a nocharacteristic; it answers no query of a store";
        }
        if (why != NULL)
            Fail(child, why);
        else
            Manager.settingOf[child] = Manager.settingCount++;
    }
}

static void CheckCertificateStore(const XmlDocument* document, int element)
{
    for (int store = XmlNextChild(document, element, -1); store >= 0; store = XmlNextChild(document, element, store)) {
        const char* type = TypeOf(document, store);
        const char* known = NULL;
        for (int i = 0; i < (int)(sizeof kStores / sizeof kStores[0]); ++i)
            if (strcmp(type, kStores[i]) == 0)
                known = kStores[i];
        if (!Is(document, store, "characteristic"))
            Fail(store, "the emulated device deletes a certificate by its thumbprint, in a store's characteristic, "
                        "never a whole store, and answers no query of a store");
        else if (known == NULL)
            Fail(store, "it names a store the emulated device does not keep");
        else
            CheckStore(document, store, known);
    }
}

static HKEY RootOfPath(const char* path, const char** rest)
{
    for (WORD root = 1; RegistryRoot(root) != NULL; ++root) {
        size_t length = strlen(RegistryRootName(root));
        if (strncmp(path, RegistryRootName(root), length) == 0 && path[length] == '\\' && path[length + 1] != 0) {
            *rest = path + length + 1;
            return RegistryRoot(root);
        }
    }
    return NULL;
}

// A value's data as the Registry provider stores each data type ("Registry CSP", Supported Data
// Types): string REG_SZ with its NUL, integer and boolean (1 or 0) REG_DWORD, binary REG_BINARY
// from base64, multiplestring REG_MULTI_SZ whose strings are "separated by &#xF000; and ended
// with two &#xF000;". NULL, or why not.
static const char* ReadValueData(const char* datatype, const char* value, Setting* setting)
{
    BOOL multiple = strcmp(datatype, "multiplestring") == 0, boolean = strcmp(datatype, "boolean") == 0;
    if (multiple || strcmp(datatype, "string") == 0) {
        WCHAR* text = (WCHAR*)setting->data;
        int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, value, -1, text, SETTING_BYTES / sizeof(WCHAR));
        if (chars == 0)
            return "its value holds more than the 4096 bytes the emulated device sets";
        setting->type = multiple ? REG_MULTI_SZ : REG_SZ;
        setting->size = chars * sizeof(WCHAR);
        if (!multiple)
            return NULL;
        if (chars < 3 || text[chars - 2] != 0xF000 || text[chars - 3] != 0xF000)
            return "a multiplestring value ends with two U+F000";
        for (int i = 0; i < chars - 1; ++i)
            text[i] = text[i] == 0xF000 ? 0 : text[i];
        setting->size -= sizeof(WCHAR);  // the data ends with the two NULs the separators became
        return NULL;
    }
    if (boolean || strcmp(datatype, "integer") == 0) {
        LONG number;
        if (!ReadSignedDecimal(value, &number))
            return "an integer value is a decimal number in the range of signed 32-bit integers";
        if (boolean && number != 0 && number != 1)
            return "a boolean value is 1 or 0";
        setting->type = REG_DWORD;
        setting->size = sizeof number;
        memcpy(setting->data, &number, sizeof number);
        return NULL;
    }
    if (strcmp(datatype, "binary") == 0) {
        setting->type = REG_BINARY;
        setting->size = SETTING_BYTES;
        if (*value == 0)
            setting->size = 0;
        else if (!CryptStringToBinaryA(value, 0, CRYPT_STRING_BASE64, setting->data, &setting->size, NULL, NULL))
            return "a binary value is base64 of at most 4096 bytes";
        return NULL;
    }
    if (strcmp(datatype, "float") == 0 || strcmp(datatype, "time") == 0 || strcmp(datatype, "date") == 0)
        return "the emulated device does not set the Registry provider's float, time and date data types";
    return "its datatype is none of the Registry provider's";
}

static const char* CheckValue(const XmlDocument* document, int parm, Setting* setting)
{
    const XmlElement* found = &document->elements[parm];
    for (int i = 0; i < found->attributeCount; ++i) {
        const char* attribute = document->attributes[found->firstAttribute + i].name;
        if (strcmp(attribute, "name") != 0 && strcmp(attribute, "value") != 0 && strcmp(attribute, "datatype") != 0)
            return "it has an attribute other than name, value and datatype (the emulated device does not play "
                   "translation)";
    }
    setting->shownName = XmlAttributeOf(document, parm, "name");
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting->shownName, -1, setting->name, VALUE_NAME_CHARS))
        return "its name is longer than 255 characters";
    if (Is(document, parm, "noparm")) {
        setting->kind = DELETE_VALUE;
        return NULL;
    }
    const char* value = XmlAttributeOf(document, parm, "value");
    const char* datatype = XmlAttributeOf(document, parm, "datatype");
    setting->kind = SET_VALUE;
    if (value == NULL)
        return "it has no value";
    // "You must use a datatype attribute with each parm element that represents a registry setting"
    // ("Provisioning XML Document for Registry Configuration Service Provider").
    if (datatype == NULL)
        return "it has no datatype: the Registry provider's settings are typed";
    return ReadValueData(datatype, value, setting);
}

static void CheckKey(const XmlDocument* document, int key, HKEY root, const char* rest)
{
    WCHAR path[MAX_PATH];
    if (strstr(rest, "\\\\") != NULL || rest[strlen(rest) - 1] == '\\' ||
        !MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, rest, -1, path, MAX_PATH)) {
        Fail(key, "its path is 260 characters or more, or holds an empty name or a backslash (written \\\\) that no "
                  "key of the emulated device's registry has");
        return;
    }
    for (int child = XmlNextChild(document, key, -1); child >= 0; child = XmlNextChild(document, key, child)) {
        Setting* setting = Manager.settingCount < MAX_SETTINGS ? &Settings[Manager.settingCount] : NULL;
        BOOL isValue = Is(document, child, "parm") || Is(document, child, "noparm");
        if (Manager.denied) {
            Fail(child, Manager.registryDenial);
        } else if (Is(document, child, "parm-query")) {
            if (Manager.byHand)
                Fail(child, "a document opened by hand has nobody to answer to");
        } else if (Is(document, child, "characteristic")) {
            Fail(child, "the Registry provider reaches a subkey through a characteristic of its own, not one nested in "
                        "its key");
        } else if (!isValue) {
            Fail(child, "the emulated device answers the parm-query of each value, not a query of a whole key, and "
                        "deletes values, not keys");
        } else if (setting == NULL) {
            Fail(child, "the document holds more settings than the emulated device applies at once");
        } else {
            memset(setting, 0, sizeof *setting);
            setting->element = child;
            setting->root = root;
            setting->shownPath = rest;
            lstrcpyW(setting->path, path);
            const char* why = CheckValue(document, child, setting);
            if (why != NULL)
                Fail(child, why);
            else
                Manager.settingOf[child] = Manager.settingCount++;
        }
        Manager.queryCount += Is(document, child, "parm-query");
    }
}

static void CheckRegistry(const XmlDocument* document, int element)
{
    for (int key = XmlNextChild(document, element, -1); key >= 0; key = XmlNextChild(document, element, key)) {
        const char* rest = NULL;
        HKEY root = RootOfPath(TypeOf(document, key), &rest);
        if (Is(document, key, "characteristic-query"))
            Fail(key, "the emulated device answers the parm-query of each value, not a query of a whole key");
        else if (!Is(document, key, "characteristic"))
            Fail(key, "the emulated device deletes values with a noparm in their key's characteristic, never a key");
        else if (root == NULL)
            Fail(key, "it names no key under HKLM, HKCU, HKCR or HKU");
        else
            CheckKey(document, key, root, rest);
    }
}

// Below its root, a document holds only the elements of a request, each naming what it is about;
// anything else (an answer's elements among them) is no request. Its texts are UTF-8 that an
// answer can carry, as the answer that repeats them must be.
struct RequestElement {
    const char* name;
    const char* error;
    const char* identity;  // the attribute that names what it is about
};

static const RequestElement kRequestElements[] = {
    {"characteristic", "characteristic-error", "type"}, {"characteristic-query", "characteristic-query-error", "type"},
    {"nocharacteristic", "nocharacteristic-error", "type"}, {"parm", "parm-error", "name"},
    {"parm-query", "parm-query-error", "name"}, {"noparm", "noparm-error", "name"}};

static const RequestElement* RequestElementOf(const XmlDocument* document, int element)
{
    for (int i = 0; i < (int)(sizeof kRequestElements / sizeof kRequestElements[0]); ++i)
        if (Is(document, element, kRequestElements[i].name))
            return XmlAttributeOf(document, element, kRequestElements[i].identity) ? &kRequestElements[i] : NULL;
    return NULL;
}

static BOOL Unreadable(const char* why)
{
    wprintf(L"the provisioning document cannot be read: %hs\n", why);
    return FALSE;
}

static BOOL IsRequest(const XmlDocument* document)
{
    static WCHAR wide[XML_POOL_BYTES];
    if (!Is(document, 0, "wap-provisioningdoc"))
        return Unreadable("it is no wap-provisioningdoc");
    for (int i = 1; i < document->elementCount; ++i)
        if (RequestElementOf(document, i) == NULL)
            return Unreadable("it holds an element that is not characteristic, parm, their queries or removals, or "
                              "one without its type or name");
    for (int i = 0; i < document->attributeCount; ++i) {
        int chars = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, document->attributes[i].value, -1, wide,
                                        XML_POOL_BYTES);
        if (chars == 0)
            return Unreadable("an attribute's value is not UTF-8");
        if (!IsXmlText(wide, chars - 1))
            return Unreadable("an attribute's value holds a character that the answer cannot carry");
    }
    return TRUE;
}

static void CheckDocument(const XmlDocument* document)
{
    for (int top = XmlNextChild(document, 0, -1); top >= 0; top = XmlNextChild(document, 0, top)) {
        const char* type = TypeOf(document, top);
        BOOL characteristic = Is(document, top, "characteristic");
        if (characteristic && strcmp(type, "Registry") == 0)
            CheckRegistry(document, top);
        else if (characteristic && strcmp(type, "CertificateStore") == 0)
            CheckCertificateStore(document, top);
        else if (Is(document, top, "characteristic-query") && strcmp(type, "Registry") == 0)
            Fail(top, "the Registry provider does not answer a query of its top level");
        else
            Fail(top, "the emulated device plays only the Registry and CertificateStore configuration service "
                      "providers");
    }
}

static BOOL StoreEntryPath(const Setting& setting, LPCWSTR state, const char* extension, WCHAR* path)
{
    return FormatPath(path, MAX_PATH, L"%ls\\stores\\%hs\\%hs.%hs", state, setting.store, setting.thumbprint, extension);
}

// A store's file as it is, to put it back; FALSE when it cannot be read whole.
static BOOL KeepFile(LPCWSTR path, Kept* kept)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    kept->existed = file != INVALID_HANDLE_VALUE;
    if (!kept->existed)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    LARGE_INTEGER size;
    BOOL read = GetFileSizeEx(file, &size) && size.QuadPart <= SETTING_BYTES &&
                ReadFile(file, kept->data, SETTING_BYTES, &kept->size, NULL) && kept->size == size.QuadPart;
    CloseHandle(file);
    return read;
}

static BOOL DeleteFileIfThere(LPCWSTR path)
{
    return DeleteFileW(path) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
}

static BOOL PutFileBack(LPCWSTR path, const Kept& kept)
{
    return kept.existed ? WriteWhole(path, kept.data, kept.size) : DeleteFileIfThere(path);
}

// The value as it is, to put it back; where its key is missing, the first key of its path that is,
// which undoing deletes with whatever the document made in it.
static BOOL KeepValue(Setting* setting)
{
    HKEY key;
    LONG opened = RegOpenKeyExW(setting->root, setting->path, 0, KEY_QUERY_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND) {
        for (int i = 0;; ++i) {
            if (setting->path[i] != L'\\' && setting->path[i] != 0)
                continue;
            lstrcpynW(setting->createdKey, setting->path, i + 1);
            opened = RegOpenKeyExW(setting->root, setting->createdKey, 0, KEY_QUERY_VALUE, &key);
            if (opened != ERROR_SUCCESS)
                return opened == ERROR_FILE_NOT_FOUND;
            RegCloseKey(key);
            setting->createdKey[0] = 0;
            if (setting->path[i] == 0)
                return FALSE;  // there after all: another program made it meanwhile
        }
    }
    if (opened != ERROR_SUCCESS)
        return FALSE;
    setting->before.size = SETTING_BYTES;
    LONG read = RegQueryValueExW(key, setting->name, NULL, &setting->before.type, setting->before.data,
                                 &setting->before.size);
    RegCloseKey(key);
    setting->before.existed = read == ERROR_SUCCESS;
    return read == ERROR_SUCCESS || read == ERROR_FILE_NOT_FOUND;
}

static BOOL PutValueBack(const Setting& setting)
{
    if (setting.createdKey[0] != 0) {
        DWORD deleted = SHDeleteKeyW(setting.root, setting.createdKey);
        return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND;
    }
    HKEY key;
    if (RegOpenKeyExW(setting.root, setting.path, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return FALSE;
    LONG done = setting.before.existed ? RegSetValueExW(key, setting.name, 0, setting.before.type, setting.before.data,
                                                        setting.before.size)
                                       : RegDeleteValueW(key, setting.name);
    RegCloseKey(key);
    return done == ERROR_SUCCESS || (!setting.before.existed && done == ERROR_FILE_NOT_FOUND);
}

static const char* ApplyValue(Setting* setting)
{
    HKEY key;
    setting->kept = KeepValue(setting);
    if (!setting->kept)
        return "the value cannot be read as it is, or holds more than the 4096 bytes the emulated device keeps to "
               "undo a document";
    if (setting->kind == SET_VALUE) {
        if (RegCreateKeyExW(setting->root, setting->path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
            return "its key cannot be created";
        LONG set = RegSetValueExW(key, setting->name, 0, setting->type, setting->data, setting->size);
        RegCloseKey(key);
        return set == ERROR_SUCCESS ? NULL : "the value cannot be set";
    }
    LONG opened = RegOpenKeyExW(setting->root, setting->path, 0, KEY_SET_VALUE, &key);
    LONG deleted = opened != ERROR_SUCCESS ? opened : RegDeleteValueW(key, setting->name);
    if (opened == ERROR_SUCCESS)
        RegCloseKey(key);
    // Deleting what is not there leaves what the document asks for: done.
    return deleted == ERROR_SUCCESS || deleted == ERROR_FILE_NOT_FOUND ? NULL : "the value cannot be deleted";
}

static const char* ApplyCertificate(Setting* setting, LPCWSTR state)
{
    WCHAR certificate[MAX_PATH], role[MAX_PATH], folder[MAX_PATH];
    BOOL spc = strcmp(setting->store, "SPC") == 0;
    setting->kept = StoreEntryPath(*setting, state, "cer", certificate) && StoreEntryPath(*setting, state, "role", role) &&
                    KeepFile(certificate, &setting->before) && (!spc || KeepFile(role, &setting->roleBefore));
    if (!setting->kept)
        return "the store's entry cannot be read as it is";
    if (setting->kind == DELETE_CERTIFICATE)
        return DeleteFileIfThere(certificate) && (!spc || DeleteFileIfThere(role)) ? NULL
                                                                                    : "the store's entry cannot be deleted";
    char mask[16];
    int length = _snprintf(mask, sizeof mask, "%lu", setting->role);
    if (FormatPath(folder, MAX_PATH, L"%ls\\stores", state))
        CreateDirectoryW(folder, NULL);
    if (FormatPath(folder, MAX_PATH, L"%ls\\stores\\%hs", state, setting->store))
        CreateDirectoryW(folder, NULL);
    if (!WriteWhole(certificate, setting->data, setting->size) || (spc && !WriteWhole(role, mask, length)))
        return "the store's entry cannot be written";
    return NULL;
}

// What a setting did, after `prefix`, in one line.
static void PrintSetting(LPCWSTR prefix, const Setting& setting)
{
    if (setting.kind == SET_VALUE)
        wprintf(L"%lsset %hs in %hs\n", prefix, setting.shownName, setting.shownPath);
    else if (setting.kind == DELETE_VALUE)
        wprintf(setting.before.existed ? L"%lsdeleted %hs in %hs\n" : L"%ls%hs in %hs was not there to delete\n", prefix,
                setting.shownName, setting.shownPath);
    else if (setting.kind == DELETE_CERTIFICATE)
        wprintf(setting.before.existed ? L"%lsdeleted certificate %hs from %hs\n" : L"%lscertificate %hs was not in %hs\n",
                prefix, setting.thumbprint, setting.store);
    else if (strcmp(setting.store, "SPC") == 0)
        wprintf(L"%lsadded certificate %hs to %hs with role mask %lu\n", prefix, setting.thumbprint, setting.store,
                setting.role);
    else
        wprintf(L"%lsadded certificate %hs to %hs\n", prefix, setting.thumbprint, setting.store);
}

static void PrintRefused(int element)
{
    const XmlDocument* document = Manager.document;
    const char* identity = RequestElementOf(document, element)->identity;
    wprintf(L"refused <%hs %hs=\"%hs\">: %hs\n", document->elements[element].name, identity,
            XmlAttributeOf(document, element, identity), Manager.problem[element]);
}

static BOOL Undo(const Setting& setting, LPCWSTR state)
{
    WCHAR certificate[MAX_PATH], role[MAX_PATH];
    if (!setting.kept)
        return TRUE;  // nothing was changed
    if (setting.kind == SET_VALUE || setting.kind == DELETE_VALUE)
        return PutValueBack(setting);
    return StoreEntryPath(setting, state, "cer", certificate) && StoreEntryPath(setting, state, "role", role) &&
           PutFileBack(certificate, setting.before) &&
           (strcmp(setting.store, "SPC") != 0 || PutFileBack(role, setting.roleBefore));
}

// The settings in document order, as a whole: when one fails, those before it are undone, in
// reverse order, and the device is as it was ("Transactioning Scheme": "Because one section of the
// document has failed, the entire document and any changes it attempted to make are rolled back").
static void ApplySettings(LPCWSTR state)
{
    int failed = -1;
    for (int i = 0; i < Manager.settingCount && failed < 0; ++i) {
        Setting* setting = &Settings[i];
        const char* why = setting->kind == SET_VALUE || setting->kind == DELETE_VALUE ? ApplyValue(setting)
                                                                                      : ApplyCertificate(setting, state);
        setting->applied = why == NULL;
        if (why == NULL) {
            PrintSetting(L"", *setting);
        } else {
            Fail(setting->element, why);
            PrintRefused(setting->element);
            failed = i;
        }
    }
    for (int i = failed; i >= 0; --i) {
        Setting* setting = &Settings[i];
        setting->applied = !Undo(*setting, state);
        if (i < failed)
            PrintSetting(setting->applied ? L"cannot undo, so it stays: " : L"undone: ", *setting);
        if (setting->applied) {
            Manager.undoFailed = TRUE;
            Fail(setting->element, "applied, and it cannot be undone after a later setting of the document failed");
        }
    }
    for (int i = 0; i < Manager.settingCount; ++i) {
        const Setting& setting = Settings[i];
        BOOL absent = (setting.kind == DELETE_VALUE || setting.kind == DELETE_CERTIFICATE) && !setting.before.existed;
        if (!setting.applied)
            continue;
        Manager.set += setting.kind == SET_VALUE;
        Manager.deleted += setting.kind == DELETE_VALUE && !absent;
        Manager.added += setting.kind == ADD_CERTIFICATE;
        Manager.removed += setting.kind == DELETE_CERTIFICATE && !absent;
        Manager.absent += absent;
    }
}

// The answer: the document as the device answers it ("Provisioning File Error Messages": the
// element that cannot be processed becomes its error element), written with XmlLite.
#define ANSWER_VALUE_BYTES 4096

static void CopyStartTag(const XmlDocument* document, int element)
{
    const XmlElement* found = &document->elements[element];
    XmlStartElement(&Manager.writer, found->name);
    for (int i = 0; i < found->attributeCount; ++i)
        XmlWriteAttribute(&Manager.writer, document->attributes[found->firstAttribute + i].name,
                          document->attributes[found->firstAttribute + i].value);
}

// The element's error element: what it names (and a parm's value), and why.
static void WriteError(const XmlDocument* document, int element, const char* why)
{
    const RequestElement* kind = RequestElementOf(document, element);
    XmlStartElement(&Manager.writer, kind->error);
    XmlWriteAttribute(&Manager.writer, kind->identity, XmlAttributeOf(document, element, kind->identity));
    if (strcmp(kind->name, "parm") == 0 && XmlAttributeOf(document, element, "value") != NULL)
        XmlWriteAttribute(&Manager.writer, "value", XmlAttributeOf(document, element, "value"));
    XmlWriteAttribute(&Manager.writer, "desc", why);
    XmlEndElement(&Manager.writer);
    Manager.unanswered += strcmp(kind->name, "parm-query") == 0;
}

// A stored text as the answer's UTF-8: a REG_SZ's text before its terminating NUL, or a
// REG_MULTI_SZ's data with each NUL written as U+F000, as the Registry provider's multiplestring
// separates its strings. NULL when done, else why an answer of that data type cannot say what the
// value holds.
static const char* AnswerText(WCHAR* stored, DWORD size, BOOL multiple, char* text, int textBytes)
{
    int chars = (int)(size / sizeof(WCHAR));
    if (size % sizeof(WCHAR) != 0)
        return "the value holds an odd number of bytes, which no UTF-16 text has";
    for (int i = 0; i < chars; ++i) {
        if (multiple && stored[i] == 0xF000)
            return "the value holds U+F000, which stands for a NUL in a multiplestring answer";
        if (multiple && stored[i] == 0)
            stored[i] = 0xF000;
        else if (stored[i] == 0 && i != chars - 1)
            return "the value holds a NUL before its end, which a string answer cannot show";
    }
    if (!multiple && (chars == 0 || stored[chars - 1] != 0))
        return "the value is stored without its terminating NUL, which a string answer cannot show";
    chars -= multiple ? 0 : 1;
    if (!IsXmlText(stored, chars))
        return "the value holds a character that an XML document cannot carry";
    int length = chars == 0 ? 0 : WideCharToMultiByte(CP_UTF8, 0, stored, chars, text, textBytes - 1, NULL, NULL);
    if (chars > 0 && length == 0)
        return "the value cannot be written as UTF-8";
    text[length] = 0;
    return NULL;
}

// A parm-query of a value of an open key (NULL: a key that is not there) answered as it is stored.
static void AnswerValue(const XmlDocument* document, int query, HKEY key)
{
    static WCHAR stored[ANSWER_VALUE_BYTES / sizeof(WCHAR)];
    static char text[ANSWER_VALUE_BYTES * 2];  // base64 takes 4/3 of the bytes, UTF-8 at most 3/2
    static char why[128];
    WCHAR name[VALUE_NAME_CHARS];
    const char* nameText = XmlAttributeOf(document, query, "name");
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, nameText, -1, name, VALUE_NAME_CHARS)) {
        WriteError(document, query, "the value's name is not UTF-8 of at most 255 characters");
        return;
    }
    DWORD type = REG_NONE, size = sizeof stored;
    LONG read = key == NULL ? ERROR_FILE_NOT_FOUND : RegQueryValueExW(key, name, NULL, &type, (BYTE*)stored, &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        XmlStartElement(&Manager.writer, "noparm");
        XmlWriteAttribute(&Manager.writer, "name", nameText);
        XmlEndElement(&Manager.writer);
        Manager.missing++;
        return;
    }
    if (read != ERROR_SUCCESS) {
        WriteError(document, query, read == ERROR_MORE_DATA ? "the value holds more than the 4096 bytes that the "
                                                              "emulated device answers" : "the value cannot be read");
        return;
    }
    const char* datatype = NULL;
    const char* problem = NULL;
    switch (type) {
    case REG_SZ:
    case REG_MULTI_SZ:
        datatype = type == REG_SZ ? "string" : "multiplestring";
        problem = AnswerText(stored, size, type == REG_MULTI_SZ, text, sizeof text);
        break;
    case REG_DWORD:
        datatype = "integer";
        if (size == sizeof(DWORD)) {
            LONG number;
            memcpy(&number, stored, sizeof number);
            _snprintf(text, sizeof text, "%ld", number);
        } else {
            problem = "the REG_DWORD value does not hold 4 bytes";
        }
        break;
    case REG_BINARY: {
        datatype = "binary";
        DWORD chars = sizeof text;
        text[0] = 0;
        if (size > 0 && !CryptBinaryToStringA((const BYTE*)stored, size, CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF,
                                              text, &chars))
            problem = "the value cannot be written as base64";
        break;
    }
    default:
        _snprintf(why, sizeof why, "the value is of registry type %lu, which the Registry provider's data types "
                  "do not answer", type);
        problem = why;
    }
    if (problem != NULL) {
        WriteError(document, query, problem);
        return;
    }
    XmlStartElement(&Manager.writer, "parm");
    XmlWriteAttribute(&Manager.writer, "name", nameText);
    XmlWriteAttribute(&Manager.writer, "value", text);
    XmlWriteAttribute(&Manager.writer, "datatype", datatype);
    XmlEndElement(&Manager.writer);
    Manager.values++;
}

// An element as the answer shows it: its error element, or (a setting not applied) the error
// element that says so, or the element as it came, with its children answered.
static void AnswerElement(const XmlDocument* document, int element)
{
    int setting = Manager.settingOf[element];
    if (Manager.problem[element] != NULL) {
        WriteError(document, element, Manager.problem[element]);
        return;
    }
    if (setting >= 0 && !Settings[setting].applied) {
        WriteError(document, element, kNotApplied);
        return;
    }
    CopyStartTag(document, element);
    for (int child = XmlNextChild(document, element, -1); child >= 0; child = XmlNextChild(document, element, child))
        AnswerElement(document, child);
    XmlEndElement(&Manager.writer);
}

// A key's characteristic with its queries answered; a key that is not there, asked only queries,
// is answered with nocharacteristic in its place. Where the role may not read it, nothing is read,
// not even whether the key exists.
static void AnswerKey(const XmlDocument* document, int element)
{
    const char* rest;
    HKEY root = RootOfPath(TypeOf(document, element), &rest);
    WCHAR path[MAX_PATH];
    HKEY key = NULL;
    BOOL queriesOnly = TRUE;
    for (int child = XmlNextChild(document, element, -1); child >= 0; child = XmlNextChild(document, element, child))
        queriesOnly = queriesOnly && Is(document, child, "parm-query") && Manager.problem[child] == NULL;
    LONG opened = Manager.denied ? ERROR_ACCESS_DENIED : ERROR_FILE_NOT_FOUND;
    if (!Manager.denied && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, rest, -1, path, MAX_PATH))
        opened = RegOpenKeyExW(root, path, 0, KEY_QUERY_VALUE, &key);
    if (opened == ERROR_FILE_NOT_FOUND && queriesOnly) {
        XmlStartElement(&Manager.writer, "nocharacteristic");
        XmlWriteAttribute(&Manager.writer, "type", XmlAttributeOf(document, element, "type"));
        XmlEndElement(&Manager.writer);
        Manager.missingKeys++;
        return;
    }
    CopyStartTag(document, element);
    for (int child = XmlNextChild(document, element, -1); child >= 0; child = XmlNextChild(document, element, child)) {
        if (!Is(document, child, "parm-query") || Manager.problem[child] != NULL)
            AnswerElement(document, child);
        else if (opened == ERROR_SUCCESS || opened == ERROR_FILE_NOT_FOUND)
            AnswerValue(document, child, key);
        else
            WriteError(document, child, "the key cannot be opened");
    }
    if (key != NULL)
        RegCloseKey(key);
    XmlEndElement(&Manager.writer);
}

static void AnswerDocument(const XmlDocument* document)
{
    CopyStartTag(document, 0);
    for (int top = XmlNextChild(document, 0, -1); top >= 0; top = XmlNextChild(document, 0, top)) {
        if (Manager.problem[top] != NULL || strcmp(TypeOf(document, top), "Registry") != 0) {
            AnswerElement(document, top);
            continue;
        }
        CopyStartTag(document, top);
        for (int key = XmlNextChild(document, top, -1); key >= 0; key = XmlNextChild(document, top, key)) {
            if (Manager.problem[key] != NULL)
                AnswerElement(document, key);
            else
                AnswerKey(document, key);
        }
        XmlEndElement(&Manager.writer);
    }
    XmlEndElement(&Manager.writer);
}

// "N things done" after a comma when N is not 0.
static void Count(WCHAR* line, int chars, int count, LPCWSTR one, LPCWSTR many)
{
    int used = lstrlenW(line);
    if (count > 0)
        _snwprintf(line + used, chars - used - 1, L"%ls%d %ls", used > 0 && line[used - 1] != L' ' ? L", " : L"", count,
                   count == 1 ? one : many);
}

// One line of what was applied and what was answered.
static void PrintSummary(BOOL answered)
{
    WCHAR applied[240] = L"", queries[160] = L"";
    BOOL asked = Manager.settingCount > 0 || Manager.errorCount > Manager.queryErrors;
    if (asked && Manager.denied) {
        lstrcpyW(applied, L"nothing applied");
    } else if (asked && Manager.errorCount > 0 && !Manager.undoFailed) {
        _snwprintf(applied, 239, L"nothing applied (elements in error: %d)", Manager.errorCount);
    } else if (asked) {
        lstrcpyW(applied, Manager.undoFailed ? L"applied in part, since undoing failed: " : L"applied: ");
        Count(applied, 240, Manager.set, L"value set", L"values set");
        Count(applied, 240, Manager.deleted, L"value deleted", L"values deleted");
        Count(applied, 240, Manager.added, L"certificate added", L"certificates added");
        Count(applied, 240, Manager.removed, L"certificate deleted", L"certificates deleted");
        Count(applied, 240, Manager.absent, L"already absent", L"already absent");
    }
    if (answered && Manager.queryCount > 0)
        _snwprintf(queries, 159, L"answered: %d value%ls, %d missing, %d key%ls missing, %d quer%ls not answered",
                   Manager.values, Manager.values == 1 ? L"" : L"s", Manager.missing, Manager.missingKeys,
                   Manager.missingKeys == 1 ? L"" : L"s", Manager.unanswered, Manager.unanswered == 1 ? L"y" : L"ies");
    wprintf(L"%ls%ls%ls%ls\n", applied, applied[0] && queries[0] ? L"; " : L"", queries,
            Manager.denied ? L" (the role does not allow it)" : L"");
}

int ProcessProvisioningDocument(const XmlDocument* document, DWORD role, LPCWSTR state, LPCWSTR answerPath)
{
    memset(&Manager, 0, sizeof Manager);
    Manager.document = document;
    for (int i = 0; i < XML_MAX_ELEMENTS; ++i)
        Manager.settingOf[i] = -1;
    if (!IsRequest(document))
        return 4;
    Manager.byHand = answerPath == NULL;
    // Both providers need the Manager role, to query a key too (their default metabase entries).
    Manager.denied = !(role & SECROLE_MANAGER);
    _snprintf(Manager.registryDenial, sizeof Manager.registryDenial - 1, "access denied: the Registry provider needs "
              "the Manager role; this document came with role mask %lu, which lacks it", role);
    _snprintf(Manager.storeDenial, sizeof Manager.storeDenial - 1, "access denied: the CertificateStore provider "
              "needs the Manager role; this document came with role mask %lu, which lacks it", role);
    CheckDocument(document);
    if (Manager.denied && Manager.errorCount > 0)
        wprintf(L"the Registry and CertificateStore providers need the Manager role; this document came with role mask "
                L"%lu, which lacks it: nothing applied or read\n", role);
    for (int i = 0; i < document->elementCount && !Manager.denied; ++i)
        if (Manager.problem[i] != NULL)
            PrintRefused(i);
    if (Manager.errorCount == 0)
        ApplySettings(state);
    if (answerPath != NULL) {
        XmlCreate(&Manager.writer);
        AnswerDocument(document);
        if (!XmlFinish(&Manager.writer, answerPath)) {
            PrintSummary(FALSE);
            wprintf(L"cannot write the answer to %ls\n", answerPath);
            return 4;
        }
    }
    PrintSummary(answerPath != NULL);
    return Manager.denied ? 7 : Manager.errorCount > 0 || Manager.unanswered > 0 ? DOCUMENT_IN_ERROR : 0;
}
