#include "provisioning_document.h"

#include <string.h>

#define XML_MAX_DEPTH 32

struct XmlReader {
    const char* at;
    const char* end;
    XmlDocument* document;
};

static BOOL StartsWith(const XmlReader* reader, const char* text)
{
    size_t length = strlen(text);
    return (size_t)(reader->end - reader->at) >= length && memcmp(reader->at, text, length) == 0;
}

static void SkipBlanks(XmlReader* reader)
{
    while (reader->at < reader->end &&
           (*reader->at == ' ' || *reader->at == '\t' || *reader->at == '\r' || *reader->at == '\n'))
        ++reader->at;
}

// Skips to just after `ending`; FALSE when the text ends first.
static BOOL SkipPast(XmlReader* reader, const char* ending)
{
    for (; reader->at < reader->end; ++reader->at)
        if (StartsWith(reader, ending)) {
            reader->at += strlen(ending);
            return TRUE;
        }
    return FALSE;
}

// Comments and processing instructions (the XML declaration among them), with the blanks around.
static BOOL SkipMisc(XmlReader* reader)
{
    for (;;) {
        SkipBlanks(reader);
        if (StartsWith(reader, "<!--")) {
            if (!SkipPast(reader, "-->"))
                return FALSE;
        } else if (StartsWith(reader, "<?")) {
            if (!SkipPast(reader, "?>"))
                return FALSE;
        } else {
            return TRUE;
        }
    }
}

static char* PoolSpace(XmlDocument* document, int bytes)
{
    if (document->poolUsed + bytes > XML_POOL_BYTES)
        return NULL;
    char* space = document->pool + document->poolUsed;
    document->poolUsed += bytes;
    return space;
}

static BOOL IsNameCharacter(char c, BOOL first)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':' ||
           (!first && ((c >= '0' && c <= '9') || c == '-' || c == '.'));
}

static const char* ReadName(XmlReader* reader)
{
    const char* start = reader->at;
    while (reader->at < reader->end && IsNameCharacter(*reader->at, reader->at == start))
        ++reader->at;
    int length = (int)(reader->at - start);
    char* name = length > 0 ? PoolSpace(reader->document, length + 1) : NULL;
    if (name == NULL)
        return NULL;
    memcpy(name, start, length);
    name[length] = 0;
    return name;
}

static int EncodeUtf8(unsigned long code, char* out)
{
    if (code < 0x80) {
        out[0] = (char)code;
        return 1;
    }
    if (code < 0x800) {
        out[0] = (char)(0xC0 | code >> 6);
        out[1] = (char)(0x80 | (code & 0x3F));
        return 2;
    }
    if (code < 0x10000) {
        out[0] = (char)(0xE0 | code >> 12);
        out[1] = (char)(0x80 | ((code >> 6) & 0x3F));
        out[2] = (char)(0x80 | (code & 0x3F));
        return 3;
    }
    out[0] = (char)(0xF0 | code >> 18);
    out[1] = (char)(0x80 | ((code >> 12) & 0x3F));
    out[2] = (char)(0x80 | ((code >> 6) & 0x3F));
    out[3] = (char)(0x80 | (code & 0x3F));
    return 4;
}

