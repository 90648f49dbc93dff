#!/usr/bin/env bash
# Builds the image and the deployment kit from a clean copy of the tree in
# another, deeper folder, and checks that it gives the same bytes as the image and
# the kit under test, MSI included. Neither build reads git: the copy has a commit
# of its own, a day later, that changes only documentation.
# Usage: check_reproducible.sh SOURCE_DIR WORK_DIR IMAGE KIT_DIR
set -euo pipefail
source_dir=$1 work=$2 image=$3 kit=$4

rm -rf "$work"
mkdir -p "$work"
builds=("$work/another build/deeper folder")
for copy in "${builds[@]}"; do
  mkdir -p "$copy"
  # The tracked files only, as a clean clone would have them.
  if git -C "$source_dir" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git -C "$source_dir" ls-files -z --cached --others --exclude-standard |
      (cd "$source_dir" && xargs -0 cp --parents -t "$copy")
  else
    (cd "$source_dir" && tar --exclude=./build -cf - .) | tar -xf - -C "$copy"
  fi
done
(
  cd "${builds[0]}"
  export GIT_AUTHOR_DATE="@$(($(date +%s) + 86400))" GIT_COMMITTER_DATE="@$(($(date +%s) + 86400))"
  commit() { git -c user.name=test -c user.email=test@invalid commit -q "$@"; }
  git init -q . && git add -A && commit -m "the sources"
  echo "A later commit." >>README.md && commit -am "documentation only"
)
for copy in "${builds[@]}"; do
  cmake --preset windows -S "$copy" >/dev/null
  cmake --build "$copy/build/windows" --target install-ca-certs dist >/dev/null
done

status=0
compare() {  # what, expected file, built file
  if ! cmp -s "$2" "$3"; then
    echo "FAIL: $1 differs: $3 against $2"
    cmp -l "$2" "$3" | head -5 || true
    status=1
  fi
}
for copy in "${builds[@]}"; do
  compare "the image" "$image" "$copy/build/windows/install-ca-certs.exe"
  if ! diff <(cd "$kit" && find . -type f | sort) <(cd "$copy/build/dist" && find . -type f | sort); then
    echo "FAIL: the kit in '$copy' holds other files"
    status=1
  fi
  while IFS= read -r -d '' file; do
    compare "the kit's ${file#./}" "$kit/$file" "$copy/build/dist/$file"
  done < <(cd "$kit" && find . -type f -print0)
done
[[ $status -eq 0 ]] && echo "identical: the image $(sha256sum <"$image" | cut -c1-64) and" \
  "$(find "$kit" -type f | wc -l) kit files in a clean folder of its own"
rm -rf "$work"
exit $status
