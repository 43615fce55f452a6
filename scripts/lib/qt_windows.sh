# Finds Qt for Windows (x86_64 mingw-w64) for the Windows build.
# shellcheck shell=bash
#
# KELVRA_QT_WINDOWS names a finished Qt prefix or an archive (.tar.xz, .tar.gz) of one; an archive
# is unpacked once into the cache folder below. Without it the cache folder itself is used, where
# an earlier unpacking or a build of Qt from its Debian sources left one.

KELVRA_QT_WINDOWS_VERSION=5.15.8
KELVRA_QT_WINDOWS_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/kelvra/qt-$KELVRA_QT_WINDOWS_VERSION-mingw64"
KELVRA_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev nsis wine64 xvfb x11-utils imagemagick python3)

# A folder is a usable prefix when CMake finds Qt's package files and the host's moc in it.
qt_windows_is_prefix() {
    [ -f "$1/lib/cmake/Qt5/Qt5Config.cmake" ] && [ -x "$1/bin/moc" ]
}

# Unpacks archive $1 into the cache folder, unless the one there was unpacked from it.
# The archive holds one top folder, the prefix. Runs started together unpack into folders of their
# own and the first to finish puts its copy in place.
qt_windows_unpack() {
    local archive="$1" stamp
    stamp="$(readlink -f "$archive") $(stat -c '%s %Y' "$archive")"
    if qt_windows_is_prefix "$KELVRA_QT_WINDOWS_CACHE" \
        && [ "$(cat "$KELVRA_QT_WINDOWS_CACHE/.kelvra-archive" 2>/dev/null)" = "$stamp" ]; then
        return 0
    fi
    local parent unpacked top
    parent="$(dirname "$KELVRA_QT_WINDOWS_CACHE")"
    mkdir -p "$parent"
    unpacked="$(mktemp -d "$parent/.unpack.XXXXXX")"
    echo "Unpacking $archive into $KELVRA_QT_WINDOWS_CACHE" >&2
    if ! tar -xf "$archive" -C "$unpacked"; then
        rm -rf "$unpacked"
        echo "error: cannot unpack $archive" >&2
        return 1
    fi
    top="$(find "$unpacked" -mindepth 1 -maxdepth 1 -type d | head -n 1)"
    if [ -z "$top" ] || ! qt_windows_is_prefix "$top"; then
        rm -rf "$unpacked"
        echo "error: $archive holds no Qt prefix (lib/cmake/Qt5 and bin/moc in one top folder)" >&2
        return 1
    fi
    echo "$stamp" >"$top/.kelvra-archive"
    # Another run may have put the same archive in place meanwhile (and be building with it);
    # only a copy of another archive is moved aside.
    if [ "$(cat "$KELVRA_QT_WINDOWS_CACHE/.kelvra-archive" 2>/dev/null)" != "$stamp" ]; then
        [ -e "$KELVRA_QT_WINDOWS_CACHE" ] && mv -T "$KELVRA_QT_WINDOWS_CACHE" "$unpacked/old"
        mv -T "$top" "$KELVRA_QT_WINDOWS_CACHE" 2>/dev/null || true
    fi
    rm -rf "$unpacked"
    qt_windows_is_prefix "$KELVRA_QT_WINDOWS_CACHE"
}

# Prints the Qt prefix to build with; fails quietly when there is none.
qt_windows_prefix() {
    local given="${KELVRA_QT_WINDOWS:-}"
    if [ -n "$given" ]; then
        if [ -d "$given" ] && qt_windows_is_prefix "$given"; then
            readlink -f "$given"
            return 0
        fi
        if [ -f "$given" ]; then
            qt_windows_unpack "$given" || return 1
            echo "$KELVRA_QT_WINDOWS_CACHE"
            return 0
        fi
        echo "error: KELVRA_QT_WINDOWS=$given is neither a Qt prefix nor an archive of one" >&2
        return 1
    fi
    qt_windows_is_prefix "$KELVRA_QT_WINDOWS_CACHE" || return 1
    echo "$KELVRA_QT_WINDOWS_CACHE"
}
