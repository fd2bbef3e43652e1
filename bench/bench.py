#!/usr/bin/python3
"""Benchmark vendor-name on trees shaped like real vendor trees.

Builds bench/CMakeLists.txt in build-bench/ (Release): the tool, a bare
standard-library walk, a bare rewrite loop and a peak-memory runner. Generates
two trees once, in a minute or so, and keeps them in bench/trees/ (about
820 MB and 630,000 inodes; delete it to get the space back):

  pure     100,000 directories and about 200,000 files under the seven
           excluded vendors: nothing survives, so this times the walk alone;
  rewrite  the same plus 10,000 directories under two surviving vendors:
           10,000 rewrites of the output file.

Then runs each command once to warm the page cache and again in alternating
rounds, and prints medians, the ratios within each round and the tool's peak
memory: the walk against the bare walk (and against `find vendor -type d`),
the rewrite tree's extra cost against the bare rewrite loop.

Exit status: 0 when the targets are met; 1 when one is not, or when something
failed (said in a line); 2 when a Debian package it needs is missing; 130
when interrupted.

Usage: python3 bench/bench.py [--runs N]
"""

import signal

# Until main() sets its own handler, Ctrl-C kills the run silently, as by
# default: the imports below take a tenth of a second and make nothing. A
# run started with SIGINT ignored (in the background of a script) keeps it so.
SIGINT_IGNORED = signal.getsignal(signal.SIGINT) == signal.SIG_IGN
if not SIGINT_IGNORED:
    signal.signal(signal.SIGINT, signal.SIG_DFL)

# Only the standard library here: tqdm may be missing until the
# prerequisites are checked, and is imported after that.
import argparse
import glob
import os
import platform
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
BARE_WALK = os.path.join(BUILD, "bare-walk")
BARE_REWRITES = os.path.join(BUILD, "bare-rewrites")
PEAK = os.path.join(BUILD, "peak-rss")
STAMP = ".complete"  # written last: a build or tree without it is half-made
OUTPUT = "device/samsung/quillmere-common/vendor_name"
TREE_VERSION = "1"  # bump when the shape below changes

EXCLUDED = ["qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora"]
SURVIVORS = ["tidewater", "quillco"]
PURE_DIRS = 100_000
REWRITES = 10_000
WORDS = ["src", "include", "lib", "res", "java", "android", "hardware", "interfaces",
         "proprietary", "firmware", "config", "etc", "bin", "prebuilt", "arm64", "tests"]

# The phase at hand. A ticker thread draws it, so that work that blocks the
# main thread (the build, a sync) shows too: a bar when tqdm is there and
# standard error is a terminal, else a line every PLAIN_EVERY seconds.
PROGRESS = {"label": None, "total": None, "unit": "", "done": 0, "start": 0.0, "said": 0.0,
            "bar": None, "tqdm": None}
# Reentrant: a Ctrl-C may stop the main thread while it holds the lock, and
# the same thread then takes it again to clean up.
PROGRESS_LOCK = threading.RLock()
PLAIN_EVERY = 5

# The trees that this run began to remove or generate and has not handed back
# yet: run as root in another user's checkout, it gives them back whole.
GENERATED = set()


def say(line):
    """Writes one line on standard error, in one write so that threads cannot interleave."""
    sys.stderr.write(f"bench.py: {line}\n")
    sys.stderr.flush()


def show():
    """Draws the phase at hand: refreshes its bar, or writes a line when one is due."""
    with PROGRESS_LOCK:
        p = PROGRESS
        now = time.monotonic()
        if p["label"] is None:
            return
        if p["bar"] is not None:
            p["bar"].n = p["done"]
            p["bar"].refresh()
        elif now - p["said"] >= PLAIN_EVERY:
            count = f"{p['done']:,} of {p['total']:,} {p['unit']}, " if p["total"] else ""
            say(f"{p['label']}: {count}{now - p['start']:.0f} s")
            p["said"] = now


