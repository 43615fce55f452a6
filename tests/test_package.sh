#!/bin/sh
# Makes the Debian package of a build folder and checks what it holds and what it says.
#   test_package.sh <build folder>      exit 0 passed, 1 failed, 77 skipped
set -u
build="$(cd "$1" && pwd)"

for tool in cpack dpkg-deb dpkg-shlibdeps readelf; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIP: $tool is missing (apt-get install dpkg-dev binutils)"
        exit 77
    fi
done

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

if ! cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    echo "FAIL: cpack -G DEB"
    exit 1
fi
version="$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"
arch="$(dpkg --print-architecture)"
deb="$work/kelvra-flash-tool_${version}_${arch}.deb"
[ -n "$version" ] && [ -f "$deb" ] || { ls "$work"; echo "FAIL: no kelvra-flash-tool_${version}_${arch}.deb"; exit 1; }

dpkg-deb -c "$deb" >"$work/contents"
for path in usr/bin/kelvra-flash-tool usr/bin/kelvra-flash-cli \
    usr/share/applications/kelvra-flash-tool.desktop \
    usr/share/icons/hicolor/scalable/apps/kelvra-flash-tool.svg \
    usr/share/metainfo/io.kelvra.flash_tool.metainfo.xml \
    usr/share/man/man1/kelvra-flash-tool.1.gz usr/share/man/man1/kelvra-flash-cli.1.gz \
    usr/share/bash-completion/completions/kelvra-flash-cli \
    usr/share/polkit-1/actions/io.kelvra.flash-tool.policy \
    usr/share/doc/kelvra-flash-tool/copyright \
    usr/share/doc/kelvra-flash-tool/fonts/Ubuntu-LICENCE.txt \
    usr/share/doc/kelvra-flash-tool/fonts/Roboto-LICENSE.txt; do
    grep -q " \./$path\$" "$work/contents" || fail "the package lacks /$path"
done
for program in kelvra-flash-tool kelvra-flash-cli; do
    grep -Eq "^-rwxr-xr-x root/root .* \./usr/bin/$program\$" "$work/contents" \
        || fail "/usr/bin/$program is not an executable of root: $(grep "/$program\$" "$work/contents")"
done
if grep -v ' \./usr/' "$work/contents" | grep -vq ' \./$'; then
    fail "files outside /usr: $(grep -v ' \./usr/' "$work/contents" | grep -v ' \./$')"
fi

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kelvra-flash-tool ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture: $(field Architecture)"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
field Description | head -1 | grep -q 'KELVRA' || fail "Description: $(field Description | head -1)"
field Recommends | grep -q pkexec || fail "Recommends: $(field Recommends)"
# What the programs load: Qt's widgets, network and SVG (its image plugin draws the icons), zlib.
for library in libc6 libstdc++6 libqt5core5a libqt5gui5 libqt5widgets5 libqt5network5 libqt5svg5 zlib1g; do
    case ", $(field Depends)," in
    *", $library "* | *", $library,"* | *"| $library "*) ;;
    *) fail "Depends lacks $library: $(field Depends)" ;;
    esac
done

dpkg-deb -x "$deb" "$work/root"
root="$work/root"
for program in kelvra-flash-tool kelvra-flash-cli; do
    if readelf -S "$root/usr/bin/$program" | grep -Eq '\.symtab|\.debug_'; then
        fail "/usr/bin/$program is not stripped"
    fi
done
cli_version="$("$root/usr/bin/kelvra-flash-cli" --version)"
[ "$cli_version" = "kelvra-flash-cli $version" ] || fail "--version says: $cli_version"

# The pkexec relaunch of /usr/bin/kelvra-flash-tool finds this action: it names the program and keeps the GUI.
policy="$root/usr/share/polkit-1/actions/io.kelvra.flash-tool.policy"
grep -q '<annotate key="org.freedesktop.policykit.exec.path">/usr/bin/kelvra-flash-tool</annotate>' "$policy" \
    || fail "the polkit action does not name /usr/bin/kelvra-flash-tool: $(grep exec.path "$policy")"
grep -q '<annotate key="org.freedesktop.policykit.exec.allow_gui">true</annotate>' "$policy" \
    || fail "the polkit action does not allow a GUI"

if command -v desktop-file-validate >/dev/null 2>&1; then
    desktop-file-validate "$root/usr/share/applications/kelvra-flash-tool.desktop" >"$work/desktop.log" 2>&1
    [ -s "$work/desktop.log" ] && fail "desktop-file-validate: $(cat "$work/desktop.log")"
else
    echo "note: desktop-file-validate is missing (apt-get install desktop-file-utils); the desktop entry is not validated"
fi
if command -v appstreamcli >/dev/null 2>&1; then
    appstreamcli validate --no-net "$root/usr/share/metainfo/io.kelvra.flash_tool.metainfo.xml" >"$work/appstream.log" 2>&1 \
        || fail "appstreamcli validate: $(cat "$work/appstream.log")"
else
    echo "note: appstreamcli is missing (apt-get install appstream); the metadata is not validated"
fi

# The CLI's page lists the options its help lists.
gzip -dc "$root/usr/share/man/man1/kelvra-flash-cli.1.gz" >"$work/cli.1"
for option in $("$root/usr/bin/kelvra-flash-cli" --help | sed -n 's/^  \(-[a-z], \)\{0,1\}\(--[a-z-]*\).*/\2/p'); do
    grep -qF "\\fB$(printf '%s' "$option" | sed 's/-/\\-/g')\\fR" "$work/cli.1" \
        || fail "the manual page of kelvra-flash-cli lacks $option"
done
gzip -dc "$root/usr/share/man/man1/kelvra-flash-tool.1.gz" | grep -q "^\.TH KELVRA-FLASH-TOOL 1 .*$version" \
    || fail "the manual page of kelvra-flash-tool has no title line of version $version"

# Completion of options, from the installed program's help.
completed="$(bash -c '. "$1"; COMP_WORDS=("$2" --ver); COMP_CWORD=1; _kelvra_flash_cli; echo "${COMPREPLY[*]}"' \
    completion "$root/usr/share/bash-completion/completions/kelvra-flash-cli" "$root/usr/bin/kelvra-flash-cli")"
[ "$completed" = "--verify --version" ] || fail "completing --ver gives: $completed"
# A station's names file is a file like any other; a size is typed, not completed.
mkdir -p "$work/names" && : >"$work/names/rigs.csv"
complete_after() {
    (cd "$work/names" && bash -c '. "$1"; COMP_WORDS=("$2" --station "$3" "$4"); COMP_CWORD=3; _kelvra_flash_cli
        echo "${COMPREPLY[*]}"' completion "$root/usr/share/bash-completion/completions/kelvra-flash-cli" \
        "$root/usr/bin/kelvra-flash-cli" "$1" "$2")
}
completed="$(complete_after --names ri)"
[ "$completed" = "rigs.csv" ] || fail "completing --names ri gives: $completed"
completed="$(complete_after --max-size -)"
[ -z "$completed" ] || fail "completing --max-size - gives: $completed"

[ $status -eq 0 ] && echo "PASS: $(basename "$deb"): $(wc -l <"$work/contents") entries; Depends: $(field Depends)"
exit $status
