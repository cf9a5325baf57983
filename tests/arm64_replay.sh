#!/usr/bin/env bash
# The scripted night replayed by the amd64 build and, under qemu, by the arm64
# one, with exact times, time maps, segments and meteors: the same console
# lines, snapshots, time maps and segments with the same pixels, the same
# sidecars, index and meteors.
# Usage: arm64_replay.sh AMD64_TRAILCAM ARM64_TRAILCAM SYSROOT
set -euo pipefail
amd64=$(realpath "$1") arm64=$(realpath "$2") sysroot=$3
night=$(dirname "$amd64")/tests/scripted_night
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export TZ=UTC
mkdir frames && "$night" frames frames
run() {  # FOLDER TOOL...
    local folder=$1
    shift
    mkdir "$folder"
    (cd "$folder" && timeout 900 "$@" -i ../frames/%05d.png --input-fps 2 --input-start 2026-12-07T22:00:00Z \
        --metadata --time-map --segments 60 --reject-flashes --meteors >out 2>err </dev/null)
}
run amd64 "$amd64"
run arm64 /usr/bin/qemu-aarch64-static -L "$sysroot" "$arm64"
cmp amd64/out arm64/out || { diff amd64/out arm64/out | head; echo "FAIL: the console lines differ"; exit 1; }
files=$(cd amd64/img && find . -type f \( -name '*.jpg' -o -name '*.png' -o -name '*.tiff' \) | sort)
[ "$files" = "$(cd arm64/img && find . -type f \( -name '*.jpg' -o -name '*.png' -o -name '*.tiff' \) | sort)" ] ||
    { echo "FAIL: other files: $(ls -R arm64/img)"; exit 1; }
same_bytes=0 images=0
for f in $files; do
    "$night" same "amd64/img/$f" "arm64/img/$f" || { echo "FAIL: $f has other pixels"; exit 1; }
    images=$((images + 1))
    if cmp -s "amd64/img/$f" "arm64/img/$f"; then same_bytes=$((same_bytes + 1)); fi
done
for f in $(cd amd64/img && find . -name '*.json' | sort); do
    cmp -s "amd64/img/$f" "arm64/img/$f" || { echo "FAIL: $f differs"; diff "amd64/img/$f" "arm64/img/$f" | head -5; exit 1; }
done
echo "the same $(wc -l <amd64/out) console lines; $images images with the same pixels ($same_bytes of them the same bytes)"
