"""An emulated ARM processor (Debian's python3-unicorn) that runs one of the device's binaries as
the device's loader would place it: sections at their addresses, each with its own protection,
base relocations applied when it is loaded elsewhere than its preferred base, and every import,
by name or by ordinal, resolved as the device's libraries export it (device_exports) and pointed
at a Python model of that function. A model that calls back into ARM code (a window
procedure) does so by continuation: the callee runs with a return stub as its return address, and
when the stub is reached the model finishes and returns to its own caller; no emulator is ever
nested.

It is as strict as a device: the code runs in user mode; a write into the headers, constants or
code, or a jump out of code, faults; an unaligned word, halfword or doubleword access ends the run
(the device raises a datatype-misalignment exception; unicorn would carry it out); stacks and
heaps hold junk until written; a modelled function writes only where the program could; after each
modelled call r1-r3, r12, lr and the flags hold junk; every function the device calls (entry
points, hooks, window procedures) starts with junk in r4-r11 and above its WORD arguments, on one
core with a stack aligned to 4 bytes only, is called from ARM or Thumb code as the run asks, and
must return in its caller's state with SP and r4-r11 as they were."""
import random
import struct

from unicorn import (UC_ARCH_ARM, UC_HOOK_CODE, UC_HOOK_MEM_READ, UC_HOOK_MEM_WRITE, UC_MEM_WRITE, UC_MODE_ARM,
                     UC_PROT_EXEC, UC_PROT_READ, UC_PROT_WRITE, Uc, UcError)
from unicorn.arm_const import (UC_ARM_REG_CPSR, UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0, UC_ARM_REG_R1,
                               UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6,
                               UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                               UC_ARM_REG_R12, UC_ARM_REG_SP, UC_CPU_ARM_PXA270, UC_CPU_ARM_TI925T)

import device_exports
import pe_image

CORES = {"ARMv4T (TI925T)": UC_CPU_ARM_TI925T, "XScale (PXA270)": UC_CPU_ARM_PXA270}
# The device promises the functions it calls a stack aligned to 4 bytes only: on the XScale core
# they are entered with one that is not aligned to 8.
STACK_SKEW = {"ARMv4T (TI925T)": 0, "XScale (PXA270)": 4}
# The device's caller may be ARM or Thumb code ("/QRinterwork-return - Enable Interworking (Windows
# CE 5.0)": every ARM processor is ARMV4I, returning with BX LR so that Thumb code can call it). On
# the ARMv4T core only BX switches back to a Thumb caller; a return by MOV, LDR or LDM to PC does
# not (ARMv5 made the latter two switch).
CALLERS = ("ARM", "Thumb")
STUBS = 0xF0000000  # one 4-byte slot a modelled function
RETURN_STUB = STUBS + 0x10000
THUMB_BIT = 0x20
# The device's default 64 KB less the 8 KB that "Stack" (Windows Mobile 6.5 docs, aa908997) reserves
# for overflow control (Windows CE 5.0's page says 2 KB; the larger is the stricter).
STACK, STACK_SIZE = 0x7F000000, 0x10000 - 0x2000
HEAP, HEAP_SIZE = 0x60000000, 0x100000
PAGE = 0x1000
ARGUMENT_REGISTERS = (UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3)
# What a function must give back as it found it, and what a call of the device's libraries spoils.
SAVED_REGISTERS = (UC_ARM_REG_R4, UC_ARM_REG_R5, UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9,
                   UC_ARM_REG_R10, UC_ARM_REG_R11)
SPOILED_REGISTERS = (UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R12, UC_ARM_REG_LR)
USER_MODE, MODE_BITS, FLAG_BITS = 0x10, 0x1F, 0xF0000000
SECTION_PROTECTION = ((0x40000000, UC_PROT_READ), (0x80000000, UC_PROT_WRITE), (0x20000000, UC_PROT_EXEC))
# The same junk every run, so that a run's result does not change from one run to the next.
JUNK_SEED = 0x51AC
FILL = random.Random(JUNK_SEED).randbytes(max(STACK_SIZE, HEAP_SIZE)).replace(b"\0", b"\xa5")


class RunFailed(Exception):
    """The ARM code did what the device would not survive, or what the model cannot answer."""


class Call:
    """What a model returns to call ARM code first: `finish` turns the callee's result into the
    model's own result (or into another Call); `name` says what the callee is in a failure."""

    def __init__(self, function, arguments, finish=lambda result: result, name=None):
        self.function, self.arguments, self.finish, self.name = function, arguments, finish, name