def tick():
    """The ticker thread: redraws the phase twice a second."""
    while True:
        time.sleep(0.5)
        show()


def phase(label, total=None, unit="", quiet=False):
    """Ends the phase at hand and starts the next; unless quiet, shows it at once."""
    with PROGRESS_LOCK:
        end_phase()
        now = time.monotonic()
        PROGRESS.update(label=label, total=total, unit=unit, done=0, start=now, said=now)
        if PROGRESS["tqdm"] is not None:
            counted = "{desc}: {percentage:3.0f}%|{bar}| {n_fmt}/{total_fmt} {unit} [{elapsed}<{remaining}]"
            PROGRESS["bar"] = PROGRESS["tqdm"](desc=label, total=total, unit=unit, dynamic_ncols=True,
                                               file=sys.stderr,
                                               bar_format=counted if total else "{desc}: {elapsed}")
        elif not quiet:
            say(label)


def end_phase():
    """Ends the phase at hand, leaving its bar as it finished."""
    with PROGRESS_LOCK:
        if PROGRESS["bar"] is not None:
            PROGRESS["bar"].n = PROGRESS["done"]
            PROGRESS["bar"].close()
        PROGRESS.update(label=None, bar=None)


def advance(steps=1):
    """Counts steps done in the phase at hand."""
    PROGRESS["done"] += steps


def on_interrupt(signum=signal.SIGINT, frame=None):
    """Stops the run at the first Ctrl-C; any later one is ignored while it cleans up."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise KeyboardInterrupt


def fail(message):
    """Ends the run with one line and status 1."""
    end_phase()
    say(message)
    raise SystemExit(1)


def check_status(code, what, cwd):
    """Stops the run when a command failed, as interrupted when Ctrl-C killed it."""
    if code == -signal.SIGINT:
        on_interrupt()
    if code != 0:
        fail(f"{what} failed in {cwd} with status {code}")


def check_prerequisites():
    """Has prerequisites.sh install what the benchmark needs (as root) or name it; exits 2 if missing."""
    # Quiet unless it takes a while, which it does only when it installs.
    phase("installing Debian packages", quiet=True)
    # "bench.py" becomes $0, the name that need_packages' messages start with.
    code = subprocess.run(["bash", "-c", '. "$1" && need_packages bench', "bench.py",
                           os.path.join(REPO, "prerequisites.sh")]).returncode
    end_phase()
    if code == -signal.SIGINT:
        on_interrupt()
    if code != 0:
        raise SystemExit(2)


def load_tqdm():
    """Returns the tqdm class if standard error is a terminal and tqdm can be imported, else None."""
    if not sys.stderr.isatty():
        return None
    try:
        import tqdm
        tqdm.tqdm.monitor_interval = 0  # the ticker refreshes the bar; no thread of its own
        return tqdm.tqdm
    except Exception:  # a python3 that cannot see Debian's package, or a broken one
        return None


def build():
    """Builds the tool, the bare walk, the bare rewrite loop and the peak runner in build-bench/."""
    phase("building in build-bench/")
    stamp = os.path.join(BUILD, STAMP)
    if os.path.exists(stamp):
        os.remove(stamp)  # until this build succeeds, build-bench/ counts as half-made
    elif os.path.lexists(BUILD):
        shutil.rmtree(BUILD)  # a run stopped while configuring or building left it
    for argv in (["cmake", "-S", HERE, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release"],
                 ["cmake", "--build", BUILD, "--parallel", str(os.cpu_count())]):
        proc = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        if proc.returncode not in (0, -signal.SIGINT):
            end_phase()
            sys.stderr.buffer.write(proc.stdout)
        check_status(proc.returncode, " ".join(argv[:2]), BUILD)
    with open(stamp, "w"):
        pass


def grow(rng, path, budget):
    """Fills path with files and exactly `budget` directories below it."""
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
        advance()
        grow(rng, child, share - 1)


def is_complete(root):
    """Tells whether the tree at root was generated to the end, in this shape."""
    try:
        with open(os.path.join(root, STAMP)) as f:
            return f.read() == TREE_VERSION
    except OSError:
        return False


def make_trees(trees):
    """Generates the trees (name: {vendor: directory count}) that are missing or half-made."""
    todo = {name: vendors for name, vendors in trees.items()
            if not is_complete(os.path.join(TREES, name))}
    if not todo:
        return
    for name in todo:
        GENERATED.add(os.path.join(TREES, name))
        if os.path.lexists(os.path.join(TREES, name)):
            phase(f"removing bench/trees/{name}/ to generate it anew")
            shutil.rmtree(os.path.join(TREES, name))
    phase("generating bench/trees/", total=sum(sum(v.values()) for v in todo.values()), unit="dirs")
    for name, vendors in todo.items():
        root = os.path.join(TREES, name)
        rng = random.Random(name)
        os.makedirs(os.path.join(root, os.path.dirname(OUTPUT)))
        for vendor, count in vendors.items():
            os.makedirs(os.path.join(root, "vendor", vendor))
            advance()
            grow(rng, os.path.join(root, "vendor", vendor), count - 1)
        with open(os.path.join(root, STAMP), "w") as f:
            f.write(TREE_VERSION)
    if foreign_checkout():
        phase("handing the trees to the checkout's owner")
        hand_back(GENERATED, recursive=True)
        GENERATED.clear()
    # The trees' writeback takes many seconds; paid now, it spares the
    # timing. A thread does it, so that Ctrl-C need not wait for it.
    phase("syncing the trees to disk")
    syncing = threading.Thread(target=os.sync, daemon=True)
    syncing.start()
    while syncing.is_alive():
        syncing.join(0.5)


def timed(argv, cwd):
    """Runs argv in cwd after a sync; returns its wall seconds."""
    os.sync()  # no command pays for the writeback of the one before
    start = time.perf_counter()
    with subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL) as proc:
        code = proc.wait()
    elapsed = time.perf_counter() - start
    check_status(code, os.path.basename(argv[0]), cwd)
    return elapsed


def peak_kib(cwd):
    """Returns the tool's peak resident memory in cwd, in KiB, as the peak runner reads it."""
    proc = subprocess.run([PEAK, TOOL], cwd=cwd, stdout=subprocess.PIPE)
    check_status(proc.returncode, "peak-rss", cwd)
    advance()
    return int(proc.stdout)


