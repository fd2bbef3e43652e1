#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
"""Benchmark of vendor-name against a bare walk, find and a bare rewrite loop.

Usage: python3 bench/bench.py [--runs N]. Builds in build-bench/, generates two
trees once in bench/trees/, times five commands in rounds and judges each ratio
by the middle half of its rounds (bench/README.md says how). Exit status: 0
targets met; 1 a target missed, or a failure (said in a line); 2 a Debian
package missing, or wrong arguments; 3 the rounds straddle a target; 4 root in
a checkout that is another user's; 130 interrupted.
"""

import signal

if signal.getsignal(signal.SIGINT) is signal.default_int_handler:  # not if started ignoring it
    signal.signal(signal.SIGINT, signal.SIG_DFL)  # until main(): the imports below make nothing

import argparse
import contextlib
import os
import pathlib
import platform
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
STAMP = ".complete"  # written last: a build or tree without it is half-made
TREE_VERSION = "1"  # bump when the shape below changes
OUTPUT = "device/samsung/quillmere-common/vendor_name"
EXCLUDED = ["qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora"]
SURVIVORS = ["tidewater", "quillco"]
PURE_DIRS = 100_000
REWRITES = 10_000
WORDS = ["src", "include", "lib", "res", "java", "android", "hardware", "interfaces",
         "proprietary", "firmware", "config", "etc", "bin", "prebuilt", "arm64", "tests"]
TARGETS = {"walk": 1.10, "rewrites": 1.30, "memory": 40}  # ratios, and the peak in MiB
TICK = 10  # seconds between plain progress lines


def say(line):
    """Writes one line on standard error."""
    print(f"bench.py: {line}", file=sys.stderr, flush=True)


def check(code, what, cwd):
    """Ends the run if a command failed: as interrupted if Ctrl-C killed it, else in one line."""
    if code == -signal.SIGINT:
        raise KeyboardInterrupt
    if code != 0:
        raise SystemExit(f"bench.py: {what} failed in {cwd} with status {code}")


@contextlib.contextmanager
def phase(desc, total=None, unit="", announce=True):
    """Shows the work in the block, which counts its steps by calling what this yields: tqdm's bar
    on a terminal if there are steps, else a line now (if announced) and one every TICK seconds."""
    try:
        from tqdm import tqdm  # Debian's: a python3 that cannot see it gets the lines
    except ImportError:
        tqdm = None
    if total and tqdm is not None and sys.stderr.isatty():
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
    """Builds the tool and the bare programs in build-bench/, letting cmake's output through."""
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


def make_trees(trees):
    """Generates the trees (name: {vendor: directories}) not already there in this shape; syncs."""
    stamps = {name: pathlib.Path(TREES, name, STAMP) for name in trees}
    todo = [name for name in trees if not stamps[name].is_file() or stamps[name].read_text() != TREE_VERSION]
    for name in todo:
        if os.path.lexists(os.path.join(TREES, name)):
            with phase(f"removing bench/trees/{name}/ to generate it anew"):
                shutil.rmtree(os.path.join(TREES, name))
    if not todo:
        return
    with phase("generating bench/trees/", sum(sum(trees[name].values()) for name in todo), "dirs") as step:
        for name in todo:
            rng = random.Random(name)
            os.makedirs(os.path.join(TREES, name, os.path.dirname(OUTPUT)))
            for vendor, count in trees[name].items():
                os.makedirs(os.path.join(TREES, name, "vendor", vendor))
                step()
                grow(rng, os.path.join(TREES, name, "vendor", vendor), count - 1, step)
            stamps[name].write_text(TREE_VERSION)
    with phase("syncing the trees to disk"):  # their writeback, paid now, spares the timing
        check(subprocess.run(["sync"]).returncode, "sync", TREES)  # unlike os.sync(), stops at Ctrl-C


def time_rounds(commands, runs):
    """Runs each command once, then in `runs` rounds; returns the rounds, each {name: wall seconds}."""
    order = list(commands.items())
    times = [{} for _ in range(runs + 1)]
    with phase(f"timing {runs} rounds", (runs + 1) * len(commands), "runs") as step:
        # The first round warms the page cache. Every other one is reversed, so that
        # no command always follows the same one (and its writeback or cache misses).
        for round_, ordered in enumerate([order] + [order[::(-1) ** r] for r in range(runs)]):
            for name, (argv, cwd) in ordered:
                os.sync()  # no command pays for the writeback of the one before
                start = time.perf_counter()
                with subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL) as proc:
                    code = proc.wait()
                times[round_][name] = time.perf_counter() - start
                check(code, os.path.basename(argv[0]), cwd)
                step()
    return times[1:]


def peak_mib(cwd):
    """Returns the tool's peak resident memory in cwd, in MiB, as GNU time reads it."""
    # Forked from time, a small process, the tool's peak counts nothing of Python's.
    proc = subprocess.run(["/usr/bin/time", "-f", "%M", TOOL], cwd=cwd, stderr=subprocess.PIPE, text=True)
    sys.stderr.write(proc.stderr if proc.returncode != 0 else "")
    check(proc.returncode, "/usr/bin/time vendor-name", cwd)
    return int(proc.stderr.split()[-1]) / 1024


