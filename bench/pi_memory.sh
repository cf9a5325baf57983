#!/usr/bin/env bash
# Peak resident memory with everything on (exact times, time maps, clips,
# keogram, timelapse, segments with flashes kept out, sky quality, meteors,
# the web view with a page open), at 1080p and at 4K: the demo sky at two
# images a second, twenty times faster than real time, until its first
# snapshot is written (at most 5 minutes), with clips, segments and the night
# products. The figures carry over to arm64: the
# same images, buffers and threads.
# Usage: bench/pi_memory.sh [TRAILCAM]
set -euo pipefail
tool=$(realpath "${1:-build/trailcam}")
for size in 1920x1080 3840x2160; do
    work=$(mktemp -d)
    (cd "$work" && exec "$tool" --demo --headless --size "$size" --fps 2 --demo-speed 20 --metadata --time-map \
        --clips clips --keogram --timelapse --segments 60 --reject-flashes --sky-quality --meteors \
        --http 127.0.0.1:0 </dev/null >out 2>err) &
    pid=$!
    until port=$(grep -o 'web view at http://127.0.0.1:[0-9]*' "$work/err" | grep -o '[0-9]*$'); do sleep 0.2; done
    end=$((SECONDS + 300))
    while [ $SECONDS -lt $end ] && [ ! -e "$work/img/1.json" ]; do  # a page polling as the night page does
        curl -s -o /dev/null "http://127.0.0.1:$port/status.json" -o /dev/null "http://127.0.0.1:$port/trail.jpg"
        sleep 1
    done
    sleep 5  # the snapshot's files and what follows them
    kb=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status")
    kill -TERM "$pid"
    wait "$pid" || true
    echo "$size: peak ${kb} kB ($((kb / 1024)) MB), $(ls "$work/img" | grep -c '^[0-9]*\.jpg$') snapshots, $(ls "$work/clips" | grep -c avi) clips"
    rm -rf "$work"
done
