#!/usr/bin/env bash
# Builds vendor-name and its tests and runs everything CI checks: static
# analysis, the suite built with clang++ under AddressSanitizer, UBSan and
# LeakSanitizer, and the suite in a g++ release build. Warnings are errors.
#
# The Debian packages it needs are listed in prerequisites.txt. Run as root,
# it installs the missing ones first; run by anyone else, it names them and
# stops. It builds in build-check-*/ so that no other build's settings
# (testing turned off, say) can weaken it.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

missing=()
for pkg in $(grep -Ev '^[[:space:]]*(#|$)' prerequisites.txt); do
    status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "check.sh: missing Debian packages: ${missing[*]}" >&2
        echo "check.sh: install them as root with: apt-get install ${missing[*]}" >&2
        exit 1
    fi
    echo "== installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# configure DIR COMPILER [cmake options...]
configure() {
    local dir=$1 compiler=$2
    shift 2
    cmake -S . -B "$dir" --log-level=WARNING -DCMAKE_CXX_COMPILER="$compiler" \
        -DBUILD_TESTING=ON -DVENDOR_NAME_WERROR=ON "$@"
    cmake --build "$dir" -j"$jobs"
}

# run_suite DIR: fails if the suite fails or runs no test at all.
run_suite() {
    ctest --test-dir "$1" --output-on-failure --no-tests=error -j"$jobs"
}

echo "== g++ release build"
configure build-check-release g++ -DCMAKE_BUILD_TYPE=Release

echo "== static analysis"
cppcheck --std=c++17 --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --quiet main.cpp
clang-tidy -p build-check-release --quiet main.cpp 2>/dev/null

echo "== clang++ build with sanitizers"
configure build-check-sanitize clang++ -DCMAKE_BUILD_TYPE=Debug -DVENDOR_NAME_SANITIZE=ON
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 run_suite build-check-sanitize

echo "== tests"
run_suite build-check-release
