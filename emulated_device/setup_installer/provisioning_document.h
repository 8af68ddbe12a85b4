// A provisioning document (a CAB's _setup.xml, a .cpf's document) read with the platform's
// XmlLite: its elements with their attributes, values in UTF-8. Text, DOCTYPE and CDATA are
// refused: provisioning documents carry everything in attributes, and a reader that skipped them
// could misread one. Written (a device's answer to a document) with XmlLite too, as the kit's
// builders write documents: two-space indentation, CRLF line ends, UTF-8 without a declaration.
#pragma once
#include <windows.h>

#include <objidl.h>
#include <xmllite.h>

#define XML_MAX_ELEMENTS 512
#define XML_MAX_ATTRIBUTES 1024
#define XML_MAX_DEPTH 32
#define XML_POOL_BYTES 65536  // the document's names and values; no document read is larger

struct XmlAttribute {
    const char* name;
    const char* value;
};

struct XmlElement {
    const char* name;
    int parent;  // -1 for the root
    int firstAttribute, attributeCount;
};

struct XmlDocument {
    int elementCount, attributeCount, poolUsed;
    XmlElement elements[XML_MAX_ELEMENTS];  // in document order, the root first
    XmlAttribute attributes[XML_MAX_ATTRIBUTES];
    char pool[XML_POOL_BYTES];
    WCHAR problem[160];  // why it cannot be read; empty when it can
};

// FALSE, with the problem, when the text is not a well-formed UTF-8 document within the limits above.
BOOL ParseXml(const char* text, DWORD size, XmlDocument* document);

// The attribute's value, or NULL.
const char* XmlAttributeOf(const XmlDocument* document, int element, const char* name);
// The first child of `parent` after `after` (-1: from the start) named `name` whose "type" is
// `type` (NULL: any); -1 when there is none.
int XmlChild(const XmlDocument* document, int parent, int after, const char* name, const char* type);
// The next child of `parent` after `after` (-1: the first), whatever it is; -1 when there is none.
int XmlNextChild(const XmlDocument* document, int parent, int after);
// The value of the child <parm name="NAME" value="..."/>, or NULL.
const char* XmlParmValue(const XmlDocument* document, int parent, const char* name);

struct XmlWriter {
    IStream* stream;  // the document in memory, written to its file whole at the end
    IXmlWriter* writer;
    BOOL failed;  // a write failed, or a value held a character XML cannot carry
};

BOOL XmlCreate(XmlWriter* writer);
void XmlStartElement(XmlWriter* writer, const char* name);
void XmlWriteAttribute(XmlWriter* writer, const char* name, const char* value);  // value in UTF-8
// Ends the element started last: " />" when nothing was written in it.
void XmlEndElement(XmlWriter* writer);
// Writes the whole document to its file; FALSE, and nothing written, when anything failed.
BOOL XmlFinish(XmlWriter* writer, LPCWSTR path);
// Whether a UTF-16 text holds only characters an XML 1.0 document can carry (tabs and line ends
// among them, as references), its surrogates paired.
BOOL IsXmlText(const WCHAR* text, int chars);
