"""Turns the ARM assembly Debian's clang writes for an ELF target into assembly that GNU as for
arm-wince-pe takes. Clang writes ARM-state code only for ELF targets (for Windows targets it
forces Thumb-2, which the device's ARMv4T processor lacks), so its output names ELF's sections and
carries ELF-only directives:

- dropped: attributes, symbol types and sizes, unwinding tables, identification, address-
  significance tables and the GNU stack note, none of which a PE image has;
- read-only data (.rodata and its string sections) goes into PE's .rdata;
- a local common symbol (.local, then .comm) is reserved in .bss with its alignment, which PE's
  .lcomm cannot state."""

DROPPED = {".eabi_attribute", ".type", ".size", ".fnstart", ".fnend", ".cantunwind", ".save", ".setfp", ".pad",
           ".vsave", ".movsp", ".personality", ".handlerdata", ".ident", ".addrsig", ".addrsig_sym"}
SECTION_DIRECTIVES = {".text", ".data", ".bss"}


def directive(line):
    words = line.split()
    return words[0].rstrip(",") if words else ""


def convert(lines):
    """The lines of clang's assembly, as arm-wince-pe's assembler takes them."""
    converted, local, section = [], set(), "\t.text\n"
    for line in lines:
        name = directive(line)
        if name in DROPPED:
            continue
        if name == ".section":
            section_name = line.split()[1].split(",")[0].strip('"')
            if section_name == ".note.GNU-stack":
                continue
            if section_name.startswith(".rodata"):
                line = '\t.section .rdata,"dr"\n'
            section = line
        elif name in SECTION_DIRECTIVES:
            section = line
        elif name == ".local":
            local.add(line.split()[1])
            continue
        elif name == ".comm" and line.split(None, 1)[1].split(",")[0].strip() in local:
            symbol, size, alignment = ([part.strip() for part in line.split(None, 1)[1].split(",")] + ["4"])[:3]
            converted += ["\t.bss\n", "\t.balign %s\n" % alignment, "%s:\n" % symbol, "\t.space %s\n" % size, section]
            continue
        converted.append(line)
    return converted
