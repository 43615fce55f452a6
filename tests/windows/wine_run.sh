#!/bin/sh
# Runs a Windows program of the build under Wine; ctest's emulator for the Windows test programs.
#   wine_run.sh [--qtest] PROGRAM.exe [ARGUMENTS...]
# WINEPREFIX is the Windows to run in (scripts/test-windows makes one per run). The program finds
# the DLLs in KELVRA_WINE_DLL_PATH (folders separated by ':') through Windows' search path, and Qt
# its plugins beside its DLLs. A Qt Test program writes nothing into a pipe or file under Wine:
# with --qtest it writes its results into a file of its own, shown when it ends.
set -eu
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
: "${WINEPREFIX:?names the Windows to run in}"
# Wine shows this machine's files as drive Z:.
WINEPATH="$(printf '%s' "${KELVRA_WINE_DLL_PATH:-}" | sed 's|:/|;/|g; s|^/|Z:/|; s|;/|;Z:/|g')"
export WINEPATH WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
# Wine keeps this machine's QT_ variables (meant for its own Qt) from Windows programs, and hands
# on those named WINEQT_ instead.
for variable in $(env | sed -n 's/^\(QT_[A-Za-z0-9_]*\)=.*/\1/p'); do
    eval "export WINE$variable=\"\$$variable\""
done
if [ "${1:-}" != --qtest ]; then
    exec "$wine" "$@"
fi
shift
results="$(mktemp)"
trap 'rm -f "$results"' EXIT
status=0
"$wine" "$@" -o "Z:$results,txt" || status=$?
cat "$results"
if ! grep -q '^Totals:' "$results"; then
    echo "FAIL: $1 wrote no results (exit status $status)"
    [ $status -ne 0 ] || status=1
fi
exit $status
