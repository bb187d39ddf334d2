#!/usr/bin/env bash
# Installs the Debian packages that building, testing and the demo need
# (openssl makes the TLS tests' certificates; glib-networking gives
# GStreamer's RTSP server its TLS).
# Idempotent: packages already present are left alone, and apt-get runs only
# when something is missing.
set -euo pipefail

PKGS=(
  g++ cmake pkg-config make
  libace-dev libboost-dev libssl-dev
  openssl glib-networking
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  gstreamer1.0-rtsp gir1.2-gst-rtsp-server-1.0 python3-gi python3-gst-1.0
  gstreamer1.0-tools gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-plugins-ugly
  ffmpeg
  vlc-bin vlc-plugin-base rtsp-server-perl
  libtomlplusplus-dev libcpp-httplib-dev chromium python3-prometheus-client
)

missing=()
for p in "${PKGS[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
# The browser test runs puppeteer-core under node; a node from elsewhere
# that brings its own npm is kept.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
