"""The sun's altitude by the NOAA solar calculator's algorithm, written apart
from the tool (which uses libnova), for the dusk-to-dawn check.

Usage: sun_times.py FOLDER LAT LON START STEP COUNT LIMIT
writes COUNT grey images FOLDER/0000.pgm ..., one every STEP seconds from
START (Unix seconds): white while the sun is above LIMIT degrees, black
otherwise and within 90 s of a crossing (where two algorithms may differ by
a few seconds); prints the crossings found, one a line: "dusk UNIX" or
"dawn UNIX", to the second."""
import math
import os
import sys


def altitude(t, lat, lon):
    r, d = math.radians, math.degrees
    jc = (t / 86400 + 2440587.5 - 2451545) / 36525
    l0 = (280.46646 + jc * (36000.76983 + jc * 0.0003032)) % 360
    m = 357.52911 + jc * (35999.05029 - 0.0001537 * jc)
    e = 0.016708634 - jc * (0.000042037 + 0.0000001267 * jc)
    c = (math.sin(r(m)) * (1.914602 - jc * (0.004817 + 0.000014 * jc))
         + math.sin(r(2 * m)) * (0.019993 - 0.000101 * jc) + math.sin(r(3 * m)) * 0.000289)
    omega = 125.04 - 1934.136 * jc
    longitude = l0 + c - 0.00569 - 0.00478 * math.sin(r(omega))
    obliquity = (23 + (26 + (21.448 - jc * (46.815 + jc * (0.00059 - jc * 0.001813))) / 60) / 60
                 + 0.00256 * math.cos(r(omega)))
    declination = math.asin(math.sin(r(obliquity)) * math.sin(r(longitude)))
    y = math.tan(r(obliquity / 2)) ** 2
    equation = 4 * d(y * math.sin(2 * r(l0)) - 2 * e * math.sin(r(m))
                     + 4 * e * y * math.sin(r(m)) * math.cos(2 * r(l0))
                     - 0.5 * y * y * math.sin(4 * r(l0)) - 1.25 * e * e * math.sin(2 * r(m)))
    hour_angle = ((t % 86400) / 60 + equation + 4 * lon) % 1440 / 4 - 180
    cos_zenith = (math.sin(r(lat)) * math.sin(declination)
                  + math.cos(r(lat)) * math.cos(declination) * math.cos(r(hour_angle)))
    return 90 - d(math.acos(max(-1.0, min(1.0, cos_zenith))))


def crossings(lat, lon, start, end, limit):
    found = []
    day = altitude(start, lat, lon) > limit
    for t in range(start, end, 60):
        if (altitude(t + 60, lat, lon) > limit) == day:
            continue
        low, high = t, t + 60
        while high - low > 1:
            middle = (low + high) // 2
            if (altitude(middle, lat, lon) > limit) == day:
                low = middle
            else:
                high = middle
        day = not day
        found.append(("dawn" if day else "dusk", high))
    return found


def main():
    folder, lat, lon, start, step, count, limit = sys.argv[1:]
    lat, lon, limit = float(lat), float(lon), float(limit)
    start, step, count = int(start), int(step), int(count)
    found = crossings(lat, lon, start, start + step * count, limit)
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        t = start + i * step
        near = any(abs(t - when) <= 90 for _, when in found)
        white = not near and altitude(t, lat, lon) > limit
        with open(os.path.join(folder, "%04d.pgm" % i), "wb") as image:
            image.write(b"P5 64 48 255\n" + bytes([255 if white else 0]) * (64 * 48))
    for kind, when in found:
        print(kind, when)


main()
