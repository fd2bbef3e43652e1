#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# tests/refresh.sh DIR: runs the refresh-vendor-name built in DIR, with the vendor-name there (or
# VENDOR_NAME_TOOL's), under dash, bash and busybox sh, against a table of trees and conditions.
# Run through a link named vendor-name, it stands in for the tool and logs what vendor/ holds.
# shellcheck disable=SC2015,SC2016 # "A && B || fail": fail when any step fails; $ for an inner sh
if [ "${0##*/}" = vendor-name ]; then ls -A vendor >>"$RUNS" && exec "$TOOL"; fi
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd) rvn=$(cd "$1" && pwd)/refresh-vendor-name
work=$(cd "$(mktemp -d)" && pwd)
# However it ends, what it started (a job has a group of its own), its mount and its directory go.
trap '[ -z "${job:-}" ] || kill -KILL -- "-$job" 2>/dev/null; [ -z "${ro:-}" ] || umount "$ro"
    rm -rf "$work"' EXIT
trap 'exit 130' INT && trap 'exit 143' TERM
# The tool; stand-ins that log, fail in silence, or wait on a FIFO until stopped; busybox's sh
# and applets. All are links, so that a noexec TMPDIR does not matter.
mkdir "$work"/{bin,log,no,cat,bb,"t mp"} && mkfifo "$work/fifo" && ulimit -c 0
export TOOL=${VENDOR_NAME_TOOL:-$(cd "$1" && pwd)/vendor-name} RUNS=$work/runs TMPDIR="$work/t mp"
ln -s "$TOOL" "$work/bin/vendor-name" && ln -s "$repo/tests/refresh.sh" "$work/log/vendor-name"
ln -s "$(type -P false)" "$work/no/vendor-name" && ln -s "$(type -P cat)" "$work/cat/vendor-name"
for a in sh awk cat cmp ln ls mkdir mktemp mv od rm sort; do
    ln -s "$(type -P busybox)" "$work/bb/$a"
done
PATH=$work/bin:$PATH t="$work/a tree" d=device/samsung/quillmere-common f=$d/vendor_name
me=refresh-vendor-name many="refresh-vendor-name: more than one vendor in vendor/:"
fail() { printf '%s: %s, %s\n' "${0##*/}" "${shell##*/}" "$1" >&2 && exit 1; }

# tree NAME...: a fresh tree with a stale output file, and vendor/ holding a file, a dangling
# link and a directory for each NAME (a link to one for NAME@).
tree() {
    rm -rf "$t" && mkdir -p "$t/$d" "$t/vendor" "$t/elsewhere" && printf 'a stale name' >"$t/$f"
    : >"$t/vendor/notes" && ln -s missing "$t/vendor/dangling"
    for n; do
        case $n in *@) ln -s ../elsewhere "$t/vendor/${n%@}" ;; *) mkdir -p "$t/vendor/$n" ;; esac
    done
}
refresh() { (cd "$t" && env "$@" "$shell" "$rvn"); } # [VAR=VALUE...]
with() { (cd "$t" && "$shell" "$rvn" "$@"); }        # ARG...
# check NAME ERR [VAR=VALUE...]: prints NAME and a newline and the file holds NAME (NAME empty:
# nothing printed, status 1, no file); standard error is ERR, where only * stands for any text;
# nothing is left beside the file or in TMPDIR.
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
        fail "$(echo "vendor/ holding" "$(ls -A "$t/vendor" 2>&1)" "$@" "gave status $status:"
            cat "$work/out" "$work/err"; ls -lA "$t/$d" "$TMPDIR")"
}

