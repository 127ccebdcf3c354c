"""Shared machinery of the wine64 integration tests and of scripts/demo.sh.

Runs Windows programs in one private Wine prefix, reads the registry through
the probe program, writes it through Wine's own `reg import`, and starts the
test agent. Everything that can go wrong in Wine itself surfaces as a
WineError (an AssertionError) carrying Wine's own output, so that a broken
prefix fails a test and never passes it.

Paths handed to Windows programs are written as Z:/..., the drive that Wine
maps to the Linux root.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest
from dataclasses import dataclass, field

# Keeps Wine from offering to download its .NET and HTML engines while a
# prefix is made: nothing here needs them, and without a display the offer
# only costs time.
DLL_OVERRIDES = "mscoree,mshtml="


class WineError(AssertionError):
    """Wine, or a program run under it, did not do what was asked."""


def winpath(path):
    """The Windows name of a Linux path, through Wine's Z: drive."""
    return "Z:" + os.path.abspath(path)


def load_config(path=None):
    """The test configuration that CMake writes (see CMakeLists.txt).

    With "per_run" set, the prefix and work folders are named after the
    process that runs the scripts, which for the tests is ctest itself: two
    test runs in one build tree at the same time then get a prefix each
    instead of tearing down each other's."""
    path = path or os.environ.get("WINETEST_CONFIG")
    if not path:
        raise WineError("WINETEST_CONFIG is not set: run the tests through ctest")
    with open(path, encoding="utf-8") as f:
        config = json.load(f)
    if config.get("per_run"):
        config["run_base"] = config["prefix"]
        config["prefix"] = f"{config['prefix']}-{os.getppid()}"
        config["work"] = f"{config['work']}-{os.getppid()}"
    return config


@dataclass
class Result:
    command: list
    returncode: int
    stdout: str
    stderr: str
    seconds: float

    def describe(self):
        return (f"command: {' '.join(self.command)}\n"
                f"exit status: {self.returncode} after {self.seconds:.1f} s\n"
                f"--- stdout ---\n{self.stdout.rstrip()}\n"
                f"--- stderr ---\n{self.stderr.rstrip()}")


class Wine:
    """One Wine prefix and the wine64 loader and wineserver that serve it."""

    def __init__(self, prefix, wine64="/usr/lib/wine/wine64",
                 wineserver="/usr/lib/wine/wineserver64"):
        self.prefix = os.path.abspath(prefix)
        self.wine64 = wine64
        self.wineserver = wineserver

    def env(self, debug="-all"):
        env = dict(os.environ)
        env["WINEPREFIX"] = self.prefix
        env["WINEDEBUG"] = debug
        env["WINEDLLOVERRIDES"] = DLL_OVERRIDES
        # Windows come from the null graphics driver set in the prefix; no
        # Wine program should go looking for a display of its own.
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        return env

    def _run(self, command, timeout, check, debug):
        # Output goes to files, never to pipes: Wine's helper processes
        # (services.exe, explorer.exe, the custom-action server) inherit the
        # standard handles and may outlive the program, which would keep a
        # pipe open and the reader waiting.
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            start = time.monotonic()
            try:
                proc = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=out,
                                      stderr=err, env=self.env(debug), timeout=timeout)
                returncode = proc.returncode
            except subprocess.TimeoutExpired:
                returncode = None
            seconds = time.monotonic() - start
            out.seek(0)
            err.seek(0)
            result = Result(command, returncode,
                            out.read().decode("utf-8", "replace"),
                            err.read().decode("utf-8", "replace"), seconds)
        if returncode is None:
            raise WineError(f"timed out after {timeout} s\n{result.describe()}")
        if check and returncode != 0:
            raise WineError(f"failed\n{result.describe()}")
        return result

    def run(self, *args, timeout=120, check=True, debug="-all"):
        """Runs a Windows program (a Linux path or a name Wine finds)."""
        return self._run([self.wine64, *map(str, args)], timeout, check, debug)

    def server(self, *args, timeout=60, check=True):
        """Runs the wineserver of this prefix with the given options."""
        return self._run([self.wineserver, *args], timeout, check, "-all")

    def start(self, log_path, *args):
        """Starts a Windows program in the background, output to log_path."""
        log = open(log_path, "wb")
        try:
            return subprocess.Popen([self.wine64, *map(str, args)], stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=subprocess.STDOUT, env=self.env())
        finally:
            log.close()


