# Shared by the scripts: package installation and the build.
# shellcheck shell=bash

KELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
KELVRA_PACKAGES=(cmake g++ make pkg-config qtbase5-dev libqt5svg5-dev zlib1g-dev libisal-dev libxfixes-dev)

# Installs the Debian packages that are missing; does nothing when all are there.
ensure_packages() {
    local missing=() package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing missing packages: ${missing[*]}"
    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "error: these Debian packages are missing and installing them needs root: ${missing[*]}" >&2
            echo "       run this script as root, or: apt-get install ${missing[*]}" >&2
            exit 1
        fi
    fi
    if ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq \
        || ! "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
        echo "error: could not install: ${missing[*]}" >&2
        exit 1
    fi
}

# configure_and_build <build dir> [cmake options...] [--target <name>]...
# Builds everything unless targets are named.
configure_and_build() {
    local dir="$1"
    shift
    local options=() targets=()
    while [ $# -gt 0 ]; do
        if [ "$1" = --target ]; then
            targets+=(--target "$2")
            shift 2
        else
            options+=("$1")
            shift
        fi
    done
    cmake -S "$KELVRA_ROOT" -B "$dir" "${options[@]}" >/dev/null
    cmake --build "$dir" --parallel 2 "${targets[@]}"
}
