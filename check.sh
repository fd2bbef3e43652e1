#!/usr/bin/env bash
# Builds vendor-name and its tests and runs everything CI checks: static
# analysis, the suite built with clang++ under AddressSanitizer, UBSan and
# LeakSanitizer, and the suite in a plain g++ release build.
set -euo pipefail
cd "$(dirname "$0")"
jobs=$(nproc)

echo "== g++ release build"
CXX=g++ cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
cmake --build build -j"$jobs"

echo "== static analysis"
cppcheck --std=c++17 --enable=warning,performance,portability --error-exitcode=1 --inline-suppr --quiet main.cpp
clang-tidy -p build --quiet main.cpp 2>/dev/null

echo "== clang++ build with sanitizers"
CXX=clang++ cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVENDOR_NAME_SANITIZE=ON
cmake --build build-sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir build-sanitize --output-on-failure -j"$jobs"

echo "== tests"
ctest --test-dir build --output-on-failure -j"$jobs"
