#!/usr/bin/env bash
# Installs the Debian packages that are not installed yet: those of the sets
# named ("build": to build the tool; "test": to run the whole suite too).
set -euo pipefail

build=(cmake make g++ pkg-config libopencv-dev libxcb1-dev libcli11-dev libmicrohttpd-dev libexiv2-dev
    libavformat-dev libavcodec-dev libavutil-dev libmosquitto-dev nlohmann-json3-dev libindi-dev libcfitsio-dev
    libnova-dev libsep-dev)
test=(libgtest-dev libbenchmark-dev xvfb xauth xdotool x11-utils clang-format ffmpeg help2man dpkg-dev systemd
    python3-selenium chromium chromium-driver bc mosquitto mosquitto-clients indi-bin rclone tzdata)

wanted=()
for set in "$@"; do
    case $set in
    build) wanted+=("${build[@]}") ;;
    test) wanted+=("${test[@]}") ;;
    *) wanted+=("$set") ;;
    esac
done
missing=()
for package in "${wanted[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "installing: ${missing[*]}"
$sudo apt-get update
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
