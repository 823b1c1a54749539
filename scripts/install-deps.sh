#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those missing. Usage: install-deps.sh [--test]
set -euo pipefail

# umockdev: the virtual headset's devices appear to programs run under its preload.
packages=(cmake g++ make pkg-config libglew-dev libglfw3-dev libgl-dev libgl1-mesa-dri
          libudev-dev libxcb-randr0-dev libpng-dev umockdev libumockdev-dev)
if [[ "${1:-}" == "--test" ]]; then
    packages+=(libgtest-dev libgmock-dev libbenchmark-dev xvfb xauth xdotool
               clang clang-tidy libclang-rt-14-dev nlohmann-json3-dev)
fi
# The demo needs a display to run in; without one, it runs in a virtual framebuffer.
if [[ "${1:-}" != "--test" && -z "${DISPLAY:-}" ]]; then
    packages+=(xvfb xauth)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
if [[ ${#missing[@]} -eq 0 ]]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=""
if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || { echo "install-deps: run as root or install sudo" >&2; exit 1; }
    sudo="sudo"
fi
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
