#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# Builds vendor-name and its tests and runs everything CI checks, in this
# order: a g++ release build, static analysis (the shell scripts too), the
# suite built with clang++ under AddressSanitizer, UBSan and LeakSanitizer,
# the suite in the release build, and that suite again against the tool
# built with clang++ and libc++. Warnings are errors.
#
# The Debian packages it needs are listed in prerequisites.txt. Run as root,
# it installs the missing ones first; run by anyone else, it names them and
# stops. It builds in build-check-*/ so that no other build's settings
# (testing turned off, say) can weaken it.
#
# Each stage prints a line as it starts and its summary when it passes; a
# stage that fails prints all that it printed.
#
# Exit status: 0 when every stage passes; 1 when one fails or runs no case;
# 2 when the machine is not ready for it (missing packages, a build
# directory of another user's, a TMPDIR the suite cannot use), which it says
# in a line before building anything; 130 when interrupted.
set -euo pipefail
# A relative TMPDIR is taken from where check.sh was started.
tmp=${TMPDIR:-/tmp}
[[ $tmp == /* ]] || tmp=$PWD/$tmp
export TMPDIR=$tmp
cd "$(dirname "$0")"
jobs=$(nproc)

# Every stage runs the whole suite, whatever filter, shard or repeat count
# the environment holds for GoogleTest or CTest.
stray=$(compgen -e | grep -E '^(GTEST_|CTEST_|TESTBRIDGE_TEST_ONLY$)' || true)
if [ -n "$stray" ]; then
    echo "check.sh: setting aside" "${stray//$'\n'/ }; every stage runs the whole suite" >&2
    # shellcheck disable=SC2086 # one name a line, split into words
    unset $stray
fi

# However the run ends, its scratch directory goes, and a run as root hands
# the builds back to the owner of the checkout.
work=
finish() {
    rm -rf "$work"
    [ "$(id -u)" -ne 0 ] || chown -R --reference=. build-check-* 2>/dev/null || true
}
trap finish EXIT
# An interrupt ends the run in one line, not with the stage's failure; the
# line goes to the standard error kept in fd 3, not to a stage's log. A
# second one (sudo passes on the one the terminal sent too) must not cut
# short the handing back.
exec 3>&2
trap 'trap "" INT TERM; echo "check.sh: interrupted" >&3; exit 130' INT
trap 'trap "" INT TERM; echo "check.sh: terminated" >&3; exit 143' TERM

# Run as root, the suite has user 65534 run the tool from TMPDIR. That, and
# making a directory there, are tried now rather than after the builds.
if ! work=$(mktemp -d 2>&1); then
    echo "check.sh: cannot make a directory in $tmp: ${work##*: }; set TMPDIR to a directory that will do" >&2
    work=
    exit 2
fi
log=$work/log
if [ "$(id -u)" -eq 0 ]; then
    chmod 711 "$work" && cp /bin/true "$work/" && chmod 755 "$work/true"
    if ! err=$(setpriv --reuid=65534 --regid=65534 --clear-groups env "$work/true" 2>&1); then
        echo "check.sh: user 65534 cannot run programs from $tmp: ${err##*: }; set TMPDIR to a directory that will do" >&2
        exit 2
    fi
fi

# stage SUMMARY COMMAND...: runs COMMAND with its output kept aside. If it
# passes, prints the lines that match the pattern SUMMARY; if not, all of it.
stage() {
    local summary=$1
    shift
    if "$@" >"$log" 2>&1; then
        grep -E "$summary" "$log" || true
    else
        cat "$log"
        exit 1
    fi
}

. ./prerequisites.sh
need_packages check || exit 2

# A build directory left by another user (root, say) cannot be written to,
# except by root, which hands it back at the end.
foreign=()
for dir in build-check-*; do
    [ ! -e "$dir" ] || [ -O "$dir" ] || [ "$(id -u)" -eq 0 ] || foreign+=("$dir (owned by $(stat -c %U "$dir"))")
done
if [ ${#foreign[@]} -gt 0 ]; then
    echo "check.sh: build directories of another user: ${foreign[*]}; remove them as that user" >&2
    exit 2
fi

# configure DIR COMPILER [cmake options...]: configures and builds DIR.
configure() {
    local dir=$1 compiler=$2
    shift 2
    cmake -S . -B "$dir" --log-level=WARNING -DCMAKE_CXX_COMPILER="$compiler" \
        -DBUILD_TESTING=ON -DVENDOR_NAME_WERROR=ON "$@" &&
        cmake --build "$dir" -j"$jobs"
}
built='Built target'

# suite DIR: runs DIR's suite; fails if it fails or runs no case at all. If
# it passes, GoogleTest's count of the cases comes before CTest's output.
suite() {
    local status=0
    (cd "$1" && ctest --output-on-failure --no-tests=error) >"$log.ctest" 2>&1 || status=$?
    [ "$status" -ne 0 ] || grep '^\[  PASSED  \] [1-9]' "$1/Testing/Temporary/LastTest.log" ||
        { status=1 && echo "check.sh: the suite ran no case"; }
    cat "$log.ctest"
    return "$status"
}
run_suite() {
    stage '^\[  PASSED  \]|tests passed' suite "$1"
}

echo "== g++ release build"
stage "$built vendor_name_test" configure build-check-release g++ -DCMAKE_BUILD_TYPE=Release

echo "== static analysis: cppcheck, clang-tidy, shellcheck"
analyse() {
    cppcheck --std=c++17 --enable=warning,performance,portability --error-exitcode=1 --inline-suppr \
        --quiet --suppress=normalCheckLevelMaxBranches main.cpp &&
        clang-tidy -p build-check-release --quiet main.cpp 2>/dev/null &&
        shellcheck -x ./*.sh .ci/* tests/*.sh refresh-vendor-name.in && echo "no findings"
}
stage 'no findings' analyse

echo "== clang++ build with sanitizers"
stage "$built vendor_name_test" configure build-check-sanitize clang++ -DCMAKE_BUILD_TYPE=Debug \
    -DVENDOR_NAME_SANITIZE=ON

echo "== tests, sanitized build"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-check-sanitize

echo "== clang++ build with libc++ (the tool alone)"
stage "$built vendor-name" configure build-check-libcxx clang++ -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DBUILD_TESTING=OFF

echo "== tests, release build"
run_suite build-check-release

# libc++ writes through a buffered FILE, out of the fault library's reach, so
# its write cannot be made to fail once; and its runtime throws from a reserve
# of its own, so a throw cannot be denied memory. This run also hands the
# suite TMPDIR as a path relative to where CTest runs it, as a user may.
echo "== tests, release build run against the libc++ tool"
TMPDIR=$(realpath --relative-to=build-check-release/tests "$TMPDIR") \
    VENDOR_NAME_TOOL="$PWD/build-check-libcxx/vendor-name" GTEST_FILTER='-*output_write_fails*:*out_of_memory_throwing*' \
    run_suite build-check-release
