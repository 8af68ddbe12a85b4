#include <windows.h>
// The interfaces' identifiers are defined here, once for the whole program.
#include <initguid.h>
#include <xmllite.h>

#include "provisioning_document.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

#include "device_files.h"

// Wine's XmlLite reads a character reference to a tab or a line end as a space, and one above
// U+FFFF as another character (dlls/xmllite/reader.c, reader_parse_reference, which keeps 16 bits
// of every digit up to the ';'): a document that holds one is refused rather than misread. Every
// digit counts, however many leading zeros; a number past U+10FFFF stays past it.
static BOOL HasMisreadReference(const char* text, DWORD size)
{
    const char* end = text + size;
    for (const char* at = text; (at = (const char*)memchr(at, '&', end - at)) != NULL; ++at) {
        if (end - at < 3 || at[1] != '#')
            continue;
        BOOL hex = at[2] == 'x';
        unsigned long code = 0;
        for (const char* digit = at + (hex ? 3 : 2); digit < end && (hex ? isxdigit((BYTE)*digit) : isdigit((BYTE)*digit));
             ++digit)
            if (code <= 0x10FFFF)
                code = code * (hex ? 16 : 10) + (isdigit((BYTE)*digit) ? *digit - '0' : (*digit | 0x20) - 'a' + 10);
        if (code == '\t' || code == '\n' || code == '\r' || code > 0xFFFF)
            return TRUE;
    }
    return FALSE;
}

static BOOL Refuse(XmlDocument* document, LPCWSTR why)
{
    lstrcpynW(document->problem, why, sizeof document->problem / sizeof document->problem[0]);
    return FALSE;
}

// A name or value from the reader into the pool, as UTF-8; NULL when the pool is full or the text
// holds an unpaired surrogate.
static const char* Pooled(XmlDocument* document, const WCHAR* text, UINT length)
{
    char* space = document->pool + document->poolUsed;
    int room = XML_POOL_BYTES - document->poolUsed - 1;
    if (room <= 0)
        return NULL;
    int written = length > 0 ? WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, length, space, room, NULL, NULL)
                             : 0;
    if (length > 0 && written == 0)
        return NULL;
    space[written] = 0;
    document->poolUsed += written + 1;
    return space;
}

static BOOL ReadAttributes(IXmlReader* reader, XmlDocument* document, XmlElement* element)
{
    element->firstAttribute = document->attributeCount;
    for (HRESULT at = reader->MoveToFirstAttribute(); at == S_OK; at = reader->MoveToNextAttribute()) {
        const WCHAR *name, *value;
        UINT nameLength, valueLength;
        if (document->attributeCount >= XML_MAX_ATTRIBUTES || reader->GetQualifiedName(&name, &nameLength) != S_OK ||
            reader->GetValue(&value, &valueLength) != S_OK)
            return Refuse(document, L"it holds more attributes than the emulated device reads");
        XmlAttribute* attribute = &document->attributes[document->attributeCount];
        attribute->name = Pooled(document, name, nameLength);
        attribute->value = Pooled(document, value, valueLength);
        if (attribute->name == NULL || attribute->value == NULL)
            return Refuse(document, L"it holds more text than the emulated device reads, or an unpaired surrogate");
        // Wine's reader takes an attribute given twice, which no well-formed document has.
        for (int i = 0; i < element->attributeCount; ++i)
            if (strcmp(document->attributes[element->firstAttribute + i].name, attribute->name) == 0)
                return Refuse(document, L"it gives an attribute twice");
        document->attributeCount++;
        element->attributeCount++;
    }
    return reader->MoveToElement() != E_FAIL;
}

// A parm (its query, its removal) says everything in its attributes: an element inside one would
// be passed over by whatever reads the parm.
static BOOL IsParm(const char* name)
{
    return strcmp(name, "parm") == 0 || strcmp(name, "parm-query") == 0 || strcmp(name, "noparm") == 0;
}

static BOOL ReadElement(IXmlReader* reader, XmlDocument* document, int parent)
{
    const WCHAR* name;
    UINT length;
    if (parent >= 0 && IsParm(document->elements[parent].name))
        return Refuse(document, L"it holds an element inside a parm, which holds only attributes");
    if (document->elementCount >= XML_MAX_ELEMENTS || reader->GetQualifiedName(&name, &length) != S_OK)
        return Refuse(document, L"it holds more elements than the emulated device reads");
    XmlElement* element = &document->elements[document->elementCount];
    element->name = Pooled(document, name, length);
    element->parent = parent;
    element->attributeCount = 0;
    if (element->name == NULL)
        return Refuse(document, L"it holds more text than the emulated device reads, or an unpaired surrogate");
    if (!ReadAttributes(reader, document, element))
        return FALSE;
    document->elementCount++;
    return TRUE;
}