# ----------------------------------------------------------------- registry

@dataclass
class Snapshot:
    """Keys and values as the probe read them. Key paths are written the way
    they were asked for (HKLM\\..., HKU\\<hive>\\...); a value is
    (type number, data bytes as lower-case hex)."""
    keys: set = field(default_factory=set)
    values: dict = field(default_factory=dict)

    def copy(self):
        return Snapshot(set(self.keys), dict(self.values))

    def has_key(self, path):
        return path.casefold() in {k.casefold() for k in self.keys}

    def value(self, path, name):
        for (key, value_name), data in self.values.items():
            if key.casefold() == path.casefold() and value_name.casefold() == name.casefold():
                return data
        return None

    def without_tree(self, path):
        """This snapshot less the key at path and everything below it."""
        folded = path.casefold()

        def inside(key):
            key = key.casefold()
            return key == folded or key.startswith(folded + "\\")

        return Snapshot({k for k in self.keys if not inside(k)},
                        {kv: d for kv, d in self.values.items() if not inside(kv[0])})

    def without_value(self, path, name):
        return Snapshot(set(self.keys),
                        {kv: d for kv, d in self.values.items()
                         if not (kv[0].casefold() == path.casefold()
                                 and kv[1].casefold() == name.casefold())})


def show_value(value):
    """A value as the diff prints it: strings as text, the rest in hex."""
    if value is None:
        return "nothing"
    kind, data = value
    if kind == 1 and len(data) % 2 == 0:
        return f"REG_SZ {bytes.fromhex(data)!r}"
    return f"type {kind} {data}"


def snapshot_diff(expected, actual):
    """Readable lines naming every difference; empty when the two agree."""
    lines = []
    for key in sorted(expected.keys - actual.keys):
        lines.append(f"key missing:     {key}")
    for key in sorted(actual.keys - expected.keys):
        lines.append(f"key unexpected:  {key}")
    for kv in sorted(expected.values.keys() | actual.values.keys()):
        want, got = expected.values.get(kv), actual.values.get(kv)
        if want != got:
            lines.append(f"value {kv[0]} [{kv[1]}]: expected {show_value(want)}, "
                         f"found {show_value(got)}")
    return lines


def parse_output(pattern, out, tool):
    """The groups of `pattern` in a tool's output; a WineError naming the tool
    when the output does not have that shape."""
    m = re.search(pattern, out)
    if not m:
        raise WineError(f"unexpected {tool} output {out!r}")
    return m.groups()


class Probe:
    """The regprobe program: registry, windows and Windows Installer states."""

    def __init__(self, wine, exe):
        self.wine = wine
        self.exe = exe

    def dump(self, *keys, view32=False):
        args = ["dump"] + (["--view32"] if view32 else []) + list(keys)
        result = self.wine.run(self.exe, *args)
        snap = Snapshot()
        for line in result.stdout.splitlines():
            fields = line.rstrip("\r").split("\t")
            if fields[0] == "K":
                snap.keys.add(fields[1])
            elif fields[0] == "V":
                snap.values[(fields[1], fields[2])] = (int(fields[3]), fields[4])
            elif fields[0] != "M":
                raise WineError(f"unexpected probe output {line!r}\n{result.describe()}")
        return snap

    def hives(self):
        return [h for h in self.wine.run(self.exe, "hives").stdout.split() if h]

    def window(self, window_class):
        """True while a top-level window of that class exists."""
        out = self.wine.run(self.exe, "window", window_class).stdout.strip()
        if out == "absent":
            return False
        if out.startswith("present"):
            return True
        raise WineError(f"unexpected probe output {out!r}")

    def component(self, code):
        """MsiLocateComponentA's answer with a length pointer, and with none."""
        out = self.wine.run(self.exe, "component", code).stdout
        with_length, null_length = parse_output(
            r"with_length=(-?\d+) null_length=(-?\d+)", out, "probe")
        return int(with_length), int(null_length)

    def product_state(self, code):
        out = self.wine.run(self.exe, "product", code).stdout
        (state,) = parse_output(r"state=(-?\d+)", out, "probe")
        return int(state)