def time_commands(commands, runs):
    """Runs each command once, then in `runs` rounds, every other one reversed; returns times by name."""
    phase(f"timing {runs} rounds", total=(runs + 1) * len(commands) + 2, unit="runs")
    for argv, cwd in commands.values():  # warms the page cache
        timed(argv, cwd)
        advance()
    times = {name: [] for name in commands}
    for round_ in range(runs):
        # Reversed every other round, so that no command always follows the
        # same one (and its writeback or cache misses).
        for name, (argv, cwd) in list(commands.items())[::1 if round_ % 2 == 0 else -1]:
            times[name].append(timed(argv, cwd))
            advance()
    return times


def spread(values):
    """The middle half of values, as text."""
    q1, _, q3 = statistics.quantiles(values, n=4)
    return f"{q1:.2f} to {q3:.2f}"


def report(times, peak, runs):
    """Prints medians, ratios and peak memory; returns 0 when the targets are met, else 1."""
    # Ratios are taken within each round, then their median: a round's
    # commands ran back to back, so drift in the machine's speed cancels.
    rounds = [dict(zip(times, r)) for r in zip(*times.values())]
    walk = [r["vendor-name (pure)"] / r["bare walk (pure)"] for r in rounds]
    find = [r["vendor-name (pure)"] / r["find (pure)"] for r in rounds]
    rewrites = [(r["vendor-name (rewrite)"] - r["vendor-name (pure)"]) / r["bare rewrites"] for r in rounds]
    med = {name: statistics.median(t) for name, t in times.items()}
    ratio = {"walk": statistics.median(walk), "rewrites": statistics.median(rewrites)}

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}; "
          f"medians of {runs} alternating rounds")
    for name, m in med.items():
        print(f"  {name:24} {m * 1000:8.1f} ms")
    extra = med["vendor-name (rewrite)"] - med["vendor-name (pure)"]
    print(f"  {'rewrite tree extra':24} {extra * 1000:8.1f} ms")
    print("median of the ratios within each round (middle half of the rounds):")
    print(f"walk:     vendor-name / bare walk     = {ratio['walk']:.2f}  ({spread(walk)})  target <= 1.10")
    print(f"          vendor-name / find          = {statistics.median(find):.2f}  ({spread(find)})  not judged")
    print(f"rewrites: extra / bare rewrite loop   = {ratio['rewrites']:.2f}  ({spread(rewrites)})  target <= 1.30")
    print(f"memory:   peak resident               = {peak / 1024:.1f} MiB  target <= 40")
    ok = ratio["walk"] <= 1.10 and ratio["rewrites"] <= 1.30 and peak <= 40 * 1024
    print("targets met" if ok else "targets NOT met")
    return 0 if ok else 1


