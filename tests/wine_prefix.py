#!/usr/bin/python3
"""Makes a fresh Wine prefix for the tests of a Windows target, so that no
test pays for Wine's first start (about 10 s) and none depends on ~/.wine.

With --version the prefix reports that Windows version (win98 makes
GetVersionExA report the 9X platform)."""
import argparse
import glob
import os
import shlex
import shutil
import subprocess
import sys

# Where Debian and upstream keep Wine's 32-bit builtin DLLs.
BUILTIN_DLLS_32 = ["/usr/lib/i386-linux-gnu/wine/i386-windows", "/usr/lib/wine/i386-windows"]
# Debian's wineserver; the one on PATH is an alternatives link that only the
# wine package sets up.
WINESERVER = "/usr/lib/wine/wineserver" if os.access("/usr/lib/wine/wineserver", os.X_OK) else "wineserver"


def wine(args, prefix, command):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    subprocess.run(shlex.split(args.runner) + command, env=env, check=True, stdout=subprocess.DEVNULL, timeout=300)


def wait_for_server(prefix):
    # The registry reaches its files only when the server ends.
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run([WINESERVER, "-w"], env=env, check=True, timeout=300)


def complete_32bit_half(prefix):
    """A 64-bit prefix gets its 32-bit DLLs from a 32-bit Wine process that
    wineboot starts. Where the kernel runs no 32-bit programs that process
    never ran; putting the builtin DLLs in place, as it would have, is all a
    console program needs of it."""
    syswow64 = os.path.join(prefix, "drive_c", "windows", "syswow64")
    if not os.path.isdir(syswow64) or os.path.exists(os.path.join(syswow64, "kernel32.dll")):
        return
    source = next((d for d in BUILTIN_DLLS_32 if os.path.isdir(d)), None)
    if source is None:
        raise SystemExit("Wine's 32-bit DLLs are missing (is wine32:i386 installed?)")
    for path in glob.glob(os.path.join(source, "*")):
        target = os.path.join(syswow64, os.path.basename(path))
        if not os.path.exists(target):
            os.symlink(path, target)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--runner", required=True, help="command that runs 64-bit Wine programs")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--version", help="Windows version for the prefix to report, e.g. win98")
    parser.add_argument("--with-32bit", action="store_true", help="the prefix runs 32-bit programs")
    args = parser.parse_args()
    prefix = os.path.abspath(args.prefix)

    if os.path.exists(prefix):
        subprocess.run([WINESERVER, "-k"], env=dict(os.environ, WINEPREFIX=prefix),
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(prefix)
    # Wine makes the prefix itself, but not the directories above it.
    os.makedirs(os.path.dirname(prefix), exist_ok=True)
    wine(args, prefix, ["wineboot", "-i"])
    if args.version:
        wine(args, prefix, ["reg", "add", r"HKCU\Software\Wine", "/v", "Version", "/d", args.version, "/f"])
    wait_for_server(prefix)
    if args.with_32bit:
        complete_32bit_half(prefix)
    return 0


if __name__ == "__main__":
    sys.exit(main())
