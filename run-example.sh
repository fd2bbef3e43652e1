#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# Builds vendor-name in build/, runs it on a copy of the sample tree in
# example/ and prints the name it chose. Run as root on Debian, it first
# installs what the build needs (cmake, make, g++), and what ./package.sh
# needs besides, so that the package can follow without root; run by anyone
# else who lacks what the build needs, it names what to install for both,
# so that one line serves, and stops.
#
# Exit status: the tool's (0, or 1 with its message); 2 when the machine
# lacks what the build needs or the build fails; 130 when interrupted.
set -uo pipefail
cd "$(dirname "$0")" || exit 2
. ./prerequisites.sh
if ! command -v dpkg-query >/dev/null; then
    need_packages build
elif [ "$(id -u)" -eq 0 ] || ! need_packages build 2>/dev/null; then
    need_packages build package
fi || exit 2
# However the run ends, the copy goes, and a run as root hands the build
# back to the owner of the checkout.
tree=
finish() {
    rm -rf "$tree"
    [ "$(id -u)" -ne 0 ] || chown -R --reference=. build 2>/dev/null || true
}
trap finish EXIT
trap 'trap "" INT TERM; echo "run-example.sh: interrupted" >&2; exit 130' INT
if ! out=$({ cmake -S . -B build -DBUILD_TESTING=OFF && cmake --build build --parallel; } 2>&1); then
    printf '%s\n' "$out" >&2
    exit 2
fi
tree=$(mktemp -d) || exit 2
cp -R example/. "$tree" || exit 2
(cd "$tree" && "$OLDPWD/build/vendor-name") || exit
cat "$tree/device/samsung/quillmere-common/vendor_name" && echo