// One entity after its '&', written to out; its length in bytes, 0 when it is unknown or unclosed.
static int DecodeEntity(const char* at, const char* end, char* out, const char** after)
{
    static const struct {
        const char* name;
        char character;
    } kNamed[] = {{"amp;", '&'}, {"lt;", '<'}, {"gt;", '>'}, {"quot;", '"'}, {"apos;", '\''}};
    for (int i = 0; i < (int)(sizeof kNamed / sizeof kNamed[0]); ++i) {
        size_t length = strlen(kNamed[i].name);
        if ((size_t)(end - at) >= length && memcmp(at, kNamed[i].name, length) == 0) {
            *out = kNamed[i].character;
            *after = at + length;
            return 1;
        }
    }
    if (at >= end || *at != '#')
        return 0;
    BOOL hex = at + 1 < end && at[1] == 'x';
    unsigned long code = 0;
    const char* digit = at + (hex ? 2 : 1);
    const char* first = digit;
    for (; digit < end && *digit != ';'; ++digit) {
        int value = *digit >= '0' && *digit <= '9'                ? *digit - '0'
                    : hex && *digit >= 'a' && *digit <= 'f' ? *digit - 'a' + 10
                    : hex && *digit >= 'A' && *digit <= 'F' ? *digit - 'A' + 10
                                                            : -1;
        if (value < 0 || code > 0x10FFFF)
            return 0;
        code = code * (hex ? 16 : 10) + value;
    }
    if (digit == first || digit >= end || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
        return 0;
    *after = digit + 1;
    return EncodeUtf8(code, out);
}

static const char* ReadValue(XmlReader* reader)
{
    if (reader->at >= reader->end || (*reader->at != '"' && *reader->at != '\''))
        return NULL;
    char quote = *reader->at++;
    const char* start = reader->at;
    const char* close = (const char*)memchr(start, quote, reader->end - start);
    // Decoding never lengthens the text: the raw length is room enough.
    char* value = close != NULL ? PoolSpace(reader->document, (int)(close - start) + 1) : NULL;
    if (value == NULL)
        return NULL;
    int length = 0;
    while (reader->at < close) {
        char c = *reader->at;
        if (c == '<' || c == 0)
            return NULL;
        if (c != '&') {
            value[length++] = c;
            ++reader->at;
            continue;
        }
        int decoded = DecodeEntity(reader->at + 1, close, value + length, &reader->at);
        if (decoded == 0)
            return NULL;
        length += decoded;
    }
    value[length] = 0;
    reader->at = close + 1;
    return value;
}

static BOOL ReadAttributes(XmlReader* reader, XmlElement* element)
{
    XmlDocument* document = reader->document;
    element->firstAttribute = document->attributeCount;
    for (;;) {
        const char* before = reader->at;
        SkipBlanks(reader);
        if (StartsWith(reader, "/>") || StartsWith(reader, ">"))
            return TRUE;
        if (reader->at == before || document->attributeCount >= XML_MAX_ATTRIBUTES)
            return FALSE;
        XmlAttribute* attribute = &document->attributes[document->attributeCount];
        attribute->name = ReadName(reader);
        SkipBlanks(reader);
        if (attribute->name == NULL || reader->at >= reader->end || *reader->at++ != '=')
            return FALSE;
        SkipBlanks(reader);
        attribute->value = ReadValue(reader);
        if (attribute->value == NULL)
            return FALSE;
        for (int i = 0; i < element->attributeCount; ++i)
            if (strcmp(document->attributes[element->firstAttribute + i].name, attribute->name) == 0)
                return FALSE;
        document->attributeCount++;
        element->attributeCount++;
    }
}

// An element's start tag after its '<'; *empty tells whether it closed itself.
static BOOL ReadStartTag(XmlReader* reader, int parent, BOOL* empty)
{
    XmlDocument* document = reader->document;
    if (document->elementCount >= XML_MAX_ELEMENTS)
        return FALSE;
    XmlElement* element = &document->elements[document->elementCount];
    element->name = ReadName(reader);
    element->parent = parent;
    element->attributeCount = 0;
    if (element->name == NULL || !ReadAttributes(reader, element))
        return FALSE;
    *empty = StartsWith(reader, "/>");
    reader->at += *empty ? 2 : 1;
    document->elementCount++;
    return TRUE;
}

static BOOL ReadEndTag(XmlReader* reader, const char* name)
{
    size_t length = strlen(name);
    if ((size_t)(reader->end - reader->at) < length || memcmp(reader->at, name, length) != 0)
        return FALSE;
    reader->at += length;
    SkipBlanks(reader);
    return reader->at < reader->end && *reader->at++ == '>';
}

BOOL ParseXml(const char* text, DWORD size, XmlDocument* document)
{
    memset(document, 0, sizeof *document);
    XmlReader reader = {text, text + size, document};
    if (StartsWith(&reader, "\xEF\xBB\xBF"))
        reader.at += 3;
    int open[XML_MAX_DEPTH];
    int depth = 0;
    if (!SkipMisc(&reader) || !StartsWith(&reader, "<"))
        return FALSE;
    do {
        if (depth > 0 && !SkipMisc(&reader))
            return FALSE;
        if (!StartsWith(&reader, "<") || StartsWith(&reader, "<!"))
            return FALSE;  // text, DOCTYPE or CDATA
        ++reader.at;
        if (*reader.at == '/') {
            ++reader.at;
            if (depth == 0 || !ReadEndTag(&reader, document->elements[open[depth - 1]].name))
                return FALSE;
            --depth;
            continue;
        }
        BOOL empty;
        if ((depth == 0 && document->elementCount > 0) || !ReadStartTag(&reader, depth > 0 ? open[depth - 1] : -1, &empty))
            return FALSE;
        if (!empty) {
            if (depth == XML_MAX_DEPTH)
                return FALSE;
            open[depth++] = document->elementCount - 1;
        }
    } while (depth > 0);
    return SkipMisc(&reader) && reader.at == reader.end;
}

const char* XmlAttributeOf(const XmlDocument* document, int element, const char* name)
{
    const XmlElement* found = &document->elements[element];
    for (int i = 0; i < found->attributeCount; ++i)
        if (strcmp(document->attributes[found->firstAttribute + i].name, name) == 0)
            return document->attributes[found->firstAttribute + i].value;
    return NULL;
}

int XmlChild(const XmlDocument* document, int parent, int after, const char* name, const char* type)
{
    for (int i = after + 1; i < document->elementCount; ++i) {
        if (document->elements[i].parent != parent || strcmp(document->elements[i].name, name) != 0)
            continue;
        const char* kind = XmlAttributeOf(document, i, "type");
        if (type == NULL || (kind != NULL && strcmp(kind, type) == 0))
            return i;
    }
    return -1;
}

const char* XmlParmValue(const XmlDocument* document, int parent, const char* name)
{
    for (int parm = XmlChild(document, parent, -1, "parm", NULL); parm >= 0;
         parm = XmlChild(document, parent, parm, "parm", NULL)) {
        const char* parmName = XmlAttributeOf(document, parm, "name");
        if (parmName != NULL && strcmp(parmName, name) == 0)
            return XmlAttributeOf(document, parm, "value");
    }
    return NULL;
}

BOOL XmlCreate(XmlWriter* writer, LPCWSTR path)
{
    writer->file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    writer->depth = 0;
    writer->failed = writer->file == INVALID_HANDLE_VALUE;
    writer->used = 0;
    return !writer->failed;
}

static void Flush(XmlWriter* writer)
{
    DWORD written = 0;
    if (writer->used > 0 && !writer->failed &&
        (!WriteFile(writer->file, writer->buffer, writer->used, &written, NULL) || written != writer->used))
        writer->failed = TRUE;
    writer->used = 0;
}

static void Put(XmlWriter* writer, const char* text, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        if (writer->used == XML_WRITER_BUFFER)
            Flush(writer);
        writer->buffer[writer->used++] = text[i];
    }
}

