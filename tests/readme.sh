#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# tests/readme.sh DIR: the README's lines for a tree, as printed, with the commands built in DIR
# (or VENDOR_NAME_TOOL's tool): its calls of refresh-vendor-name in set-up scripts, and its make
# lines in GNU make and in ckati run as Android's build runs it.
# shellcheck disable=SC2015 # "A && B || fail": fail when any step fails
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd) build=$(cd "$1" && pwd)
work=$(cd "$(mktemp -d)" && pwd)
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT && trap 'exit 143' TERM
mkdir "$work/bin" && ln -s "$build/refresh-vendor-name" "$work/bin/"
ln -s "${VENDOR_NAME_TOOL:-$build/vendor-name}" "$work/bin/vendor-name"
export PATH=$work/bin:$PATH TMPDIR=$work
t=$work/tree f=device/samsung/quillmere-common/vendor_name me=refresh-vendor-name
mkdir -p "$t/vendor/tidewater" "$t/vendor/lineage" "$t/${f%/*}"
fail() { printf '%s: %s\n' "${0##*/}" "$1" >&2 && exit 1; }

# The README's calls, pasted into a sourced bash script and into an executed bash or dash
# script, each stop the script and its caller with status 1 when the tree holds two vendors.
calls=$("$repo/.ci/snippet" "name=\$($me)")
printf '%s\necho went on\n' "$(grep -F '|| return' <<<"$calls")" >"$work/sourced"
printf '%s\necho went on\n' "$(grep -F '|| exit' <<<"$calls")" >"$work/executed"
stops() {
    out=$( (cd "$t" && "$@" 2>/dev/null) || echo "status $?")
    [ "$out" = "status 1" ] || fail "$*: $out"
}
# shellcheck disable=SC2016 # the caller's
stops bash -c '. "$1" || exit; echo went on' bash "$work/sourced"
stops bash "$work/executed" && stops dash "$work/executed"

# The README's make lines, as printed: the name at parse time and in recipes, whatever the
# environment or the command line says, and not exported; no name stops every run.
awk '/^```make$/ { make = 1; next } /^```$/ { make = 0 } make' "$repo/README.md" >"$work/Makefile"
# shellcheck disable=SC2016 # make's and the recipe's
printf 'got := $(VENDOR_NAME)\nout/name:\n\tprintf %%s "%s" >$@\n' \
    '$(got)|$(VENDOR_NAME)|$${VENDOR_NAME-no}' >>"$work/Makefile" && mkdir "$t/out"
gnu() { (cd "$t" && VENDOR_NAME=stale make -Bsf "$work/Makefile" "$@" 2>&1 && cat out/name); }
# ckati with the flags Android's build passes it, but for any that this ckati does not know
# (Debian 11's lacks --use_ninja_phony_output), which the closing line names.
android=() unknown=
for flag in --ninja --ninja_dir=out --regen --ignore_optional_include=out/%.P --detect_android_echo \
    --color_warnings --gen_all_targets --use_find_emulator --werror_find_emulator --no_builtin_rules \
    --werror_suffix_rules --werror_real_to_phony --top_level_phony --werror_phony_looks_real \
    --werror_writable --writable=out/ --werror_implicit_rules --werror_overriding_commands \
    --no_ninja_prelude --use_ninja_phony_output; do
    if [[ $(cd "$work" && ckati "$flag" -f /dev/null 2>&1) == "Unknown flag: "* ]]; then
        unknown+=" $flag"
    else
        android+=("$flag")
    fi
done
kati() { (cd "$t" && VENDOR_NAME=stale ckati "${android[@]}" -f "$work/Makefile" 2>&1); }
msg="$f is missing or empty"
printf ' line \n age ' >"$t/$f" # a line end arrives as a space; spaces are kept
for arg in -e VENDOR_NAME=stale; do
    out=$(gnu "$arg") && [ "$out" = ' line   age | line   age |no' ] || fail "make $arg gave: $out"
done
: >"$t/$f" && ! out=$(gnu) && [[ $out == *"$msg"* && $out != *$'\n'* ]] || fail "make, empty: $out"
rm "$t/$f" && ! out=$(gnu) && [[ $out == *"$msg"* && $out != *$'\n'* ]] || fail "make, absent: $out"
for name in tidewater lineage; do # the first run, then --regen after the name changed
    printf %s $name >"$t/$f" && out=$(kati) && grep -qF "\"$name|$name|" "$t/out/build.ninja" ||
        fail "ckati, name $name: $out $(grep -F printf "$t/out/build.ninja" 2>&1)"
done
: >"$t/$f" && ! out=$(kati) && [[ $out == *"$msg"* ]] || fail "ckati --regen, empty file: $out"
printf x >"$t/$f" && kati >/dev/null && rm "$t/$f" && ! out=$(kati) && [[ $out == *"$msg"* ]] ||
    fail "ckati --regen, no file: $out"
echo "README: its calls stop bash and dash scripts; its make lines hold in GNU make and" \
    "ckati${unknown:+ (this ckati lacks$unknown)}"
