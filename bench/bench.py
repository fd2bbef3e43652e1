#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
"""Benchmark of vendor-name against a bare walk, find and a bare rewrite loop, and of refresh-vendor-name
against vendor-name (see bench/README.md)."""

import signal

if signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # not if started ignoring it
    signal.signal(signal.SIGINT, signal.SIG_DFL)  # until main(): the imports below make nothing

import argparse
import contextlib
import os
import pathlib
import pwd
import random
import shutil
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
TREES = os.path.join(HERE, "trees")
BUILD = os.path.join(REPO, "build-bench")
TOOL = os.path.join(BUILD, "tool", "vendor-name")
REFRESH = os.path.join(BUILD, "tool", "refresh-vendor-name")
BARE = os.path.join(BUILD, "bare")
STAMP = ".complete"  # written last: a build or tree without it is half-made
TREE_VERSION = "2"  # bump when the shape below changes
OUTPUT = "device/samsung/quillmere-common/vendor_name"
EXCLUDED = ["qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora"]
SURVIVOR = "tidewater"  # the one, so that refresh-vendor-name names it
PURE_DIRS = 100_000
REWRITES = 10_000
WORDS = ["src", "include", "lib", "res", "java", "android", "hardware", "interfaces",
         "proprietary", "firmware", "config", "etc", "bin", "prebuilt", "arm64", "tests"]
SHARE, REST = divmod(PURE_DIRS, len(EXCLUDED))
PURE = {v: SHARE + (REST if i == 0 else 0) for i, v in enumerate(EXCLUDED)}
SHAPES = {"pure": PURE, "rewrite": {**PURE, SURVIVOR: REWRITES}}
TARGETS = {"walk": 1.10, "rewrites": 1.30, "refresh": 0.25, "memory": 40}  # ratios, and the peak in MiB
TICK = 10  # seconds between plain progress lines


def say(line):
    print(f"bench.py: {line}", file=sys.stderr, flush=True)


def check(code, what, cwd):
    """Ends the run if a command failed: as interrupted if Ctrl-C killed it, else in one line."""
    if code == -signal.SIGINT:
        raise KeyboardInterrupt
    if code != 0:
        raise SystemExit(f"bench.py: {what} failed in {cwd} with status {code}")


@contextlib.contextmanager
def phase(desc, total=None, unit="", announce=True):
    """Shows the block's steps, counted by calling what this yields: tqdm's bar on a terminal if
    there is a total, else a line now (if announced) and one every TICK seconds."""
    tqdm = None
    with contextlib.suppress(ImportError):  # Debian's, maybe installed by this run
        from tqdm import tqdm
    if total and tqdm and sys.stderr.isatty():
        with tqdm(desc=desc, total=total, unit=unit, dynamic_ncols=True) as bar:
            yield bar.update
        return
    if announce:
        say(desc)
    steps, start, stop = [], time.monotonic(), threading.Event()

    def tick():
        while not stop.wait(TICK):
            done = f"{len(steps):,} of {total:,} {unit}, " if total else ""
            say(f"{desc}: {done}{time.monotonic() - start:.0f} s")
    threading.Thread(target=tick, daemon=True).start()
    try:
        yield lambda: steps.append(None)
    finally:
        stop.set()


