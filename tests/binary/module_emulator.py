"""Runs the machine code of the 32-bit module under Unicorn.

Just enough of a loader for this one DLL: the image is mapped at its
preferred base with each section's own protection, every import slot is
pointed at a stub of ours, and an export is called with a stdcall frame whose
return address is a sentinel. Each stub is a single `ret N` with the callee's
argument bytes; a code hook on it hands the call to a Python binding (see
stand_in.py), which sets EAX before the `ret` runs.

Memory is mapped sparsely on purpose: the image, the stack, the stub page and
nothing else. Any access the module makes anywhere else (or a write to a
read-only section, or code run outside .text) stops the run with the address,
the access and the instruction that made it.
"""

import struct

import pefile
from unicorn import (
    UC_ARCH_X86,
    UC_HOOK_CODE,
    UC_HOOK_MEM_FETCH_PROT,
    UC_HOOK_MEM_FETCH_UNMAPPED,
    UC_HOOK_MEM_READ_PROT,
    UC_HOOK_MEM_READ_UNMAPPED,
    UC_HOOK_MEM_WRITE,
    UC_HOOK_MEM_WRITE_PROT,
    UC_HOOK_MEM_WRITE_UNMAPPED,
    UC_MEM_FETCH_PROT,
    UC_MEM_FETCH_UNMAPPED,
    UC_MEM_READ_PROT,
    UC_MEM_READ_UNMAPPED,
    UC_MEM_WRITE_PROT,
    UC_MEM_WRITE_UNMAPPED,
    UC_MODE_32,
    UC_PROT_EXEC,
    UC_PROT_READ,
    UC_PROT_WRITE,
    Uc,
    UcError,
)
from unicorn.x86_const import (
    UC_X86_REG_EAX,
    UC_X86_REG_EBP,
    UC_X86_REG_EBX,
    UC_X86_REG_ECX,
    UC_X86_REG_EDI,
    UC_X86_REG_EDX,
    UC_X86_REG_EIP,
    UC_X86_REG_ESI,
    UC_X86_REG_ESP,
)

PAGE = 0x1000

# The fixed parts of the address space; the image goes at its own base.
STACK_LIMIT = 0x00100000  # lowest stack address; nothing is mapped below
STACK_SIZE = 0x00100000  # 1 MiB, so deep use is measured, not crashed into
STACK_TOP = STACK_LIMIT + STACK_SIZE
# Fills the unused stack before a measured call, so that what it wrote shows.
STACK_PAINT = b"\xCD"
STUB_BASE = 0x7F000000
STUB_SLOT = 16
# The return address of every export call. Never mapped: a return anywhere
# else runs into unmapped memory and is reported.
SENTINEL = 0x7EEE0000

# Registers the Win32 calling convention obliges a callee to keep, with
# values no code would produce by chance.
CALLEE_SAVED = {
    "ebx": (UC_X86_REG_EBX, 0x0B0B0B0B),
    "esi": (UC_X86_REG_ESI, 0x05151515),
    "edi": (UC_X86_REG_EDI, 0x0D1D1D1D),
    "ebp": (UC_X86_REG_EBP, 0x0BEBEBEB),
}
# What a called platform function leaves in the registers it may clobber, so
# that module code relying on them across a call goes wrong visibly.
CLOBBERED = {UC_X86_REG_ECX: 0xC1C1C1C1, UC_X86_REG_EDX: 0xD1D1D1D1}

RUN_TIMEOUT_US = 120 * 1000 * 1000

_ACCESS = {
    UC_MEM_READ_UNMAPPED: "read of unmapped memory",
    UC_MEM_WRITE_UNMAPPED: "write to unmapped memory",
    UC_MEM_FETCH_UNMAPPED: "code fetch from unmapped memory",
    UC_MEM_READ_PROT: "read of a protected page",
    UC_MEM_WRITE_PROT: "write to a read-only page",
    UC_MEM_FETCH_PROT: "code fetch from a non-executable page",
}


class EmulationFault(Exception):
    """The module did something the harness does not allow; the message
    says what and where."""


