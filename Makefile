# Developer commands.  `make demo` and `make test` do all the set-up on a fresh machine.
# The extension is built with `pip install --no-build-isolation .` into the venv, so the build
# dependencies (requirements-build.txt) are installed there first.
SHELL := /bin/bash
PYVER ?= 3.12
VENV ?= .venv
PY := $(VENV)/bin/python
export PYENV_VERSION ?= $(PYVER)
# Profiles of scripts/setup-system.sh: demo (build, speech), test (browsers, codecs), lint.
PROFILES ?= demo test

.PHONY: demo test setup system venv build-deps runtime deps install dev bench asan fuzz lint clean

demo: PROFILES = demo
demo: system runtime   ## run the demo (prints the URL to open); installs only what it needs
	$(PY) examples/demo.py $(ARGS)

test: setup            ## run the whole test suite (browser tests included when chromium is present; -m slow soaks excluded)
	$(PY) -m pytest $(PYTEST_ARGS)

setup: system install

system:                ## system packages of $(PROFILES) when missing and we may install them
	@bash scripts/setup-system.sh $(PROFILES)

venv: $(PY)
$(PY):
	@bash scripts/find-python.sh $(PYVER) >/dev/null
	$$(bash scripts/find-python.sh $(PYVER)) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip

build-deps: venv       ## scikit-build-core, and cmake and ninja unless the system has them
	$(PY) -m pip install -q -r requirements-build.txt
	@cmake --version >/dev/null 2>&1 || $(PY) -m pip install -q "cmake>=3.18"
	@ninja --version >/dev/null 2>&1 || $(PY) -m pip install -q ninja

runtime: build-deps    ## the host (with aiohttp) and the extension (with requests), nothing else
	$(PY) -m pip install -q ./host
	$(PY) -m pip install -q --no-build-isolation ".[relay]"

deps: venv             ## test dependencies
	$(PY) -m pip install -q -r requirements-test.txt

install: deps runtime  ## the runtime and the test dependencies

dev: venv              ## fast rebuild for development: build/dev, linked into python/ (use PYTHONPATH=python)
	$(PY) -m pip install -q -r requirements-dev.txt
	$(PY) -m pip install -q -e ./host
	$(VENV)/bin/cmake -S . -B build/dev -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja -DCMAKE_BUILD_TYPE=Release -DWEB_AUDIO_WERROR=ON -DPython_EXECUTABLE=$(abspath $(PY)) >/dev/null
	$(VENV)/bin/cmake --build build/dev
	for so in build/dev/web_audio*.so build/dev/_codec*.so; do [ ! -e "$$so" ] || ln -sf ../../../$$so python/veltrane/vt_ui/; done

bench: setup           ## benchmarks: ratios against plain Python + numpy in one run
	$(PY) -m pip install -q -r requirements-bench.txt
	$(PY) bench/run_all.py

clean:
	rm -rf build dist $(VENV) python/veltrane/vt_ui/*.so

ASAN_VENV ?= .venv-asan
asan:                  ## the suite against an AddressSanitizer + UBSan build of the extension
	$(MAKE) deps build-deps VENV=$(ASAN_VENV) >/dev/null
	$(ASAN_VENV)/bin/python -m pip install -q ./host
	WEB_AUDIO_SANITIZE=ON $(ASAN_VENV)/bin/python -m pip install -q --no-build-isolation -C build-dir=build/asan --force-reinstall --no-deps .
	LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	PYTHONMALLOC=malloc WEB_AUDIO_SANITIZED=1 $(ASAN_VENV)/bin/python -m pytest -m "not browser" -q -p no:cacheprovider $(PYTEST_ARGS)

fuzz: setup            ## nightly-style fuzzing: 100,000 examples of argument binding and of writer call sequences
	BINDING_FUZZ_EXAMPLES=100000 $(PY) -m pytest -q -p no:cacheprovider tests/test_runtime.py -k argument_binding_matches_python
	WRITER_MACHINE_EXAMPLES=100000 WRITER_FUZZ_EXAMPLES=10000 $(PY) -m pytest -q -p no:cacheprovider tests/writer/test_writer_model.py

lint: PROFILES = lint
lint: system dev       ## clang-tidy and cppcheck on the C++, ruff on the Python, stubtest on the stub (each prints only findings)
	$(VENV)/bin/cmake -S . -B build/dev -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	set -o pipefail; clang-tidy -p build/dev --quiet --warnings-as-errors='*' \
	  --checks='-*,bugprone-*,clang-analyzer-*,performance-*,-bugprone-easily-swappable-parameters,-bugprone-reserved-identifier,-performance-no-int-to-ptr' \
	  src/web_audio/*.cpp src/web_audio/*/*.cpp src/codec/*.cpp 2>&1 | { grep -v '^[0-9]* warnings\? generated\.$$' || true; }
	cppcheck --quiet --error-exitcode=1 --enable=warning,performance,portability --std=c++20 --language=c++ \
	  --suppress=missingIncludeSystem --suppress=toomanyconfigs -I src/web_audio \
	  -I $$($(PY) -c "import sysconfig; print(sysconfig.get_paths()['include'])") src/web_audio src/codec
	$(PY) -m ruff check --quiet .
	PYTHONPATH=python $(PY) -m mypy.stubtest veltrane.vt_ui.web_audio veltrane.vt_ui._codec
