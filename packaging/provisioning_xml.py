"""Provisioning documents (wap-provisioningdoc), as the device's configuration manager reads them:
a CAB's _setup.xml and the documents of a .cpf or of a device-management system. UTF-8, every
attribute value escaped, two-space indentation and CRLF line ends. Read back: a document as
elements and attributes, and a Registry answer to queries of one key."""
import base64
import re
import xml.parsers.expat as expat

from printable_text import printable, shown


def escape(value):
    # Tabs and line ends as references: a reader turns them into blanks where they stand as they are.
    for character, reference in (("&", "&amp;"), ('"', "&quot;"), ("<", "&lt;"), (">", "&gt;"), ("\t", "&#9;"),
                                 ("\n", "&#10;"), ("\r", "&#13;")):
        value = value.replace(character, reference)
    return value


def characteristic(kind, *children, **attributes):
    return ("characteristic", {"type": kind, **attributes}, children)


def parm(name, value, **attributes):
    return ("parm", {"name": name, "value": value, **attributes}, ())


def parm_query(name):
    return ("parm-query", {"name": name}, ())


def noparm(name):
    return ("noparm", {"name": name}, ())


def nocharacteristic(kind):
    return ("nocharacteristic", {"type": kind}, ())


def _lines(element, depth):
    tag, attributes, children = element
    opening = "  " * depth + "<" + tag + "".join(' %s="%s"' % (key, escape(str(value))) for key, value in attributes.items())
    if not children:
        return [opening + " />"]
    lines = [opening + ">"]
    for child in children:
        lines += _lines(child, depth + 1)
    return lines + ["  " * depth + "</%s>" % tag]


def document(*characteristics):
    return "\r\n".join(_lines(("wap-provisioningdoc", {}, characteristics), 0) + [""]).encode("utf-8")


def install_characteristic(app_name, counts, install_dir=None, setup_library=None):
    """The Install characteristic that opens a CAB's _setup.xml: the application's full name and
    how many directories, files, registry keys and values and shortcuts follow."""
    parms = [parm("InstallPhase", "install"), parm("AppName", app_name)]
    if install_dir is not None:
        parms.append(parm("InstallDir", install_dir, translation="install"))
    for name in ("NumDirs", "NumFiles", "NumRegKeys", "NumRegVals", "NumShortcuts"):
        parms.append(parm(name, str(counts.get(name, 0))))
    if setup_library is not None:
        parms.append(parm("SetupDLL", setup_library))
    return characteristic("Install", *parms)


def registry_characteristic(key, values, translated=()):
    """Registry configuration service provider: string values (name, text) of one key, such as
    "HKLM\\COMM\\TIWLNAPI1\\PARMS". A value is stored as written unless its name is among
    `translated`: then the device replaces its folder macros (%CE1% and the like)."""
    parms = [parm(name, text, datatype="string", **({"translation": "install"} if name in translated else {}))
             for name, text in values]
    return characteristic("Registry", characteristic(key, *parms))


def registry_query_characteristic(key, names):
    """Registry configuration service provider: a query of named values of one key. The device
    answers it with the same document, each parm-query turned into the value (parm with value and
    datatype), noparm when it does not exist, or parm-query-error; a key that does not exist
    becomes nocharacteristic."""
    return characteristic("Registry", characteristic(key, *[parm_query(name) for name in names]))


def registry_removal_characteristic(key, names):
    """Registry configuration service provider: named values of one key deleted, one noparm each. A
    value that is not there is left not there."""
    return characteristic("Registry", characteristic(key, *[noparm(name) for name in names]))


def certificate_store_characteristic(thumbprint, encoded_certificate, role):
    """CertificateStore configuration service provider: one certificate (its SHA-1 thumbprint in
    hexadecimal, its DER in base64) added to the SPC store with a role mask, for CAB files, and to
    the Privileged Execution Trust Authorities store, for programs."""
    certificate = [parm("EncodedCertificate", encoded_certificate)]
    return characteristic("CertificateStore",
                          characteristic("SPC", characteristic(thumbprint, *certificate, parm("Role", str(role)))),
                          characteristic("Privileged Execution Trust Authorities",
                                         characteristic(thumbprint, *certificate)))