class CallResult:
    def __init__(self, eax, popped, clobbered_regs, stack_used, imports_called, image_writes):
        self.eax = eax
        self.popped = popped  # argument bytes the callee removed
        self.clobbered_regs = clobbered_regs  # callee-saved registers not restored
        self.stack_used = stack_used  # bytes written below the return address
        self.imports_called = imports_called
        self.image_writes = image_writes  # addresses inside the image written to


def _align_up(value):
    return (value + PAGE - 1) & ~(PAGE - 1)


def _section_protection(section):
    ch = section.Characteristics
    prot = 0
    if ch & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_READ"]:
        prot |= UC_PROT_READ
    if ch & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]:
        prot |= UC_PROT_WRITE
    if ch & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]:
        prot |= UC_PROT_EXEC
    return prot


class ModuleEmulator:
    """One loaded module. `bind(dll, name, ordinal)` is asked once per import
    (the ordinal is None for an import by name, and the name "dll#ordinal"
    for one by ordinal) and returns the binding and the import's argument
    count; the binding takes the emulator and the raw 32-bit arguments and
    returns the value for EAX, or None for a function without a result."""

    def __init__(self, dll_path, bind):
        self.pe = pefile.PE(dll_path)
        if self.pe.FILE_HEADER.Machine != pefile.MACHINE_TYPE["IMAGE_FILE_MACHINE_I386"]:
            raise EmulationFault(f"{dll_path}: not a 32-bit x86 image")
        self.uc = Uc(UC_ARCH_X86, UC_MODE_32)
        self.base = self.pe.OPTIONAL_HEADER.ImageBase
        self.image_size = _align_up(self.pe.OPTIONAL_HEADER.SizeOfImage)
        self._check_layout()
        self._map_image()
        self.uc.mem_map(STACK_LIMIT, STACK_SIZE, UC_PROT_READ | UC_PROT_WRITE)
        export_dir = getattr(self.pe, "DIRECTORY_ENTRY_EXPORT", None)
        self.exports = {
            sym.name.decode(): self.base + sym.address
            for sym in (export_dir.symbols if export_dir else [])
            if sym.name is not None
        }
        self.stubs = []  # (import name, argument count, binding), by stub slot
        self._bind_imports(bind)

        self.fault = None
        self.lowest_stub_esp = STACK_TOP
        self.image_writes = []
        self.imports_called = 0
        self.uc.hook_add(
            UC_HOOK_MEM_READ_UNMAPPED | UC_HOOK_MEM_WRITE_UNMAPPED | UC_HOOK_MEM_FETCH_UNMAPPED
            | UC_HOOK_MEM_READ_PROT | UC_HOOK_MEM_WRITE_PROT | UC_HOOK_MEM_FETCH_PROT,
            self._on_bad_access,
        )
        self.uc.hook_add(UC_HOOK_MEM_WRITE, self._on_image_write, begin=self.base,
                         end=self.base + self.image_size - 1)
        self.uc.hook_add(UC_HOOK_CODE, self._on_stub, begin=STUB_BASE,
                         end=STUB_BASE + PAGE - 1)

    # ---- loading ------------------------------------------------------------------

    def _check_layout(self):
        image = (self.base, self.base + self.image_size)
        for name, (lo, hi) in {
            "stack": (STACK_LIMIT, STACK_TOP),
            "stubs": (STUB_BASE, STUB_BASE + PAGE),
            "sentinel": (SENTINEL, SENTINEL + 1),
        }.items():
            if lo < image[1] and image[0] < hi:
                # The preferred base is all this loader supports; relocating
                # would only be needed if the build moved its base here.
                raise EmulationFault(
                    f"image 0x{image[0]:08x}-0x{image[1]:08x} overlaps the harness's {name}"
                )

    def _map_image(self):
        self.uc.mem_map(self.base, self.image_size, UC_PROT_READ)
        image = bytes(self.pe.get_memory_mapped_image(ImageBase=self.base))
        self.uc.mem_write(self.base, image[: self.image_size])
        for section in self.pe.sections:
            start = self.base + section.VirtualAddress
            size = _align_up(max(section.Misc_VirtualSize, section.SizeOfRawData))
            self.uc.mem_protect(start, size, _section_protection(section))

    def _bind_imports(self, bind):
        stub_code = bytearray(PAGE)
        for desc in getattr(self.pe, "DIRECTORY_ENTRY_IMPORT", []):
            dll = desc.dll.decode()
            for imp in desc.imports:
                if imp.name is not None:
                    name = imp.name.decode()
                else:
                    name = f"{dll}#{imp.ordinal}"
                binding, arg_count = bind(dll, name, imp.ordinal if imp.name is None else None)
                index = len(self.stubs)
                if (index + 1) * STUB_SLOT > PAGE:
                    raise EmulationFault("more imports than stub slots")
                address = STUB_BASE + index * STUB_SLOT
                pop = 4 * arg_count
                # ret imm16 (C2 iw), or a plain ret (C3) for no arguments.
                code = bytes([0xC2, pop & 0xFF, pop >> 8]) if pop else b"\xC3"
                stub_code[index * STUB_SLOT:index * STUB_SLOT + len(code)] = code
                self.stubs.append((name, arg_count, binding))
                # The loader's one write into the image: the import slot.
                self.uc.mem_write(imp.address, struct.pack("<I", address))
        # Executable only: the module has no business reading the stubs.
        self.uc.mem_map(STUB_BASE, PAGE, UC_PROT_EXEC | UC_PROT_READ)
        self.uc.mem_write(STUB_BASE, bytes(stub_code))
        self.uc.mem_protect(STUB_BASE, PAGE, UC_PROT_EXEC)
        self.image_snapshot = bytes(self.uc.mem_read(self.base, self.image_size))

    # ---- hooks ----------------------------------------------------------------------

    def _stop(self, message):
        if self.fault is None:
            self.fault = message
        self.uc.emu_stop()

    def _on_bad_access(self, uc, access, address, size, value, _):
        eip = uc.reg_read(UC_X86_REG_EIP)
        self._stop(
            f"{_ACCESS.get(access, f'access {access}')} at 0x{address:08x} "
            f"({size} bytes) by the instruction at 0x{eip:08x}"
        )
        return False

    def _on_image_write(self, uc, access, address, size, value, _):
        self.image_writes.append(address)

    def _on_stub(self, uc, address, size, _):
        index = (address - STUB_BASE) // STUB_SLOT
        if (address - STUB_BASE) % STUB_SLOT or index >= len(self.stubs):
            self._stop(f"jump into the middle of the stub page at 0x{address:08x}")
            return
        name, arg_count, binding = self.stubs[index]
        try:
            esp = uc.reg_read(UC_X86_REG_ESP)
            self.lowest_stub_esp = min(self.lowest_stub_esp, esp)
            args = struct.unpack(f"<{arg_count}I", uc.mem_read(esp + 4, 4 * arg_count))
            self.imports_called += 1
            result = binding(self, args)
        except EmulationFault as e:
            self._stop(f"{name}: {e}")
            return
        except UcError as e:
            self._stop(f"{name}: reading its arguments: {e}")
            return
        if result is not None:
            uc.reg_write(UC_X86_REG_EAX, result & 0xFFFFFFFF)
        for reg, junk in CLOBBERED.items():
            uc.reg_write(reg, junk)

    # ---- memory access for the bindings ----------------------------------------

    def read(self, address, size):
        try:
            return bytes(self.uc.mem_read(address, size))
        except UcError:
            raise EmulationFault(
                f"{size} bytes at 0x{address:08x} lie outside the module's memory"
            ) from None

    def write(self, address, data):
        # The module keeps its buffers on its stack: it has no data of its
        # own, so a buffer anywhere else is a fault of its own.
        end = address + len(data)
        if not (STACK_LIMIT <= address and end <= STACK_TOP):
            raise EmulationFault(
                f"asked to write {len(data)} bytes at 0x{address:08x}, outside the stack"
            )
        self.uc.mem_write(address, data)

    def read_string(self, address, limit=0x10000):
        out = bytearray()
        while len(out) < limit:
            chunk_end = (address + PAGE) & ~(PAGE - 1)
            chunk = self.read(address, chunk_end - address)
            nul = chunk.find(b"\0")
            if nul >= 0:
                out += chunk[:nul]
                return bytes(out)
            out += chunk
            address = chunk_end
        raise EmulationFault(f"string at 0x{address:08x} has no NUL within {limit} bytes")

    # ---- calls ------------------------------------------------------------------------

    def call_export(self, name, args, measure_stack=False):
        if name not in self.exports:
            raise EmulationFault(f"no export named {name}")
        return self.call_address(self.exports[name], args, measure_stack)

    def call_address(self, address, args, measure_stack=False):
        """Calls the code at `address` as a stdcall function. With
        `measure_stack` the result's stack_used is the depth of the deepest
        write (a scan of the whole stack afterwards); otherwise it is the
        depth of the deepest platform call's frame."""
        uc = self.uc
        # Windows promises a 32-bit callee no more than 4-byte stack alignment,
        # so the frame is placed 4 bytes off a 16-byte boundary.
        entry_esp = ((STACK_TOP - 0x40 - 4 * len(args) - 4) & ~0xF) - 12
        uc.mem_write(entry_esp, struct.pack(f"<{1 + len(args)}I", SENTINEL, *args))
        if measure_stack:
            uc.mem_write(STACK_LIMIT, STACK_PAINT * (entry_esp - STACK_LIMIT))
        uc.reg_write(UC_X86_REG_ESP, entry_esp)
        for reg, value in CALLEE_SAVED.values():
            uc.reg_write(reg, value)
        uc.reg_write(UC_X86_REG_EAX, 0xA5A5A5A5)
        for reg, junk in CLOBBERED.items():
            uc.reg_write(reg, junk)

        self.fault = None
        self.lowest_stub_esp = entry_esp
        self.image_writes = []
        self.imports_called = 0
        try:
            uc.emu_start(address, SENTINEL, timeout=RUN_TIMEOUT_US)
        except UcError as e:
            if self.fault is None:
                self.fault = f"emulation stopped: {e}"
        eip = uc.reg_read(UC_X86_REG_EIP)
        if self.fault is not None:
            raise EmulationFault(self.fault)
        if eip != SENTINEL:
            raise EmulationFault(
                f"the call did not return to its caller (stopped at 0x{eip:08x}, "
                f"timeout {RUN_TIMEOUT_US // 1000000} s)"
            )
        esp = uc.reg_read(UC_X86_REG_ESP)
        clobbered = [
            name for name, (reg, value) in CALLEE_SAVED.items() if uc.reg_read(reg) != value
        ]
        # The return popped the sentinel; the rest is what the callee removed.
        popped = esp - (entry_esp + 4)
        image_writes = self.image_writes + self._image_changes()
        return CallResult(
            eax=uc.reg_read(UC_X86_REG_EAX),
            popped=popped,
            clobbered_regs=clobbered,
            stack_used=entry_esp - (
                self._lowest_stack_write(entry_esp) if measure_stack else self.lowest_stub_esp),
            imports_called=self.imports_called,
            image_writes=sorted(set(image_writes)),
        )

    def _lowest_stack_write(self, entry_esp):
        """The lowest stack address the call wrote to. Every byte below the
        caller's frame held STACK_PAINT before the call; the deepest write is
        a return address or a saved register, which never consists of paint
        bytes alone. The deepest platform call's frame is the floor anyway."""
        below = self.uc.mem_read(STACK_LIMIT, entry_esp - STACK_LIMIT)
        lowest = STACK_LIMIT + len(below) - len(below.lstrip(STACK_PAINT))
        return min(lowest, self.lowest_stub_esp)

    def _image_changes(self):
        now = bytes(self.uc.mem_read(self.base, self.image_size))
        if now == self.image_snapshot:
            return []
        return [self.base + i for i, (a, b) in enumerate(zip(now, self.image_snapshot)) if a != b]
