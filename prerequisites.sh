# shellcheck shell=bash
# SPDX-License-Identifier: Apache-2.0
# Copyright The vendor-name authors
# Sourced by the project's scripts: need_packages NEED... makes sure that what
# prerequisites.txt lists for any of the NEEDs ("build", "package", "check",
# "bench" or "ci") is there. On Debian it asks dpkg-query for the packages:
# run as root, it installs the missing ones, quietly and without Recommends;
# run by anyone else, it names them and the command that brings them, for a
# user with sudo and for root. Elsewhere it looks for the commands on PATH
# and names those it cannot find. Returns 0 when all are there, 1 when not.

need_packages() {
    local pkg command needs want missing=() out release debian=
    ! command -v dpkg-query >/dev/null || debian=1
    # The Debian release, for lines that older ones have no package for.
    # shellcheck source=/dev/null # the system's file, not the project's
    release=$(. /etc/os-release 2>/dev/null; [ "${ID:-}" != debian ] || echo "${VERSION_ID:-}")
    while read -r pkg command needs; do
        case $pkg in '' | '#'*) continue ;; esac
        case " $needs " in
        *" debian>="*) [[ $release =~ ^[0-9]+$ ]] && [ "$release" -lt "${needs##*debian>=}" ] && continue ;;
        esac
        for want; do
            case " $needs " in *" $want "*) ;; *) continue ;; esac
            if [ -n "$debian" ]; then
                [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" = "install ok installed" ] || missing+=("$pkg")
            elif [ "$command" != - ] && ! command -v "$command" >/dev/null; then
                missing+=("$command")
            fi
            break
        done
    done <"$(dirname "${BASH_SOURCE[0]}")/prerequisites.txt"
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ -z "$debian" ]; then
        local them=them
        [ ${#missing[@]} -gt 1 ] || them=it
        echo "${0##*/}: cannot find ${missing[*]} on PATH; install $them with your system's package manager" >&2
        return 1
    fi
    local install="apt-get install --no-install-recommends ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "${0##*/}: missing Debian packages; install them with: sudo apt-get update && sudo $install" >&2
        echo "${0##*/}: (as root: apt-get update && $install)" >&2
        return 1
    fi
    echo "${0##*/}: installing ${missing[*]}" >&2
    if ! out=$(apt-get update -qq 2>&1 && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
        --no-install-recommends "${missing[@]}" 2>&1); then
        printf '%s\n' "$out" >&2
        echo "${0##*/}: could not install ${missing[*]}" >&2
        return 1
    fi
}
