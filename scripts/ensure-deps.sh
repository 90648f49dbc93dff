#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, if any is missing.
# As root it runs apt-get; otherwise it prints the command to run.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  googletest openssl libssl-dev libengine-gost-openssl
  clang libclang-rt-14-dev
  g++-mingw-w64-i686 binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64
  python3 python3-pefile python3-olefile
  wine wine64 wine32:i386 fonts-wine xvfb xauth xdotool x11-utils imagemagick locales
  wixl msitools osslsigncode
  debootstrap bubblewrap
)

missing=()
for package in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

needs_i386=false
[[ " ${missing[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386 && needs_i386=true

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing packages: ${missing[*]}" >&2
  echo "Install them with:" >&2
  $needs_i386 && echo "  sudo dpkg --add-architecture i386" >&2
  echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
$needs_i386 && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q --no-install-recommends "${missing[@]}"
