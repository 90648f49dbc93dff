#!/usr/bin/env bash
# Installs the packages that building and testing need on Debian 12 (bookworm) or
# 13 (trixie), at the versions they need: any that is missing, or older than the
# minimum below, is installed or upgraded. As root it runs apt-get; otherwise it
# prints the commands to run. With the argument "kit", only what building and
# checking the kit needs (make dist, make verify): no Wine, no test tools.
set -euo pipefail

packages=(  # building and checking the kit
  cmake ninja-build make openssl
  python3 python3-pefile python3-olefile python3-cryptography python3-asn1crypto ca-certificates
  gnutls-bin faketime
  osslsigncode
  debootstrap bubblewrap
)
tests=(  # and the tests
  g++ libgtest-dev libssl-dev libgnutls28-dev clang
  wine wine64 fonts-wine xvfb xauth xdotool x11-utils imagemagick locales
)

# Where the build needs a version: the minimum, and the suite that has it where
# the release itself does not.
declare -A minimum=(
  [cmake]=3.25                          # CMakePresets.json version 6
  [libssl-dev]=3.0                      # find_package(OpenSSL 3)
  [wixl]=0.101 [msitools]=0.101         # the package's tables as scripts/kit_msi.py mends them
  [osslsigncode]=2.9                    # signs PowerShell scripts (2.8); make verify: -ignore-cdp
  [debootstrap]=1.0.128+nmu2+deb12u2    # Debian 13 without usr-is-merged (build/debian13)
)
declare -A suite=()
declare -A text=()  # the sources file of a suite to add

# What differs between the releases. The released kit is what Debian 12's
# mingw-w64 and wixl build; Debian 13's build other bytes, so there they run from
# a Debian 12 tree (build/debian12, made by tests/e2e/wineplatform.py toolchain).
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
case $codename in
  bookworm)
    release="Debian 12 (bookworm)"
    tests+=(libclang-rt-14-dev)  # clang 14's runtime, for the fuzzer
    packages+=(g++-mingw-w64-i686 binutils-mingw-w64-i686
               g++-mingw-w64-x86-64-win32 binutils-mingw-w64-x86-64 wixl msitools)
    suite[osslsigncode]=bookworm-backports ;;  # bookworm's own is 2.5
  trixie)
    release="Debian 13 (trixie)"
    tests+=(libclang-rt-19-dev) ;;  # clang 19's
  *)
    echo "ensure-deps: this is $(. /etc/os-release 2>/dev/null && echo "${PRETTY_NAME:-}")" \
         "(VERSION_CODENAME ${codename:-unset}); the build and its tests are made for Debian 12" \
         "(bookworm) and Debian 13 (trixie) on x86-64." >&2
    exit 1 ;;
esac

# 32-bit Wine only where this host executes 32-bit x86 code (or the tests are told
# to run it): elsewhere it cannot start, and the tests run the image's 64-bit twin.
# The probe is a 96-byte 32-bit Linux program that exits with 42.
executes_32bit() {
  local probe out status=0
  probe=$(mktemp)
  printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >"$probe"
  chmod +x "$probe"
  out=$("$probe" 2>&1) || status=$?
  rm -f "$probe"
  # Anything but "Exec format error" (a noexec /tmp, say) proves nothing: then
  # 32-bit Wine is installed, and tests/e2e/wineplatform.py finds out.
  [[ $status -eq 42 || "$out" != *"Exec format error"* ]]
}
if executes_32bit || [[ "${INSTALL_CA_CERTS_ARCH:-}" == *win32* ]]; then
  tests+=(wine32:i386)
fi

# Node.js, for the PowerShell grammar (tests/powershell): Debian's, unless the host
# has one already.
if ! command -v node >/dev/null; then
  tests+=(nodejs)
fi
[[ "${1:-}" == kit ]] || packages+=("${tests[@]}")

installed() {  # the installed version of a package, or nothing
  dpkg-query -W -f='${Status} ${Version}' "$1" 2>/dev/null | sed -n 's/^install ok installed //p' || true
}
too_old() {  # whether a package's installed version is below its minimum
  [[ -n "${minimum[$1]:-}" ]] && dpkg --compare-versions "$(installed "$1")" lt "${minimum[$1]}"
}
need=()  # what to install or upgrade, as package or package/suite
for package in "${packages[@]}"; do
  if [[ -z "$(installed "$package")" ]] || too_old "$package"; then
    need+=("$package${suite[$package]:+/${suite[$package]}}")
  fi