// The nodes in document order: elements kept, blanks, comments and processing instructions
// skipped, anything else refused. No node of a whole document takes less than a byte of it.
static BOOL ReadNodes(IXmlReader* reader, XmlDocument* document, DWORD size)
{
    int open[XML_MAX_DEPTH + 1];
    int depth = 0;
    DWORD nodes = 0;
    XmlNodeType type;
    HRESULT read;
    while ((read = reader->Read(&type)) == S_OK) {
        if (++nodes > size)
            return Refuse(document, L"it is cut off before its end");
        if (type == XmlNodeType_Element) {
            BOOL empty = reader->IsEmptyElement();
            if (depth > XML_MAX_DEPTH || !ReadElement(reader, document, depth > 0 ? open[depth - 1] : -1))
                return document->problem[0] ? FALSE : Refuse(document, L"its elements are nested too deep");
            if (!empty)
                open[depth++] = document->elementCount - 1;
        } else if (type == XmlNodeType_EndElement) {
            --depth;
        } else if (type != XmlNodeType_Whitespace && type != XmlNodeType_Comment &&
                   type != XmlNodeType_ProcessingInstruction && type != XmlNodeType_XmlDeclaration) {
            return Refuse(document, L"it holds text, CDATA or a DOCTYPE, which provisioning documents do not");
        }
    }
    if (read != S_FALSE)
        _snwprintf(document->problem, sizeof document->problem / sizeof document->problem[0] - 1,
                   L"it is not a well-formed document of at most %d levels without a DTD (XmlLite error 0x%08lx)",
                   XML_MAX_DEPTH, (unsigned long)read);
    return read == S_FALSE && (document->elementCount > 0 || Refuse(document, L"it holds no element"));
}

// Wine's XmlLite, at the end of its input inside the root element, reports the last node again
// and again instead of an error, and after an end tag closes the open elements one by one as if
// their end tags followed (dlls/xmllite/reader.c, reader_parse_chardata, reader_pop_element).
// This comment, read after the document, is what follows a whole document's root; after a cut
// one it is the root's content, which the reader then repeats: a cut document never ends.
static const char kEndMark[] = "<!---->";

BOOL ParseXml(const char* text, DWORD size, XmlDocument* document)
{
    memset(document, 0, sizeof *document);
    // Wine's reader takes a NUL for the end and replaces bytes that are not UTF-8.
    if (size == 0 || memchr(text, 0, size) != NULL)
        return Refuse(document, L"it is empty or holds a NUL byte");
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, size, NULL, 0) == 0)
        return Refuse(document, L"it is not UTF-8");
    if (HasMisreadReference(text, size))
        return Refuse(document, L"it holds a character reference to a tab, a line end or a character above U+FFFF, "
                                L"which Wine's XmlLite misreads");
    IStream* stream = NULL;
    LARGE_INTEGER start = {};
    IXmlReader* reader = NULL;
    BOOL started = CreateStreamOnHGlobal(NULL, TRUE, &stream) == S_OK && stream->Write(text, size, NULL) == S_OK &&
                   stream->Write(kEndMark, sizeof kEndMark - 1, NULL) == S_OK &&
                   stream->Seek(start, STREAM_SEEK_SET, NULL) == S_OK &&
                   CreateXmlReader(IID_IXmlReader, (void**)&reader, NULL) == S_OK &&
                   reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit) == S_OK &&
                   // Wine's reader refuses the element whose depth reaches the maximum (reader_inc_depth).
                   reader->SetProperty(XmlReaderProperty_MaxElementDepth, XML_MAX_DEPTH + 1) == S_OK &&
                   reader->SetInput(stream) == S_OK;
    BOOL read = started ? ReadNodes(reader, document, size + sizeof kEndMark - 1)
                        : Refuse(document, L"the platform's XML reader cannot start");
    if (reader != NULL)
        reader->Release();
    if (stream != NULL)
        stream->Release();
    return read;
}

const char* XmlAttributeOf(const XmlDocument* document, int element, const char* name)
{
    const XmlElement* found = &document->elements[element];
    for (int i = 0; i < found->attributeCount; ++i)
        if (strcmp(document->attributes[found->firstAttribute + i].name, name) == 0)
            return document->attributes[found->firstAttribute + i].value;
    return NULL;
}

int XmlNextChild(const XmlDocument* document, int parent, int after)
{
    for (int i = after + 1; i < document->elementCount; ++i)
        if (document->elements[i].parent == parent)
            return i;
    return -1;
}

