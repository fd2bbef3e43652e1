#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# Builds the Debian package of vendor-name in build-deb/, with Debian's
# hardening flags, and prints its path. It needs no root: run as root, it
# first installs what the build needs (prerequisites.txt, "package"); run by
# anyone else who lacks it, it names the command that brings it and stops.
#
# The same source gives the same bytes, from any directory and under any
# umask: modes come from a fixed umask, and time stamps from
# SOURCE_DATE_EPOCH, which defaults to the release date in NEWS.md.
#
# Exit status: 0, with the package's path on standard output; 2 when the
# machine lacks what the build needs or the build fails, with all that the
# build printed; 130 when interrupted.
set -uo pipefail
cd "$(dirname "$0")" || exit 2
# CMake and make cannot build in such a path; any other gives the same bytes.
if [[ $PWD$(pwd -P) =~ [[:cntrl:]\"#:\;\\] ]]; then
    echo "package.sh: cannot build in '$(printf %s "$PWD" | tr '[:cntrl:]' '?')': CMake and make take no path" \
        "holding a control character or any of \" # : ; \\" >&2
    exit 2
fi
. ./prerequisites.sh
need_packages package || exit 2
dir=build-deb
# However the run ends, a run as root hands the build back to the owner of
# the checkout; an interrupted one leaves no package that may be half made.
finish() {
    [ "$(id -u)" -ne 0 ] || chown -R --reference=. "$dir" 2>/dev/null || true
}
trap finish EXIT
trap 'trap "" INT TERM; rm -f "$dir"/vendor-name_*.deb; echo "package.sh: interrupted" >&2; exit 130' INT
# Configured afresh every time, so that nothing an earlier build chose (a
# compiler, say) reaches the package.
rm -rf "$dir"
umask 022
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    released=$(sed -n '1s/^# vendor-name [^ ]* (\(.*\))$/\1/p' NEWS.md)
    if [ -z "$released" ] || ! SOURCE_DATE_EPOCH=$(date -u -d "$released" +%s 2>/dev/null); then
        echo "package.sh: NEWS.md's first line gives no release date" >&2
        exit 2
    fi
    export SOURCE_DATE_EPOCH
fi
# PIE, full RELRO with BIND_NOW, the stack protector and fortify; the build
# type None adds nothing to them. Paths are mapped, so the directory of the
# checkout leaves no trace in the binary.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all reproducible=+all"
mkdir -p "$dir" || exit 2
flags=()
for name in CPPFLAGS CXXFLAGS LDFLAGS; do
    if ! flags+=("$(dpkg-buildflags --get "$name" 2>"$dir/buildflags.log")"); then
        echo "package.sh: dpkg-buildflags --get $name failed: $(tail -n 1 "$dir/buildflags.log")" >&2
        exit 2
    fi
    cat "$dir/buildflags.log" >&2
done
if ! out=$({ cmake -S . -B "$dir" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DVENDOR_NAME_PACKAGE=ON \
    -DCMAKE_CXX_FLAGS="${flags[0]} ${flags[1]}" -DCMAKE_EXE_LINKER_FLAGS="${flags[2]}" &&
    cmake --build "$dir" --parallel && (cd "$dir" && cpack); } 2>&1); then
    printf '%s\n' "$out" >&2
    exit 2
fi
ls "$PWD/$dir"/vendor-name_*.deb
