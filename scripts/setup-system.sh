#!/usr/bin/env bash
# Installs the system packages the demo, the browser and cross-machine tests and `make lint` use, when they are
# missing and we are allowed to (root, or passwordless sudo).  Never fails the build:
# without them the browser tests skip (locally) and the demo uses a synthetic voice.
set -uo pipefail
need=()
command -v chromium >/dev/null 2>&1 || need+=(chromium)
command -v espeak-ng >/dev/null 2>&1 || need+=(espeak-ng)
command -v ffmpeg >/dev/null 2>&1 || need+=(ffmpeg)   # the browser tests encode MP3, Ogg, Opus, FLAC, AAC
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v clang-tidy >/dev/null 2>&1 || need+=(clang-tidy)
command -v cppcheck >/dev/null 2>&1 || need+=(cppcheck)
# the cross-machine tests (tests/net): network namespaces, link shaping, TLS, a reverse proxy
command -v ip >/dev/null 2>&1 && command -v tc >/dev/null 2>&1 || need+=(iproute2)
command -v openssl >/dev/null 2>&1 || need+=(openssl)
[ -x /usr/sbin/nginx ] || need+=(nginx)
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