for shell in "$(type -P dash)" "$(type -P bash)" "$work/bb/sh"; do
    tree tidewater/config qcom/x nxp samsung gapps google gms codeaurora && check tidewater ''
    tree Google qcom-extra .hidden ..hidden "x' 'y" $'a b\t~%s' &&
        check '' "$many '..hidden' '.hidden' 'Google' 'a b\\t~%s' 'qcom-extra' 'x\\' \\'y'"
    tree $'a\033\xffb' $'\n-c\x7f' '\t' && check '' "$many '\\n-c\\x7f' '\\\\t' 'a\\x1b\\xffb'" \
        -u LC_ALL LANG=C.UTF-8 PATH="$work/bb:$PATH"
    tree qcom/opensource gms && check '' "$me: no vendor in vendor/ that is not excluded"
    tree tidewater lineage@ && check '' "$many 'lineage' 'tidewater'"
    tree $'-x y\\t\n\xc3\xbc\n' && check $'-x y\\t\n\xc3\xbc\n' ''
    tree tidewater && mv "$t/vendor" "$t/v" && ln -s v "$t/vendor" && check tidewater ''
    # Each first-level entry is asked about once, alone: what lies below is never met.
    tree tidewater/loop qcom/private v1 && ln -s loop "$t/vendor/tidewater/loop/x" && : >"$RUNS" &&
        chmod 0 "$t/vendor/qcom/private" && check '' "$many 'tidewater' 'v1'" PATH="$work/log:$PATH"
    [ "$(sort "$RUNS")" = "$(find "$t/vendor" -mindepth 1 -maxdepth 1 -printf '%f\n' | sort)" ] ||
        fail "asked $(<"$RUNS")"
    tree tidewater && ln -s loop "$t/vendor/loop" &&
        check '' "vendor-name: cannot stat 'vendor/loop': Too many levels of symbolic links"
    for gone in vendor device; do
        tree tidewater && rm -r "${t:?}/$gone" && : >"$t/$gone" &&
            check '' "$me: no vendor/ or $d/ here: run it from the top of a source tree"
    done
    tree tidewater &&
        check '' "$me: cannot make a directory in '/\\n': No such file or directory" TMPDIR=$'/\n'
    tree tidewater && rm "$t/$f" && mkdir "$t/$f" && check '' \
        "$me: cannot replace '$f': *directory*; cannot remove '$f' either: Is a directory"
    tree tidewater && check '' "$me: cannot find vendor-name on PATH" PATH=/nowhere
    tree tidewater && check '' "$me: vendor-name failed with status 1" PATH="$work/no:$PATH"
    tree tidewater && mkdir "$t/bin" && ln -s "$TOOL" "$t/bin/vendor-name" &&
        check tidewater '' PATH=bin:/usr/bin:/bin
    for out in "/dev/full:No space left on device" "&-:Bad file descriptor"; do
        tree tidewater && ! eval 'refresh >'"${out%:*}" 2>"$work/err" && [ ! -e "$t/$f" ] &&
            [ "$(<"$work/err")" = "$me: cannot write standard output: ${out#*:}" ] || fail "$out"
    done
    # Options print on standard output with status 0, or one line on standard error with status 2
    # naming the argument quoted (ARGS|QUOTED; $x fills two equal od lines); none touches the file.
    version=$(sed -n 's/^project(vendor-name VERSION \([0-9.]*\) .*/\1/p' "$repo/CMakeLists.txt")
    tree tidewater lineage && out=$(with --version) && [ "$out" = "$me (vendor-name) $version" ] &&
        out=$(with --help) && [[ $out == "usage: $me [--help | --version]"$'\n'* ]] || fail options
    x=-x-x-x-x-x-x-x-x-x-x-x-x-x-x-x-x
    for args in "$x|$x" "--help \$'-x\\n'|-x\\n" "--versio|--versio" "--version ''|" "''|"; do
        eval "with ${args%|*}" >"$work/out" 2>"$work/err" && fail "$args passed" || status=$?
        [ "$status" = 2 ] && [ ! -s "$work/out" ] && [ "$(wc -l <"$work/err")" = 1 ] &&
            [[ $(<"$work/err") == "$me: unexpected argument '${args#*|}';"* ]] || fail "$args"
    done
    [ "$(<"$t/$f")" = 'a stale name' ] || fail "an option touched the file"
    # A link at the output path goes, even when it holds the name; what it pointed to stays.
    tree tidewater && printf tidewater >"$t/name" && touch -d @1 "$t/name" &&
        ln -sf ../../../name "$t/$f" && check tidewater '' && [ ! -L "$t/$f" ] &&
        [ "$(stat -c %Y "$t/name")" = 1 ] ||
        fail "a link there was kept or written through"
    # The same name writes nothing, so that a read-only tree works; a new one is renamed into place.
    touch -d @1 "$t/$f" "$t/$d" && check tidewater '' new=$f &&
        [ "$(stat -c %Y "$t/$f" "$t/$d")" = $'1\n1' ] || fail "the same name wrote in the directory"
    # Read-only: for root, a read-only bind mount of the tree (unmounted however the test ends);
    # for anyone else, a directory and file without write bits.
    if [ "$(id -u)" = 0 ]; then
        mount --bind "$t" "$t" && ro=$t && mount --make-private "$t"
        mount -o remount,ro,bind "$t"
        out=$(refresh 2>&1) || true
        umount "$t" && ro=
    else
        chmod a-w "$t/$d" "$t/$f" && out=$(refresh 2>&1) || true
        chmod u+w "$t/$d" "$t/$f"
    fi
    [ "$out" = tidewater ] || fail "read-only: $out"
    inode=$(stat -c %i "$t/$f") && mv "$t/vendor/tidewater" "$t/vendor/v2" && check v2 '' &&
        [ "$(stat -c %i "$t/$f")" != "$inode" ] || fail "a new name was not renamed into place"
    # The new file is made afresh at .vendor_name.PID (exec keeps the PID): a link is not followed.
    mv "$t/vendor/v2" "$t/vendor/v3" && check '' "$me: cannot write '$d/.vendor_name.*': *exist*" \
        sh -c 'ln -s ../../../name "$0.$$" && exec "$@"' "$d/.vendor_name"
    # Each signal leaves nothing, beside the file or in TMPDIR, and ends it (and a bash caller,
    # for INT) by that signal; SIGKILL leaves nothing beside the file.
    for sig in HUP INT QUIT PIPE TERM KILL; do
        caller=() && [ $sig != INT ] || caller=(bash -c '"$@" || echo went on' bash)
        # The job gets a group of its own and the signals' defaults, as at a terminal.
        tree tidewater && set -m
        (cd "$t" && PATH=$work/cat:$PATH exec env --default-signal "${caller[@]}" "$shell" "$rvn" \
            <"$work/fifo" >"$work/out" 2>/dev/null) &
        job=$! && set +m && (sleep 10 >"$work/fifo" 2>&1 &)
        for _ in $(seq 100); do [ -z "$(ls "$TMPDIR")" ] || break; sleep 0.05; done
        sleep 0.2 && kill -"$sig" -- "-$job" && status=0 && wait "$job" 2>/dev/null || status=$?
        job=
        [ "$status" = $((128 + $(kill -l "$sig"))) ] && [ ! -s "$work/out" ] &&
            [ "$(ls -A "$t/$d")" = vendor_name ] || fail "SIG$sig: status $status"
        [ $sig = KILL ] || [ -z "$(ls -A "$TMPDIR")" ] || fail "SIG$sig left $(ls -A "$TMPDIR")"
        rm -rf "${TMPDIR:?}"/*
    done
done
echo "refresh-vendor-name: every row passed under dash, bash and busybox sh"
