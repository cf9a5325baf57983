#!/usr/bin/env bash
# The picture in docs/calibration.md: a synthetic night with amp glow and hot
# pixels replayed by the tool without and with --dark and --hot-pixels auto,
# side by side. Usage: calibration_picture.sh TRAILCAM OUT.png
set -euo pipefail
tool=$(realpath "$1") out=$(realpath -m "$2") work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
# 320 x 240, 200 images: noise, a glowing corner, stars drifting a pixel every
# 4 images, 150 hot and warm pixels; the covered images have glow and noise only.
python3 - <<'PY'
import os, random
W, H = 320, 240
random.seed(7)
hot = [(random.randrange(W), random.randrange(H), random.choice((255, 120))) for _ in range(150)]
stars = [(random.randrange(W), random.randrange(H), random.randint(120, 230)) for _ in range(60)]
glow = [min(90, int(90 * max(0, 1 - ((x - W) ** 2 + y ** 2) ** 0.5 / 150))) for y in range(H) for x in range(W)]
os.mkdir("covered"), os.mkdir("sky")
for i in range(200):
    rnd = random.Random(i)
    base = bytearray(max(0, min(255, 18 + glow[j] + int(rnd.gauss(0, 3)))) for j in range(W * H))
    if i < 30:
        open("covered/%03d.pgm" % i, "wb").write(b"P5 %d %d 255\n" % (W, H) + bytes(base))
    for x, y, level in stars:
        base[y * W + (x + i // 4) % W] = level
    for x, y, level in hot:
        base[y * W + x] = max(base[y * W + x], level)
    open("sky/%03d.pgm" % i, "wb").write(b"P5 %d %d 255\n" % (W, H) + bytes(base))
PY
"$tool" -i 'covered/%03d.pgm' --make-dark dark.png --dark-frames 30 >/dev/null
"$tool" -i 'sky/%03d.pgm' -o plain >/dev/null
"$tool" -i 'sky/%03d.pgm' -o calibrated --dark dark.png --hot-pixels auto >/dev/null 2>&1
ffmpeg -v error -y -i plain/1.jpg -i calibrated/1.jpg -filter_complex hstack "$out"
echo "written $out"
