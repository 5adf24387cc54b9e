# make run   : installs what is missing, builds, starts Bitlay on the stand-in's default design
# make test  : installs what is missing, checks the format and the Python lint, builds, makes the
#              Debian roots of the other KiCads the tests run against (the first time only, while
#              the packages install and the tool builds), runs every test (scripts/run-tests)
# make check : the quick loop: builds and runs the unit tests only, those that need neither a
#              KiCad, an X server nor a sanitizer build (ctest -L unit)
# make roots : makes those roots only
# make bench : builds and runs the benchmarks
# make fuzz [FUZZ_SECONDS=60] : builds the fuzz targets (clang, in build-fuzz/) and runs each for
#              FUZZ_SECONDS, saying executions, coverage and findings
# make install [PREFIX=/usr/local] [DESTDIR=...] : installs the built tool (bin, lib/bitlay, share)
# make install-kicad-plugin : the KiCad plugin for this build, for the current user
# make package : the Debian package bitlay_<version>_amd64.deb in the build folder
# make format : formats the C++ sources as .clang-format says (clang-format 19)
# make check-format : fails when a C++ source is not formatted so; `make test` runs it first
# make lint-python : flake8 over the Python scripts; `make test` runs it first
BUILD ?= build
PREFIX ?= /usr/local
# cmake --build runs make beneath this make; without this every level announces its directory.
MAKEFLAGS += --no-print-directory
JOBS  ?= $(shell nproc)
# Warnings fail the build only where they are looked at: `make test` turns this on for its builds.
WERROR ?= OFF
FUZZ_BUILD ?= $(BUILD)-fuzz
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := board board_text picture number reply

.PHONY: all deps configure build fuzz-build roots run test check fuzz bench install \
	install-kicad-plugin package format check-format lint-python clean

all: build

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBITLAY_WERROR=$(WERROR) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# The fuzz targets and the stand-in's sanitized tests, with clang in a folder of their own.
fuzz-build: deps
	@cmake -S . -B $(FUZZ_BUILD) -DBITLAY_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ \
		-DCMAKE_BUILD_TYPE=RelWithDebInfo -DBITLAY_WERROR=$(WERROR) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS)

run: build
	@./scripts/run-bitlay $(BUILD)/bin/bitlay

roots: deps
	@./scripts/kicad-roots

# The builds of test and check take WERROR too, so a warning fails them; a later `make run`
# builds without it again (switching recompiles, as the flags change). scripts/run-tests installs
# and says in which order the rest runs: the roots made while the packages install and the tool
# builds, the sanitizer build beside the tool's tests.
test: WERROR = ON
test:
	@./scripts/run-tests $(BUILD) $(FUZZ_BUILD) $(JOBS)

check: WERROR = ON
check: configure
	@cmake --build $(BUILD) --target unit_tests -j $(JOBS)
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L unit

# Each target in turn; the inputs each finds are kept in $(FUZZ_BUILD)/fuzz-corpus for the next run.
fuzz: fuzz-build
	@status=0; for target in $(FUZZ_TARGETS); do \
		./fuzz/run-fuzzer $$target $(FUZZ_SECONDS) $(FUZZ_BUILD) || status=1; done; exit $$status

bench: deps
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DBITLAY_TESTS=OFF -DBITLAY_BENCH=ON >/dev/null
	@cmake --build $(BUILD)-bench -j $(JOBS)
	@for b in $(BUILD)-bench/bin/bench_*; do echo "== $$b"; (cd $(BUILD)-bench && "$$OLDPWD/$$b") || exit 1; done

# Builds first only where nothing is built yet, so that `sudo make install` after `make` leaves
# the build folder to its owner.
install:
	@test -x $(BUILD)/bin/bitlay || $(MAKE) build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# Like install: builds only where nothing is built yet, so that it never reconfigures a build made
# by `make test` (which would rebuild it without -Werror).
install-kicad-plugin:
	@test -x $(BUILD)/bin/bitlay || $(MAKE) build
	@./scripts/install-kicad-plugin $(BUILD)/kicad-plugin/bitlay

package: build
	@cd $(BUILD) && { cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }; }
	@ls $(BUILD)/bitlay_*_amd64.deb

format: deps
	@./scripts/check-format --fix

check-format: deps
	@./scripts/check-format

lint-python: deps
	@./scripts/lint-python

clean:
	@rm -rf $(BUILD) $(BUILD)-bench $(FUZZ_BUILD)
