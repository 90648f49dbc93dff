#!/usr/bin/env bash
# Prints the image's size and SHA-256, the figures to publish beside a download.
set -euo pipefail
image=$1
size=$(stat -c %s "$image")
echo "$image: $size bytes ($(( (size + 1023) / 1024 )) KiB)"
echo "SHA-256: $(sha256sum "$image" | cut -d' ' -f1)"
