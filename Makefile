# The project's commands. Each creates .venv when it is missing and installs what it needs.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
BUILD_DIR ?= build/$(notdir $(VENV))
PIP := $(BIN)/python -m pip --disable-pip-version-check

.PHONY: install test demo bench format lint stubtest test-sanitize clean

$(BIN)/python:
	@$(PYTHON) -c 'import sys; sys.exit(sys.version_info < (3, 11))' || \
	  { echo "kavrel needs Python 3.11 or newer as $(PYTHON) (make PYTHON=/path/to/python3.11)"; exit 1; }
	$(PYTHON) -m venv --upgrade-deps $(VENV)

# The build tools go into the venv first so the package builds without isolation, which keeps
# the CMake build directory (and its incremental rebuilds) across runs.
install: $(BIN)/python
	$(PIP) install --quiet 'scikit-build-core>=0.10' 'pybind11>=2.12'
	$(PIP) install --quiet --no-build-isolation -C build-dir=$(BUILD_DIR) '.[test]'

test: install
	$(BIN)/python -m pytest $(PYTEST_ARGS)

# The main job on a laptop: a sample SQLite warehouse upserted, updated and deleted into the local
# Bulk API server, with the progress lines and what the server holds afterwards.
demo: install
	$(BIN)/python demo/demo.py

format: $(BIN)/python
	$(PIP) install --quiet ruff clang-format
	$(BIN)/ruff format src tests bench demo
	$(BIN)/clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp')

# No cache: whether an import is first-party depends on the tree around the file, which the cache
# does not key on, so a cached pass can hide an import order a fresh clone rejects.
lint: $(BIN)/python
	$(PIP) install --quiet ruff clang-format
	$(BIN)/ruff check --no-cache src tests bench demo
	$(BIN)/ruff format --check src tests bench demo
	$(BIN)/clang-format --dry-run --Werror $$(git ls-files 'src/*.cpp' 'src/*.hpp')

# The stubs (.pyi) beside the extension modules, checked against what the modules really hold.
EXTENSION_MODULES := kavrel.user.connections.manager kavrel.salesforce.vantro \
	kavrel.cli.commands.tallyra kavrel.cli.commands.mintova kavrel.util.csv
stubtest: install
	$(PIP) install --quiet mypy
	$(BIN)/python -m mypy.stubtest $(EXTENSION_MODULES)

# The suite against modules built with AddressSanitizer and UndefinedBehaviorSanitizer, in a venv
# of their own. The interpreter itself is not instrumented, so the ASan runtime is preloaded, with
# the C++ runtime after it (ASan finds the `throw` it intercepts only in a library loaded by then),
# and its leak check stays off: the interpreter keeps much of what it allocates until exit, on
# purpose. pytest captures what the sanitizers print, so their reports go to files, shown on failure.
SANITIZE_VENV := .venv-sanitize
SANITIZE_FLAGS := -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer
SANITIZE_LOG := build/sanitize/report
test-sanitize:
	CXXFLAGS="$(SANITIZE_FLAGS)" $(MAKE) install VENV=$(SANITIZE_VENV)
	rm -rf $(dir $(SANITIZE_LOG)) && mkdir -p $(dir $(SANITIZE_LOG))
	LD_PRELOAD="$$($${CXX:-c++} -print-file-name=libasan.so) $$($${CXX:-c++} -print-file-name=libstdc++.so)" \
	  ASAN_OPTIONS=detect_leaks=0:log_path=$(SANITIZE_LOG) \
	  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(SANITIZE_LOG) \
	  $(SANITIZE_VENV)/bin/python -m pytest $(PYTEST_ARGS) \
	  || { cat $(SANITIZE_LOG).* 2>/dev/null; exit 1; }
	@if ls $(SANITIZE_LOG).* >/dev/null 2>&1; then cat $(SANITIZE_LOG).*; exit 1; fi

clean:
	rm -rf build $(VENV) $(SANITIZE_VENV)

bench: install
	@for script in bench/bench_*.py; do $(BIN)/python "$$script" || exit 1; done

# The whole suite on 32-bit ARM, emulated (slow, so not part of CI). The first run creates a
# Debian armhf root under .armhf/ and needs root; see "Supported platforms" in README.md.
.PHONY: test-armhf
test-armhf:
	PYTEST_ARGS="$(PYTEST_ARGS)" bash tools/armhf.sh test
