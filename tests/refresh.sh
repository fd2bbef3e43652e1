#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# tests/refresh.sh DIR: runs the refresh-vendor-name built in DIR, with the vendor-name there (or
# VENDOR_NAME_TOOL's), under dash, bash and busybox sh, against a table of trees and conditions;
# then the README's calls in set-up scripts, and its make lines in GNU make and ckati, as printed.
# Run through a link named vendor-name, it stands in for the tool and logs what vendor/ holds.
# shellcheck disable=SC2015,SC2016 # "A && B || fail": fail when any step fails; $ for an inner sh
if [ "${0##*/}" = vendor-name ]; then ls -A vendor >>"$RUNS" && exec "$TOOL"; fi
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd) rvn=$(cd "$1" && pwd)/refresh-vendor-name
work=$(cd "$(mktemp -d)" && pwd)
# However it ends, what it started (a job has a group of its own), its mount and its directory go.
trap '[ -z "${job:-}" ] || kill -KILL -- "-$job" 2>/dev/null; [ -z "${ro:-}" ] || umount "$ro"
    chmod -R u+w "$work" && rm -rf "$work"' EXIT
trap 'exit 130' INT && trap 'exit 143' TERM
# The tool; stand-ins that log, fail in silence, or wait on a FIFO until stopped; busybox's sh
# and applets. All are links, so that a noexec TMPDIR does not matter.
mkdir "$work"/{bin,log,no,cat,bb,"t mp"} && mkfifo "$work/fifo" && ulimit -c 0
export TOOL=${VENDOR_NAME_TOOL:-$(cd "$1" && pwd)/vendor-name} RUNS=$work/runs TMPDIR="$work/t mp"
ln -s "$TOOL" "$work/bin/vendor-name" && ln -s "$repo/tests/refresh.sh" "$work/log/vendor-name"
ln -s "$(type -P false)" "$work/no/vendor-name" && ln -s "$(type -P cat)" "$work/cat/vendor-name"
ln -s "$(type -P busybox)" "$work/bb/sh"
for a in awk cat cmp ln ls mkdir mktemp mv od rm sort; do ln -s sh "$work/bb/$a"; done
PATH=$work/bin:$PATH t="$work/a tree" d=device/samsung/quillmere-common f=$d/vendor_name
me=refresh-vendor-name many="refresh-vendor-name: more than one vendor in vendor/:"
top="$me: no vendor/ or $d/ here: run it from the top of a source tree"
fail() { printf '%s: %s, %s\n' "${0##*/}" "${shell##*/}" "$1" >&2 && exit 1; }

