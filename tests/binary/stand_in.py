"""The host stand-in of Windows, loaded through ctypes, and the bindings that
connect each import of the 32-bit module to it.

The stand-in's platform functions are plain C functions of the shared library
(the host ABI of platform/win32.h): a binding reads the module's 32-bit
arguments, copies every string and buffer out of emulated memory into host
memory, calls the stand-in, and copies whatever the stand-in wrote back into
the module's buffers. Handles pass through as numbers: the stand-in's key and
window handles fit in 32 bits, and it accepts the predefined roots in their
32-bit form (0x80000002) as well as sign-extended.
"""

import ctypes

from module_emulator import EmulationFault

# How one argument travels, by letter:
#   v  a 32-bit number (DWORD, UINT)
#   k  a handle (HKEY, HWND): a host pointer of the same value
#   w  an unsigned pointer-sized number (WPARAM), zero-extended
#   l  a signed pointer-sized number (LPARAM), sign-extended
#   s  a NUL-terminated string the callee reads
#   bN the bytes the callee reads, as many as argument N says
#   oN a buffer the callee writes, as many bytes as argument N says
#   ON a buffer the callee writes, as many bytes as the DWORD that argument N
#      points to says (before the call)
#   h  the address of a handle the callee writes
#   d  the address of a DWORD the callee reads and writes
#   mN the address of an N-byte structure, copied both ways
# Results: i signed 32-bit, u unsigned 32-bit, p a handle, - none.
IMPORTS = {
    "RegOpenKeyExA": ("k s v v h", "i"),
    "RegCreateKeyExA": ("k s v s v v m12 h d", "i"),
    "RegSetValueExA": ("k s v v b5 v", "i"),
    "RegDeleteValueA": ("k s", "i"),
    "RegEnumKeyExA": ("k v O3 d d O6 d m8", "i"),
    "RegEnumKeyA": ("k v o3 v", "i"),
    "RegDeleteKeyA": ("k s", "i"),
    "RegCloseKey": ("k", "i"),
    "lstrlenA": ("s", "i"),
    "GetTickCount": ("", "u"),
    "Sleep": ("v", "-"),
    "FindWindowA": ("s s", "p"),
    "PostMessageA": ("k v w l", "i"),
    "IsWindow": ("k", "i"),
    "MsiLocateComponentA": ("s O2 d", "i"),
}

# Imports by ordinal, by library.
ORDINALS = {("msi.dll", 89): "MsiLocateComponentA"}

_HOST_TYPES = {
    "v": ctypes.c_uint32,
    "k": ctypes.c_void_p,
    "w": ctypes.c_size_t,
    "l": ctypes.c_ssize_t,
}
_RESULT_TYPES = {"i": ctypes.c_int32, "u": ctypes.c_uint32, "p": ctypes.c_void_p, "-": None}

ROOTS = {"HKCU": 0x80000001, "HKLM": 0x80000002, "HKU": 0x80000003}


