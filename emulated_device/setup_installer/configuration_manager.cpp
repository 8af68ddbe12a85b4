#include "configuration_manager.h"

#include <stdio.h>
#include <string.h>
#include <wincrypt.h>

#include "instruction_file.h"

#define MAX_CERTIFICATES 16
#define MAX_VALUES 64
#define CERTIFICATE_BYTES 4096

// The code stores a document may add to; the ROOT store (SSL only) and the others are not the kit's.
static const char* const kStores[] = {"SPC", "Privileged Execution Trust Authorities",
                                      "Unprivileged Execution Trust Authorities"};

struct CertificateAddition {
    const char* store;
    const char* thumbprint;
    BYTE der[CERTIFICATE_BYTES];
    DWORD size;
    DWORD role;  // SPC only
};

struct ValueSetting {
    HKEY root;
    const char* path;  // after the root's name and its '\'
    const char* name;
    const char* text;  // UTF-8
};

// What a checked document will do, applied only once all of it is checked.
static struct {
    int certificateCount, valueCount;
    CertificateAddition certificates[MAX_CERTIFICATES];
    ValueSetting values[MAX_VALUES];
} Pending;

static int NextChild(const XmlDocument* document, int parent, int after)
{
    for (int i = after + 1; i < document->elementCount; ++i)
        if (document->elements[i].parent == parent)
            return i;
    return -1;
}

static BOOL IsCharacteristic(const XmlDocument* document, int element)
{
    return strcmp(document->elements[element].name, "characteristic") == 0 &&
           XmlAttributeOf(document, element, "type") != NULL;
}

static BOOL Refuse(const char* why)
{
    wprintf(L"the provisioning document is not sound: %hs\n", why);
    return FALSE;
}

static BOOL ReadDecimal(const char* text, DWORD* number);

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

