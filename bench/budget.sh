#!/usr/bin/env bash
# The per-image budget: a Motion-JPEG video of the demo sky (30 images a
# second; 3000 at 640 x 480, 900 at 1920 x 1080) replayed at both sizes with the merge alone and with
# everything on (--metadata --time-map --panorama --clips --keogram --timelapse
# both --live --http and MQTT to a local broker), three runs of each, taking
# turns. Prints, from --budget, each listener's time on the loop's thread per
# image and per tick and each thread's share of a core (medians), and the rate
# of the run with everything on against the merge alone.
# Usage: bench/budget.sh [TRAILCAM] [BENCH_SKY_VIDEO]
set -euo pipefail
tool=$(realpath "${1:-build/trailcam}")
maker=$(realpath "${2:-build/bench/bench_sky_video}")
work=$(mktemp -d)
broker=
trap '[ -n "$broker" ] && kill "$broker" 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
mqtt_port=$(free_port)
printf 'listener %s 127.0.0.1\nallow_anonymous true\n' "$mqtt_port" >broker.conf
mosquitto -c broker.conf >broker.log 2>&1 &
broker=$!
for size in 640x480 1920x1080; do
    images=$([ "$size" = 640x480 ] && echo 3000 || echo 900)
    "$maker" "sky-$size.avi" "${size%x*}" "${size#*x}" "$images"
    for run in 1 2 3; do
        for what in alone everything; do
            rm -rf run && mkdir run
            options=()
            [ "$what" = everything ] && options=(--metadata --time-map --panorama --clips run/clips --keogram
                --timelapse both --live run/live --http "127.0.0.1:$(free_port)"
                --mqtt "mqtt://127.0.0.1:$mqtt_port" --station bench)
            (cd run && "$tool" --input "../sky-$size.avi" --headless --budget "${options[@]}" </dev/null >out 2>err)
            grep '^budget:' run/err | sed "s/^/$size $what $run /" >>budget.txt
        done
    done
done
/usr/bin/python3 - budget.txt <<'PY'
import collections, statistics, sys
runs = collections.defaultdict(list)      # (size, what) -> [seconds]
loop = collections.defaultdict(list)      # (size, what, listener) -> [(per image, per tick)]
threads = collections.defaultdict(list)   # (size, what, thread) -> [share]
section = None
for line in open(sys.argv[1]):
    size, what, run, _, rest = line.split(" ", 4)
    rest = rest.strip()
    if " images and " in rest:
        runs[size, what].append(float(rest.split(" in ")[1].split()[0]))
    elif rest.startswith("on the loop"):
        section = "loop"
    elif rest.startswith("threads"):
        section = "threads"
    elif section == "loop":
        name, image, tick, _ = rest.split()
        loop[size, what, name].append((float(image), float(tick)))
    else:
        name, share = rest.split()
        threads[size, what, name].append(float(share))
sizes = sorted({k[0] for k in runs}, key=lambda s: int(s.split("x")[0]))
for size in sizes:
    alone, everything = statistics.median(runs[size, "alone"]), statistics.median(runs[size, "everything"])
    print(f"{size}: {alone:.2f} s with the merge alone, {everything:.2f} s with everything on: "
          f"rate {alone / everything:.2f} of the merge alone")
    def table(heading, rows, cells):
        print(heading + "\n|---|---|---|")
        for (s, what, name), values in sorted(rows.items()):
            if s == size and what == "everything":
                print(f"| {name} | " + " | ".join(cells(name, values)) + " |")
    median = statistics.median
    table("| listener, on the loop's thread | per image (µs) | per tick (µs) |", loop,
          lambda name, values: (f"{median(v[0] for v in values):.1f}", f"{median(v[1] for v in values):.1f}"))
    table("| thread | share of a core, merge alone | everything on |", threads,
          lambda name, values: (f"{median(threads[size, 'alone', name]):.3f}" if (size, "alone", name) in threads
                                else "-", f"{median(values):.3f}"))
    print()
PY