int XmlChild(const XmlDocument* document, int parent, int after, const char* name, const char* type)
{
    for (int i = XmlNextChild(document, parent, after); i >= 0; i = XmlNextChild(document, parent, i)) {
        const char* kind = XmlAttributeOf(document, i, "type");
        if (strcmp(document->elements[i].name, name) == 0 && (type == NULL || (kind != NULL && strcmp(kind, type) == 0)))
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

BOOL XmlCreate(XmlWriter* writer)
{
    memset(writer, 0, sizeof *writer);
    writer->failed = CreateStreamOnHGlobal(NULL, TRUE, &writer->stream) != S_OK ||
                     CreateXmlWriter(IID_IXmlWriter, (void**)&writer->writer, NULL) != S_OK ||
                     writer->writer->SetProperty(XmlWriterProperty_Indent, TRUE) != S_OK ||
                     writer->writer->SetProperty(XmlWriterProperty_OmitXmlDeclaration, TRUE) != S_OK ||
                     writer->writer->SetProperty(XmlWriterProperty_ByteOrderMark, FALSE) != S_OK ||
                     writer->writer->SetOutput(writer->stream) != S_OK;
    return !writer->failed;
}

// A UTF-8 text as the writer takes it; NULL (and the writer failed) when it does not fit.
static const WCHAR* Wide(XmlWriter* writer, const char* text, WCHAR* wide, int wideChars)
{
    if (!writer->failed && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide, wideChars) > 0)
        return wide;
    writer->failed = TRUE;
    return NULL;
}

void XmlStartElement(XmlWriter* writer, const char* name)
{
    WCHAR wide[256];
    if (Wide(writer, name, wide, 256) != NULL && writer->writer->WriteStartElement(NULL, wide, NULL) != S_OK)
        writer->failed = TRUE;
}

// Wine's writer puts an attribute's value between its quotes as given (dlls/xmllite/writer.c,
// xmlwriter_WriteAttributeString; so Wine 8.0 does), so it is escaped here: markup characters as entities, tabs and line
// ends as references (a reader turns them into spaces where they stand as they are), and U+F000,
// a multiplestring's separator, as the platform's documentation writes it.
static BOOL Escape(const WCHAR* value, WCHAR* escaped, int escapedChars)
{
    static const struct {
        WCHAR character;
        const WCHAR* reference;
    } kReferences[] = {{L'&', L"&amp;"}, {L'<', L"&lt;"}, {L'>', L"&gt;"}, {L'"', L"&quot;"},
                       {L'\t', L"&#9;"}, {L'\n', L"&#10;"}, {L'\r', L"&#13;"}, {0xF000, L"&#xF000;"}};
    int used = 0;
    for (; *value; ++value) {
        WCHAR plain[2] = {*value, 0};
        const WCHAR* piece = plain;
        for (int i = 0; i < (int)(sizeof kReferences / sizeof kReferences[0]); ++i)
            if (*value == kReferences[i].character)
                piece = kReferences[i].reference;
        int length = lstrlenW(piece);
        if (used + length >= escapedChars)
            return FALSE;
        memcpy(escaped + used, piece, length * sizeof(WCHAR));
        used += length;
    }
    escaped[used] = 0;
    return TRUE;
}

void XmlWriteAttribute(XmlWriter* writer, const char* name, const char* value)
{
    static WCHAR wideName[256], wideValue[XML_POOL_BYTES], escaped[8 * XML_POOL_BYTES];
    if (Wide(writer, name, wideName, 256) == NULL || Wide(writer, value, wideValue, XML_POOL_BYTES) == NULL ||
        !IsXmlText(wideValue, lstrlenW(wideValue)) || !Escape(wideValue, escaped, 8 * XML_POOL_BYTES) ||
        writer->writer->WriteAttributeString(NULL, wideName, NULL, escaped) != S_OK)
        writer->failed = TRUE;
}

void XmlEndElement(XmlWriter* writer)
{
    if (!writer->failed && writer->writer->WriteEndElement() != S_OK)
        writer->failed = TRUE;
}

BOOL XmlFinish(XmlWriter* writer, LPCWSTR path)
{
    HGLOBAL memory = NULL;
    STATSTG written;
    // The kit's builders end a document with a line end too.
    BOOL finished = !writer->failed && writer->writer->WriteWhitespace(L"\r\n") == S_OK &&
                    writer->writer->Flush() == S_OK && GetHGlobalFromStream(writer->stream, &memory) == S_OK &&
                    writer->stream->Stat(&written, STATFLAG_NONAME) == S_OK;
    if (finished) {
        finished = WriteWhole(path, GlobalLock(memory), (DWORD)written.cbSize.QuadPart);
        GlobalUnlock(memory);
    }
    if (writer->writer != NULL)
        writer->writer->Release();
    if (writer->stream != NULL)
        writer->stream->Release();
    return finished;
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