done
[[ ${#need[@]} -eq 0 ]] && exit 0

# A suite that apt does not know yet goes in a sources file of its own, on the
# mirror that the release comes from.
mirror=$(apt-get indextargets --format '$(SITE) $(RELEASE)' 2>/dev/null |
         awk -v release="$codename" '$2 == release { print $1; exit }')
sources=()
for wanted in "${need[@]}"; do
  [[ "$wanted" == */* ]] || continue
  name=${wanted#*/}
  grep -Eqrs "^[^#]*[[:space:]]$name([[:space:]]|$)" /etc/apt/sources.list /etc/apt/sources.list.d/ && continue
  sources+=("/etc/apt/sources.list.d/$name.sources")
  text[$name]="Types: deb
URIs: ${mirror:-http://deb.debian.org/debian}
Suites: $name
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
done
needs_i386=false
[[ " ${need[*]} " == *":i386 "* ]] && ! dpkg --print-foreign-architectures | grep -qx i386 && needs_i386=true

if [[ $(id -u) -ne 0 ]]; then
  echo "Missing or too old: ${need[*]}" >&2
  echo "Install them with:" >&2
  for file in "${sources[@]}"; do
    name=$(basename "$file" .sources)
    printf "  sudo tee %s >/dev/null <<'EOF'\n%s\nEOF\n" "$file" "${text[$name]}" >&2
  done
  $needs_i386 && echo "  sudo dpkg --add-architecture i386" >&2
  echo "  sudo apt-get update && sudo apt-get install -y --no-install-recommends ${need[*]}" >&2
  exit 1
fi

echo "Installing: ${need[*]}"
for file in "${sources[@]}"; do
  printf '%s\n' "${text[$(basename "$file" .sources)]}" >"$file"
  echo "Added $file"
done
$needs_i386 && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# A mirror in mid-sync serves an index or a package that does not match its
# Release file for a few minutes: a few tries, with a pause between them. apt-get
# update goes on past such an index; the installation tells whether it mattered.
install() {
  local pause
  for pause in 20 60 0; do
    apt-get update -q 2>&1 | tee "$log" || true
    apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 "$@" 2>&1 | tee -a "$log" && return 0
    # With every index fetched, a package apt cannot find is not in the release.
    [[ -n "$(lacking)" && -z "$(stale)" ]] && return 1
    [[ $pause -gt 0 ]] && { echo "Installation failed; trying again in $pause s ..."; sleep "$pause"; }
  done
  return 1
}
stale() {  # the indexes and packages that Debian's mirror served wrongly, in one line
  grep -o 'Failed to fetch [^ ]*' "$log" | sed 's/Failed to fetch //' | sort -u | paste -sd ' ' || true
}
lacking() {  # the packages that apt found no candidate for, in one line
  sed -nE "s/^E: Unable to locate package (.+)$/\1/p; s/^E: Package '(.+)' has no installation candidate$/\1/p" \
    "$log" | sort -u | paste -sd ' ' || true
}
# A release's own package older than the minimum installs all the same: said here,
# not left for the build to fail on.
check_minimums() {
  local package old=()
  for package in "${packages[@]}"; do
    too_old "$package" && old+=("$package $(installed "$package") (the build needs ${minimum[$package]})")
  done
  [[ ${#old[@]} -eq 0 ]] || { echo "ensure-deps: $release has too old a version of ${old[*]}." >&2; return 1; }
}

if install "${need[@]}"; then
  if [[ -n "$(stale)" ]]; then
    echo "Installed, although Debian's mirror served these wrongly: $(stale)"
  fi
  check_minimums || exit 1
  exit 0
fi
# A stale i386 index leaves 32-bit Wine out of reach, and only that: install the
# rest, and let the tests run the 64-bit twin until 32-bit Wine can be installed.
if [[ " ${need[*]} " == *" wine32:i386 "* ]] && stale | grep -q 'i386'; then
  rest=()
  for wanted in "${need[@]}"; do [[ "$wanted" == wine32:i386 ]] || rest+=("$wanted"); done
  if [[ ${#rest[@]} -eq 0 ]] || apt-get install -y -q --no-install-recommends -o Dpkg::Use-Pty=0 "${rest[@]}"; then
    $needs_i386 && dpkg --remove-architecture i386
    echo "WARNING: 32-bit Wine is not installed: Debian's mirror served a stale i386 index" \
         "($(stale)). The tests run the image's 64-bit twin only; run make deps again later" \
         "to install it." >&2
    check_minimums || exit 1
    exit 0
  fi
fi
if [[ -n "$(lacking)" && -z "$(stale)" ]]; then
  echo "ensure-deps: $release has no package $(lacking): its archive has no candidate to install," \
       "so trying again will not help; scripts/ensure-deps.sh lists what each release installs." >&2
  exit 1
fi
echo "ensure-deps: could not install ${need[*]}:" \
     "$(if [[ -n "$(stale)" ]]; then echo "Debian's mirror served these wrongly after 3 tries, as during a mirror sync: $(stale);"; else grep '^E:' "$log" | tail -1; fi)" \
     "run make deps again in a few minutes, or name another Debian mirror in /etc/apt/sources.list.d/." >&2
exit 1
