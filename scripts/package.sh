#!/usr/bin/env bash
# Makes the driver package for 32-bit Windows: the folder (default dist/z40k-VERSION) with z40k.sys,
# z40k.inf, the unstripped z40k-debug.sys and README.txt saying what they are and how to install them.
# Usage: scripts/package.sh [FOLDER]. Builds the image first (build-sys), installing the cross compiler
# when it is missing.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v i686-w64-mingw32-g++ >/dev/null || bash scripts/setup.sh
bash scripts/build.sh sys
version=$(sed -n 's/^project(z40k VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "package: no version in CMakeLists.txt" >&2; exit 1; }
# The INF's driver version is what the installer shows and compares: it must be this build's.
grep -Eq "^DriverVer *= *[0-9/]+, *$version\.0 *$" driver/sys/z40k.inf ||
    { echo "package: z40k.inf's DriverVer is not $version.0" >&2; exit 1; }
out=${1:-dist/z40k-$version}
rm -rf "$out"
mkdir -p "$out"
cp build-sys/z40k.sys build-sys/z40k-debug.sys driver/sys/z40k.inf "$out/"
sums=$(cd "$out" && sha256sum z40k.sys z40k.inf z40k-debug.sys)
cat >"$out/README.txt" <<TEXT
z40k $version: the capture driver of the Z40K 5-megapixel USB 2.0 camera for 32-bit Windows
(Windows XP SP2 and later, Vista and 7).

z40k.sys        the driver: a stream class minidriver below the camera class library QuorixZ40KUSB.SYS
z40k.inf        its installation file: the camera's hardware ID USB\\VID_1209&PID_0001, the imaging
                device class, the kernel-streaming capture and video interfaces, and the service
                z40k, a kernel driver started on demand
z40k-debug.sys  the same image with its symbols and debug information, for a debugger; do not install it

To install: install the camera maker's package first (it brings QuorixZ40KUSB.SYS), then plug the
camera in, and when Windows asks for a driver, point it at this folder (or, in Device Manager, Update
Driver, "Have Disk", and this folder). Windows copies z40k.sys to %SystemRoot%\\system32\\drivers and loads
it when the camera is plugged in. 64-bit Windows loads only signed drivers and no 32-bit ones: this
package is for 32-bit Windows, where an unsigned driver installs after a warning. A catalogue z40k.cat
and its signature are not part of this package.

The vendor and product IDs are test IDs: a camera answering to other IDs needs its own in z40k.inf.

SHA-256:
$sums
TEXT
echo "package: $out"
ls -l "$out"