class StandIn:
    """The stand-in library (with the scenario table linked in)."""

    def __init__(self, library_path):
        self.lib = ctypes.CDLL(library_path)
        text = ctypes.c_char_p
        for name, restype, argtypes in [
            ("sim_reset", None, []),
            ("sim_journal_text", text, []),
            ("sim_call_count", ctypes.c_size_t, []),
            ("sim_call_budget", ctypes.c_size_t, []),
            ("sim_dump_text", text, [ctypes.c_uint32]),
            ("sim_open_handles_text", text, []),
            ("sim_bad_closes", ctypes.c_size_t, []),
            ("sim_windows_text", text, []),
            ("sim_clock_text", text, []),
            ("sim_fail_call", None, [ctypes.c_size_t, ctypes.c_int32]),
            ("sim_create_link", None, [ctypes.c_uint32, ctypes.c_char_p, ctypes.c_uint32,
                                       ctypes.c_char_p]),
            ("sim_set_link_policy", None, [ctypes.c_int]),
            ("scenario_count", ctypes.c_int, []),
            ("scenario_name", text, [ctypes.c_int]),
            ("scenario_export", text, [ctypes.c_int]),
            ("scenario_install_handle", ctypes.c_uint32, [ctypes.c_int]),
            ("scenario_sweep_code", ctypes.c_int32, [ctypes.c_int]),
            ("scenario_setup", None, [ctypes.c_int]),
            ("scenario_run_native", ctypes.c_uint32, [ctypes.c_int]),
        ]:
            fn = getattr(self.lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        self.unbound = []  # imports of the module the stand-in has no model of

    # ---- state ------------------------------------------------------------------------

    @staticmethod
    def _lines(raw):
        return raw.decode("latin-1").splitlines()

    def journal(self):
        return self._lines(self.lib.sim_journal_text())

    def call_count(self):
        return self.lib.sim_call_count()

    def end_state(self):
        """Everything a run can leave behind, as {part: lines}."""
        return {
            "HKLM": self._lines(self.lib.sim_dump_text(ROOTS["HKLM"])),
            "HKU": self._lines(self.lib.sim_dump_text(ROOTS["HKU"])),
            "open handles": self._lines(self.lib.sim_open_handles_text()),
            "bad closes": [str(self.lib.sim_bad_closes())],
            "windows": self._lines(self.lib.sim_windows_text()),
            "clock": self._lines(self.lib.sim_clock_text()),
        }

    # ---- registry links ------------------------------------------------------------------

    def create_link(self, root, path, target_root, target_path):
        """Makes the key at `path` below `root` ("HKCU", "HKLM", "HKU") a
        registry link to `target_path` below `target_root`."""
        self.lib.sim_create_link(ROOTS[root], path.encode("latin-1"), ROOTS[target_root],
                                 target_path.encode("latin-1"))

    def set_link_policy(self, follow_all):
        """False: links from a user hive into the machine hive or another
        user's hive are refused, as on Windows; True: every link is followed,
        as under Wine 8."""
        self.lib.sim_set_link_policy(1 if follow_all else 0)

    # ---- scenarios ----------------------------------------------------------------------

    def scenarios(self):
        lib = self.lib
        return [
            {
                "index": i,
                "name": lib.scenario_name(i).decode(),
                "export": lib.scenario_export(i).decode(),
                "install": lib.scenario_install_handle(i),
                "sweep_code": lib.scenario_sweep_code(i),
            }
            for i in range(lib.scenario_count())
        ]

    # ---- the bindings of the module's imports -------------------------------------------

    def bind(self, dll, name, ordinal):
        """For ModuleEmulator: the binding of one import and its argument
        count. An import without a model fails only when it is called."""
        if ordinal is not None:
            name = ORDINALS.get((dll.lower(), ordinal), name)
        fn = getattr(self.lib, name, None) if name in IMPORTS else None
        if fn is None:
            self.unbound.append(name)
            # Its argument count is unknown, so the stub pops nothing; the
            # call fails the run before that matters.
            return _unbound(name), 0
        kinds = IMPORTS[name][0].split()
        return _Binding(fn, name, kinds, IMPORTS[name][1], self.lib), len(kinds)


def _unbound(name):
    def call(emulator, args):
        raise EmulationFault(f"the module called {name}, which the stand-in does not provide")

    return call


class _Binding:
    def __init__(self, fn, name, kinds, result, lib):
        self.lib = lib
        self.name = name
        self.kinds = kinds
        self.result = result
        fn.restype = _RESULT_TYPES[result]
        fn.argtypes = [_HOST_TYPES.get(k[0], ctypes.c_void_p) for k in kinds]
        self.fn = fn

    def _fits(self, value):
        if value >> 32:
            raise EmulationFault(f"{self.name}: handle 0x{value:x} does not fit 32 bits")
        return value

    def __call__(self, emulator, args):
        # Past its call budget the stand-in throws a C++ exception, which must
        # not reach ctypes: the run stops here first, as an endless loop.
        budget = self.lib.sim_call_budget()
        if budget and self.lib.sim_call_count() >= budget:
            raise EmulationFault(
                f"{self.name}: more than {budget} platform calls, an endless loop?"
            )
        host_args = []
        copies = []  # (emulated address, host buffer, bytes as passed in)
        handle_slots = []  # (emulated address, host slot, value as passed in)

        def copy_of(address, data):
            buf = ctypes.create_string_buffer(data, len(data))
            copies.append((address, buf, data))
            return ctypes.addressof(buf)

        for kind, raw in zip(self.kinds, args):
            letter, count = kind[0], kind[1:]
            if letter in "vw":
                host_args.append(raw)
            elif letter == "k":
                host_args.append(raw or None)
            elif letter == "l":
                host_args.append(raw - (1 << 32) if raw & 0x80000000 else raw)
            elif raw == 0:
                host_args.append(None)  # a null pointer stays null
            elif letter == "s":
                host_args.append(copy_of(raw, emulator.read_string(raw) + b"\0"))
            elif letter in "bo":
                host_args.append(copy_of(raw, emulator.read(raw, args[int(count)])))
            elif letter == "O":
                size_at = args[int(count)]
                size = int.from_bytes(emulator.read(size_at, 4), "little") if size_at else 0
                host_args.append(copy_of(raw, emulator.read(raw, size)))
            elif letter == "d":
                host_args.append(copy_of(raw, emulator.read(raw, 4)))
            elif letter == "m":
                host_args.append(copy_of(raw, emulator.read(raw, int(count))))
            elif letter == "h":
                # The module's slot is 32 bits, the host's a pointer.
                before = int.from_bytes(emulator.read(raw, 4), "little")
                slot = ctypes.c_uint64(before)
                handle_slots.append((raw, slot, before))
                host_args.append(ctypes.addressof(slot))
            else:
                raise AssertionError(f"{self.name}: unknown argument kind {kind}")

        result = self.fn(*host_args)

        # Only what the stand-in changed goes back into the module's memory.
        for address, buf, before in copies:
            after = buf.raw[: len(before)]
            if after != before:
                emulator.write(address, after)
        for address, slot, before in handle_slots:
            if slot.value != before:
                emulator.write(address, self._fits(slot.value).to_bytes(4, "little"))

        if self.result == "-":
            return None
        if self.result == "p":
            return self._fits(result or 0)
        return result & 0xFFFFFFFF
