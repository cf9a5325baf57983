#!/usr/bin/env bash
# Clips of a 1920 x 1080 camera at 30 images per second, in real time: the demo
# sky (an event at nearly every tick, so one clip runs the whole time) for 30 s.
# Reports the images the clips hold, the images they miss, and the share of a
# core that the clip thread (JPEG encoding and writing) took.
# Usage: bench/clips_load.sh [TRAILCAM]
set -euo pipefail
tool=$(realpath "${1:-build/trailcam}")
work=$(mktemp -d)
trap 'kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
"$tool" --demo --headless --size 1920x1080 --clips clips --clip-before 3 --clip-after 5 </dev/null >out 2>err &
pid=$!
sleep 2
clip_thread=$(grep -l '^trailcam-clips$' /proc/$pid/task/*/comm | head -n 1 | xargs dirname)
ticks() { awk '{print $14 + $15}' "$clip_thread/stat"; }
start_ticks=$(ticks) start=$(date +%s.%N)
sleep 30
used=$(($(ticks) - start_ticks)) elapsed=$(echo "$(date +%s.%N) - $start" | bc)
kill -TERM "$pid" && wait "$pid" || true
/usr/bin/python3 - "$used" "$elapsed" "$(getconf CLK_TCK)" <<'PY'
import glob, json, sys
used, elapsed, hz = int(sys.argv[1]), float(sys.argv[2]), int(sys.argv[3])
clips = [json.load(open(f)) for f in glob.glob("clips/*.json")]
images = sum(len(c["times"]) for c in clips)
gaps = sum(c["gaps"] for c in clips)
print("%d clips, %d images, %d missing; rate %.1f images/s" % (len(clips), images, gaps,
      images / ((clips[0]["times"][-1] - clips[0]["times"][0]) / 1000) if clips else 0))
print("clip thread: %.2f of a core" % (used / hz / elapsed))
PY
cat err
