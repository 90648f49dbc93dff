#!/usr/bin/env bash
# Builds the image from clean copies of the tree in two differently named
# folders and checks that both give the same bytes as the image under test.
# Usage: check_reproducible.sh SOURCE_DIR WORK_DIR IMAGE
set -euo pipefail
source_dir=$1 work=$2 image=$3

rm -rf "$work"
mkdir -p "$work"
builds=("$work/first" "$work/second build/deeper folder")
for copy in "${builds[@]}"; do
  mkdir -p "$copy"
  # The tracked files only, as a clean clone would have them.
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
      (cd "$source_dir" && xargs -0 cp --parents -t "$copy")
  else
    (cd "$source_dir" && tar --exclude=./build -cf - .) | tar -xf - -C "$copy"
  fi
  cmake --preset windows -S "$copy" >/dev/null
  cmake --build "$copy/build/windows" --target install-ca-certs >/dev/null
done

expected=$(sha256sum <"$image" | cut -d' ' -f1)
status=0
for copy in "${builds[@]}"; do
  got=$(sha256sum <"$copy/build/windows/install-ca-certs.exe" | cut -d' ' -f1)
  if [[ "$got" != "$expected" ]]; then
    echo "FAIL: the build in '$copy' gives $got, the image under test is $expected"
    cmp -l "$image" "$copy/build/windows/install-ca-certs.exe" | head -5
    status=1
  fi
done
[[ $status -eq 0 ]] && echo "identical: $expected in ${#builds[@]} clean folders"
rm -rf "$work"
exit $status
