#!/usr/bin/env bash
# Installs, on a Debian machine, what the build and the tests need and the
# machine lacks. Safe to run again: it only installs what is missing.
# Package names given as arguments are wanted as well (scripts/test_i386.sh).
set -euo pipefail
need=()
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
for p in cmake ninja-build g++ make googletest libgtest-dev zlib1g-dev zip unzip python3 clang libclang-rt-14-dev \
         g++-mingw-w64-i686 g++-mingw-w64-x86-64 libz-mingw-w64-dev wine64 binutils-mingw-w64-x86-64 binutils-mingw-w64-i686 \
         osslsigncode openssl "$@"; do
  have_pkg "$p" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
