"""A PE32 image as the device's loader takes it: headers, sections, base relocations, imports by
name, exports and the resources a program loads (strings, accelerators, icon groups)."""
import struct

MACHINE_ARM = 0x1C0
MACHINE_AMD64 = 0x8664
RELOCATION_ABSOLUTE, RELOCATION_HIGHLOW = 0, 3
RESOURCE_ICON_GROUP, RESOURCE_STRING, RESOURCE_ACCELERATOR = 14, 6, 9


class ImageError(Exception):
    pass


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ImageError("no MZ header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        (self.machine, section_count, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, self.pe + 4)
        optional = self.pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x10B:
            raise ImageError("not PE32")
        self.entry_rva = struct.unpack_from("<I", data, optional + 16)[0]
        self.image_base = struct.unpack_from("<I", data, optional + 28)[0]
        self.image_size = struct.unpack_from("<I", data, optional + 56)[0]
        self.headers_size = struct.unpack_from("<I", data, optional + 60)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        self.subsystem_version = struct.unpack_from("<HH", data, optional + 48)
        directory_count = struct.unpack_from("<I", data, optional + 92)[0]
        self.directories = [struct.unpack_from("<II", data, optional + 96 + 8 * i) for i in range(directory_count)]
        self.sections = []
        at = optional + optional_size
        for _ in range(section_count):
            name, virtual_size, rva, raw_size, raw_at = struct.unpack_from("<8sIIII", data, at)
            self.sections.append((name.rstrip(b"\0").decode("ascii"), rva, virtual_size, raw_at, raw_size))
            at += 40

    def directory(self, index):
        return self.directories[index] if index < len(self.directories) else (0, 0)

    def offset(self, rva):
        for _, start, virtual_size, raw_at, raw_size in self.sections:
            if start <= rva < start + max(virtual_size, raw_size):
                if rva - start >= raw_size:
                    raise ImageError("address %#x lies in uninitialised data" % rva)
                return raw_at + rva - start
        if rva < self.headers_size:
            return rva
        raise ImageError("address %#x lies in no section" % rva)

    def read(self, rva, size):
        return self.data[self.offset(rva):self.offset(rva) + size]

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def mapped(self, base):
        """The image as loaded at base: sections in place, base relocations applied."""
        memory = bytearray(self.image_size)
        memory[:self.headers_size] = self.data[:self.headers_size]
        for _, rva, virtual_size, raw_at, raw_size in self.sections:
            size = min(raw_size, virtual_size) if virtual_size else raw_size
            memory[rva:rva + size] = self.data[raw_at:raw_at + size]
        delta = (base - self.image_base) & 0xFFFFFFFF
        for kind, rva in self.relocations():
            if kind == RELOCATION_HIGHLOW:
                value = struct.unpack_from("<I", memory, rva)[0]
                struct.pack_into("<I", memory, rva, (value + delta) & 0xFFFFFFFF)
            elif kind != RELOCATION_ABSOLUTE:
                raise ImageError("base relocation of kind %d" % kind)
        return memory

    def relocations(self):
        rva, size = self.directory(5)
        end = rva + size
        while rva < end:
            page, block = self.u32(rva), self.u32(rva + 4)
            if block < 8:
                raise ImageError("a base relocation block is too small")
            for i in range((block - 8) // 2):
                entry = self.u16(rva + 8 + 2 * i)
                yield entry >> 12, page + (entry & 0xFFF)
            rva += block

    def imports(self):
        """(library, function, address of its slot) of every import; imports by ordinal refused."""
        rva, _ = self.directory(1)
        found = []
        while rva and self.u32(rva + 12):
            library = self.text(self.u32(rva + 12)).lower()
            names, slots = self.u32(rva) or self.u32(rva + 16), self.u32(rva + 16)
            i = 0
            while self.u32(names + 4 * i):
                entry = self.u32(names + 4 * i)
                if entry & 0x80000000:
                    raise ImageError("%s is imported by ordinal" % library)
                found.append((library, self.text(entry + 2), slots + 4 * i))
                i += 1
            rva += 20
        return found

    def exports(self):
        """{name: (ordinal, rva)}."""
        rva, _ = self.directory(0)
        if not rva:
            return {}
        base, functions, names = self.u32(rva + 16), self.u32(rva + 20), self.u32(rva + 24)
        function_table, name_table, ordinal_table = self.u32(rva + 28), self.u32(rva + 32), self.u32(rva + 36)
        exported = {}
        for i in range(names):
            index = self.u16(ordinal_table + 2 * i)
            if index >= functions:
                raise ImageError("an export names a function past the table")
            exported[self.text(self.u32(name_table + 4 * i))] = (base + index, self.u32(function_table + 4 * index))
        return exported

    def resource(self, kind, name):
        """The bytes of resource `name` (a number) of the given kind, in its first language."""
        root, _ = self.directory(2)
        if not root:
            return None
        entry = self._resource_entry(root, root, kind)
        entry = entry is not None and self._resource_entry(root, root + (entry & 0x7FFFFFFF), name)
        if entry is None or entry is False:
            return None
        languages = root + (entry & 0x7FFFFFFF)
        count = self.u16(languages + 12) + self.u16(languages + 14)
        if count == 0:
            return None
        data = root + (self.u32(languages + 16 + 4) & 0x7FFFFFFF)
        return self.read(self.u32(data), self.u32(data + 4))

    def _resource_entry(self, root, directory, identifier):
        named, numbered = self.u16(directory + 12), self.u16(directory + 14)
        for i in range(named, named + numbered):
            entry = directory + 16 + 8 * i
            if self.u32(entry) == identifier:
                return self.u32(entry + 4)
        return None

    def string(self, number):
        """String `number` of the string table, or None."""
        block = self.resource(RESOURCE_STRING, number // 16 + 1)
        if block is None:
            return None
        at = 0
        for _ in range(number % 16):
            at += 2 + 2 * struct.unpack_from("<H", block, at)[0]
        length = struct.unpack_from("<H", block, at)[0]
        return block[at + 2:at + 2 + 2 * length].decode("utf-16-le") if length else None