def report(rounds, peak):
    """Prints medians, ratios, peak and verdict; returns 0 when met, 1 when missed, 3 when unclear."""
    med = {name: statistics.median(r[name] for r in rounds) for name in rounds[0]}
    med["rewrite tree extra"] = med["vendor-name (rewrite)"] - med["vendor-name (pure)"]
    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}; "
          f"medians of {len(rounds)} alternating rounds")
    for name, seconds in med.items():
        print(f"  {name:24} {seconds * 1000:8.1f} ms")
    # Taken within each round, whose commands ran back to back, a ratio
    # cancels the drift in the machine's speed.
    ratios = {"walk": [r["vendor-name (pure)"] / r["bare walk (pure)"] for r in rounds],
              "find": [r["vendor-name (pure)"] / r["find (pure)"] for r in rounds],
              "rewrites": [(r["vendor-name (rewrite)"] - r["vendor-name (pure)"]) / r["bare rewrites"]
                           for r in rounds]}
    q = {name: statistics.quantiles(values, n=4) for name, values in ratios.items()}  # q1, median, q3
    print("median of the ratios within each round (middle half of the rounds):")
    for name, label in (("walk", "walk:     vendor-name / bare walk"), ("find", "          vendor-name / find"),
                        ("rewrites", "rewrites: extra / bare rewrite loop")):
        target = f"target <= {TARGETS[name]:.2f}" if name in TARGETS else "not judged"
        print(f"{label:37} = {q[name][1]:.3f}  ({q[name][0]:.3f} to {q[name][2]:.3f})  {target}")
    print(f"{'memory:   peak resident':37} = {peak:.1f} MiB  target <= {TARGETS['memory']}")
    q["memory"] = [peak] * 3  # one figure, judged as it is
    missed = [name for name, target in TARGETS.items() if q[name][0] > target]
    straddled = [name for name, target in TARGETS.items() if q[name][0] <= target < q[name][2]]
    if missed or straddled:
        print(f"targets NOT met: {', '.join(missed)}" if missed else
              f"the rounds straddle the {' and '.join(straddled)} target, neither met nor missed; "
              f"rerun with more rounds (--runs {2 * len(rounds)}) or on a quieter machine")
        return 1 if missed else 3
    print("targets met")
    return 0


def run(runs):
    """The benchmark itself: prerequisites, build, trees, timing, report; returns the exit status."""
    # "bench.py" becomes $0, the name that need_packages' messages start with.
    with phase("installing Debian packages", announce=False):  # need_packages says so if it does
        code = subprocess.run(["bash", "-c", '. "$1" && need_packages bench', "bench.py",
                               os.path.join(REPO, "prerequisites.sh")]).returncode
    if code == -signal.SIGINT:
        raise KeyboardInterrupt
    if code != 0:
        return 2  # need_packages said what is missing
    owner = os.stat(REPO).st_uid
    if os.geteuid() == 0 and owner != 0:  # what it made here would be root's
        name = next((p.pw_name for p in pwd.getpwall() if p.pw_uid == owner), f"uid {owner}")
        say(f"this checkout is not root's; run it as {name}: python3 {os.path.relpath(__file__)}")
        return 4
    build()
    share = PURE_DIRS // len(EXCLUDED)
    excluded = {v: share + (PURE_DIRS % len(EXCLUDED) if i == 0 else 0) for i, v in enumerate(EXCLUDED)}
    make_trees({"pure": excluded, "rewrite": {**excluded, **{v: REWRITES // len(SURVIVORS) for v in SURVIVORS}}})
    pure, rewrite = os.path.join(TREES, "pure"), os.path.join(TREES, "rewrite")
    rounds = time_rounds({
        "bare walk (pure)": ([os.path.join(BUILD, "bare-walk")], pure),
        "vendor-name (pure)": ([TOOL], pure),
        "find (pure)": (["find", "vendor", "-type", "d"], pure),
        "vendor-name (rewrite)": ([TOOL], rewrite),
        "bare rewrites": ([os.path.join(BUILD, "bare-rewrites"), str(REWRITES), OUTPUT, SURVIVORS[-1]], rewrite),
    }, runs)
    return report(rounds, max(peak_mib(pure), peak_mib(rewrite)))


def main():
    """Runs the benchmark; returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="rounds of timing (at least 5; default 15)")
    runs = max(5, parser.parse_args().runs)
    if signal.getsignal(signal.SIGINT) is signal.SIG_DFL:
        signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        return run(runs)
    except KeyboardInterrupt:
        signal.signal(signal.SIGINT, signal.SIG_IGN)  # a second Ctrl-C cannot cut the line short
        say("interrupted")
        return 130
    except OSError as error:
        say(f"{error.filename}: {error.strerror}" if error.filename else str(error))
        return 1


if __name__ == "__main__":
    sys.exit(main())
