#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing z40k (`setup.sh program`: only
# what building and running the program needs). Safe to run again.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# What building and running the z40k program needs: the main job (scripts/capture.sh) installs only
# these. Everything else is for the tests: the suites' libraries, the 32-bit and sanitizer builds, the
# z40k.sys cross compiler, and the outside tools the tests check the program's files with.
program=(cmake make g++ pkg-config libcli11-dev nlohmann-json3-dev libpng-dev libmicrohttpd-dev
         libturbojpeg0-dev)
tests=(googletest libgtest-dev libgmock-dev libbenchmark-dev g++-multilib libpng-dev:i386
       g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev qemu-user
       chromium chromium-driver python3-selenium ffmpeg clang-14 libclang-rt-14-dev tshark)

# install [--no-install-recommends] PACKAGE...: installs those not installed yet.
install() {
    local options=() missing=() p
    if [ "${1:-}" = --no-install-recommends ]; then
        options=("$1")
        shift
    fi
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "setup: installing ${missing[*]}"
    # tshark asks whether ordinary users may capture; the tests only read files.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${options[@]}" "${missing[@]}" >/dev/null
}

if [ "${1:-all}" = program ]; then
    # What the packages merely recommend (manual pages, image codecs, fonts) builds nothing here: a third
    # of the packages a fresh machine would fetch.
    install --no-install-recommends "${program[@]}"
    exit 0
fi

# The 32-bit build also builds the z40k program, so it needs the i386 form of its libraries.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    $SUDO apt-get update -qq
fi
install "${program[@]}" "${tests[@]}"

# Some kernels are built or booted without i386 program support. Hand such programs to qemu-i386 then,
# so that the 32-bit suites run as they would on any other machine.
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
echo 'int main() { return 0; }' >"$probe/probe.c"
if gcc -m32 "$probe/probe.c" -o "$probe/probe" 2>/dev/null && ! "$probe/probe" 2>/dev/null; then
    misc=/proc/sys/fs/binfmt_misc
    [ -e "$misc/register" ] || $SUDO mount -t binfmt_misc binfmt_misc "$misc"
    if [ ! -e "$misc/qemu-i386" ]; then
        echo "setup: running i386 programs through qemu-i386"
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:' |
            $SUDO tee "$misc/register" >/dev/null
    fi
    "$probe/probe" || { echo "setup: this machine cannot run i386 programs" >&2; exit 1; }
fi
