#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# tests/refresh.sh DIR: runs refresh-vendor-name under dash and bash, with the vendor-name built in DIR (or
# VENDOR_NAME_TOOL), against a table of trees and conditions; then the README's make lines under make and ckati.
# shellcheck disable=SC2015 # "A && B || fail": fail when any step fails
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
work=$(cd "$(mktemp -d)" && pwd)
trap '[ -z "${job:-}" ] || kill -KILL -- "-$job" 2>/dev/null; rm -rf "$work"' EXIT # a job has its own group
trap 'exit 130' INT && trap 'exit 143' TERM
# The tool, a stand-in that fails in silence, and one that waits on a FIFO
# until it is stopped (or for ten seconds); links, for a noexec TMPDIR.
mkdir "$work/bin" "$work/false" "$work/slow" && mkfifo "$work/fifo"
ln -s "$(type -P cat)" "$work/slow/vendor-name" && ln -s "$(type -P false)" "$work/false/vendor-name"
ln -s "${VENDOR_NAME_TOOL:-$(cd "$1" && pwd)/vendor-name}" "$work/bin/vendor-name"
PATH=$work/bin:$PATH
t="$work/a tree" f=device/samsung/quillmere-common/vendor_name me=refresh-vendor-name

# tree NAME...: a fresh tree with a stale output file, and vendor/ holding a
# file, a dangling link and a directory for each NAME (a link to one for NAME@).
tree() {
    rm -rf "$t" && mkdir -p "$t/${f%/*}" "$t/vendor" "$t/elsewhere" && printf 'a longer stale name' >"$t/$f"
    : >"$t/vendor/notes" && ln -s missing "$t/vendor/dangling"
    for d; do case $d in *@) ln -s ../elsewhere "$t/vendor/${d%@}" ;; *) mkdir -p "$t/vendor/$d" ;; esac; done
}
refresh() { (cd "$t" && env "$@" "$shell" "$repo/$me"); } # [VAR=VALUE...]: in the tree, in the shell at hand
# check NAME ERR [VAR=VALUE...]: prints NAME and a newline, the file holds NAME (NAME empty: nothing
# printed, status 1, no file); standard error matches ERR; nothing else is left beside the file.
check() {
    local want=$1 err=$2 status=0
    shift 2
    refresh "$@" >"$work/out" 2>"$work/err" || status=$?
    # shellcheck disable=SC2053,SC2010 # ERR is a pattern; ls shows what is there, oddly named or not
    if [ -n "$want" ]; then
        printf '%s\n' "$want" | cmp -s - "$work/out" && printf %s "$want" | cmp -s - "$t/$f" && [ $status = 0 ]
    else
        [ ! -s "$work/out" ] && [ ! -f "$t/$f" ] && [ $status = 1 ]
    fi && [[ $(<"$work/err") == $err ]] && ! ls -A "$t/${f%/*}" 2>/dev/null | grep -qvx vendor_name ||
        fail "$(echo "vendor/ holding" "$(ls -A "$t/vendor" 2>&1)" "$@" "gave status $status:"; cat "$work/out" "$work/err"; ls -lA "$t/${f%/*}")"
}
fail() { printf '%s: %s, %s\n' "${0##*/}" "${shell##*/}" "$1" >&2 && exit 1; }

for shell in "$(type -P dash)" "$(type -P bash)"; do
    tree tidewater/config qcom/x nxp samsung gapps google gms codeaurora && check tidewater '' TMPDIR='/no such'
    tree Google qcom-extra .hidden ..hidden && check '' "$me: more than one vendor in vendor/: '..hidden' '.hidden' 'Google' 'qcom-extra'"
    tree qcom/opensource gms && check '' "$me: no vendor in vendor/ that is not excluded"
    tree tidewater lineage@ && check '' "$me: more than one vendor in vendor/: 'lineage' 'tidewater'"
    tree $'a\033\xffb' $'\n-c\x7f' $'\x7f-c\n' && check '' "$me: more than one vendor in vendor/: '[?]-c[?]' '[?]-c[?]' 'a[?][?]b'" -u LC_ALL LANG=C.UTF-8
    tree $'-x y\\t\n\xc3\xbc\n' && check $'-x y\\t\n\xc3\xbc\n' ''
    tree && rm -r "$t/vendor" && check '' "vendor-name: cannot open directory 'vendor': No such file or directory"
    tree tidewater && rm -r "$t/device" && check '' "$me: cannot make a directory in '${f%/*}': No such file or directory"
    tree tidewater && rm "$t/$f" && mkdir "$t/$f" &&
        check '' "$me: cannot replace '$f': cannot overwrite directory '$f' with non-directory*; cannot remove '$f' either: Is a directory"
    tree tidewater && check '' "$me: cannot find vendor-name on PATH" PATH=/nowhere
    tree tidewater && check '' "$me: vendor-name failed with status 1" PATH="$work/false:/usr/bin:/bin"
    tree tidewater && mkdir "$t/bin" && ln -s "$work/bin/vendor-name" "$t/bin" && check tidewater '' PATH=bin:/usr/bin:/bin
    # A link at the output path is replaced, even to the same name; what it pointed to is kept.
    tree tidewater && printf tidewater >"$t/elsewhere/name" && ln -sf ../../../elsewhere/name "$t/$f" && touch "$t/elsewhere/name" -d @1 &&
        check tidewater '' && [ ! -L "$t/$f" ] && [ "$(stat -c %Y "$t/elsewhere/name")" = 1 ] || fail "a link there was kept or written through"
    # The same name keeps the file and its time; a new one moves both.
    touch -d @1000000000 "$t/$f" && check tidewater '' && [ "$(stat -c %Y "$t/$f")" = 1000000000 ] || fail "the same name moved the time"
    mv "$t/vendor/tidewater" "$t/vendor/lineage" && touch -d @1000000000 "$t/$f" && check lineage '' &&
        [ "$(stat -c %Y "$t/$f")" != 1000000000 ] || fail "a new name kept the file's time"
    # Two runs at once both print the name and leave the file alone beside it.
    out=$(refresh & refresh & wait) && [ "$out" = $'lineage\nlineage' ] && check lineage '' || fail "two runs at once gave $out"
    # A reader beside renames never finds the file empty or missing.
    (while [ ! -e "$work/stop-${shell##*/}" ]; do [ -s "$t/$f" ] || echo "found the file empty or missing" >"$work/reader"; done) &
    for i in $(seq 30); do mv "$t/vendor/"[lv]* "$t/vendor/v$i" && refresh >/dev/null; done
    : >"$work/stop-${shell##*/}" && wait $! && [ ! -e "$work/reader" ] || fail "$(cat "$work/reader") during renames"
    # Ctrl-C stops a bash caller too, TERM the command; the scratch tree, hidden, goes.
    for sig in INT TERM; do
        # shellcheck disable=SC2016 # expanded by the caller
        tree tidewater && caller=() && [ $sig = TERM ] || caller=(bash -c '"$@" || echo went on; echo went on' bash)
        set -m; (cd "$t" && PATH=$work/slow:$PATH exec "${caller[@]}" "$shell" "$repo/$me" <"$work/fifo" >"$work/out" 2>"$work/err") &
        job=$! && set +m && (sleep 10 >"$work/fifo" 2>&1 &)
        for _ in $(seq 100); do [ "$(ls -A "$t/${f%/*}")" = vendor_name ] || break; sleep 0.05; done
        [ "$(ls "$t/${f%/*}")" = vendor_name ] || fail "the scratch tree is not hidden: $(ls "$t/${f%/*}")"
        sleep 0.2 && kill -"$sig" -- "-$job" && status=0 && wait "$job" 2>/dev/null || status=$?; job=
        [ "$status" = $((128 + $(kill -l "$sig"))) ] && [ ! -s "$work/out" ] && [ "$(ls -A "$t/${f%/*}")" = vendor_name ] ||
            fail "SIG$sig gave status $status, $(cat "$work/out" "$work/err"), $(ls -A "$t/${f%/*}")"
    done
done

# The README's make lines: the name, whatever the environment holds; on a missing
# or empty file, a target that takes it stops with the message, and only that one.
awk '/^```make$/ { inside = 1; next } /^```$/ { inside = 0 } inside' "$repo/README.md" >"$work/Makefile"
# shellcheck disable=SC2016 # make's
printf 'name:\n\t@:$(info $(VENDOR_NAME))\nother:\n\t@echo other\n' >>"$work/Makefile"
for make in "make -e" ckati; do
    # shellcheck disable=SC2086 # "make -e" is two words
    build() { (cd "$t" && VENDOR_NAME=stale $make -s -f "$work/Makefile" "$1" 2>&1); }
    tree && printf ' line \n age ' >"$t/$f" && [ "$(build name)" = $' line \n age ' ] || fail "$make: the make line gave $(build name)"
    : >"$t/$f" && ! out=$(build name) && [[ $out == *"$f is missing or empty"* ]] || fail "$make: an empty file gave $out"
    rm "$t/$f" && ! build name >/dev/null && [ "$(build other)" = other ] || fail "$make: no file gave $(build other)"
done
echo "refresh-vendor-name: every case passed, in dash and bash; the make line, in make and ckati"