def certificate_removal_characteristic(thumbprint):
    """CertificateStore configuration service provider: the certificate of that thumbprint deleted
    from the SPC and the Privileged Execution Trust Authorities stores, where the trust document
    adds it (a nocharacteristic of its thumbprint, "Deleting a Certificate Example")."""
    return characteristic("CertificateStore", *[characteristic(store, nocharacteristic(thumbprint)) for store in
                                                ("SPC", "Privileged Execution Trust Authorities")])


# What a document read back may hold: a device's answer to a query is a few kilobytes.
MAX_DOCUMENT_BYTES = 1 << 20
MAX_DEPTH = 32


class Unreadable(Exception):
    pass


def read(data):
    """A document's root element as the writers above build them, (tag, attributes, children).
    Refused (Unreadable, with the reason) unless it is well-formed UTF-8 XML of at most 1 MiB made of
    elements and attributes only: no DOCTYPE (so no entity of its own), no text, no CDATA."""
    if len(data) > MAX_DOCUMENT_BYTES:
        raise Unreadable("it is larger than %d bytes, which no provisioning document of the kit's is" %
                         MAX_DOCUMENT_BYTES)
    try:
        data.decode("utf-8")
    except UnicodeDecodeError as error:
        raise Unreadable("it is not UTF-8 (byte %d), as provisioning documents are" % error.start) from None
    top = ("", {}, [])
    open_elements = [top]

    def start(tag, attributes):
        if len(open_elements) > MAX_DEPTH:
            raise Unreadable("its elements are nested deeper than %d" % MAX_DEPTH)
        element = (tag, attributes, [])
        open_elements[-1][2].append(element)
        open_elements.append(element)

    def text(characters):
        if characters.strip(" \t\r\n"):
            raise Unreadable("it holds text between elements, which provisioning documents do not")

    def refuse(what):
        def handler(*_):
            raise Unreadable("it holds %s, which provisioning documents do not" % what)
        return handler

    def declaration(_version, encoding, _standalone):
        if encoding is not None and encoding.lower() != "utf-8":
            raise Unreadable("it says it is %s; provisioning documents are UTF-8" % printable(encoding))

    parser = expat.ParserCreate("UTF-8")
    parser.StartElementHandler = start
    parser.EndElementHandler = lambda _tag: open_elements.pop()
    parser.CharacterDataHandler = text
    parser.StartDoctypeDeclHandler = refuse("a DOCTYPE")
    parser.StartCdataSectionHandler = refuse("a CDATA section")
    parser.XmlDeclHandler = declaration
    try:
        parser.Parse(data, True)
    except expat.ExpatError as error:
        raise Unreadable("it is not a whole, well-formed XML document (line %d, column %d: %s)" %
                         (error.lineno, error.offset + 1, expat.ErrorString(error.code))) from None
    return _frozen(top[2][0])


def _frozen(element):
    tag, attributes, children = element
    return tag, attributes, tuple(_frozen(child) for child in children)


def _shown(element):
    """An element as an error line names it, every text of the document in it escaped."""
    tag, attributes, _ = element
    identity = attributes.get("type", attributes.get("name"))
    return "<%s>" % printable(tag) if identity is None else "<%s %s=%s>" % (
        printable(tag), "type" if "type" in attributes else "name", shown(identity))


# The data types a query of the Registry provider answers with, and the registry type each is
# stored as ("Registry CSP", Supported Data Types: boolean is answered as integer, float as
# string, time and date as binary).
REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ = 1, 3, 4, 7
ANSWERED_TYPES = {"string": REG_SZ, "integer": REG_DWORD, "multiplestring": REG_MULTI_SZ, "binary": REG_BINARY}
MULTIPLE_STRING_SEPARATOR = "\uf000"  # stands for each NUL of a REG_MULTI_SZ
INTEGER = re.compile(r"-?[0-9]{1,10}")


