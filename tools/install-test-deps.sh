#!/usr/bin/env bash
# Installs what building and testing trakmap needs on a Debian machine: the
# compiler and CMake, GoogleTest, and the reference encoders and libraries
# that the interoperability tests use as oracles (the tool itself needs none),
# and Wine with both its loaders, so the end-to-end suite runs against the
# 32-bit and the 64-bit Windows executable. Safe to run again.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
packages=(
  cmake g++ make pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  flac libflac-dev ffmpeg wavpack libcdio-dev
  clang libclang-rt-dev
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 wine32:i386
)
# The 32-bit Wine loader comes from the i386 architecture's packages. Adding
# an architecture that is already there changes nothing; a newly added one is
# read by the update below, which runs because wine32:i386 is then missing.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
