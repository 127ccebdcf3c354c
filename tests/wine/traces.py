"""The registry traces that the uninstall action must remove, the neighbours
that it must leave, and what the registry must look like afterwards.

Used by the uninstall, installer and guard tests and by the demo. The
expected state after a cleanup is derived from the state before it, so a key
that vanished without being planned, or a planned one that stayed, shows up
as a difference.
"""

from winetest import reg_file_text, reg_import

# Two more user hives beside Wine's own (.Default and the current user's),
# as a machine with several signed-in users would have them loaded.
EXTRA_HIVES = ("S-1-5-21-1-2-3-1002", "S-1-5-21-1-2-3-1003")
# This one gets the planned keys but none of the maker's other keys, so the
# maker's key "Software\Helvarin" is left empty there: it must stay all the same.
BARE_HIVE = EXTRA_HIVES[1]

RUN = r"Software\Microsoft\Windows\CurrentVersion\Run"
INTRO = r"Software\Helvarin\Brightmoor\Disable Intro Dialogs"

# Removed from every user hive, with everything below them.
PLANNED_USER_KEYS = (
    r"Software\Helvarin\VLD",
    r"Software\Helvarin\TideMark",
    r"Software\Helvarin\Tide Mark Viewer",
    r"Software\Helvarin\Brightmoor",
)
# Removed from every user hive: (key, value name).
PLANNED_USER_VALUES = (
    (RUN, "HelKeepAlive"),
    (INTRO, "Tide Mark Viewer"),
)
# Removed from the machine hive, with everything below them.
PLANNED_MACHINE_KEYS = (
    r"Software\Helvarin\TideMark",
    r"Software\Helvarin\Harbor Kit",
)

PLUGINS = r"HKLM\Software\Helvarin\TideMark\Plugins"
PLUGIN_VALUE = "IEPlugin.dll"
# REG_SZ holding one space and its NUL.
PLUGIN_DATA = (1, "2000")


def user_traces(hive, neighbours=True):
    """Keys and values of one user hive, tagged with the hive's name so that
    data moved between hives would show."""
    h = "HKU\\" + hive
    keys = {
        rf"{h}\Software\Helvarin\VLD": {"InstallDir": r"C:\Program Files\Helvarin\VLD",
                                        "Interval": 30},
        rf"{h}\Software\Helvarin\VLD\Settings": {"@": hive, "LastRun": b"\x01\x02\x03\x04"},
        rf"{h}\Software\Helvarin\VLD\Settings\Deep\Deeper": {"Level": 3},
        rf"{h}\Software\Helvarin\TideMark": {"Language": "en", "Runs": 12},
        rf"{h}\Software\Helvarin\TideMark\Plugins": {PLUGIN_VALUE: " "},
        rf"{h}\Software\Helvarin\TideMark\History\2024": {"Count": 4, "Owner": hive},
        rf"{h}\Software\Helvarin\Tide Mark Viewer": {"Zoom": 100},
        rf"{h}\Software\Helvarin\Tide Mark Viewer\Recent": {"File1": r"C:\Charts\bay.tmk"},
        rf"{h}\Software\Helvarin\Brightmoor": {"Suite": "Brightmoor " + hive},
        rf"{h}\{INTRO}": {"Tide Mark Viewer": 1, "Harbor Kit": 1},
        rf"{h}\Software\Helvarin\Brightmoor\Updates": {"Channel": "stable"},
        rf"{h}\{RUN}": {"HelKeepAlive": r'"C:\Program Files\Helvarin\VLD\vld.exe" /background',
                        "Scratchpad": r"C:\Tools\scratchpad.exe"},
    }
    if neighbours:
        keys.update({
            rf"{h}\Software\Helvarin\TideMarkX": {"Note": "a different product"},
            rf"{h}\Software\Helvarin\Other\Sub": {"Value": 1},
            rf"{h}\Software\Helvarin\Harbor Kit": {"Theme": "dark"},
            rf"{h}\Software\Helvarin\Harbor Kit\Windows": {"Left": 10},
        })
    return keys


def machine_traces():
    """Planned machine keys and the machine keys that are not planned,
    among them the same names that the plan removes from user hives."""
    return {
        r"HKLM\Software\Helvarin\TideMark": {"Edition": "sample"},
        PLUGINS: {PLUGIN_VALUE: " ", "Charts.dll": " "},
        r"HKLM\Software\Helvarin\TideMark\Plugins\Disabled": {"Old.dll": " "},
        r"HKLM\Software\Helvarin\Harbor Kit": {"Version": "2.1"},
        r"HKLM\Software\Helvarin\Harbor Kit\Addins\One": {"Enabled": 1},
        r"HKLM\Software\Helvarin\Brightmoor": {"Suite": "machine"},
        rf"HKLM\{INTRO}": {"Tide Mark Viewer": 1},
        r"HKLM\Software\Helvarin\VLD": {"Service": "machine"},
        r"HKLM\Software\Helvarin\Tide Mark Viewer": {"Associations": ".tmk"},
        r"HKLM\Software\Helvarin\TideMarkX": {"Note": "a different product"},
        r"HKLM\Software\Helvarin\Other": {"Value": 2},
        rf"HKLM\{RUN}": {"HelKeepAlive": r"C:\Program Files\Helvarin\VLD\vld.exe"},
    }


