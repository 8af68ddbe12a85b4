"""An emulated ARM processor (Debian's python3-unicorn) that runs one of the device's binaries as
the device's loader would place it: sections at their addresses, base relocations applied when it
is loaded elsewhere than its preferred base, and every import pointed at a Python model of that
function. A model that calls back into ARM code (a window procedure) does so by continuation: the
callee runs with a return stub as its return address, and when the stub is reached the model
finishes and returns to its own caller; no emulator is ever nested."""
import struct

from unicorn import UC_ARCH_ARM, UC_HOOK_CODE, UC_MODE_ARM, Uc, UcError
from unicorn.arm_const import (UC_ARM_REG_LR, UC_ARM_REG_PC, UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2,
                               UC_ARM_REG_R3, UC_ARM_REG_SP, UC_CPU_ARM_PXA270, UC_CPU_ARM_TI925T)

import pe_image

CORES = {"ARMv4T (TI925T)": UC_CPU_ARM_TI925T, "XScale (PXA270)": UC_CPU_ARM_PXA270}
STUBS = 0xF0000000  # one 4-byte slot a modelled function
RETURN_STUB = STUBS + 0x10000
STACK, STACK_SIZE = 0x7F000000, 0x40000
HEAP, HEAP_SIZE = 0x60000000, 0x100000
ARGUMENT_REGISTERS = (UC_ARM_REG_R0, UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3)


class RunFailed(Exception):
    """The ARM code did what the device would not survive, or what the model cannot answer."""


class Call:
    """What a model returns to call ARM code first: `finish` turns the callee's result into the
    model's own result (or into another Call)."""

    def __init__(self, function, arguments, finish=lambda result: result):
        self.function, self.arguments, self.finish = function, arguments, finish


class Machine:
    def __init__(self, image_bytes, models, core="ARMv4T (TI925T)", base=None):
        try:
            self.image = pe_image.load(bytes(image_bytes))
        except pe_image.ImageError as error:
            raise RunFailed(str(error))
        self.uc = Uc(UC_ARCH_ARM, UC_MODE_ARM)
        self.uc.ctl_set_cpu_model(CORES[core])
        self.base = self.image.image_base if base is None else base
        self.uc.mem_map(self.base, (self.image.image_size + 0xFFF) & ~0xFFF)
        self.uc.mem_write(self.base, self.image.mapped(self.base))
        self.uc.mem_map(STACK, STACK_SIZE)
        self.uc.mem_map(HEAP, HEAP_SIZE)
        self.heap_used = 0
        self.uc.mem_map(STUBS, 0x20000)
        self.imports = []  # (library, name) by stub slot
        for library, name, slot in self.image.imports():
            self.uc.mem_write(self.base + slot, struct.pack("<I", STUBS + 4 * len(self.imports)))
            self.imports.append((library, name))
        self.models = models
        self.frames = []
        self.instructions = 0
        self.counting = None
        self.uc.hook_add(UC_HOOK_CODE, lambda uc, address, size, data: uc.emu_stop(), begin=STUBS,
                         end=STUBS + 0x20000 - 1)

    # Memory.
    def u32(self, address):
        return struct.unpack("<I", self.uc.mem_read(address, 4))[0]

    def write_u32(self, address, value):
        self.uc.mem_write(address, struct.pack("<I", value & 0xFFFFFFFF))

    def u16(self, address):
        return struct.unpack("<H", self.uc.mem_read(address, 2))[0]

    def wide_text(self, address, limit=4096):
        """The NUL-terminated UTF-16 text at address (None for a null pointer)."""
        if address == 0:
            return None
        units = []
        while len(units) < limit:
            unit = self.u16(address + 2 * len(units))
            if unit == 0:
                return "".join(map(chr, units))
            units.append(unit)
        raise RunFailed("a text at %#x has no NUL within %d characters" % (address, limit))

    def write_wide(self, address, text, nul=True):
        self.uc.mem_write(address, text.encode("utf-16-le") + (b"\0\0" if nul else b""))

    def allocate(self, size):
        """Memory of the device's own for what a model hands to the program (a CREATESTRUCT)."""
        address = HEAP + self.heap_used
        self.heap_used += (size + 7) & ~7
        if self.heap_used > HEAP_SIZE:
            raise RunFailed("the models' memory is used up")
        return address

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

    def count_instructions(self):
        """From now on, counts the instructions executed in the image's own code."""
        if self.counting is None:
            end = self.base + self.image.image_size - 1
            self.counting = self.uc.hook_add(UC_HOOK_CODE, self._count, begin=self.base, end=end)

    def _count(self, uc, address, size, data):
        self.instructions += 1

    def call(self, function, arguments):
        """Runs the ARM function at `function` with 32-bit arguments to its return; its r0."""
        sp = STACK + STACK_SIZE - 0x100
        self.frames = [("outermost", sp, None)]
        pc = self._enter(function, arguments, sp, RETURN_STUB)
        while True:
            self._run(pc)
            pc = self.uc.reg_read(UC_ARM_REG_PC)
            if pc == RETURN_STUB:
                result = self.uc.reg_read(UC_ARM_REG_R0)
                return_address, sp, finish = self.frames.pop()
                if finish is None:
                    return result
                pc = self._finish(finish(result), return_address, sp)
            elif STUBS <= pc < STUBS + 4 * len(self.imports):
                pc = self._model(self.imports[(pc - STUBS) // 4])
            else:
                raise RunFailed("stopped at %#x" % pc)

    def _enter(self, function, arguments, sp, return_address):
        extra = arguments[4:]
        sp -= 4 * len(extra)
        sp &= ~7  # the stack stays 8-byte aligned at a call
        for i, value in enumerate(extra):
            self.write_u32(sp + 4 * i, value)
        for register, value in zip(ARGUMENT_REGISTERS, arguments[:4]):
            self.uc.reg_write(register, value & 0xFFFFFFFF)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        self.uc.reg_write(UC_ARM_REG_LR, return_address)
        return function

    def _model(self, imported):
        library, name = imported
        model = self.models.get(name)
        if model is None:
            raise RunFailed("%s calls %s of %s, which the model does not implement" % (self._caller(), name, library))
        return_address = self.uc.reg_read(UC_ARM_REG_LR)
        sp = self.uc.reg_read(UC_ARM_REG_SP)
        return self._finish(model(self), return_address, sp)

    def _finish(self, result, return_address, sp):
        """Returns a model's result to its caller, or first enters the ARM code it calls."""
        if isinstance(result, Call):
            self.frames.append((return_address, sp, result.finish))
            return self._enter(result.function, result.arguments, sp - 64, RETURN_STUB)
        self.uc.reg_write(UC_ARM_REG_R0, (result or 0) & 0xFFFFFFFF)
        self.uc.reg_write(UC_ARM_REG_SP, sp)
        return return_address

    def _caller(self):
        return "the code at %#x" % self.uc.reg_read(UC_ARM_REG_LR)

    def _run(self, pc):
        try:
            self.uc.emu_start(pc, 0xFFFFFFFF)
        except UcError as error:
            raise RunFailed("%s at %#x" % (error, self.uc.reg_read(UC_ARM_REG_PC)))
