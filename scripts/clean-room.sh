#!/usr/bin/env bash
# The README's quick start as a newcomer meets it, on Debian 12 and on Debian 13:
# for each, a pristine minimal system (debootstrap, with the package sources an
# installed system has), only git and make added, a clone of this checkout's HEAD,
# then `make run` and `make test` as root, each timed. Says plainly when Debian's
# mirror misbehaved meanwhile, since a stale index fails a set-up that is right.
# Not part of make test: it downloads and installs whole systems (some 5 GB each
# under build/clean-room, one at a time, each removed when checked unless
# CLEAN_ROOM_KEEP=1). Needs root, debootstrap and unshare.
# Usage: scripts/clean-room.sh            (make clean-room: Debian 12, then 13)
#        CLEAN_ROOM_DEBIAN=13 scripts/clean-room.sh   one release (12 or 13)
#        CLEAN_ROOM_REV=REV scripts/clean-room.sh     another commit instead of HEAD
#        CLEAN_ROOM_KIT=DIR scripts/clean-room.sh     first `make verify` of that kit (one
#          this commit builds, such as build/dist), as a security officer's first
#          command: timed, with the disk it takes
set -euo pipefail
cd "$(dirname "$0")/.."
source=$PWD
work=$source/build/clean-room
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
declare -A suites=([12]=bookworm [13]=trixie)
releases=${CLEAN_ROOM_DEBIAN:-12 13}

if [[ $(id -u) -ne 0 ]]; then
  echo "clean-room: needs root (debootstrap, chroot, mounts): sudo $0" >&2
  exit 1
fi
for tool in debootstrap unshare git; do
  command -v "$tool" >/dev/null || { echo "clean-room: $tool is missing" >&2; exit 1; }
done
for number in $releases; do
  [[ -n "${suites[$number]:-}" ]] ||
    { echo "clean-room: CLEAN_ROOM_DEBIAN names 12, 13 or both, not '$number'" >&2; exit 1; }
done

rm -rf "$work"
mkdir -p "$work"
release=""  # the release being checked, as the report names it
log() { echo "[clean-room $(date -u +%H:%M:%S)] ${release:+$release: }$*" | tee -a "$work/report.txt"; }
mirror_faults() {  # what Debian's mirror served wrongly, from the release's logs so far
  grep -hoE "(Mirror sync in progress\?|File has unexpected size[^]]*|Hash Sum mismatch|Failed to fetch [^ ]+|served a stale [^(]*)" \
    "$logs"-*.log 2>/dev/null | sort -u || true
}

# Inside a mount namespace of its own, so that every mount goes when it ends. The
# tree is bound onto itself: bubblewrap (the other release's Wine, and Debian 12's
# toolchain on Debian 13) needs / to be a mount point.
inside() {  # a command run as root in the tree, from the clone; its output to a log
  unshare --mount --fork -- bash -c '
    set -e
    tree=$1; shift
    mount --make-rprivate /
    mount --bind "$tree" "$tree"
    mount -t proc proc "$tree/proc"
    mount --rbind /sys "$tree/sys"
    mount --rbind /dev "$tree/dev"
    mount -t tmpfs tmpfs "$tree/dev/shm"
    mount -t tmpfs tmpfs "$tree/tmp"
    exec chroot "$tree" /usr/bin/env -i HOME=/root TERM=dumb \
      PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
      bash -c "cd /root/install-ca-certs && $*"
  ' clean-room "$tree" "$@"
}
step() {  # name, command: runs it, timed, and says how it ended
  local name=$1 start status=0
  shift
  start=$(date +%s)
  inside "$@" >"$logs-$name.log" 2>&1 || status=$?
  local took=$(($(date +%s) - start))
  if [[ $status -eq 0 ]]; then
    log "$name: passed in $((took / 60)) min $((took % 60)) s"
  else
    log "$name: FAILED (exit $status) after $((took / 60)) min $((took % 60)) s; the last lines of $logs-$name.log:"
    tail -15 "$logs-$name.log" | sed 's/^/    /' | tee -a "$work/report.txt"
  fi
  return $status
}

check() {  # the release numbered $1: the pristine system, then the two commands
  local suite=${suites[$1]} status=0
  release="Debian $1" tree=$work/debian$1 logs=$work/debian$1
  log "debootstrap $suite (minbase) from $mirror"
  if ! debootstrap --variant=minbase "$suite" "$tree" "$mirror" >"$logs-debootstrap.log" 2>&1; then
    log "FAILED: debootstrap (see $logs-debootstrap.log)"
    faults=$(mirror_faults)
    [[ -n "$faults" ]] && log "Debian's mirror was at fault: $faults"
    return 1
  fi
  # The sources an installed system has: the release, its updates and security.
  rm -f "$tree/etc/apt/sources.list"
  cat >"$tree/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: ${mirror%/debian}/debian-security
Suites: $suite-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  cp /etc/resolv.conf "$tree/etc/resolv.conf"
  # This machine's own certificate authorities (a proxy between it and the
  # registries, say), which ca-certificates takes in when set-up installs it.
  mkdir -p "$tree/usr/local/share/ca-certificates"
  cp -r /usr/local/share/ca-certificates/. "$tree/usr/local/share/ca-certificates/" 2>/dev/null || true
  git clone -q "$source" "$tree/root/install-ca-certs" &&
    git -C "$tree/root/install-ca-certs" checkout -q "$rev" || { log "FAILED: cloning $rev"; return 1; }
  log "a clone of $rev (committed files only) in $tree/root/install-ca-certs"

  step setup "DEBIAN_FRONTEND=noninteractive apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends git make ca-certificates" || status=1
  if [[ $status -eq 0 && -n "${CLEAN_ROOM_KIT:-}" ]]; then
    cp -r "$CLEAN_ROOM_KIT" "$tree/root/kit"
    local before
    before=$(du -sxm "$tree" | cut -f1)
    step make-verify "make verify KIT=/root/kit" || status=1
    log "make-verify: the system grew by $(($(du -sxm "$tree" | cut -f1) - before)) MB"
  fi
  if [[ $status -eq 0 ]]; then
    step make-run "make run" || status=1
    step make-test "make test" || status=1
    sed -n '/^Windows platforms on this host/,/^The Wine tests run on/p' "$logs-make-test.log" | tail -6 |
      sed 's/^/    /' | tee -a "$work/report.txt" || true
    grep -hE "tests passed|tests failed" "$logs-make-test.log" | sed 's/^/    /' | tee -a "$work/report.txt" || true
  fi
  faults=$(mirror_faults)
  if [[ -n "$faults" ]]; then
    log "NOTE: Debian's mirror served these wrongly during the check (a mirror in mid-sync," \
        "not the project, if anything above failed because of them):"
    echo "$faults" | sed 's/^/    /' | tee -a "$work/report.txt"
  fi
  log "$([[ $status -eq 0 ]] && echo PASSED || echo FAILED): the README's two commands on a pristine $release ($suite); the logs and this report in $work"
  if [[ -z "${CLEAN_ROOM_KEEP:-}" ]]; then
    rm -rf "$tree"
  fi
  return $status
}

rev=$(git -C "$source" rev-parse --short "${CLEAN_ROOM_REV:-HEAD}")
status=0
for number in $releases; do
  check "$number" || status=1
done
exit $status
