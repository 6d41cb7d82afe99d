#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine (as
# root). Idempotent and quiet: does nothing when everything is there.
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev python3 python3-pytest
          g++-mingw-w64-i686 mingw-w64-tools binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
          wine wine32:i386 xvfb xauth x11-utils xdotool imagemagick procps)
# Wine draws the title bars' buttons with its Marlett font; without it every
# screenshot shows them as the letters "0 1 r".
packages+=(fonts-wine)
# --- 64-bit Windows bed: begin
# The 64-bit loader gives the 64-bit prefixes (WoW64) of the field machines.
packages+=(wine64)
# --- 64-bit Windows bed: end
# --- release: begin
# Authenticode signing, and the throwaway certificate of the tests.
packages+=(osslsigncode openssl)
# --- release: end

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi
dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq >/dev/null
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