class Stored:
    """One queried value as a device answered it. kind: "value" (datatype, text as answered, and
    the bytes the registry holds), "missing" (noparm), "no key" (nocharacteristic for its key) or
    "unanswered" (an error element; why: the device's description)."""

    def __init__(self, kind, datatype=None, text=None, data=None, why=None):
        self.kind, self.datatype, self.text, self.data, self.why = kind, datatype, text, data, why


def stored_bytes(name, datatype, text):
    """The bytes a registry value holds when a query answers it so."""
    if datatype == "string":
        return text.encode("utf-16-le") + b"\0\0"
    if datatype == "multiplestring":
        return text.replace(MULTIPLE_STRING_SEPARATOR, "\0").encode("utf-16-le")
    if datatype == "integer":
        if not INTEGER.fullmatch(text) or not -2 ** 31 <= int(text) < 2 ** 32:
            raise Unreadable("%s is answered as the integer %s, which is no 32-bit number" % (printable(name),
                                                                                               shown(text)))
        return (int(text) & 0xFFFFFFFF).to_bytes(4, "little")
    try:
        return base64.b64decode(re.sub("[ \t\r\n]", "", text), validate=True)
    except ValueError:
        raise Unreadable("%s is answered as binary, but its value is not base64" % printable(name)) from None


def _answered_value(element, names, answered):
    tag, attributes, _ = element
    name = attributes.get("name")
    if tag == "parm-query":
        raise Unreadable("it still holds %s: it is a query, not a device's answer" % _shown(element))
    if tag not in ("parm", "noparm", "parm-query-error") or name is None:
        raise Unreadable("its key holds %s, which no answer to the query holds" % _shown(element))
    if name not in names:
        raise Unreadable("it answers for %s, which the query does not ask for" % printable(name))
    if name in answered:
        raise Unreadable("it answers for %s twice" % printable(name))
    if tag == "noparm":
        return Stored("missing")
    if tag == "parm-query-error":
        return Stored("unanswered", why=attributes.get("desc", ""))
    datatype, text = attributes.get("datatype"), attributes.get("value")
    if text is None or datatype not in ANSWERED_TYPES:
        raise Unreadable("its %s has %s" % (_shown(element), "no value" if text is None else
                                            "the datatype %s, which no answer of the Registry provider has" %
                                            shown(datatype or "")))
    return Stored("value", datatype, text, stored_bytes(name, datatype, text))


def _key_answers(element, key):
    """The answers for the key among the Registry characteristic's children."""
    found = []
    for child in element[2]:
        tag, attributes, _ = child
        if tag not in ("characteristic", "nocharacteristic", "characteristic-error", "characteristic-query-error"):
            raise Unreadable("its Registry characteristic holds %s, which no answer to the query holds" % _shown(child))
        if attributes.get("type", "").lower() != key.lower():
            raise Unreadable("it answers for the key %s, not for %s" % (shown(attributes.get("type", "")), shown(key)))
        found.append(child)
    return found


def registry_answer(root, key, names):
    """A device's answer to the query of `names` in `key` (registry_query_characteristic), read
    from its document's root: each name's Stored value. Unreadable when the document is not that
    answer: another document, another key, the key or a value answered twice or not at all, a
    value the query does not ask for, a data type or value no answer has."""
    tag, _, children = root
    if tag != "wap-provisioningdoc":
        raise Unreadable("it is not a provisioning document (its root is <%s>)" % printable(tag))
    answers = []
    for child in children:
        if child[0] != "characteristic" or child[1].get("type") != "Registry":
            raise Unreadable("it is not a Registry answer: it holds %s" % _shown(child))
        answers += _key_answers(child, key)
    if len(answers) != 1:
        raise Unreadable(("it answers for the key %s twice" if answers else "it holds no answer for the key %s") % key)
    tag, attributes, values = answers[0]
    if tag == "nocharacteristic":
        return {name: Stored("no key") for name in names}
    if tag != "characteristic":
        return {name: Stored("unanswered", why=attributes.get("desc", "")) for name in names}
    answered = {}
    for value in values:
        answered[value[1].get("name")] = _answered_value(value, names, answered)
    missing = [name for name in names if name not in answered]
    if missing:
        raise Unreadable("it holds no answer for %s: it is not the whole answer to the query" % ", ".join(missing))
    return answered
