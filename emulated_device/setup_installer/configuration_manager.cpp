#include "configuration_manager.h"

#include <stdio.h>
#include <string.h>
#include <wincrypt.h>

#include "device_files.h"
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
    for (int parm = XmlNextChild(document, element, -1); parm >= 0; parm = XmlNextChild(document, element, parm)) {
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
    for (int store = XmlNextChild(document, element, -1); store >= 0; store = XmlNextChild(document, element, store)) {
        const char* name = IsCharacteristic(document, store) ? XmlAttributeOf(document, store, "type") : NULL;
        const char* known = NULL;
        for (int i = 0; name != NULL && i < (int)(sizeof kStores / sizeof kStores[0]); ++i)
            if (strcmp(name, kStores[i]) == 0)
                known = kStores[i];
        if (known == NULL)
            return Refuse("a CertificateStore characteristic names a store the emulated device does not keep");
        for (int certificate = XmlNextChild(document, store, -1); certificate >= 0;
             certificate = XmlNextChild(document, store, certificate))
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
#define VALUE_NAME_CHARS 256
#define VALUE_TEXT_CHARS 4096

static BOOL FitsAsWide(const char* text, int chars)
{
    int needed = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
    return needed > 0 && needed <= chars;
}

static BOOL CheckRegistry(const XmlDocument* document, int element)
{
    for (int key = XmlNextChild(document, element, -1); key >= 0; key = XmlNextChild(document, element, key)) {
        const char* path = NULL;
        HKEY root = IsCharacteristic(document, key) ? RootOfPath(XmlAttributeOf(document, key, "type"), &path) : NULL;
        if (root == NULL)
            return Refuse("a Registry characteristic names no key under HKLM, HKCU, HKCR or HKU");
        for (int parm = XmlNextChild(document, key, -1); parm >= 0; parm = XmlNextChild(document, key, parm)) {
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
            // Everything is checked before anything is applied, the texts' conversion too.
            if (!FitsAsWide(setting.path, MAX_PATH) || !FitsAsWide(setting.name, VALUE_NAME_CHARS) ||
                !FitsAsWide(setting.text, VALUE_TEXT_CHARS))
                return Refuse("a registry key, value name or value is not UTF-8, or too long");
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
    for (int top = XmlNextChild(document, 0, -1); top >= 0; top = XmlNextChild(document, 0, top)) {
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

static BOOL AddCertificate(const CertificateAddition& addition, LPCWSTR state)
{
    WCHAR stores[MAX_PATH], folder[MAX_PATH], path[MAX_PATH];
    if (!FormatPath(stores, MAX_PATH, L"%ls\\stores", state) ||
        !FormatPath(folder, MAX_PATH, L"%ls\\%hs", stores, addition.store))
        return FALSE;
    CreateDirectoryW(stores, NULL);
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
    WCHAR path[MAX_PATH], name[VALUE_NAME_CHARS];
    static WCHAR text[VALUE_TEXT_CHARS];
    HKEY key;
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting.path, -1, path, MAX_PATH) ||
        !MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting.name, -1, name, VALUE_NAME_CHARS))
        return FALSE;
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, setting.text, -1, text, VALUE_TEXT_CHARS);
    if (length == 0 || RegCreateKeyExW(setting.root, path, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return FALSE;
    BOOL set = RegSetValueExW(key, name, 0, REG_SZ, (const BYTE*)text, length * sizeof(WCHAR)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return set;
}

int ApplyProvisioningDocument(const XmlDocument* document, DWORD role, LPCWSTR state)
{
    if (!CheckDocument(document))
        return 4;
    // The CertificateStore provider needs the Manager role; so does the Registry provider, for
    // every key the default metabase ("*": Manager) does not open to other roles.
    if ((Pending.certificateCount > 0 || Pending.valueCount > 0) && !(role & SECROLE_MANAGER)) {
        wprintf(L"%ls needs the Manager role; this document was accepted with role mask %lu, which lacks it\n",
                Pending.certificateCount > 0 ? L"adding certificates" : L"setting registry values", role);
        return 7;
    }
    int failed = 0;
    for (int i = 0; i < Pending.certificateCount; ++i) {
        const CertificateAddition& addition = Pending.certificates[i];
        BOOL added = AddCertificate(addition, state);
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

// What arrives through the management system is answered element by element, as the platform's
// configuration manager answers ("Provisioning File Error Messages": the element that cannot be
// processed becomes its error element).
#define ANSWER_VALUE_BYTES 4096

struct RequestElement {
    const char* name;
    const char* error;
    const char* identity;  // the attribute that names what it is about
};

static const RequestElement kRequestElements[] = {
    {"characteristic", "characteristic-error", "type"}, {"characteristic-query", "characteristic-query-error", "type"},
    {"nocharacteristic", "nocharacteristic-error", "type"}, {"parm", "parm-error", "name"},
    {"parm-query", "parm-query-error", "name"}, {"noparm", "noparm-error", "name"}};

static const char kNotPlayed[] = "the emulated device answers queries of registry values through this channel; "
                                 "settings and removals travel in a package";

static struct {
    XmlWriter writer;
    BOOL allowed, denied;
    char denial[256];
    int values, missing, unanswered, missingKeys;
} Answer;

static const RequestElement* RequestElementOf(const XmlDocument* document, int element)
{
    for (int i = 0; i < (int)(sizeof kRequestElements / sizeof kRequestElements[0]); ++i)
        if (strcmp(document->elements[element].name, kRequestElements[i].name) == 0)
            return XmlAttributeOf(document, element, kRequestElements[i].identity) ? &kRequestElements[i] : NULL;
    return NULL;
}

// Below its root, a document that asks something holds only the elements of a request, each naming
// what it is about; anything else (an answer's elements among them) is not a request. Its texts
// are UTF-8, as the answer that repeats them must be.
static BOOL IsRequest(const XmlDocument* document)
{
    if (strcmp(document->elements[0].name, "wap-provisioningdoc") != 0)
        return Refuse("it is no wap-provisioningdoc");
    for (int i = 1; i < document->elementCount; ++i)
        if (RequestElementOf(document, i) == NULL)
            return Refuse("it holds an element that is not characteristic, parm, their queries or removals, or one "
                          "without its type or name");
    for (int i = 0; i < document->attributeCount; ++i)
        if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, document->attributes[i].value, -1, NULL, 0))
            return Refuse("an attribute's value is not UTF-8");
    return TRUE;
}

static void CopyStartTag(const XmlDocument* document, int element, const char* name)
{
    const XmlElement* found = &document->elements[element];
    XmlStartElement(&Answer.writer, name);
    for (int i = 0; i < found->attributeCount; ++i)
        XmlWriteAttribute(&Answer.writer, document->attributes[found->firstAttribute + i].name,
                          document->attributes[found->firstAttribute + i].value);
}

// The element's error element: what it names (and a parm's value), and why.
static void WriteError(const XmlDocument* document, int element, const char* why)
{
    const RequestElement* kind = RequestElementOf(document, element);
    XmlStartElement(&Answer.writer, kind->error);
    XmlWriteAttribute(&Answer.writer, kind->identity, XmlAttributeOf(document, element, kind->identity));
    if (strcmp(kind->name, "parm") == 0 && XmlAttributeOf(document, element, "value") != NULL)
        XmlWriteAttribute(&Answer.writer, "value", XmlAttributeOf(document, element, "value"));
    XmlWriteAttribute(&Answer.writer, "desc", why);
    XmlEndElement(&Answer.writer);
    Answer.unanswered += strcmp(kind->name, "parm-query") == 0;
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

static void AnswerValue(const XmlDocument* document, int query, HKEY key)
{
    static WCHAR stored[ANSWER_VALUE_BYTES / sizeof(WCHAR)];
    static char text[ANSWER_VALUE_BYTES * 2];  // base64 takes 4/3 of the bytes, UTF-8 at most 3/2
    static char why[128];
    WCHAR name[256];
    const char* nameText = XmlAttributeOf(document, query, "name");
    if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, nameText, -1, name, 256)) {
        WriteError(document, query, "the value's name is not UTF-8 of at most 255 characters");
        return;
    }
    DWORD type = REG_NONE, size = sizeof stored;
    LONG read = RegQueryValueExW(key, name, NULL, &type, (BYTE*)stored, &size);
    if (read == ERROR_FILE_NOT_FOUND) {
        XmlStartElement(&Answer.writer, "noparm");
        XmlWriteAttribute(&Answer.writer, "name", nameText);
        XmlEndElement(&Answer.writer);
        Answer.missing++;
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
            // The provider's integers are signed ("fail if a registry value is set outside the
            // range of signed integers").
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
    XmlStartElement(&Answer.writer, "parm");
    XmlWriteAttribute(&Answer.writer, "name", nameText);
    XmlWriteAttribute(&Answer.writer, "value", text);
    XmlWriteAttribute(&Answer.writer, "datatype", datatype);
    XmlEndElement(&Answer.writer);
    Answer.values++;
}

static void AnswerKey(const XmlDocument* document, int element, HKEY root, const char* path)
{
    WCHAR widePath[MAX_PATH];
    HKEY key = NULL;
    if (!Answer.allowed) {
        // Nothing is read, not even whether the key exists.
        Answer.denied = TRUE;
        CopyStartTag(document, element, "characteristic");
        for (int child = XmlNextChild(document, element, -1); child >= 0; child = XmlNextChild(document, element, child))
            WriteError(document, child, Answer.denial);
    } else if (!MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, widePath, MAX_PATH)) {
        WriteError(document, element, "the key's path is not UTF-8 of fewer than 260 characters");
        return;
    } else {
        LONG opened = RegOpenKeyExW(root, widePath, 0, KEY_QUERY_VALUE, &key);
        if (opened != ERROR_SUCCESS) {
            if (opened != ERROR_FILE_NOT_FOUND) {
                WriteError(document, element, "the key cannot be opened");
                return;
            }
            XmlStartElement(&Answer.writer, "nocharacteristic");
            XmlWriteAttribute(&Answer.writer, "type", XmlAttributeOf(document, element, "type"));
            XmlEndElement(&Answer.writer);
            Answer.missingKeys++;
            return;
        }
        CopyStartTag(document, element, "characteristic");
        for (int child = XmlNextChild(document, element, -1); child >= 0; child = XmlNextChild(document, element, child)) {
            if (strcmp(document->elements[child].name, "parm-query") == 0)
                AnswerValue(document, child, key);
            else if (strcmp(document->elements[child].name, "characteristic") == 0)
                WriteError(document, child, "the Registry provider reaches a subkey through a characteristic of its "
                                            "own, not one nested in its key");
            else
                WriteError(document, child, kNotPlayed);
        }
        RegCloseKey(key);
    }
    XmlEndElement(&Answer.writer);
}

static void AnswerRegistry(const XmlDocument* document, int element)
{
    CopyStartTag(document, element, "characteristic");
    for (int child = XmlNextChild(document, element, -1); child >= 0; child = XmlNextChild(document, element, child)) {
        const char* kind = document->elements[child].name;
        const char* path = NULL;
        HKEY root = strcmp(kind, "characteristic") == 0 ? RootOfPath(XmlAttributeOf(document, child, "type"), &path)
                                                        : NULL;
        if (root != NULL)
            AnswerKey(document, child, root, path);
        else if (strcmp(kind, "characteristic") == 0)
            WriteError(document, child, "it names no key under HKLM, HKCU, HKCR or HKU");
        else if (strcmp(kind, "characteristic-query") == 0)
            WriteError(document, child, "the emulated device answers the parm-query of each value, not a query of a "
                                        "whole key");
        else
            WriteError(document, child, kNotPlayed);
    }
    XmlEndElement(&Answer.writer);
}

int AnswerProvisioningDocument(const XmlDocument* document, DWORD role, LPCWSTR answerPath)
{
    if (!IsRequest(document))
        return 4;
    memset(&Answer, 0, sizeof Answer);
    // The Registry provider needs the Manager role to query a key too (default metabase "*").
    Answer.allowed = (role & SECROLE_MANAGER) != 0;
    _snprintf(Answer.denial, sizeof Answer.denial, "access denied: the Registry provider needs the Manager role; "
              "this document came with role mask %lu, which lacks it", role);
    XmlCreate(&Answer.writer);
    CopyStartTag(document, 0, "wap-provisioningdoc");
    for (int top = XmlNextChild(document, 0, -1); top >= 0; top = XmlNextChild(document, 0, top)) {
        const char* type = XmlAttributeOf(document, top, "type");
        BOOL registry = strcmp(type != NULL ? type : "", "Registry") == 0;
        if (registry && strcmp(document->elements[top].name, "characteristic") == 0)
            AnswerRegistry(document, top);
        else if (registry && strcmp(document->elements[top].name, "characteristic-query") == 0)
            WriteError(document, top, "the Registry provider does not answer a query of its top level");
        else
            WriteError(document, top, "the emulated device answers only the Registry configuration service provider "
                                      "through this channel");
    }
    XmlEndElement(&Answer.writer);
    if (!XmlFinish(&Answer.writer, answerPath)) {
        wprintf(L"cannot write the answer to %ls, or the document holds a character that the answer cannot "
                L"carry\n", answerPath);
        return 4;
    }
    wprintf(L"answered: %d values, %d missing, %d keys missing, %d queries not answered%ls\n", Answer.values,
            Answer.missing, Answer.missingKeys, Answer.unanswered,
            Answer.denied ? L" (the role does not allow reading the registry)" : L"");
    return Answer.denied ? 7 : 0;
}
