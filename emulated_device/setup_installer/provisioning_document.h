// A provisioning document (a CAB's _setup.xml, a .cpf's document) read as XML: its elements with
// their attributes, entities decoded to UTF-8. Text, DOCTYPE and CDATA are refused: provisioning
// documents carry everything in attributes, and a reader that skipped them could misread one.
// Written (a device's answer to a document): as the kit's builders write them, two-space
// indentation, CRLF line ends, UTF-8 without a declaration.
#pragma once
#include <windows.h>

#define XML_MAX_ELEMENTS 512
#define XML_MAX_ATTRIBUTES 1024
#define XML_POOL_BYTES 65536

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
    char pool[XML_POOL_BYTES];  // names and decoded values
};

// FALSE when the text is not a well-formed document within the limits above.
BOOL ParseXml(const char* text, DWORD size, XmlDocument* document);

// The attribute's value, or NULL.
const char* XmlAttributeOf(const XmlDocument* document, int element, const char* name);
// The first child of `parent` after `after` (-1: from the start) named `name` whose "type" is
// `type` (NULL: any); -1 when there is none.
int XmlChild(const XmlDocument* document, int parent, int after, const char* name, const char* type);
// The value of the child <parm name="NAME" value="..."/>, or NULL.
const char* XmlParmValue(const XmlDocument* document, int parent, const char* name);

#define XML_WRITER_BUFFER 16384

struct XmlWriter {
    HANDLE file;
    int depth;
    BOOL failed;  // a write failed, or a value held a character XML cannot carry
    DWORD used;
    char buffer[XML_WRITER_BUFFER];
};

BOOL XmlCreate(XmlWriter* writer, LPCWSTR path);
// "<name", then its attributes, then the end of the start tag: " />" when it has no children.
void XmlStartTag(XmlWriter* writer, const char* name);
void XmlWriteAttribute(XmlWriter* writer, const char* name, const char* value);  // value in UTF-8
void XmlEndStartTag(XmlWriter* writer, BOOL empty);
void XmlEndTag(XmlWriter* writer, const char* name);
// Writes what is left and closes the file; FALSE when anything failed (the file is then deleted).
BOOL XmlFinish(XmlWriter* writer, LPCWSTR path);
// Whether a UTF-16 text holds only characters an XML 1.0 document can carry (tabs and line ends
// among them, as references), its surrogates paired.
BOOL IsXmlText(const WCHAR* text, int chars);
