#!/usr/bin/env bash
# Installs the Debian packages Zynwatch needs to build and test, only those that are missing.
# Safe to run again; needs root (or sudo) only when something is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkgconf git
  libgtest-dev libgmock-dev libbenchmark-dev capnproto libcapnp-dev libssl-dev
  qt6-base-dev libgl-dev libxcb1-dev xvfb xauth x11-utils dbus dbus-x11 xdg-utils libpng-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "zynwatch setup: installing ${missing[*]}"
  sudo_cmd=()
  if [[ $(id -u) -ne 0 ]]; then sudo_cmd=(sudo); fi
  export DEBIAN_FRONTEND=noninteractive
  "${sudo_cmd[@]}" apt-get update -qq
  "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