LONG_ROOTS = {"HKLM": "HKEY_LOCAL_MACHINE", "HKCU": "HKEY_CURRENT_USER",
              "HKU": "HKEY_USERS"}


def _reg_key(path):
    root, _, rest = path.partition("\\")
    return LONG_ROOTS.get(root, root) + ("\\" + rest if rest else "")


def _reg_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def _reg_data(data):
    if data is None:
        return "-"
    if isinstance(data, str):
        return _reg_string(data)
    if isinstance(data, bool):
        raise TypeError("no boolean registry type")
    if isinstance(data, int):
        return f"dword:{data:08x}"
    if isinstance(data, (bytes, bytearray)):
        return "hex:" + ",".join(f"{b:02x}" for b in data)
    raise TypeError(f"no registry type for {data!r}")


def reg_file_text(delete_keys=(), keys=None):
    """The text of a .reg file that first deletes whole keys, then writes
    keys and values. keys maps a key path to {value name: data}; data is a
    str (REG_SZ), an int (REG_DWORD), bytes (REG_BINARY) or None (delete the
    value). The name "@" is the key's default value."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    for path in delete_keys:
        lines += [f"[-{_reg_key(path)}]", ""]
    for path, values in (keys or {}).items():
        lines.append(f"[{_reg_key(path)}]")
        for name, data in values.items():
            lines.append(("@" if name == "@" else _reg_string(name)) + "=" + _reg_data(data))
        lines.append("")
    return "\r\n".join(lines) + "\r\n"


def reg_import(wine, work_dir, text):
    """Applies .reg text through Wine's own reg.exe."""
    os.makedirs(work_dir, exist_ok=True)
    fd, path = tempfile.mkstemp(suffix=".reg", dir=work_dir)
    with os.fdopen(fd, "w", encoding="ascii", newline="") as f:
        f.write(text)
    try:
        wine.run("reg", "import", winpath(path))
    finally:
        os.unlink(path)


# -------------------------------------------------------------- the actions

def call_action(wine, runner, dll, export, handle=0):
    """Calls one export of the module through the runner program. Returns
    (result, elapsed milliseconds of the call itself)."""
    out = wine.run(runner, winpath(dll), export, str(handle)).stdout
    result, elapsed = parse_output(r"result=(\d+) elapsed_ms=([\d.]+)", out, "runner")
    return int(result), float(elapsed)


def export_lookup(wine, runner, dll, export):
    """Exit status of the runner for that name: 0 called, 2 not exported."""
    return wine.run(runner, winpath(dll), export, check=False).returncode


