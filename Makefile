# The project's commands. Each creates .venv when it is missing and installs what it needs.
PYTHON ?= python3
VENV ?= .venv
BIN := $(VENV)/bin
BUILD_DIR ?= build/$(notdir $(VENV))
PIP := $(BIN)/python -m pip --disable-pip-version-check

.PHONY: install test demo bench format lint typecheck stubtest test-sanitize coverage dist smoke clean

# The lint and type tools, at the versions the code is checked with (the same in
# .pre-commit-config.yaml and the dev extra).
LINT_TOOLS := ruff==0.17.6 clang-format==23.1.5
MYPY := mypy==2.4.1

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
	$(PIP) install --quiet $(LINT_TOOLS)
	$(BIN)/ruff format src tests bench demo tools
	$(BIN)/clang-format -i $$(git ls-files 'src/*.cpp' 'src/*.hpp')

# No cache: whether an import is first-party depends on the tree around the file, which the cache
# does not key on, so a cached pass can hide an import order a fresh clone rejects.
lint: $(BIN)/python
	$(PIP) install --quiet $(LINT_TOOLS)
	$(BIN)/ruff check --no-cache src tests bench demo tools
	$(BIN)/ruff format --check src tests bench demo tools
	$(BIN)/clang-format --dry-run --Werror $$(git ls-files 'src/*.cpp' 'src/*.hpp')

# The Python sources, type-checked against each other and the stubs of the extension modules.
typecheck: install
	$(PIP) install --quiet $(MYPY)
	$(BIN)/python -m mypy src/kavrel

# The stubs (.pyi) beside the extension modules, checked against what the modules really hold.
EXTENSION_MODULES := $(shell sed -n 's/^    "\(kavrel[a-z_.]*\)",$$/\1/p' src/kavrel/_extensions.py)
stubtest: install
	$(PIP) install --quiet $(MYPY)
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
	  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:log_path=$(SANITIZE_LOG) \
	  UBSAN_OPTIONS=print_stacktrace=1:log_path=$(SANITIZE_LOG) \
	  $(SANITIZE_VENV)/bin/python -m pytest $(PYTEST_ARGS) \
	  || { cat $(SANITIZE_LOG).* 2>/dev/null; exit 1; }
	@if ls $(SANITIZE_LOG).* >/dev/null 2>&1; then cat $(SANITIZE_LOG).*; exit 1; fi

# Line coverage of the C++ (gcov, through gcovr) and of the Python (coverage.py), from one run of
# the suite against modules built with --coverage in a venv of their own.
COVERAGE_VENV := .venv-coverage
COVERAGE_DIR := build/coverage
coverage:
	CXXFLAGS="--coverage -O0" LDFLAGS="--coverage" $(MAKE) install VENV=$(COVERAGE_VENV)
	$(COVERAGE_VENV)/bin/python -m pip --disable-pip-version-check install --quiet coverage==7.18.0 gcovr==8.8
	find build/$(COVERAGE_VENV) -name '*.gcda' -delete
	rm -rf $(COVERAGE_DIR) && mkdir -p $(COVERAGE_DIR)
	COVERAGE_FILE=$(CURDIR)/$(COVERAGE_DIR)/python.data $(COVERAGE_VENV)/bin/python -m coverage run \
	  -m pytest -q -p no:cacheprovider $(PYTEST_ARGS)
	COVERAGE_FILE=$(COVERAGE_DIR)/python.data $(COVERAGE_VENV)/bin/python -m coverage combine -q
	@echo "Python (without the local server):"
	@COVERAGE_FILE=$(COVERAGE_DIR)/python.data $(COVERAGE_VENV)/bin/python -m coverage report | tail -1
	@echo "C++:"
	@$(COVERAGE_VENV)/bin/gcovr --root . --filter 'src/kavrel/' --gcov-ignore-errors=no_working_dir_found \
	  --print-summary --txt $(COVERAGE_DIR)/cpp.txt build/$(COVERAGE_VENV) | tail -3

# The sdist, and the wheel built from it (so a file the sdist lacks breaks the wheel here).
dist: $(BIN)/python
	$(PIP) install --quiet build
	rm -rf dist
	$(BIN)/python -m build --outdir dist .

# The wheel of `make dist` installed into a clean venv, and the installed command run once.
SMOKE_VENV := build/smoke-venv
smoke: dist
	rm -rf $(SMOKE_VENV)
	$(PYTHON) -m venv $(SMOKE_VENV)
	$(SMOKE_VENV)/bin/python -m pip --disable-pip-version-check install --quiet dist/*.whl
	cd build && smoke-venv/bin/python ../tools/smoke.py

clean:
	rm -rf build dist $(VENV) $(SANITIZE_VENV) $(COVERAGE_VENV)

bench: install
	@for script in bench/bench_*.py; do $(BIN)/python "$$script" || exit 1; done

# The whole suite on 32-bit ARM, emulated (slow, so not part of CI). The first run creates a
# Debian armhf root under .armhf/ and needs root; see "Supported platforms" in README.md.
.PHONY: test-armhf
test-armhf:
	PYTEST_ARGS="$(PYTEST_ARGS)" bash tools/armhf.sh test