def scope(hives):
    """Every key tree whose state the tests compare."""
    roots = [r"HKLM\Software\Helvarin", rf"HKLM\{RUN}"]
    for hive in hives:
        roots += [rf"HKU\{hive}\Software\Helvarin", rf"HKU\{hive}\{RUN}"]
    return roots


def reset(wine, probe, work_dir):
    """Removes every trace and neighbour, and the extra hives."""
    hives = [h for h in probe.hives() if h not in EXTRA_HIVES]
    delete = [r"HKLM\Software\Helvarin"] + [rf"HKU\{h}\Software\Helvarin" for h in hives]
    delete += [rf"HKU\{h}" for h in EXTRA_HIVES]
    values = {rf"HKU\{h}\{RUN}": {"HelKeepAlive": None, "Scratchpad": None} for h in hives}
    values[rf"HKLM\{RUN}"] = {"HelKeepAlive": None}
    reg_import(wine, work_dir, reg_file_text(delete, values))


def seed(wine, work_dir, hives, machine=True):
    """Writes the traces into each named hive (and the machine hive)."""
    keys = {}
    for hive in hives:
        keys.update(user_traces(hive, neighbours=hive != BARE_HIVE))
    if machine:
        keys.update(machine_traces())
    reg_import(wine, work_dir, reg_file_text((), keys))


def planned_present(before, hives):
    """The planned keys and values that the snapshot holds, per hive: proof
    that a test had something to remove."""
    missing = []
    for hive in hives:
        for key in PLANNED_USER_KEYS:
            if not before.has_key(rf"HKU\{hive}\{key}"):
                missing.append(rf"HKU\{hive}\{key}")
        for key, name in PLANNED_USER_VALUES:
            if before.value(rf"HKU\{hive}\{key}", name) is None:
                missing.append(rf"HKU\{hive}\{key} [{name}]")
    for key in PLANNED_MACHINE_KEYS:
        if not before.has_key(rf"HKLM\{key}"):
            missing.append(rf"HKLM\{key}")
    return missing


def after_cleanup(before, hives):
    """The snapshot less exactly what the cleanup plan removes, for the
    given hives (every hive under HKEY_USERS)."""
    after = before.copy()
    for hive in hives:
        for key, name in PLANNED_USER_VALUES:
            after = after.without_value(rf"HKU\{hive}\{key}", name)
        for key in PLANNED_USER_KEYS:
            after = after.without_tree(rf"HKU\{hive}\{key}")
    for key in PLANNED_MACHINE_KEYS:
        after = after.without_tree(rf"HKLM\{key}")
    return after


def table_rows(hives):
    """(where, what) pairs of every planned item and every neighbour, for
    the demo's before/after table."""
    rows = []
    for hive in hives:
        h = rf"HKU\{hive}"
        for key in PLANNED_USER_KEYS:
            rows.append((rf"{h}\{key}", None, True))
        for key, name in PLANNED_USER_VALUES:
            rows.append((rf"{h}\{key}", name, True))
        rows.append((rf"{h}\{RUN}", "Scratchpad", False))
        if hive != BARE_HIVE:
            for key in (r"Software\Helvarin\TideMarkX", r"Software\Helvarin\Other",
                        r"Software\Helvarin\Harbor Kit"):
                rows.append((rf"{h}\{key}", None, False))
        rows.append((rf"{h}\Software\Helvarin", None, False))
    for key in PLANNED_MACHINE_KEYS:
        rows.append((rf"HKLM\{key}", None, True))
    rows.append((PLUGINS, PLUGIN_VALUE, True))
    for key in (r"Software\Helvarin\Brightmoor", r"Software\Helvarin\VLD",
                r"Software\Helvarin\Tide Mark Viewer", r"Software\Helvarin\TideMarkX",
                r"Software\Helvarin\Other"):
        rows.append((rf"HKLM\{key}", None, False))
    rows.append((rf"HKLM\{INTRO}", "Tide Mark Viewer", False))
    rows.append((rf"HKLM\{RUN}", "HelKeepAlive", False))
    return rows