class Agent:
    """The test agent, running in the prefix: one window of class
    "VLD_CLASS" that reacts to WM_CLOSE as its mode says."""

    def __init__(self, wine, exe, log_path, *mode, life_ms=60000):
        self.log_path = log_path
        self.proc = wine.start(log_path, exe, *mode, "--life", str(life_ms))
        deadline = time.monotonic() + 30
        while "ready" not in self.log():
            if self.proc.poll() is not None:
                raise WineError(f"agent ended before its window was up "
                                f"(exit {self.proc.returncode}):\n{self.log()}")
            if time.monotonic() > deadline:
                self.kill()
                raise WineError(f"agent window not up after 30 s:\n{self.log()}")
            time.sleep(0.05)

    def log(self):
        with open(self.log_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def close_messages(self):
        return self.log().count("wm_close")

    def after_close_ms(self):
        """How long after WM_CLOSE arrived the agent destroyed its window."""
        m = re.search(r"destroyed tick=\d+ after_close_ms=(-?\d+)", self.log())
        return int(m.group(1)) if m else None

    def wait_exit(self, timeout):
        try:
            self.proc.wait(timeout=timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=30)


# ------------------------------------------------------- Windows Installer

def msiexec(wine, mode, package, log_path, debug="-all", timeout=300):
    """msiexec /i or /x of a package, quietly, with a verbose log. Fails with
    the log's tail when msiexec reports an error."""
    result = wine.run("msiexec", mode, winpath(package), "/qn", "/l*v", winpath(log_path),
                      timeout=timeout, check=False, debug=debug)
    if result.returncode != 0:
        tail = ""
        if os.path.exists(log_path):
            tail = "\n".join(read_msi_log(log_path).splitlines()[-40:])
        raise WineError(f"msiexec {mode} {package} failed\n{result.describe()}\n"
                        f"--- log tail ---\n{tail}")
    return result


def read_msi_log(path):
    """The text of a verbose log: Wine writes it in ANSI, Windows may write
    UTF-16 with a byte order mark."""
    with open(path, "rb") as f:
        raw = f.read()
    if raw[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return raw.decode("utf-16", "replace")
    return raw.decode("utf-8", "replace")


def msi_table(msiinfo, package, table):
    """Rows of one table of a package, through msitools' msiinfo, as dicts."""
    # Exporting a table with streams (Binary) also writes each stream to a
    # file beside the working directory: keep those out of the way.
    with tempfile.TemporaryDirectory() as scratch:
        out = subprocess.run([msiinfo, "export", os.path.abspath(package), table],
                             check=True, capture_output=True, text=True, cwd=scratch).stdout
    lines = [line.rstrip("\r") for line in out.splitlines()]
    columns = lines[0].split("\t")
    # Line 2 holds the column types, line 3 the table name and its keys.
    return [dict(zip(columns, line.split("\t"))) for line in lines[3:] if line]


def msi_property(msiinfo, package, name):
    for row in msi_table(msiinfo, package, "Property"):
        if row["Property"] == name:
            return row["Value"]
    raise KeyError(name)


# ------------------------------------------------------------ test harness

class PrefixTest(unittest.TestCase):
    """A test case that works in the prefix the setup test made."""

    @classmethod
    def setUpClass(cls):
        cls.config = load_config()
        if not os.path.isdir(os.path.join(cls.config["prefix"], "drive_c")):
            raise WineError(f"no Wine prefix at {cls.config['prefix']}: "
                            "the wine_prefix_setup test has not run or failed")
        cls.wine = Wine(cls.config["prefix"], cls.config["wine64"], cls.config["wineserver"])
        cls.probe = Probe(cls.wine, cls.config["probe"])
        cls.work = os.path.join(cls.config["work"], cls.__name__)
        os.makedirs(cls.work, exist_ok=True)

    def window_gone(self, window_class, timeout=10):
        """True once no window of that class is left. The server drops the
        windows of a killed process when it notices the process end, which
        may take a moment."""
        deadline = time.monotonic() + timeout
        while self.probe.window(window_class):
            if time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def run_action(self, export, handle=0):
        """Calls one export of the module, which must return 0 whatever it
        met; returns the milliseconds the call itself took."""
        result, elapsed = call_action(self.wine, self.config["runner"], self.config["dll"],
                                      export, handle)
        self.assertEqual(result, 0, f"{export}({handle}) returned {result}")
        return elapsed

    def assertSnapshot(self, expected, actual, what):
        diff = snapshot_diff(expected, actual)
        if diff:
            self.fail(f"{what}:\n  " + "\n  ".join(diff))


def main():
    """Runs the test cases of the calling script, one line each, and the
    time the whole group took."""
    start = time.monotonic()
    program = unittest.main(verbosity=2, exit=False)
    print(f"group time: {time.monotonic() - start:.1f} s")
    sys.exit(0 if program.result.wasSuccessful() else 1)
