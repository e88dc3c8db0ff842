#!/usr/bin/env bash
# Installs the Debian packages needed to build and test xelo. Run as root;
# packages already present are left alone.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libboost-dev libboost-program-options-dev
  libgtest-dev libgmock-dev
  libcurl4-openssl-dev libssl-dev libpugixml-dev libcpp-httplib-dev zlib1g-dev
  libarchive-dev
  util-linux
  grub-efi-amd64-bin grub-pc-bin cpio zip unzip
  qemu-system-x86 ovmf xorriso mtools
  # media-image library: ISO writing, disc burning, zips, USB keys
  libisofs-dev libburn-dev libisoburn-dev dosfstools fdisk
  curl
  # the Debian package: dpkg-shlibdeps finds its library dependencies, python3
  # makes the manual page and completion, lintian and groff check them
  dpkg-dev python3 lintian groff-base
  python3-pyftpdlib
  # browser tests of the graphical front end: headless chromium driven over
  # its DevTools pipe; the JSON of that protocol (and of the front end's server)
  chromium nlohmann-json3-dev
  # tools/hardening.sh: clang with the libFuzzer and sanitizer runtimes, and the symbolizer
  clang libclang-rt-14-dev llvm-14
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "install-deps: missing packages: ${missing[*]}; run as root (or with sudo)." >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
