#!/usr/bin/env bash
# Peak resident memory with the night products, over 10 minutes and over 10
# hours of the demo sky at 320 x 240 (one image a second of sky time, a
# thousand times faster than real time): the keogram and the timelapse hold
# no more for a long night than for a short one.
# Usage: bench/night_memory.sh [TRAILCAM]
set -euo pipefail
tool=$(realpath "${1:-build/trailcam}")
peak() {  # sky seconds
    local work pid
    work=$(mktemp -d)
    (cd "$work" && exec env TZ="UTC+$(date -u +%-H)" "$tool" --demo --headless --size 320x240 --fps 1 \
        --demo-speed 1000 --keogram --timelapse </dev/null >out 2>err) &
    pid=$!
    until [ "$(grep -c '^freq=' "$work/out" 2>/dev/null || true)" -ge "$1" ]; do sleep 0.2; done
    local kb
    kb=$(awk '/VmHWM/ {print $2}' "/proc/$(pgrep -P "$pid" trailcam || echo "$pid")/status")
    kill -TERM "$pid" 2>/dev/null; wait "$pid" || true
    echo "$kb $(ls "$work"/img/keogram-*.json | head -n 1 | xargs grep -o Z | wc -l)"
    rm -rf "$work"
}
read -r short shortColumns < <(peak 600)
read -r long longColumns < <(peak 36000)
echo "10 minutes: peak ${short} kB, ${shortColumns} keogram columns"
echo "10 hours:   peak ${long} kB, ${longColumns} keogram columns"
echo "10 hours against 10 minutes: $(((long - short) / 1024)) MB more"
