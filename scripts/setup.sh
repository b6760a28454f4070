#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks for building and testing z40k. Safe to run again.
set -euo pipefail

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# The 32-bit build also builds the z40k program, so it needs the i386 form of its libraries.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    echo "setup: adding the i386 architecture"
    $SUDO dpkg --add-architecture i386
    $SUDO apt-get update -qq
fi

# The z40k.sys build: the i686 MinGW-w64 cross compiler, its binutils and its kernel import libraries.
# qemu-user runs the 32-bit build where the kernel does not run i386 programs itself.
packages=(cmake make g++ g++-multilib googletest libgtest-dev libgmock-dev libbenchmark-dev
          libcli11-dev nlohmann-json3-dev libpng-dev libpng-dev:i386
          g++-mingw-w64-i686 binutils-mingw-w64-i686 mingw-w64-i686-dev qemu-user
          pkg-config libcpp-httplib-dev libturbojpeg0-dev chromium chromium-driver python3-selenium ffmpeg
          clang-14 libclang-rt-14-dev tshark)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "setup: installing ${missing[*]}"
    # tshark asks whether ordinary users may capture; the tests only read files.
    echo "wireshark-common wireshark-common/install-setuid boolean false" | $SUDO debconf-set-selections
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

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