static void PutText(XmlWriter* writer, const char* text)
{
    Put(writer, text, strlen(text));
}

static void Indent(XmlWriter* writer)
{
    for (int i = 0; i < writer->depth; ++i)
        PutText(writer, "  ");
}

void XmlStartTag(XmlWriter* writer, const char* name)
{
    Indent(writer);
    PutText(writer, "<");
    PutText(writer, name);
}

// Tabs and line ends as references: a reader turns them into blanks where they stand as they are.
// U+F000, a multiplestring's separator, as the platform's documentation writes it.
void XmlWriteAttribute(XmlWriter* writer, const char* name, const char* value)
{
    PutText(writer, " ");
    PutText(writer, name);
    PutText(writer, "=\"");
    for (const char* at = value; *at; ++at) {
        if (strncmp(at, "\xEF\x80\x80", 3) == 0) {
            PutText(writer, "&#xF000;");
            at += 2;
            continue;
        }
        switch (*at) {
        case '&': PutText(writer, "&amp;"); break;
        case '<': PutText(writer, "&lt;"); break;
        case '>': PutText(writer, "&gt;"); break;
        case '"': PutText(writer, "&quot;"); break;
        case '\t': PutText(writer, "&#9;"); break;
        case '\n': PutText(writer, "&#10;"); break;
        case '\r': PutText(writer, "&#13;"); break;
        default:
            if ((BYTE)*at < 0x20)
                writer->failed = TRUE;
            Put(writer, at, 1);
        }
    }
    PutText(writer, "\"");
}

void XmlEndStartTag(XmlWriter* writer, BOOL empty)
{
    PutText(writer, empty ? " />\r\n" : ">\r\n");
    if (!empty)
        writer->depth++;
}

void XmlEndTag(XmlWriter* writer, const char* name)
{
    writer->depth--;
    Indent(writer);
    PutText(writer, "</");
    PutText(writer, name);
    PutText(writer, ">\r\n");
}

BOOL XmlFinish(XmlWriter* writer, LPCWSTR path)
{
    if (writer->file == INVALID_HANDLE_VALUE)
        return FALSE;
    Flush(writer);
    if (!CloseHandle(writer->file))
        writer->failed = TRUE;
    if (writer->failed)
        DeleteFileW(path);
    return !writer->failed;
}

BOOL IsXmlText(const WCHAR* text, int chars)
{
    for (int i = 0; i < chars; ++i) {
        WCHAR c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < chars && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            ++i;
            continue;
        }
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || (c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE ||
            c == 0xFFFF)
            return FALSE;
    }
    return TRUE;
}