// A policy of the device (C:\windows\security\policies, one "ID=value" a line), or its default.
static DWORD DevicePolicy(DWORD id, DWORD fallback)
{
    static char text[4096];
    HANDLE file = CreateFileW(POLICIES_FILE, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return fallback;
    DWORD size = 0;
    BOOL read = ReadFile(file, text, sizeof text - 1, &size, NULL);
    CloseHandle(file);
    if (!read)
        return fallback;
    text[size] = 0;
    for (char* line = text; *line; ) {
        char* end = strchr(line, '\n');
        if (end != NULL)
            *end = 0;
        DWORD key, value;
        char* equals = strchr(line, '=');
        if (equals != NULL) {
            *equals = 0;
            if (ReadDecimal(line, &key) && ReadDecimal(equals + 1, &value) && key == id)
                return value;
        }
        if (end == NULL)
            break;
        line = end + 1;
    }
    return fallback;
}

DWORD EffectiveRoles(DWORD role)
{
    return role & DevicePolicy(POLICY_GRANT_MANAGER, GRANT_MANAGER_CLASSIC) ? role | SECROLE_MANAGER : role;
}

// The thumbprint as the platform writes it: the SHA-1 of the DER in 40 hexadecimal digits.
static BOOL IsThumbprintOf(const char* thumbprint, const BYTE* der, DWORD size)
{
    BYTE hash[20];
    if (strlen(thumbprint) != 40 || !Hash(CALG_SHA1, der, size, hash, sizeof hash))
        return FALSE;
    for (int i = 0; i < 20; ++i) {
        char digits[3];
        _snprintf(digits, sizeof digits, "%02X", hash[i]);
        if (_strnicmp(digits, thumbprint + 2 * i, 2) != 0)
            return FALSE;
    }
    return TRUE;
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

static BOOL CheckCertificate(const XmlDocument* document, int element, const char* store)
{
    if (Pending.certificateCount >= MAX_CERTIFICATES)
        return Refuse("too many certificates");
    CertificateAddition* addition = &Pending.certificates[Pending.certificateCount];
    addition->store = store;
    addition->thumbprint = XmlAttributeOf(document, element, "type");
    const char* encoded = NULL;
    const char* role = NULL;
    for (int parm = NextChild(document, element, -1); parm >= 0; parm = NextChild(document, element, parm)) {
        const char* name = XmlAttributeOf(document, parm, "name");
        const char* value = XmlAttributeOf(document, parm, "value");
        if (strcmp(document->elements[parm].name, "parm") != 0 || name == NULL || value == NULL)
            return Refuse("a certificate holds something other than its parms");
        if (strcmp(name, "EncodedCertificate") == 0)
            encoded = value;
        else if (strcmp(name, "Role") == 0)
            role = value;
        else
            return Refuse("a certificate has a parm other than EncodedCertificate and Role");
    }
    addition->size = CERTIFICATE_BYTES;
    if (encoded == NULL ||
        !CryptStringToBinaryA(encoded, 0, CRYPT_STRING_BASE64, addition->der, &addition->size, NULL, NULL))
        return Refuse("a certificate has no EncodedCertificate in base64");
    PCCERT_CONTEXT parsed = CertCreateCertificateContext(X509_ASN_ENCODING, addition->der, addition->size);
    if (parsed == NULL)
        return Refuse("an EncodedCertificate is not a certificate");
    CertFreeCertificateContext(parsed);
    if (!IsThumbprintOf(addition->thumbprint, addition->der, addition->size))
        return Refuse("a certificate's thumbprint is not the SHA-1 of its EncodedCertificate");
    BOOL spc = strcmp(store, "SPC") == 0;
    if (spc ? role == NULL || !ReadDecimal(role, &addition->role) : role != NULL)
        return Refuse("an SPC certificate needs a decimal Role, and only an SPC certificate has one");
    Pending.certificateCount++;
    return TRUE;
}

static BOOL CheckCertificateStore(const XmlDocument* document, int element)
{
    for (int store = NextChild(document, element, -1); store >= 0; store = NextChild(document, element, store)) {
        const char* name = IsCharacteristic(document, store) ? XmlAttributeOf(document, store, "type") : NULL;
        const char* known = NULL;
        for (int i = 0; name != NULL && i < (int)(sizeof kStores / sizeof kStores[0]); ++i)
            if (strcmp(name, kStores[i]) == 0)
                known = kStores[i];
        if (known == NULL)
            return Refuse("a CertificateStore characteristic names a store the emulated device does not keep");
        for (int certificate = NextChild(document, store, -1); certificate >= 0;
             certificate = NextChild(document, store, certificate))
            if (!IsCharacteristic(document, certificate) || !CheckCertificate(document, certificate, known))
                return FALSE;
    }
    return TRUE;
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

// Registry values as the document sets them: strings only, stored as written (no translation).
static BOOL CheckRegistry(const XmlDocument* document, int element)
{
    for (int key = NextChild(document, element, -1); key >= 0; key = NextChild(document, element, key)) {
        const char* path = NULL;
        HKEY root = IsCharacteristic(document, key) ? RootOfPath(XmlAttributeOf(document, key, "type"), &path) : NULL;
        if (root == NULL)
            return Refuse("a Registry characteristic names no key under HKLM, HKCU, HKCR or HKU");
        for (int parm = NextChild(document, key, -1); parm >= 0; parm = NextChild(document, key, parm)) {
            const char* datatype = XmlAttributeOf(document, parm, "datatype");
            const XmlElement* found = &document->elements[parm];
            if (strcmp(found->name, "parm") != 0 || found->attributeCount != 3 || datatype == NULL ||
                strcmp(datatype, "string") != 0 || XmlAttributeOf(document, parm, "name") == NULL ||
                XmlAttributeOf(document, parm, "value") == NULL)
                return Refuse("a registry value is not a parm with a name, a value and datatype \"string\"");
            if (Pending.valueCount >= MAX_VALUES)
                return Refuse("too many registry values");
            ValueSetting setting = {root, path, XmlAttributeOf(document, parm, "name"),
                                    XmlAttributeOf(document, parm, "value")};
            Pending.values[Pending.valueCount++] = setting;
        }
    }
    return TRUE;
}

static BOOL CheckDocument(const XmlDocument* document)
{
    Pending.certificateCount = Pending.valueCount = 0;
    if (strcmp(document->elements[0].name, "wap-provisioningdoc") != 0)
        return Refuse("it is no wap-provisioningdoc");
    for (int top = NextChild(document, 0, -1); top >= 0; top = NextChild(document, 0, top)) {
        const char* type = IsCharacteristic(document, top) ? XmlAttributeOf(document, top, "type") : "";
        if (strcmp(type, "CertificateStore") == 0) {
            if (!CheckCertificateStore(document, top))
                return FALSE;
        } else if (strcmp(type, "Registry") == 0) {
            if (!CheckRegistry(document, top))
                return FALSE;
        } else {
            return Refuse("the emulated device applies CertificateStore and Registry characteristics only");
        }
    }
    return TRUE;
}

static BOOL WriteWhole(LPCWSTR path, const void* data, DWORD size)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    DWORD written = 0;
    BOOL wrote = WriteFile(file, data, size, &written, NULL) && written == size;
    CloseHandle(file);
    return wrote;
}

static BOOL AddCertificate(const CertificateAddition& addition)
{
    WCHAR folder[MAX_PATH], path[MAX_PATH];
    CreateDirectoryW(L"C:\\windows\\security", NULL);
    CreateDirectoryW(STORES_FOLDER, NULL);
    if (!FormatPath(folder, MAX_PATH, L"%ls\\%hs", STORES_FOLDER, addition.store))
        return FALSE;
    CreateDirectoryW(folder, NULL);
    if (!FormatPath(path, MAX_PATH, L"%ls\\%hs.cer", folder, addition.thumbprint) ||
        !WriteWhole(path, addition.der, addition.size))
        return FALSE;
    if (strcmp(addition.store, "SPC") != 0)
        return TRUE;
    char role[16];
    int length = _snprintf(role, sizeof role, "%lu", addition.role);
    return FormatPath(path, MAX_PATH, L"%ls\\%hs.role", folder, addition.thumbprint) && WriteWhole(path, role, length);
}

static BOOL SetValue(const ValueSetting& setting)
{
    WCHAR path[MAX_PATH], name[256];
    static WCHAR text[4096];
    HKEY key;
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting.path, -1, path, MAX_PATH) ||
        !MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting.name, -1, name, 256))
        return FALSE;
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting.text, -1, text, 4096);
    if (length == 0 || RegCreateKeyExW(setting.root, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return FALSE;
    BOOL set = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text, length * sizeof(WCHAR)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

int ApplyProvisioningDocument(const XmlDocument* document, DWORD role)
{
    if (!CheckDocument(document))
        return 4;
    // The CertificateStore provider needs the Manager role; so does the Registry provider, for
    // every key the default metabase ("*": Manager) does not open to other roles.
    if ((Pending.certificateCount > 0 || Pending.valueCount > 0) && !(EffectiveRoles(role) & SECROLE_MANAGER)) {
        wprintf(L"%ls needs the Manager role; this document was accepted with role mask %lu, which policy 4119 "
                L"(Grant Manager, %lu) does not raise to it\n",
                Pending.certificateCount > 0 ? L"adding certificates" : L"setting registry values", role,
                DevicePolicy(POLICY_GRANT_MANAGER, GRANT_MANAGER_CLASSIC));
        return 7;
    }
    int failed = 0;
    for (int i = 0; i < Pending.certificateCount; ++i) {
        const CertificateAddition& addition = Pending.certificates[i];
        BOOL added = AddCertificate(addition);
        failed += !added;
        if (!added)
            wprintf(L"cannot add certificate %hs to %hs\n", addition.thumbprint, addition.store);
        else if (strcmp(addition.store, "SPC") == 0)
            wprintf(L"added certificate %hs to %hs with role mask %lu\n", addition.thumbprint, addition.store,
                    addition.role);
        else
            wprintf(L"added certificate %hs to %hs\n", addition.thumbprint, addition.store);
    }
    for (int i = 0; i < Pending.valueCount; ++i) {
        const ValueSetting& setting = Pending.values[i];
        BOOL set = SetValue(setting);
        failed += !set;
        wprintf(set ? L"set %hs in %hs\n" : L"cannot set %hs in %hs\n", setting.name, setting.path);
    }
    return failed ? 4 : 0;
}
