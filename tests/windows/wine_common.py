"""What the tests of the Windows programs under Wine share: the Windows they run in, the programs'
folder in it, and how a program is started there."""
import os
import shutil
import subprocess
import sys

WINE = shutil.which("wine64") or "/usr/lib/wine/wine64"
# Both tests use one installed copy of the programs, in a folder whose name is not ASCII.
FOLDER_PARTS = ("users", "José", "Łódź")


def fail(message):
    print("FAIL: " + message, flush=True)
    sys.exit(1)


def prefix():
    path = os.environ.get("WINEPREFIX")
    if not path or not os.path.isdir(os.path.join(path, "drive_c")):
        fail("WINEPREFIX names no Windows made by wineboot (scripts/test-windows makes one)")
    return path


def install(build):
    """Installs the programs as the ZIP and the installer hold them into C:\\Users\\José\\Łódź and
    returns that folder's path on this machine and on Windows."""
    folder = os.path.join(prefix(), "drive_c", *FOLDER_PARTS)
    subprocess.run(["cmake", "--install", build, "--prefix", folder], check=True, stdout=subprocess.DEVNULL)
    return folder, "C:\\" + "\\".join(FOLDER_PARTS)


def environment(**extra):
    env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
    # The installed programs must find everything in their folder, not in the build's search path.
    for variable in ("WINEPATH", "KELVRA_WINE_DLL_PATH"):
        env.pop(variable, None)
    env.update(extra)
    return env
