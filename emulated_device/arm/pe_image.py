"""A PE32 image as the device's loader takes it, read with Debian's python3-pefile: headers,
sections, base relocations, imports, exports and resources are pefile's. What is the device's own
is checked here: an image for Windows CE's GUI subsystem, for ARM (or, for the 32-bit device
check's binaries, for i386)."""
import functools

import pefile

MACHINE_ARM = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_ARM"]
MACHINE_I386 = pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]
SUBSYSTEM_WINDOWS_CE_GUI = pefile.SUBSYSTEM_TYPE["IMAGE_SUBSYSTEM_WINDOWS_CE_GUI"]
RESOURCE_ICON_GROUP = pefile.RESOURCE_TYPE["RT_GROUP_ICON"]
RESOURCE_STRING = pefile.RESOURCE_TYPE["RT_STRING"]
RESOURCE_ACCELERATOR = pefile.RESOURCE_TYPE["RT_ACCELERATOR"]


class ImageError(Exception):
    pass


class Image:
    def __init__(self, data, machine=MACHINE_ARM):
        try:
            self.data = bytes(data)
            self.pe = pefile.PE(data=self.data)
        except pefile.PEFormatError as error:
            raise ImageError(str(error))
        if self.pe.FILE_HEADER.Machine != machine:
            raise ImageError("the image is for machine %#x, not %#x" % (self.pe.FILE_HEADER.Machine, machine))
        header = self.pe.OPTIONAL_HEADER
        if header.Subsystem != SUBSYSTEM_WINDOWS_CE_GUI:
            raise ImageError("the image is for subsystem %d, not Windows CE's" % header.Subsystem)
        self._check_layout(header)
        self.image_base, self.image_size, self.entry_rva = header.ImageBase, header.SizeOfImage, \
            header.AddressOfEntryPoint
        self._mapped = {}

    def _check_layout(self, header):
        """What a loader checks before it maps an image, which pefile reads past."""
        def up(value, alignment):
            return -(-value // alignment) * alignment
        sections = self.pe.sections
        end = up(header.SizeOfHeaders, header.SectionAlignment)
        if header.SizeOfHeaders != up(header.SizeOfHeaders, header.FileAlignment) or \
                header.SizeOfHeaders > min(s.PointerToRawData or 1 << 32 for s in sections):
            raise ImageError("the headers' size %#x is wrong" % header.SizeOfHeaders)
        for section in sections:
            name = section.Name.rstrip(b"\0").decode("ascii", "replace")
            if section.VirtualAddress != end:
                raise ImageError("%s is at %#x, not at %#x" % (name, section.VirtualAddress, end))
            if section.PointerToRawData % header.FileAlignment or section.SizeOfRawData % header.FileAlignment:
                raise ImageError("%s is not aligned in the file" % name)
            end = up(section.VirtualAddress + max(section.Misc_VirtualSize, 1), header.SectionAlignment)
        if header.SizeOfImage != end:
            raise ImageError("SizeOfImage is %#x, not %#x" % (header.SizeOfImage, end))
        for number, directory in enumerate(header.DATA_DIRECTORY):
            if directory.Size and not any(s.VirtualAddress <= directory.VirtualAddress and
                                          directory.VirtualAddress + directory.Size <= s.VirtualAddress +
                                          s.Misc_VirtualSize for s in sections):
                raise ImageError("data directory %d lies outside every section" % number)

    def mapped(self, base):
        """The image as loaded at base: headers and sections in place, base relocations applied."""
        if base not in self._mapped:
            # pefile applies the relocations to the object it maps from: a copy of its own.
            relocated = pefile.PE(data=self.data, fast_load=True)
            memory = bytearray(relocated.get_memory_mapped_image(ImageBase=base)[:self.image_size])
            # Past the headers the first page holds nothing; the file has the first section there.
            first = min(section.VirtualAddress for section in self.pe.sections)
            memory[self.pe.OPTIONAL_HEADER.SizeOfHeaders:first] = bytes(first - self.pe.OPTIONAL_HEADER.SizeOfHeaders)
            self._mapped[base] = bytes(memory)
        return self._mapped[base]

    def imports(self):
        """(library, function's name, ordinal, rva of its slot) of every import: the name for an
        import by name (ordinal None), the ordinal for one by ordinal (name None)."""
        found = []
        for library in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            name = library.dll.decode("ascii").lower()
            for function in library.imports:
                if function.import_by_ordinal:
                    found.append((name, None, function.ordinal, function.address - self.image_base))
                else:
                    found.append((name, function.name.decode("ascii"), None, function.address - self.image_base))
        return found

    def exports(self):
        """{name: (ordinal, rva)}."""
        exported = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        return {symbol.name.decode("ascii"): (symbol.ordinal, symbol.address)
                for symbol in (exported.symbols if exported else []) if symbol.name}

    def resource(self, kind, name):
        """The bytes of resource `name` (a number) of the given kind, in its first language."""
        for entry in self._resource_entries(kind):
            if entry.id == name and entry.directory.entries:
                data = entry.directory.entries[0].data.struct
                return self.pe.get_data(data.OffsetToData, data.Size)
        return None

    def string(self, number):
        """String `number` of the string table, or None."""
        for entry in self._resource_entries(RESOURCE_STRING):
            if entry.id == number // 16 + 1:
                return entry.directory.strings.get(number)
        return None

    def _resource_entries(self, kind):
        resources = getattr(self.pe, "DIRECTORY_ENTRY_RESOURCE", None)
        for entry in resources.entries if resources else []:
            if entry.id == kind:
                return entry.directory.entries
        return []


@functools.lru_cache(maxsize=8)
def load(data):
    """The image of these bytes, read once however many runs load it."""
    return Image(data)