def run(runs):
    """The benchmark itself: prerequisites, build, trees, timing, report."""
    check_prerequisites()
    PROGRESS["tqdm"] = load_tqdm()
    build()
    share = PURE_DIRS // len(EXCLUDED)
    excluded = {v: share + (PURE_DIRS % len(EXCLUDED) if i == 0 else 0) for i, v in enumerate(EXCLUDED)}
    trees = {"pure": excluded, "rewrite": {**excluded, **{v: REWRITES // len(SURVIVORS) for v in SURVIVORS}}}
    make_trees(trees)
    pure, rewrite = (os.path.join(TREES, name) for name in trees)
    commands = {
        "bare walk (pure)": ([BARE_WALK], pure),
        "vendor-name (pure)": ([TOOL], pure),
        "find (pure)": (["find", "vendor", "-type", "d"], pure),
        "vendor-name (rewrite)": ([TOOL], rewrite),
        "bare rewrites": ([BARE_REWRITES, str(REWRITES), OUTPUT, SURVIVORS[-1]], rewrite),
    }
    times = time_commands(commands, runs)
    peak = max(peak_kib(cwd) for cwd in (pure, rewrite))
    end_phase()
    return report(times, peak, runs)


def foreign_checkout():
    """Tells whether this is a root run in a checkout that belongs to another user."""
    owner = os.stat(REPO)
    return os.geteuid() == 0 and (owner.st_uid, owner.st_gid) != (os.geteuid(), os.getegid())


def hand_back(paths, recursive=False):
    """In a root run in another user's checkout, gives those of paths that exist to that user."""
    paths = [path for path in paths if os.path.lexists(path)]
    if paths and foreign_checkout():
        subprocess.run(["chown", *(["-R"] if recursive else []), f"--reference={REPO}", "--", *paths])


def main():
    """Runs the benchmark, then cleans up however it ended; returns the exit status."""
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="rounds of timing (at least 5; default 15)")
    runs = max(5, parser.parse_args().runs)
    if not SIGINT_IGNORED:
        signal.signal(signal.SIGINT, on_interrupt)
    threading.Thread(target=tick, daemon=True).start()
    try:
        try:
            return run(runs)
        finally:
            # From here on a Ctrl-C could only break the cleanup.
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            end_phase()
    except KeyboardInterrupt:
        say("interrupted")
        return 130
    except OSError as error:
        say(f"{error.filename}: {error.strerror}" if error.filename else str(error))
        return 1
    finally:
        hand_back([BUILD, *GENERATED], recursive=True)
        # Of a tree made before, the timed commands can have written only
        # the output file.
        hand_back([TREES, *glob.glob(os.path.join(TREES, "*")), *glob.glob(os.path.join(TREES, "*", OUTPUT))])


if __name__ == "__main__":
    sys.exit(main())
