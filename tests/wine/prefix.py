"""Setup and cleanup of the Wine prefix that one run of the wine64 tests
shares (the CTest fixture wine_prefix).

  prefix.py setup    kill a wineserver left from an interrupted run, make a
                     new prefix with a persistent wineserver, switch it to the
                     null graphics driver, check that it answers
  prefix.py cleanup  stop the wineserver and remove the prefix

The wineserver must stay up for the whole run: hives created under
HKEY_USERS live only in the running server, and a server left to itself ends
a few seconds after its last process.
"""

import os
import shutil
import sys
import time

from winetest import Probe, Wine, WineError, load_config


def stop_server(wine):
    """Ends the prefix's wineserver, and with it every Wine process of the
    prefix, and waits until it is gone. Nothing to do if none runs."""
    wine.server("-k", check=False)
    wine.server("-w", check=False)


def remove_tree(path):
    """Removes a prefix. Wine's processes may still be ending and tidying up
    for a moment after their server went: what vanishes meanwhile is fine."""
    for _ in range(10):
        shutil.rmtree(path, ignore_errors=True)
        if not os.path.exists(path):
            return
        time.sleep(0.5)
    raise WineError(f"could not remove {path}")


def own_config(config, name):
    """The shared configuration with a prefix and work folder of one test's
    own, for a test that changes its prefix in ways the others must not meet.
    With per-run names they are named after the same run, so that the next
    run's setup of that test removes them if this run is interrupted; the
    shared fixture's clean-up leaves them alone."""
    own = dict(config)
    if config.get("run_base"):
        own["run_base"] = f"{config['run_base']}-{name}"
        own["prefix"] = f"{own['run_base']}-{os.getppid()}"
        base_work = config["work"].rsplit("-", 1)[0]
        own["work"] = f"{base_work}-{name}-{os.getppid()}"
    else:
        own["prefix"] = f"{config['prefix']}-{name}"
        own["work"] = f"{config['work']}-{name}"
    return own


def remove_stale_runs(config):
    """Prefixes and work folders of earlier test runs whose ctest has ended:
    stop a server left by an interrupted run, and remove both. Those of runs
    still going are left alone; a finished run's work folder (its logs)
    stays until the next run starts."""
    if not config.get("run_base"):
        return
    for base in (config["run_base"], config["work"].rsplit("-", 1)[0]):
        parent, name = os.path.split(base)
        if not os.path.isdir(parent):
            continue
        for entry in os.listdir(parent):
            suffix = entry[len(name) + 1:]
            if not entry.startswith(name + "-") or not suffix.isdigit():
                continue
            try:
                os.kill(int(suffix), 0)
                continue  # that run is still going
            except ProcessLookupError:
                pass
            except PermissionError:
                continue
            stale = os.path.join(parent, entry)
            if base == config["run_base"]:
                stop_server(Wine(stale, config["wine64"], config["wineserver"]))
                print(f"removing the prefix of an earlier, interrupted run: {stale}")
            remove_tree(stale)


def setup(config):
    wine = Wine(config["prefix"], config["wine64"], config["wineserver"])
    for tool in (wine.wine64, wine.wineserver):
        if not os.access(tool, os.X_OK):
            raise WineError(f"{tool} is missing: install wine64 (scripts/deps.sh)")

    remove_stale_runs(config)
    if os.path.isdir(wine.prefix):
        # A server from an interrupted run would serve the old, deleted prefix.
        stop_server(wine)
        remove_tree(wine.prefix)
    os.makedirs(wine.prefix)
    os.makedirs(config["work"], exist_ok=True)

    start = time.monotonic()
    wine.server("-p")
    boot = wine.run("wineboot", "-i", timeout=600, check=False)
    if boot.returncode != 0 or not os.path.isdir(os.path.join(wine.prefix, "drive_c")):
        raise WineError(f"wineboot could not make the prefix\n{boot.describe()}")
    wine.run("reg", "add", r"HKCU\Software\Wine\Drivers", "/v", "Graphics", "/d", "null", "/f")
    # The desktop process that wineboot started has no graphics driver and
    # refuses windows: end the session (the server writes the registry out
    # as it stops) and start a new server, which takes the null driver.
    stop_server(wine)
    wine.server("-p")

    # The prefix must run our programs, list the hives of Wine's user and
    # give a headless program its window.
    hives = Probe(wine, config["probe"]).hives()
    if ".Default" not in hives or len(hives) < 2:
        raise WineError(f"unexpected hives under HKEY_USERS: {hives}")
    agent = wine.run(config["agent"], "close", "--life", "100", timeout=60, check=False)
    if agent.returncode != 0 or "ready" not in agent.stdout:
        raise WineError(f"a program could not create its window\n{agent.describe()}")
    print(f"prefix {wine.prefix} ready in {time.monotonic() - start:.1f} s; "
          f"hives under HKEY_USERS: {', '.join(hives)}")


def cleanup(config):
    wine = Wine(config["prefix"], config["wine64"], config["wineserver"])
    if not os.path.isdir(wine.prefix):
        print("no prefix to remove")
        return
    stop_server(wine)
    if os.environ.get("WINETEST_KEEP_PREFIX"):
        print(f"wineserver stopped; prefix kept at {wine.prefix}")
        return
    remove_tree(wine.prefix)
    print(f"wineserver stopped; prefix {wine.prefix} removed")


def main():
    if len(sys.argv) != 2 or sys.argv[1] not in ("setup", "cleanup"):
        print("usage: prefix.py setup|cleanup", file=sys.stderr)
        return 64
    config = load_config()
    try:
        (setup if sys.argv[1] == "setup" else cleanup)(config)
    except WineError as error:
        print(f"{sys.argv[1]} failed: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
