#!/usr/bin/python3
"""Benchmark vendor-name on trees shaped like real vendor trees.

Builds the tool (Release), generates two trees once, in about two minutes,
and keeps them in bench/trees/ (about 820 MB and 630,000 inodes; delete it
to regenerate or to get the space back):

  pure     100,000 directories and about 200,000 files under the seven
           excluded vendors: nothing survives, so this times the walk alone;
  rewrite  the same plus 10,000 directories under two surviving vendors:
           10,000 rewrites of the output file.

Then runs, alternating and repeating each command, vendor-name against
`find vendor -type d` on the pure tree, and the tool's extra cost on the
rewrite tree against a bare loop of 10,000 open-truncate/write/close calls,
and prints medians, ratios and the tool's peak memory.

Usage: python3 bench/bench.py [--runs N]
"""

import argparse
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
TREES = os.path.join(HERE, "trees")
BUILD = os.path.join(REPO, "build-bench")
TOOL = os.path.join(BUILD, "vendor-name")
BARE = os.path.join(BUILD, "bare-rewrites")
PEAK = os.path.join(BUILD, "peak-rss")
OUTPUT = "device/samsung/quillmere-common/vendor_name"
TREE_VERSION = "1"  # bump when the shape below changes

EXCLUDED = ["qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora"]
SURVIVORS = ["tidewater", "quillco"]
PURE_DIRS = 100_000
REWRITES = 10_000
WORDS = ["src", "include", "lib", "res", "java", "android", "hardware", "interfaces",
         "proprietary", "firmware", "config", "etc", "bin", "prebuilt", "arm64", "tests"]

BARE_SOURCE = r"""
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
/* n times what the tool does per rewrite: open with truncation, write, close. */
int main(int argc, char **argv)
{
    if (argc != 4)
        return 2;
    const int n = atoi(argv[1]);
    const size_t len = strlen(argv[3]);
    for (int i = 0; i < n; i++) {
        const int fd = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0666);
        if (fd < 0 || write(fd, argv[3], len) != (ssize_t)len || close(fd) != 0)
            return 1;
    }
    return 0;
}
"""


# A child forked from Python starts with Python's memory counted in its peak,
# so the tool's peak is read through this small runner instead.
PEAK_SOURCE = r"""
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
/* Runs argv[1] with its arguments and prints its peak resident memory in KiB. */
int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    const pid_t pid = fork();
    if (pid == 0) {
        execv(argv[1], argv + 1);
        _exit(127);
    }
    int status;
    struct rusage usage;
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return 1;
    printf("%ld\n", usage.ru_maxrss);
    return 0;
}
"""


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
        grow(rng, child, share - 1)


def make_tree(name, vendors):
    """Generates a tree once; vendors maps each first-level name to its directory count."""
    root = os.path.join(TREES, name)
    stamp = os.path.join(root, ".complete")
    if os.path.exists(stamp) and open(stamp).read() == TREE_VERSION:
        return root
    shutil.rmtree(root, ignore_errors=True)
    print(f"generating {name} tree (once)...", file=sys.stderr)
    rng = random.Random(name)
    os.makedirs(os.path.join(root, os.path.dirname(OUTPUT)))
    for vendor, count in vendors.items():
        os.makedirs(os.path.join(root, "vendor", vendor))
        grow(rng, os.path.join(root, "vendor", vendor), count - 1)
    with open(stamp, "w") as f:
        f.write(TREE_VERSION)
    return root


def build():
    subprocess.run(["cmake", "-S", REPO, "-B", BUILD, "-DCMAKE_BUILD_TYPE=Release",
                    "-DBUILD_TESTING=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count())], check=True,
                   stdout=subprocess.DEVNULL)
    for source, binary in ((BARE_SOURCE, BARE), (PEAK_SOURCE, PEAK)):
        subprocess.run(["cc", "-O2", "-x", "c", "-", "-o", binary], input=source.encode(), check=True)


def timed(argv, cwd):
    """Runs argv in cwd; returns wall seconds."""
    os.sync()  # no command pays for the writeback of the one before
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status = os.waitpid(proc.pid, 0)
    elapsed = time.perf_counter() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        sys.exit(f"bench: {argv[0]} failed in {cwd} with status {code}")
    return elapsed


def spread(values):
    q1, _, q3 = statistics.quantiles(values, n=4)
    return f"{q1:.2f} to {q3:.2f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="repetitions of each command (at least 5)")
    runs = max(5, parser.parse_args().runs)

    build()
    share = PURE_DIRS // len(EXCLUDED)
    excluded = {v: share + (PURE_DIRS % len(EXCLUDED) if i == 0 else 0) for i, v in enumerate(EXCLUDED)}
    pure = make_tree("pure", excluded)
    rewrite = make_tree("rewrite", {**excluded, **{v: REWRITES // len(SURVIVORS) for v in SURVIVORS}})

    commands = {
        "find (pure)": (["find", "vendor", "-type", "d"], pure),
        "vendor-name (pure)": ([TOOL], pure),
        "vendor-name (rewrite)": ([TOOL], rewrite),
        "bare rewrites": ([BARE, str(REWRITES), OUTPUT, SURVIVORS[-1]], rewrite),
    }
    times = {name: [] for name in commands}
    for argv, cwd in commands.values():  # warm the page cache
        timed(argv, cwd)
    for round_ in range(runs):
        # Every other round runs the commands in reverse, so that none is
        # always the one that follows another's burst of writes.
        for name, (argv, cwd) in list(commands.items())[::1 if round_ % 2 == 0 else -1]:
            times[name].append(timed(argv, cwd))

    peak = max(int(subprocess.run([PEAK, TOOL], cwd=cwd, check=True, capture_output=True).stdout)
               for cwd in (pure, rewrite))
    # Ratios are taken within each round, then their median: a round's
    # commands ran back to back, so drift in the machine's speed cancels.
    med = {name: statistics.median(t) for name, t in times.items()}
    rounds = list(zip(*times.values()))
    walk_ratios = [tool / find for find, tool, _, _ in rounds]
    rewrite_ratios = [(rw - tool) / bare for _, tool, rw, bare in rounds]
    walk_ratio = statistics.median(walk_ratios)
    rewrite_ratio = statistics.median(rewrite_ratios)
    extra = med["vendor-name (rewrite)"] - med["vendor-name (pure)"]

    print(f"machine: {platform.machine()}, {os.cpu_count()} cores, Linux {platform.release()}; "
          f"medians of {runs} alternating runs")
    for name, m in med.items():
        print(f"  {name:24} {m * 1000:8.1f} ms")
    print(f"  {'rewrite tree extra':24} {extra * 1000:8.1f} ms")
    print("median of the ratios within each round (middle half of the rounds):")
    print(f"walk:     vendor-name / find          = {walk_ratio:.2f}  ({spread(walk_ratios)})  target <= 0.90")
    print(f"rewrites: extra / bare rewrite loop   = {rewrite_ratio:.2f}  ({spread(rewrite_ratios)})  target <= 1.30")
    print(f"memory:   peak resident               = {peak / 1024:.1f} MiB  target <= 40")
    ok = walk_ratio <= 0.9 and rewrite_ratio <= 1.30 and peak <= 40 * 1024
    print("targets met" if ok else "targets NOT met")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