class Frame:
    """A function the device called, while it runs: what it must give back, and to whom."""

    def __init__(self, name, sp, saved, finish, caller, above=None):
        self.name, self.sp, self.saved, self.finish, self.caller = name, sp, saved, finish, caller
        self.above = above


class Machine:
    def __init__(self, image_bytes, models, binary, core="ARMv4T (TI925T)", caller="Thumb", base=None):
        """`binary`: the file name the imports' table lists the image's imports under."""
        try:
            self.image = pe_image.load(bytes(image_bytes))
        except pe_image.ImageError as error:
            raise RunFailed(str(error))
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(CORES[core])
        self.uc.reg_write(UC_ARM_REG_CPSR, self.uc.reg_read(UC_ARM_REG_CPSR) & ~MODE_BITS | USER_MODE)
        self.junk = random.Random(JUNK_SEED)
        self.stack_skew = STACK_SKEW[core]
        self.thumb_caller = {"ARM": False, "Thumb": True}[caller]
        self.base = self.image.image_base if base is None else base
        self._map_image()
        for start, size in ((STACK, STACK_SIZE), (HEAP, HEAP_SIZE)):
            self.uc.mem_map(start, size, UC_PROT_READ | UC_PROT_WRITE)
            self.uc.mem_write(start, FILL[:size])
        self.heap_used = 0
        self.uc.mem_map(STUBS, 0x20000, UC_PROT_READ | UC_PROT_EXEC)
        # Each import as the device's loader finds it, by name or by ordinal, in what its library
        # exports and the table lists for this binary; the models keep the functions' names.
        self.imports = []  # (library, name) by stub slot
        for library, name, ordinal, slot in self.image.imports():
            try:
                function = device_exports.resolve(library, name, ordinal, binary)
            except LookupError as error:
                raise RunFailed("%s imports what the table of the device's exports does not give it: %s" %
                                (binary, error))
            self.uc.mem_write(self.base + slot, struct.pack("<I", STUBS + 4 * len(self.imports)))
            self.imports.append((library, function))
        self.models, self.modelled = models, None
        self.frames = []
        self.instructions = 0
        self.counting = None
        self.misaligned, self.doubleword_started = None, None
        self.doublewords = self._doubleword_instructions() if core == "XScale (PXA270)" else set()
        self.uc.hook_add(UC_HOOK_CODE, lambda uc, address, size, data: uc.emu_stop(), begin=STUBS,
                         end=STUBS + 0x20000 - 1)
        self.uc.hook_add(UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE, self._check_alignment)
        # unicorn's PC in a memory hook is that of the block's first instruction: an LDRD or STRD is
        # checked as it is about to run, from its own operands.
        for at in self.doublewords:
            self.uc.hook_add(UC_HOOK_CODE, self._check_doubleword, begin=at, end=at)

    def _map_image(self):
        """Headers read-only, each section with the protection its header asks for."""
        memory = self.image.mapped(self.base)
        regions = [(0, -(-self.image.pe.OPTIONAL_HEADER.SizeOfHeaders // PAGE) * PAGE, UC_PROT_READ)]
        for section in self.image.pe.sections:
            size = -(-max(section.Misc_VirtualSize, section.SizeOfRawData) // PAGE) * PAGE
            protection = sum(flag for bit, flag in SECTION_PROTECTION if section.Characteristics & bit)
            regions.append((section.VirtualAddress, size, protection))
        for rva, size, protection in regions:
            self.uc.mem_map(self.base + rva, size, protection)
            self.uc.mem_write(self.base + rva, memory[rva:rva + size])

    # Memory.
    def _aligned(self, address, size):
        if address % size:
            raise RunFailed("%s hands %s the address %#x, not aligned to %d bytes" %
                            (self._caller(), self.modelled or "the run", address, size))

    def u32(self, address):
        self._aligned(address, 4)
        return struct.unpack("<I", self.uc.mem_read(address, 4))[0]

    def u16(self, address):
        self._aligned(address, 2)
        return struct.unpack("<H", self.uc.mem_read(address, 2))[0]

    def write(self, address, data):
        """What a modelled function hands back into the program's memory, which must be writable
        there, as on the device."""
        if not data:
            return
        for begin, end, protection in self.uc.mem_regions():
            if begin <= address and address + len(data) - 1 <= end and protection & UC_PROT_WRITE:
                self.uc.mem_write(address, bytes(data))
                return
        raise RunFailed("%s hands %s the address %#x, where it cannot write %d bytes" %
                        (self._caller(), self.modelled or "the run", address, len(data)))

    def write_u32(self, address, value):
        self._aligned(address, 4)
        self.write(address, struct.pack("<I", value & 0xFFFFFFFF))

    def wide_text(self, address, limit=4096):
        """The NUL-terminated UTF-16 text at address (None for a null pointer)."""
        if address == 0:
            return None
        self._aligned(address, 2)
        units = []
        while len(units) < limit:
            unit = self.u16(address + 2 * len(units))
            if unit == 0:
                return "".join(map(chr, units))
            units.append(unit)
        raise RunFailed("a text at %#x has no NUL within %d characters" % (address, limit))

    def write_wide(self, address, text, nul=True):
        self._aligned(address, 2)
        self.write(address, text.encode("utf-16-le") + (b"\0\0" if nul else b""))

    def allocate(self, size):
        """Memory of the device's own for what a model hands to the program (a CREATESTRUCT)."""
        address = HEAP + self.heap_used
        self.heap_used += (size + 7) & ~7
        if self.heap_used > HEAP_SIZE:
            raise RunFailed("the models' memory is used up")
        return address

    def word(self, value):
        """A 16-bit value as the device hands it over in a 32-bit register or stack word: its
        upper half is junk."""
        return value & 0xFFFF | self.junk.randrange(1, 0x10000) << 16

    # Calls.
    def argument(self, index):
        """Argument `index` of the call being modelled: r0 to r3, then the stack."""
        if index < 4:
            return self.uc.reg_read(ARGUMENT_REGISTERS[index])
        return self.u32(self.uc.reg_read(UC_ARM_REG_SP) + 4 * (index - 4))

    def arguments(self, count):
        return [self.argument(i) for i in range(count)]

    def export(self, name):
        exports = self.image.exports()
        if name not in exports:
            raise RunFailed("the image exports no %s" % name)
        return self.base + exports[name][1]

    def entry(self):
        return self.base + self.image.entry_rva

    def count_instructions(self):
        """From now on, counts the instructions executed in the image's own code."""
        if self.counting is None:
            end = self.base + self.image.image_size - 1
            self.counting = self.uc.hook_add(UC_HOOK_CODE, self._count, begin=self.base, end=end)

    def _count(self, uc, address, size, data):
        self.instructions += 1

    def call(self, function, arguments, name=None):
        """Runs the ARM function at `function` as the device calls it, with 32-bit arguments, to
        its return; its r0."""
        pc = self._enter(Call(function, arguments, None, name), STACK + STACK_SIZE - 0x100, None)
        while True:
            self._run(pc)
            pc = self.uc.reg_read(UC_ARM_REG_PC)
            if pc == RETURN_STUB:
                frame = self.frames.pop()
                self._check_return(frame)
                result = self.uc.reg_read(UC_ARM_REG_R0)
                if frame.finish is None:
                    return result
                pc = self._finish(frame.finish(result), frame.caller)
            elif STUBS <= pc < STUBS + 4 * len(self.imports):
                pc = self._model(self.imports[(pc - STUBS) // 4])
            else:
                raise RunFailed("stopped at %#x" % pc)

    def _enter(self, call, sp, caller):
        """Enters the ARM code of `call` as the device does, below the stack pointer sp."""
        extra = call.arguments[4:]
        sp = ((sp - 4 * len(extra)) & ~7) - self.stack_skew
        for i, value in enumerate(extra):
            self.write_u32(sp + 4 * i, value)
        # What earlier calls left below the stack pointer is junk again, as the device's own code
        # in between leaves it: an uninitialised local cannot find the value it had last time.
        low = max(STACK, sp - 4096)
        self.uc.mem_write(low, self.junk.randbytes(sp - low).replace(b"\0", b"\xa5"))
        arguments = list(call.arguments[:4]) + [self.junk.getrandbits(32) for _ in range(4 - len(call.arguments[:4]))]
        for register, value in zip(ARGUMENT_REGISTERS, arguments):
            self.uc.reg_write(register, value & 0xFFFFFFFF)
        self._spoil((UC_ARM_REG_R12,) + SAVED_REGISTERS)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        self.uc.reg_write(UC_ARM_REG_LR, RETURN_STUB | self.thumb_caller)
        name = call.name or self._name(call.function)
        above = (sp + 4 * len(extra), bytes(self.uc.mem_read(sp + 4 * len(extra), 64)))
        self.frames.append(Frame(name, sp, self._saved(), call.finish, caller, above))
        return call.function

    def _check_return(self, frame):
        if bool(self.uc.reg_read(UC_ARM_REG_CPSR) & THUMB_BIT) != self.thumb_caller:
            raise RunFailed("%s returned to its %s caller in the other state" %
                            (frame.name, "Thumb" if self.thumb_caller else "ARM"))
        at, before = frame.above
        if bytes(self.uc.mem_read(at, len(before))) != before:
            raise RunFailed("%s wrote into its caller's frame above its arguments" % frame.name)
        sp = self.uc.reg_read(UC_ARM_REG_SP)
        if sp != frame.sp:
            raise RunFailed("%s returned with SP %#x, not %#x as at its call" % (frame.name, sp, frame.sp))
        for number, (now, before) in enumerate(zip(self._saved(), frame.saved)):
            if now != before:
                raise RunFailed("%s returned with r%d %#x, not %#x as at its call" % (frame.name, number + 4, now,
                                                                                      before))

    def _model(self, imported):
        library, name = imported
        model = self.models.get(name)
        if model is None:
            raise RunFailed("%s calls %s of %s, which the model does not implement" % (self._caller(), name, library))
        self.modelled = name
        caller = (self.uc.reg_read(UC_ARM_REG_LR), self.uc.reg_read(UC_ARM_REG_SP), self._saved())
        return self._finish(model(self), caller)

    def _finish(self, result, caller):
        """Returns a model's result to its caller as the device's library would, or first enters
        the ARM code it calls."""
        if isinstance(result, Call):
            return self._enter(result, caller[1] - 64, caller)
        return_address, sp, saved = caller
        self.uc.reg_write(UC_ARM_REG_R0, (result or 0) & 0xFFFFFFFF)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        for register, value in zip(SAVED_REGISTERS, saved):
            self.uc.reg_write(register, value)
        self._spoil(SPOILED_REGISTERS)
        return return_address

    def _saved(self):
        return tuple(self.uc.reg_read(register) for register in SAVED_REGISTERS)

    def _spoil(self, registers):
        for register in registers:
            self.uc.reg_write(register, self.junk.getrandbits(32))
        flags = self.junk.getrandbits(32) & FLAG_BITS
        self.uc.reg_write(UC_ARM_REG_CPSR, self.uc.reg_read(UC_ARM_REG_CPSR) & ~FLAG_BITS | flags)

    def _name(self, function):
        if function == self.entry():
            return "the entry point"
        for name, (_, rva) in self.image.exports().items():
            if function == self.base + rva:
                return name
        return "the function at %#x" % function

    def _caller(self):
        return "the code at %#x" % self.uc.reg_read(UC_ARM_REG_LR)

    # The device's processor faults where unicorn's carries on.
    def _check_alignment(self, uc, access, address, size, value, data):
        if address % size:
            self._misaligned(access, size, address)

    REGISTERS = (UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4, UC_ARM_REG_R5,
                 UC_ARM_REG_R6, UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
                 UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC)

    def _check_doubleword(self, uc, pc, size, data):
        word = self.u32(pc)
        base = uc.reg_read(self.REGISTERS[word >> 16 & 15]) + (8 if word >> 16 & 15 == 15 else 0)
        offset = (word >> 4 & 0xF0 | word & 0xF) if word & 1 << 22 else uc.reg_read(self.REGISTERS[word & 15])
        address = (base + (offset if word & 1 << 23 else -offset)) & 0xFFFFFFFF if word & 1 << 24 else base
        if address % 8 and self.misaligned is None:
            self.misaligned = (8, "write" if word & 0x20 else "read", address, pc)
            uc.emu_stop()

    def _misaligned(self, access, size, address):
        if self.misaligned is None:
            self.misaligned = (size, "write" if access == UC_MEM_WRITE else "read", address,
                               self.uc.reg_read(UC_ARM_REG_PC))
            self.uc.emu_stop()

    def _doubleword_instructions(self):
        """The addresses of the image's LDRD and STRD instructions (XScale has them, ARMv4T not)."""
        found = set()
        for section in self.image.pe.sections:
            if section.Characteristics & 0x20000000:
                code = section.get_data()
                for at in range(0, len(code) - 3, 4):
                    if struct.unpack_from("<I", code, at)[0] & 0x0E1000D0 == 0x000000D0:
                        found.add(self.base + section.VirtualAddress + at)
        return found

    def _instruction(self, pc):
        try:
            return "instruction %08x at %#x" % (self.u32(pc), pc)
        except UcError:
            return "address %#x" % pc

    def _run(self, pc):
        try:
            self.uc.emu_start(pc, 0xFFFFFFFF)
        except UcError as error:
            self._check_misaligned()
            raise RunFailed("%s: %s" % (error, self._instruction(self.uc.reg_read(UC_ARM_REG_PC))))
        self._check_misaligned()

    def _check_misaligned(self):
        if self.misaligned is not None:
            size, kind, address, pc = self.misaligned
            raise RunFailed("an unaligned %d-byte %s of %#x by the %s" % (size, kind, address, self._instruction(pc)))
