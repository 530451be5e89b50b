#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the program need, if any are missing.
# Idempotent: with everything present it only checks. As root it installs with apt-get;
# otherwise it prints the exact command to run and fails.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config clang-format
    clang libclang-rt-dev
    qt6-base-dev qt6-multimedia-dev qt6-l10n-tools qt6-tools-dev qt6-tools-dev-tools
    libx264-dev libavformat-dev libavcodec-dev libavutil-dev libyuv-dev libdeflate-dev
    libjsoncpp-dev libminizip-dev zlib1g-dev libudev-dev libusb-1.0-0-dev
    libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev
    xvfb xauth xdotool x11-utils ffmpeg fonts-noto-cjk unzip zip desktop-file-utils pngcheck
    dpkg-dev lintian appstream graphicsmagick file
    libmosquitto-dev mosquitto mosquitto-clients openssl
    python3
)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    if [[ "$status" != "install ok installed" ]]; then
        missing+=("$package")
    fi
done

if [[ ${#missing[@]} -eq 0 ]]; then
    exit 0
fi

if [[ $(id -u) -ne 0 ]]; then
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi

echo "Installing missing Debian packages: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
