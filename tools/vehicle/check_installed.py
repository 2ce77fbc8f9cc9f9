"""The installed wheel at work, for tools/vehicle.sh: each native module loaded
by the running system's dynamic loader, the bundled sample replayed through
MockParser's reader thread and decoded into columns (which must agree packet
for packet), several replays at once, and brimlet_tools.load.

    python check_installed.py [--refused MODULE.so]...

--refused names an extension module that the loader must turn away (linked
against a newer C library): the proof that the load check can fail at all.
Exits non-zero on the first disagreement."""

import argparse
import importlib.machinery
import importlib.util
import math
import pathlib
import platform
import sys
import sysconfig
import threading


def load_extension(path):
    """Loads an extension module file as the import system does (dlopen with
    RTLD_NOW: every symbol and version bound now); None or the loader's words."""
    name = pathlib.Path(path).name.split(".")[0]
    loader = importlib.machinery.ExtensionFileLoader(name, str(path))
    try:
        spec = importlib.machinery.ModuleSpec(name, loader, origin=str(path))
        loader.exec_module(loader.create_module(spec))
    except ImportError as e:
        return str(e)
    return None


def replay(path):
    """Every packet of the recording at `path`, in order, through MockParser."""
    import brimlet

    packets = []
    with brimlet.MockParser(path) as parser:
        while True:
            done = not parser.is_running()
            try:
                got = parser.get_data_packets(block=not done)
            except OSError as e:
                # The run may end between the look and the wait, with nothing
                # left to come: the wait then runs out, and the next look
                # sees the end.
                if str(e) != "timed out waiting on channel":
                    raise
                got = []
            packets.extend(got)
            if done and not got:
                return packets


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def main():
    options = argparse.ArgumentParser()
    options.add_argument("--refused", action="append", default=[])
    args = options.parse_args()
    failures = []

    print("python", platform.python_version(), "on", " ".join(platform.libc_ver()), platform.machine())
    site = pathlib.Path(sysconfig.get_paths()["platlib"])
    modules = sorted(site.glob("*.so"))
    if len(modules) != 2:
        failures.append(f"expected brimlet and brimlet_columns in {site}, found {[m.name for m in modules]}")
    for module in modules:
        refusal = load_extension(module)
        print(f"load {module.name}: {'ok' if refusal is None else refusal}")
        if refusal is not None:
            failures.append(f"{module.name} does not load")
    for module in args.refused:
        refusal = load_extension(module)
        print(f"load {pathlib.Path(module).name} (linked against the build machine's C library): {refusal or 'loaded'}")
        if refusal is None or "GLIBC_" not in refusal:
            failures.append(f"{module} was not refused for its C library")

    import brimlet
    import brimlet_columns
    import brimlet_tools
    from brimlet_tools import sample

    for m in (brimlet, brimlet_columns, brimlet_tools):
        if not pathlib.Path(m.__file__).is_relative_to(site):
            failures.append(f"{m.__name__} comes from {m.__file__}, not the installed wheel")
    with sample.path() as recording:
        packets = replay(recording)
        data = recording.read_bytes()
        columns, totals = brimlet_columns.decode(data)
        kinds = {k: sum(p.packet_type == k for p in packets) for k in ("raw", "estimated")}
        print(f"MockParser: {len(packets)} packets {kinds}")
        rows = {len(memoryview(c)) for c in columns.values()}
        print(f"brimlet_columns.decode: {len(columns)} columns of {rows} rows, scan totals {totals}")
        accel = memoryview(columns["scaled_accel_x"]).tolist()
        for i, p in enumerate(packets):
            expected = p.scaled_accel[0] if p.scaled_accel is not None else math.nan
            if rows != {len(packets)} or not same_float(accel[i], expected):
                failures.append(f"packet {i}: MockParser and decode disagree")
                break
        counts = []
        threads = [threading.Thread(target=lambda: counts.append(len(replay(recording)))) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print("4 replays at once:", counts)
        if counts != [len(packets)] * 4:
            failures.append("concurrent replays disagree")
        has_numpy = importlib.util.find_spec("numpy") is not None
        try:
            print("brimlet_tools.load:", len(brimlet_tools.load(data)), "packets into columns")
        except Exception as e:
            # Without numpy, the tool's own one-line answer is the right result.
            print(f"brimlet_tools.load: {type(e).__name__}: {e}")
            if has_numpy:
                failures.append("brimlet_tools.load failed with numpy present")
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures or not packets else 0


if __name__ == "__main__":
    sys.exit(main())
