# Two commands do all the set-up on a fresh Debian 12 machine:
#   make run    installs what is missing, builds, starts the player on the demo cards
#   make test   installs what is missing, builds, runs every test
# make fuzz runs the libFuzzer builds of the card readers for a bounded time.
# make install (PREFIX=/usr/local) installs the programs, desktop entry, icon,
# AppStream metadata and manual pages; make package builds the Debian package.
# SAN=address or SAN=thread builds into build-<san>/ with that sanitizer.

SAN ?=
ifeq ($(SAN),)
BUILD ?= build
else
BUILD ?= build-$(SAN)
endif
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

PREFIX ?= /usr/local

.PHONY: all deps configure build test run demo screenshot bench fuzz install package clean

all: build

deps:
	@bash scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DSAN=$(SAN) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 900

demo: build
	@bash scripts/make-demo $(BUILD)

run: demo
	@bash scripts/run-player $(BUILD)

screenshot: demo
	@bash scripts/screenshot $(BUILD)

bench: build
	@bash bench/run $(BUILD)

fuzz: deps
	@bash scripts/fuzz

install: build
	@cmake --install $(BUILD) --prefix $(PREFIX)

package: build
	@cd $(BUILD) && cpack -G DEB

clean:
	rm -rf build build-address build-thread build-fuzz
