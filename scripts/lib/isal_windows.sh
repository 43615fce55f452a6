# Builds ISA-L for Windows (x86_64 mingw-w64, static) from Debian's source package, once, into the
# user's cache: the Windows programs then inflate with it as the Linux ones do.
# shellcheck shell=bash

KELVRA_ISAL_WINDOWS_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/kelvra/isa-l-mingw64"
KELVRA_ISAL_WINDOWS_PACKAGES=(nasm make dpkg-dev xz-utils g++-mingw-w64-x86-64-posix)

# Prints the prefix (include/isa-l/*.h, lib/libisal.a); fails, saying why, when it cannot be built.
isal_windows_prefix() {
    if [ -f "$KELVRA_ISAL_WINDOWS_CACHE/lib/libisal.a" ]; then
        echo "$KELVRA_ISAL_WINDOWS_CACHE"
        return 0
    fi
    local work
    work="$(mktemp -d)"
    # The source comes through a list of its own, so the machine's apt sources stay as they are.
    local apt=(-o Dir::Etc::SourceList="$work/sources.list" -o Dir::Etc::SourceParts=/nonexistent
        -o Dir::State::Lists="$work/lists")
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main" \
        >"$work/sources.list"
    mkdir -p "$work/lists/partial"
    echo "Building ISA-L for Windows from Debian's source package libisal into $KELVRA_ISAL_WINDOWS_CACHE" >&2
    if ! (cd "$work" && apt-get "${apt[@]}" update -qq && apt-get "${apt[@]}" source -qq libisal) >"$work/log" 2>&1 \
        || ! make -C "$work"/libisal-*/ -f Makefile.unx arch=mingw AS=nasm CC=x86_64-w64-mingw32-gcc-posix \
            AR=x86_64-w64-mingw32-ar -j2 lib >>"$work/log" 2>&1; then
        tail -n 5 "$work/log" >&2
        rm -rf "$work"
        return 1
    fi
    local source prefix
    source="$(echo "$work"/libisal-*/)"
    prefix="$work/prefix"
    mkdir -p "$prefix/include/isa-l" "$prefix/lib"
    cp "$source"/include/{crc.h,crc64.h,erasure_code.h,gf_vect_mul.h,igzip_lib.h,mem_routines.h,raid.h,types.h} \
        "$prefix/include/isa-l/"
    cp "$source/bin/isa-l.a" "$prefix/lib/libisal.a"
    cp "$source/LICENSE" "$prefix/LICENSE"
    mkdir -p "$(dirname "$KELVRA_ISAL_WINDOWS_CACHE")"
    mv -T "$prefix" "$KELVRA_ISAL_WINDOWS_CACHE" 2>/dev/null || true
    rm -rf "$work"
    echo "$KELVRA_ISAL_WINDOWS_CACHE"
}