def build():
    """Builds the tool and the floors in build-bench/, letting cmake's output through."""
    stamp = pathlib.Path(BUILD, STAMP)
    if stamp.exists():
        stamp.unlink()  # until this build succeeds, build-bench/ counts as half-made
    elif os.path.lexists(BUILD):  # a run stopped while configuring or building left it
        shutil.rmtree(BUILD)
    say("building in build-bench/")
    for argv in (["cmake", "-S", HERE, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release"],
                 ["cmake", "--build", BUILD, "--parallel", str(os.cpu_count())]):
        check(subprocess.run(argv, stdout=sys.stderr).returncode, " ".join(argv[:2]), BUILD)
    stamp.touch()


def grow(rng, path, budget, step):
    """Fills path with files and exactly `budget` directories below it, calling step after each."""
    for i in range(rng.choice((0, 1, 2, 2, 3, 4))):
        os.close(os.open(os.path.join(path, f"f{i}.c"), os.O_CREAT | os.O_WRONLY, 0o644))
    if budget == 0:
        return
    kids = min(budget, rng.randint(2, 6))
    shares = [1] * kids
    for _ in range(budget - kids):  # uneven shares make deep and shallow subtrees
        shares[min(int(rng.expovariate(1.0) * kids / 2), kids - 1)] += 1
    for k, share in enumerate(shares):
        child = os.path.join(path, WORDS[k % len(WORDS)] + (str(k) if k >= len(WORDS) else ""))
        os.mkdir(child)
        step()
        grow(rng, child, share - 1, step)


def make_trees():
    """Generates each tree not already there in this shape, and syncs it to disk."""
    for name, vendors in SHAPES.items():
        tree, stamp = os.path.join(TREES, name), pathlib.Path(TREES, name, STAMP)
        if stamp.is_file() and stamp.read_text() == TREE_VERSION:
            continue
        if os.path.lexists(tree):
            with phase(f"removing bench/trees/{name}/ to generate it anew"):
                shutil.rmtree(tree)
        with phase(f"generating bench/trees/{name}/", sum(vendors.values()), "dirs") as step:
            rng = random.Random(name)
            os.makedirs(os.path.join(tree, os.path.dirname(OUTPUT)))
            for vendor, count in vendors.items():
                os.makedirs(os.path.join(tree, "vendor", vendor))
                step()
                grow(rng, os.path.join(tree, "vendor", vendor), count - 1, step)
        with phase(f"syncing bench/trees/{name}/ to disk"):  # its writeback, paid now, spares the timing
            check(subprocess.run(["sync"]).returncode, "sync", TREES)  # unlike os.sync(), stops at Ctrl-C
        stamp.write_text(TREE_VERSION)


def time_rounds(runs, commands):
    """Runs each (name, argv, cwd) once, then in `runs` rounds; returns the rounds, each {name: seconds}."""
    rounds = []
    # refresh-vendor-name runs the vendor-name that PATH finds: this build's. The others name theirs.
    env = dict(os.environ, PATH=os.pathsep.join([os.path.dirname(TOOL), os.environ.get("PATH", os.defpath)]))
    with phase(f"timing {runs} rounds", (runs + 1) * len(commands), "runs") as step:
        # A round warms the page cache; of the rest, every other one is reversed (bench/README.md).
        for order in [commands] + [commands[::(-1) ** r] for r in range(runs)]:
            rounds.append({})
            for name, argv, cwd in order:
                os.sync()  # no command pays for the writeback of the one before
                start = time.perf_counter()
                code = subprocess.call(argv, cwd=cwd, env=env, stdout=subprocess.DEVNULL)
                rounds[-1][name] = time.perf_counter() - start
                check(code, name, cwd)
                step()
    return rounds[1:]


def report(rounds, peak):
    """Prints medians, ratios, peak and verdict; returns 0 when met, 1 when missed, 3 when unclear."""
    med = {name: statistics.median(r[name] for r in rounds) for name in rounds[0]}
    med["rewrite tree extra"] = med["vendor-name (rewrite)"] - med["vendor-name (pure)"]
    print(f"machine: {os.uname().machine}, {os.cpu_count()} cores, Linux {os.uname().release}; "
          f"medians of {len(rounds)} alternating rounds")
    for name, seconds in med.items():
        print(f"  {name:29} {seconds * 1000:8.1f} ms")
    # Taken within each round, a ratio cancels the machine's drift. q: each ratio's q1, median and q3
    # over the rounds (the peak, one figure, as it is); a target is judged by q1 and q3.
    ratios = {"walk": [r["vendor-name (pure)"] / r["bare walk (pure)"] for r in rounds],
              "find": [r["vendor-name (pure)"] / r["find (pure)"] for r in rounds],
              "rewrites": [(r["vendor-name (rewrite)"] - r["vendor-name (pure)"]) / r["bare rewrites"]
                           for r in rounds],
              "refresh": [r["refresh-vendor-name (rewrite)"] / r["vendor-name (rewrite)"] for r in rounds]}
    q = {name: statistics.quantiles(values, n=4) for name, values in ratios.items()} | {"memory": [peak] * 3}
    print("median of the ratios within each round (middle half of the rounds):")
    for name, label in (("walk", "walk:     vendor-name / bare walk"), ("find", "          vendor-name / find"),
                        ("rewrites", "rewrites: extra / bare rewrite loop"),
                        ("refresh", "refresh:  refresh-vendor-name / vendor-name")):
        target = f"target <= {TARGETS[name]:.2f}" if name in TARGETS else "not judged"
        print(f"{label:43} = {q[name][1]:.3f}  ({q[name][0]:.3f} to {q[name][2]:.3f})  {target}")
    print(f"{'memory:   peak resident':43} = {peak:.1f} MiB  target <= {TARGETS['memory']}")
    missed = [name for name, target in TARGETS.items() if q[name][0] > target]
    straddled = [name for name, target in TARGETS.items() if q[name][0] <= target < q[name][2]]
    print(f"targets NOT met: {', '.join(missed)}" if missed else
          f"the rounds straddle the {' and '.join(straddled)} target{'s' * (len(straddled) > 1)}, neither "
          f"met nor missed; rerun with more rounds (--runs {2 * len(rounds)}) or on a quieter machine"
          if straddled else "targets met")
    return 1 if missed else 3 if straddled else 0


def main():
    """Runs the benchmark: prerequisites, build, trees, timing and report; returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runs", type=int, default=15, help="rounds of timing (at least 5; default 15)")
    runs = max(5, parser.parse_args().runs)
    if signal.getsignal(signal.SIGINT) is signal.SIG_DFL:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        # "bench.py" becomes $0, the name that need_packages' messages start with.
        with phase("installing Debian packages", announce=False):  # need_packages says so if it does
            code = subprocess.run(["bash", "-c", '. "$1" && need_packages bench', "bench.py",
                                   os.path.join(REPO, "prerequisites.sh")]).returncode
        if code != 0:  # need_packages said what is missing
            raise KeyboardInterrupt if code == -signal.SIGINT else SystemExit(2)
        owner = os.stat(REPO).st_uid
        if os.geteuid() == 0 and owner != 0:  # what it made here would be root's
            name = next((p.pw_name for p in pwd.getpwall() if p.pw_uid == owner), f"uid {owner}")
            say(f"this checkout is not root's; run it as {name}: python3 {os.path.relpath(__file__)}")
            return 4
        build()
        make_trees()
        pure, rewrite = os.path.join(TREES, "pure"), os.path.join(TREES, "rewrite")
        rounds = time_rounds(runs, [
            ("bare walk (pure)", [BARE, "walk"], pure),
            ("vendor-name (pure)", [TOOL], pure),
            ("find (pure)", ["find", "vendor", "-type", "d"], pure),
            ("vendor-name (rewrite)", [TOOL], rewrite),
            ("refresh-vendor-name (rewrite)", ["/bin/sh", REFRESH], rewrite),
            ("bare rewrites", [BARE, "rewrites", str(REWRITES), OUTPUT, SURVIVOR], rewrite)])
        peaks = []  # the tool's, in MiB: forked from time, a small process, it counts nothing of Python's
        for cwd in (pure, rewrite):
            proc = subprocess.run(["/usr/bin/time", "-f", "%M", TOOL], cwd=cwd, stderr=subprocess.PIPE, text=True)
            sys.stderr.write(proc.stderr if proc.returncode != 0 else "")
            check(proc.returncode, "/usr/bin/time vendor-name", cwd)
            peaks.append(int(proc.stderr.split()[-1]) / 1024)  # %M is in KiB
        return report(rounds, max(peaks))
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C cannot cut the line short
        say("interrupted")
        return 130
    except OSError as error:
        say(f"{error.filename}: {error.strerror}" if error.filename else str(error))
        return 1


if __name__ == "__main__":
    sys.exit(main())
