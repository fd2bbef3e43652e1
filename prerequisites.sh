# Sourced by the project's scripts: need_packages COMMAND makes sure that the
# Debian packages prerequisites.txt lists for COMMAND ("build", "check",
# "bench" or "ci") are installed. Run as root, it installs the missing ones, quietly
# and without Recommends; run by anyone else, it names them and the command
# that brings them, for a user with sudo and for root. Returns 0 when all are
# there, 1 when not.

need_packages() {
    local pkg needs missing=() out
    while read -r pkg needs; do
        case $pkg in '' | '#'*) continue ;; esac
        case " $needs " in *" $1 "*) ;; *) continue ;; esac
        [ "$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null)" = "install ok installed" ] || missing+=("$pkg")
    done <"$(dirname "${BASH_SOURCE[0]}")/prerequisites.txt"
    [ ${#missing[@]} -eq 0 ] && return 0
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