# tree NAME...: a fresh tree with a stale output file, and vendor/ holding a file, a dangling
# link and a directory for each NAME.
tree() {
    rm -rf "$t" && mkdir -p "$t/$d" "$t/vendor" "$t/elsewhere" && printf 'a stale name' >"$t/$f"
    : >"$t/vendor/notes" && ln -s missing "$t/vendor/dangling"
    for n; do mkdir -p "$t/vendor/$n"; done
}
refresh() { (cd "$t" && env PATH="$apps$PATH" "$@" "$shell" "$rvn"); } # [VAR=VALUE...]
with() { (cd "$t" && PATH="$apps$PATH" "$shell" "$rvn" "$@"); }        # ARG...
# check NAME ERR [VAR=VALUE...]: prints NAME and a newline and the file holds NAME (NAME empty:
# nothing printed, status 1, no file); standard error is ERR (* for any text); nothing is left.
# shellcheck disable=SC2053 # ERR is a pattern
check() {
    local want=$1 err=${2//\\/\\\\} status=0
    shift 2
    refresh "$@" >"$work/out" 2>"$work/err" || status=$?
    if [ -n "$want" ]; then
        [ $status = 0 ] && printf '%s\n' "$want" | cmp -s - "$work/out" &&
            printf %s "$want" | cmp -s - "$t/$f"
    else
        [ ! -s "$work/out" ] && [ ! -f "$t/$f" ] && [ $status = 1 ]
    fi && [[ $(<"$work/err") == ${err//\?/\\?} ]] && [ -z "$(ls -A "$TMPDIR")" ] &&
        [ -z "$(find "$t/$d" -mindepth 1 ! -name vendor_name 2>/dev/null)" ] ||
        fail "$* gave $status: $(cat "$work/out" "$work/err"; ls -A "$t/vendor" "$t/$d" 2>&1)"
}
version=$(sed -n 's/^project(vendor-name VERSION \([0-9.]*\) .*/\1/p' "$repo/CMakeLists.txt")
usage="usage: $me [--help | --version]" x=-x-x-x-x-x-x-x-x-x-x-x-x-x-x-x-x # $x: 2 equal od lines

for shell in "$(type -P dash)" "$(type -P bash)" "$work/bb/sh"; do
    apps='' isdir='Is a directory' # busybox's own commands, and their word for it, with its sh
    [ "$shell" != "$work/bb/sh" ] || apps=$work/bb: isdir="'$f' is a directory"
    # One vendor among the excluded ones, a file and a dangling link, in a vendor/ that is a link.
    tree tidewater/config qcom/x nxp samsung gapps google gms codeaurora &&
        mv "$t/vendor" "$t/v" && ln -s v "$t/vendor" && check tidewater ''
    tree Google qcom-extra .hidden ..hidden "x' 'y" $'a b\t~%s' $'a\033\xffb' $'\n-c\x7f' '\t' &&
        ln -s ../elsewhere "$t/vendor/lineage" && check '' "$many '\\n-c\\x7f' '..hidden' '.hidden'\
 'Google' '\\\\t' 'a\\x1b\\xffb' 'a b\\t~%s' 'lineage' 'qcom-extra' 'x\\' \\'y'" \
        LC_ALL= LANG=C.UTF-8
    tree qcom/opensource gms && check '' "$me: no vendor in vendor/ that is not excluded"
    tree $'-x y\\t\n\xc3\xbc\n' && check $'-x y\\t\n\xc3\xbc\n' ''
    # Each first-level entry is asked about once, alone: what lies below is never met.
    tree tidewater/loop qcom/private v1 && ln -s loop "$t/vendor/tidewater/loop/x" && : >"$RUNS" &&
        chmod 0 "$t/vendor/qcom/private" && check '' "$many 'tidewater' 'v1'" PATH="$work/log:$PATH"
    [ "$(sort "$RUNS")" = "$(find "$t/vendor" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort)" ] ||
        fail "asked $(<"$RUNS")"
    tree tidewater && ln -s loop "$t/vendor/loop" &&
        check '' "vendor-name: cannot stat 'vendor/loop': Too many levels of symbolic links"
    for gone in vendor device; do
        tree tidewater && rm -r "${t:?}/$gone" && : >"$t/$gone" && check '' "$top"
    done
    tree tidewater &&
        check '' "$me: cannot make a directory in '/\\n': No such file or directory" TMPDIR=$'/\n'
    tree tidewater && rm "$t/$f" && mkdir "$t/$f" && check '' \
        "$me: cannot replace '$f': Is a directory; cannot remove '$f' either: $isdir"
    tree tidewater && check '' "$me: cannot find vendor-name on PATH" PATH=/nowhere
    tree tidewater && check '' "$me: vendor-name failed with status 1" PATH="$work/no:$PATH"
    tree tidewater && mkdir "$t/bin" && ln -s "$TOOL" "$t/bin/vendor-name" &&
        check tidewater '' PATH=bin:/usr/bin:/bin
    for out in "/dev/full:No space left on device" "&-:Bad file descriptor"; do
        tree tidewater && ! eval 'refresh >'"${out%:*}" 2>"$work/err" && [ ! -e "$t/$f" ] &&
            [ "$(<"$work/err")" = "$me: cannot write standard output: ${out#*:}" ] || fail "$out"
    done
    # Options print on standard output with status 0, or one line on standard error with status 2
    # naming the argument quoted (ARGS|QUOTED).
    tree tidewater lineage && out=$(with --version) && [ "$out" = "$me (vendor-name) $version" ] &&
        out=$(with --help) && [[ $out == "$usage"$'\n'* ]] || fail options
    for args in "$x|$x" "--help \$'-x\\n'|-x\\n" "--versio|--versio" "--version ''|" "''|"; do
        eval "with ${args%|*}" >"$work/out" 2>"$work/err" && fail "$args passed" || status=$?
        [ "$status" = 2 ] && [ ! -s "$work/out" ] &&
            [ "$(<"$work/err")" = "$me: unexpected argument '${args#*|}'; $usage" ] || fail "$args"
    done
    # A link at the output path goes, to a file that holds the name or to a directory; what it
    # pointed to stays as it was.
    for target in name elsewhere; do
        tree tidewater && printf tidewater >"$t/name" && touch -d @1 "$t/name" "$t/elsewhere" &&
            ln -sf "../../../$target" "$t/$f" && check tidewater '' && [ ! -L "$t/$f" ] &&
            [ "$(stat -c %Y "$t/$target")" = 1 ] || fail "a link to $target was kept or followed"
    done
    # The same name writes nothing, so that a read-only tree works: root mounts it read-only (and
    # unmounts it however the test ends), anyone else takes the write bits away.
    chmod a-w "$t/$d" "$t/$f"
    if [ "$(id -u)" = 0 ]; then
        mount --bind "$t" "$t" && ro=$t && mount --make-private "$t" &&
            mount -o remount,ro,bind "$t"
    fi
    check tidewater '' new=$f
    [ -z "${ro:-}" ] || { umount "$t" && ro=; }
    chmod u+w "$t/$d" "$t/$f"
    # A new name comes by a new file (a new inode), made afresh: a link at its path is refused.
    inode=$(stat -c %i "$t/$f") && mv "$t/vendor/tidewater" "$t/vendor/v2" && check v2 '' &&
        [ "$(stat -c %i "$t/$f")" != "$inode" ] || fail "a new name was not renamed into place"
    mv "$t/vendor/v2" "$t/vendor/v3" && check '' "$me: cannot write '$d/.vendor_name.*': *exist*" \
        sh -c 'ln -s ../../../name "$0.$$" && exec "$@"' "$d/.vendor_name" # exec keeps the PID
    # Each signal, sent as from a terminal (to a group, every signal at its default), ends it
    # (and a bash caller, for INT) by that signal, leaving nothing beside the file, nor (but for
    # KILL) in TMPDIR.
    for sig in HUP INT QUIT PIPE TERM KILL; do
        caller=() && [ $sig != INT ] || caller=(bash -c '"$@" || echo went on' bash)
        tree tidewater && set -m
        (cd "$t" && PATH=$apps$work/cat:$PATH exec env --default-signal "${caller[@]}" "$shell" \
            "$rvn" <"$work/fifo" >"$work/out" 2>/dev/null) &
        job=$! && set +m && (sleep 10 >"$work/fifo" 2>&1 &)
        for _ in $(seq 100); do [ -z "$(ls "$TMPDIR")" ] || break; sleep 0.05; done
        sleep 0.2 && kill -"$sig" -- "-$job" && status=0 && wait "$job" 2>/dev/null || status=$?
        job= && [ "$status" = $((128 + $(kill -l "$sig"))) ] && [ ! -s "$work/out" ] &&
            [ "$(ls -A "$t/$d")" = vendor_name ] || fail "SIG$sig: status $status"
        [ $sig = KILL ] || [ -z "$(ls -A "$TMPDIR")" ] || fail "SIG$sig left $(ls -A "$TMPDIR")"
        rm -rf "${TMPDIR:?}"/*
    done
done

# The README's calls, pasted into a sourced bash script and an executed bash or dash one, stop
# the script and its caller with status 1 on two vendors.
calls=$("$repo/.ci/snippet" "name=\$($me)") && ln -s "$rvn" "$work/bin" && tree tidewater lineage
for how in return exit; do
    printf '%s\necho on\n' "$(grep -F "|| $how" <<<"$calls")" >"$work/$how"
done
stops() { out=$( (cd "$t" && "$@" 2>/dev/null) || echo "status $?") && [ "$out" = "status 1" ] ||
    fail "$*: $out"; }
stops bash -c '. "$0" || exit; echo on' "$work/return"
stops bash "$work/exit" && stops dash "$work/exit"

# The README's make lines: the name at parse time and in recipes, whatever the environment or the
# command line says, and not exported; no name stops every run, ckati's --regen runs too.
awk '/^```make$/ { make = 1; next } /^```$/ { make = 0 } make' "$repo/README.md" >"$work/Makefile"
printf 'got := $(VENDOR_NAME)\nout/name:\n\tprintf %%s "%s" >$@\n' \
    '$(got)|$(VENDOR_NAME)|$${VENDOR_NAME-no}' >>"$work/Makefile" && mkdir "$t/out"
gnu() { (cd "$t" && VENDOR_NAME=stale make -Bsf "$work/Makefile" "$@" 2>&1 && cat out/name); }
# ckati with the flags Android's build passes, but --use_ninja_phony_output where it does not know
# it (Debian 11's), which the closing line then names.
phony=--use_ninja_phony_output unknown=''
out=$(cd "$work" && ckati "$phony" -f /dev/null 2>&1) || true
[[ $out != "Unknown flag: "* ]] || unknown=$phony phony=''
kati=(--ninja --ninja_dir=out --regen --ignore_optional_include=out/%.P --detect_android_echo
    --color_warnings --gen_all_targets --use_find_emulator --werror_find_emulator --no_builtin_rules
    --werror_suffix_rules --werror_real_to_phony --top_level_phony --werror_phony_looks_real
    --werror_writable --writable=out/ --werror_implicit_rules --werror_overriding_commands
    --no_ninja_prelude ${phony:+"$phony"})
kati() { (cd "$t" && VENDOR_NAME=stale ckati "${kati[@]}" -f "$work/Makefile" 2>&1); }
msg="$f is missing or empty" && printf ' line \n age ' >"$t/$f" # a line end arrives as a space
for arg in -e VENDOR_NAME=stale; do
    out=$(gnu "$arg") && [ "$out" = ' line   age | line   age |no' ] || fail "make $arg gave: $out"
done
: >"$t/$f" && ! out=$(gnu) && [[ $out == *"$msg"* && $out != *$'\n'* ]] || fail "make, empty: $out"
rm "$t/$f" && ! out=$(gnu) && [[ $out == *"$msg"* && $out != *$'\n'* ]] || fail "make, absent: $out"
for name in tidewater lineage; do # the first run, then --regen after the name changed
    printf %s $name >"$t/$f" && out=$(kati) && grep -qF "\"$name|$name|" "$t/out/build.ninja" ||
        fail "ckati, name $name: $out"
done
: >"$t/$f" && ! out=$(kati) && [[ $out == *"$msg"* ]] || fail "ckati --regen, empty file: $out"
printf x >"$t/$f" && kati >/dev/null && rm "$t/$f" && ! out=$(kati) && [[ $out == *"$msg"* ]] ||
    fail "ckati --regen, no file: $out"
echo "refresh-vendor-name: every row passed under dash, bash and busybox sh; the README's calls" \
    "and make lines, in GNU make and ckati${unknown:+ (which lacks $unknown)}"
