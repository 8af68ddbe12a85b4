"""Texts from a list, an answer or a file name as the kit's commands print them: every character
that could break a line, show nothing, look like a blank or turn the text around it escaped, so
that a printed line says only what the command says and "Warehouse" + U+200B + "-North" never
looks like "Warehouse-North"."""
import unicodedata

# Unicode's controls, format characters (U+200B, U+2060, U+061C, U+00AD, the joiners, the
# direction marks), line and paragraph separators, blanks other than the space, surrogates,
# private-use and unassigned characters; the default-ignorable characters of other categories
# (Unicode's DerivedCoreProperties.txt, Default_Ignorable_Code_Point: the combining grapheme
# joiner, the Hangul fillers, Khmer's inherent vowels, the variation selectors); and the braille
# pattern blank, a symbol that prints as a blank.
HIDDEN_CATEGORIES = {"Cc", "Cf", "Zl", "Zp", "Zs", "Cs", "Co", "Cn"}
IGNORABLE = {0x034F, 0x115F, 0x1160, 0x17B4, 0x17B5, *range(0x180B, 0x1810), 0x3164, *range(0xFE00, 0xFE10), 0xFFA0,
             *range(0xE0100, 0xE01F0)}
BLANK_SYMBOLS = {0x2800}
UNSEEN = frozenset(IGNORABLE | BLANK_SYMBOLS)


def escaped(character):
    code = ord(character)
    return "\\x%02x" % code if code < 0x100 else "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code


def hides(character):
    return character != " " and (unicodedata.category(character) in HIDDEN_CATEGORIES or
                                 ord(character) in UNSEEN)


def shown(text, quote='"'):
    """A text between quotes, the quote, the backslash and every character that could hide,
    reorder or break a line escaped."""
    return quote + "".join("\\" + character if character in quote + "\\" else
                           escaped(character) if hides(character) else character for character in text) + quote


def printable(text):
    """A name or path as printed: as it is when nothing in it needs escaping, else shown."""
    return text if shown(text)[1:-1] == text else shown(text)
