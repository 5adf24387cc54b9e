# make run   : installs what is missing, builds, starts Bitlay on the stand-in's default design
# make test  : installs what is missing, builds, makes the Debian roots of the other KiCads the
#              tests run against (the first time only), runs every test
# make roots : makes those roots only
# make bench : builds and runs the benchmarks
# make install [PREFIX=/usr/local] [DESTDIR=...] : installs the built tool (bin, lib/bitlay, share)
# make install-kicad-plugin : the KiCad plugin for this build, for the current user
# make package : the Debian package bitlay_<version>_amd64.deb in the build folder
# make format : formats the C++ sources as .clang-format says (clang-format 19)
# make check-format : fails when a C++ source is not formatted so; `make test` runs it first
BUILD ?= build
PREFIX ?= /usr/local
# cmake --build runs make beneath this make; without this every level announces its directory.
MAKEFLAGS += --no-print-directory
JOBS  ?= $(shell nproc)

.PHONY: all deps build roots run test bench install install-kicad-plugin package format \
	check-format clean

all: build

deps:
	@./scripts/install-deps

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

run: build
	@./scripts/run-bitlay $(BUILD)/bin/bitlay

roots: deps
	@./scripts/kicad-roots

test: build
	@./scripts/check-format
	@./scripts/kicad-roots
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: deps
	@cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DBITLAY_TESTS=OFF -DBITLAY_BENCH=ON >/dev/null
	@cmake --build $(BUILD)-bench -j $(JOBS)
	@for b in $(BUILD)-bench/bin/bench_*; do echo "== $$b"; (cd $(BUILD)-bench && "$$OLDPWD/$$b") || exit 1; done

# Builds first only where nothing is built yet, so that `sudo make install` after `make` leaves
# the build folder to its owner.
install:
	@test -x $(BUILD)/bin/bitlay || $(MAKE) build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

install-kicad-plugin: build
	@./scripts/install-kicad-plugin $(BUILD)/kicad-plugin/bitlay

package: build
	@cd $(BUILD) && { cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }; }
	@ls $(BUILD)/bitlay_*_amd64.deb

format: deps
	@./scripts/check-format --fix

check-format: deps
	@./scripts/check-format

clean:
	@rm -rf $(BUILD) $(BUILD)-bench
