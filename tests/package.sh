#!/usr/bin/env bash
# Builds the .deb, unpacks it into a temporary root, and checks that the
# installed tool runs, its unit is accepted by systemd and its man page exists.
# Usage: package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1")
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
cd "$build"
cpack -G DEB -B "$root/out" >/dev/null
deb=$(ls "$root"/out/trailcam_*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libopencv-videoio' || { echo "dependencies not computed"; exit 1; }
dpkg-deb -x "$deb" "$root/fs"
"$root/fs/usr/bin/trailcam" --version | grep -qx "trailcam [0-9.]*" || { echo "installed binary"; exit 1; }
test -s "$root/fs/usr/share/man/man1/trailcam.1.gz" || { echo "no man page"; exit 1; }
# The unit is checked inside the unpacked root, with this system's own
# targets and slices beside it for its default dependencies.
units=$root/fs/usr/lib/systemd/system
cp -n /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice "$units/"
cp "$units/trailcam@.service" "$units/trailcam@video0.service"
systemd-analyze verify --man=no --root="$root/fs" trailcam@video0.service
echo "ok (package)"
