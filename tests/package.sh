#!/usr/bin/env bash
# The .deb as a user installs it: its dependencies computed, the installed tool
# runs, its man page is there and systemd accepts its unit. Usage: package.sh BUILD_DIR
set -euo pipefail
build=$(realpath "$1") root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
trap 'echo "FAIL at line $LINENO: $BASH_COMMAND"' ERR
cd "$build" && cpack -G DEB -B "$root/out" >/dev/null
deb=$(ls "$root"/out/trailcam_*.deb)
dpkg-deb -f "$deb" Depends | grep -q 'libopencv-videoio' || { echo "dependencies not computed"; exit 1; }
dpkg-deb -x "$deb" "$root/fs"
"$root/fs/usr/bin/trailcam" --version | grep -qx "trailcam [0-9.]*"
test -s "$root/fs/usr/share/man/man1/trailcam.1.gz"
# The manual lists every option, not only --help's first ones.
zcat "$root/fs/usr/share/man/man1/trailcam.1.gz" | grep -q 'meteor\\-margin'
# The unit is checked in the unpacked root, with this system's targets and
# slices beside it for its default dependencies.
units=$root/fs/usr/lib/systemd/system
cp -n /usr/lib/systemd/system/*.target /usr/lib/systemd/system/*.slice "$units/"
cp "$units/trailcam@.service" "$units/trailcam@video0.service"
systemd-analyze verify --man=no --root="$root/fs" trailcam@video0.service
echo "ok (package)"
