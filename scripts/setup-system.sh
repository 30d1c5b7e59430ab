#!/usr/bin/env bash
# Installs the system packages of the named profiles, when they are missing and we are allowed to
# (root, or passwordless sudo).  Profiles (default: all three):
#   demo  building the extension (g++, cmake, ninja; libopus-dev and libsoxr-dev for its Opus
#         codec module) and real speech (espeak-ng)
#   test  the browser tests: chromium, ffmpeg to encode the test sounds; for the listening
#         tests firefox-esr, webkit2gtk-driver (WebKitGTK's MiniBrowser and WebKitWebDriver) with
#         the GStreamer plugins its media and sound need, pulseaudio (+ pulseaudio-utils) and
#         xvfb; for the cross-machine tests (tests/net) iproute2 (namespaces, link shaping),
#         openssl and nginx
#   lint  clang-tidy and cppcheck
# Never fails the build: without them the browser tests skip (locally) and the demo uses a
# synthetic voice.
set -uo pipefail
profiles=" ${*:-demo test lint} "
want() { [[ "$profiles" == *" $1 "* ]]; }
need=()
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"; }
# demo (and everything else: the extension is built here)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
[ -e /usr/include/opus/opus.h ] || need+=(libopus-dev)
[ -e /usr/include/soxr.h ] || need+=(libsoxr-dev)
command -v espeak-ng >/dev/null 2>&1 || need+=(espeak-ng)
if want test; then
  command -v chromium >/dev/null 2>&1 || need+=(chromium)
  command -v ffmpeg >/dev/null 2>&1 || need+=(ffmpeg)   # the browser tests encode MP3, Ogg, Opus, FLAC, AAC
  # the listening tests: a second engine, a sound server with a null sink and its recorder, an X display
  command -v firefox-esr >/dev/null 2>&1 || need+=(firefox-esr)
  command -v WebKitWebDriver >/dev/null 2>&1 || need+=(webkit2gtk-driver)
  for p in gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav \
           gstreamer1.0-pulseaudio; do
    installed "$p" || need+=("$p")
  done
  command -v pulseaudio >/dev/null 2>&1 || need+=(pulseaudio)
  command -v parec >/dev/null 2>&1 || need+=(pulseaudio-utils)
  command -v Xvfb >/dev/null 2>&1 || need+=(xvfb)
  { command -v ip && command -v tc; } >/dev/null 2>&1 || need+=(iproute2)
  command -v openssl >/dev/null 2>&1 || need+=(openssl)
  [ -x /usr/sbin/nginx ] || need+=(nginx)
fi
if want lint; then
  command -v clang-tidy >/dev/null 2>&1 || need+=(clang-tidy)
  command -v cppcheck >/dev/null 2>&1 || need+=(cppcheck)
fi
[ ${#need[@]} -eq 0 ] && exit 0
SUDO=""
if [ "$(id -u)" != 0 ]; then
  if sudo -n true 2>/dev/null; then SUDO="sudo -n"; else
    echo "note: missing ${need[*]} (not root: install them yourself for browser tests and real speech)" >&2
    exit 0
  fi
fi
echo "installing ${need[*]} ..." >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null 2>&1 || true
$SUDO apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null 2>&1 \
  || echo "note: could not install ${need[*]}" >&2
exit 0
