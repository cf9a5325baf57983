#!/usr/bin/env bash
# Builds trailcam for arm64 (Raspberry Pi OS 64-bit, Debian arm64) on this
# amd64 Debian and tests it under qemu-user: the unit tests, a replay whose
# console lines, snapshots and segments must equal the amd64 build's, and the
# arm64 .deb. Installs what is missing: the cross compilers and qemu as
# packages of this machine, the arm64 libraries into a folder of their own
# (a sysroot), never beside this machine's own.
#
# Usage: bash scripts/test-arm64.sh   (after scripts/test.sh, whose amd64
# build in build/ the replay is compared with; it builds that too if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh build crossbuild-essential-arm64 qemu-user-static dpkg-dev file

# The arm64 libraries. Installed through multiarch beside the amd64 ones,
# OpenCV's image codecs pull in arm64 packages that are not multi-arch
# (GDAL, OpenEXR, Armadillo), and apt takes away the amd64 OpenCV for them:
# they are unpacked into a sysroot instead, with every package they need.
wanted=(libc6-dev libstdc++-12-dev libopencv-dev libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
    libopencv-videoio-dev libopencv-highgui-dev libxcb1-dev libmicrohttpd-dev libexiv2-dev libavformat-dev
    libavcodec-dev libavutil-dev libmosquitto-dev libcfitsio-dev libnova-dev libsystemd-dev libgtest-dev
    libindi-dev libsep-dev)
headers=(libcli11-dev nlohmann-json3-dev)  # architecture-independent
sysroot=${TRAILCAM_ARM64_SYSROOT:-$HOME/.cache/trailcam/arm64-sysroot}
stamp="$sysroot/.packages"
if [ "$(cat "$stamp" 2>/dev/null)" != "${wanted[*]} ${headers[*]}" ]; then
    echo "== arm64 libraries into $sysroot"
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        sudo=""
        [ "$(id -u)" = 0 ] || sudo=sudo
        $sudo dpkg --add-architecture arm64
        $sudo apt-get update -q
    fi
    rm -rf "$sysroot" "$sysroot.debs"
    mkdir -p "$sysroot.debs"
    # Every package they depend on, alternatives included; virtual ones and
    # this machine's own tools left out.
    mapfile -t closure < <(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts \
        --no-breaks --no-replaces --no-enhances "${wanted[@]/%/:arm64}" "${headers[@]}" |
        grep -v '^ ' | grep -v '^<' | sort -u)
    mapfile -t packages < <(printf '%s\n' "${closure[@]}" | grep ':arm64$')
    # Those of no architecture (headers, data) among the rest.
    mapfile -t others < <(printf '%s\n' "${closure[@]}" | grep -v ':')
    mapfile -t independent < <(apt-cache show --no-all-versions "${others[@]}" 2>/dev/null |
        awk '/^Package: /{p=$2} /^Architecture: all/{print p}' | sort -u)
    packages+=("${independent[@]}")
    (cd "$sysroot.debs" && apt-get download -q "${packages[@]}" >/dev/null 2>&1)
    for deb in "$sysroot.debs"/*.deb; do
        dpkg-deb -x "$deb" "$sysroot"
        # Which package each library comes from, for the .deb's dependencies.
        dpkg-deb -c "$deb" | awk -v p="$(dpkg-deb -f "$deb" Package)" -v v="$(dpkg-deb -f "$deb" Version)" \
            '$6 ~ /\.so\.[0-9]/ { sub(/^\.\//, "", $6); print $6, p, v }' >>"$sysroot/.libraries"
    done
    # Links to absolute paths point into the sysroot.
    find "$sysroot" -type l -lname '/*' | while read -r link; do
        ln -sfn "$sysroot$(readlink "$link")" "$link"
    done
    # What dpkg's alternatives would link: the reference BLAS and LAPACK.
    for library in blas/libblas.so.3 lapack/liblapack.so.3; do
        ln -sfn "$library" "$sysroot/usr/lib/aarch64-linux-gnu/$(basename "$library")"
    done
    rm -rf "$sysroot.debs"
    echo "${wanted[*]} ${headers[*]}" >"$stamp"
fi

echo "== cross-building build-arm64/"
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
    -DTRAILCAM_ARM64_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=ON -DTRAILCAM_WERROR=ON
cmake --build build-arm64 -j "$(nproc)"
file build-arm64/trailcam | grep -q 'ARM aarch64' || { echo "build-arm64/trailcam is not an arm64 program"; exit 1; }
echo "$(file -b build-arm64/trailcam | cut -d, -f1-2)"

echo "== unit tests under qemu"
# Left out: the two seeded synthetic hours of meteors (minutes of work that
# take an hour under qemu; the replay below finds the scripted night's meteor
# on both processors). The unit tests start no server and need no display.
ctest --test-dir build-arm64 -L unit -E 'Meteors.SyntheticNights' --output-on-failure --no-tests=error -j 2

echo "== the same replay on both processors"
[ -x build/trailcam ] || {
    cmake -S . -B build -DCMAKE_BUILD_TYPE=Release
    cmake --build build -j "$(nproc)"
}
bash tests/arm64_replay.sh build/trailcam build-arm64/trailcam "$sysroot"

echo "== the arm64 package"
# Its dependencies: the arm64 packages of the libraries it links (any of
# them where several give one, as FFmpeg's and its -extra twin), at least the
# upstream versions it was built with.
depends=$(aarch64-linux-gnu-readelf -d build-arm64/trailcam | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    while read -r soname; do
        awk -v so="$soname" '{ n = split($1, p, "/"); v = $3; sub(/-[^-]*$/, "", v)
            if (p[n] == so) print $2 " (>= " v ")" }' "$sysroot/.libraries" | sort -ur | paste -sd'|' | sed 's/|/ | /g'
    done | sort -u | paste -sd, | sed 's/,/, /g')
[ -n "$depends" ] || { echo "no dependencies found for the arm64 package"; exit 1; }
cmake build-arm64 -DTRAILCAM_DEB_DEPENDS="$depends" >/dev/null
(cd build-arm64 && cpack -G DEB >/dev/null)
deb=$(ls build-arm64/trailcam_*_arm64.deb)
dpkg-deb -f "$deb" Architecture | grep -qx arm64
echo "$deb: $(dpkg-deb -f "$deb" Depends)"
echo "ok (arm64)"
