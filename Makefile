# Top-level driver. Every target installs missing Debian packages first.
JOBS ?= $(shell nproc)
DEPS := scripts/install-deps
# Paths relative to the checkout, so the compiler cache serves any clone of it.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true

.PHONY: all deps build test check asan tsan fuzz browser bench demo debug-view soak install deb clean

all: build

deps:
	@bash $(DEPS)

build: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)

# Each ctest run gets a fresh TMPDIR in the build tree and fails if a test leaves anything there.
GUARDED_CTEST := bash scripts/run-ctest-guarded

test: build
	$(GUARDED_CTEST) build/default --preset default

asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	$(GUARDED_CTEST) build/asan --preset asan

tsan: deps
	cmake --preset tsan
	cmake --build --preset tsan -j $(JOBS)
	$(GUARDED_CTEST) build/tsan --preset tsan

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS) --target fuzz_targets
	bash scripts/run-fuzz build/fuzz

# The debug view in headless Chromium (a few seconds; kept out of `make test`).
browser: build
	$(GUARDED_CTEST) build/default --preset browser

# The browser test, the sanitizer suites, and the fuzz targets for a bounded time.
check: browser asan tsan fuzz

bench: build
	bash scripts/run-bench build/default

demo: build
	bash scripts/run-demo build/default

# The demo against a measurement service that stays up afterwards, with its debug view.
debug-view: build
	TALLYWISE_DEMO_KEEP_SERVICE=$(CURDIR)/build/default/debug-view bash scripts/run-demo build/default

# An app logging at a steady rate against the local service with faults injected, for
# SOAK_SECONDS (600 by default; SOAK_RATE events per second, 100). Not part of CI.
soak: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS) --target soak_runner upload_session_app
	build/default/tests/soak_runner

install: build
	cmake --install build/default --prefix $(or $(PREFIX),/usr/local)

# Debian packages (libtallywise8, libtallywise-dev, tallywise-tools) in build/default/packages.
deb: build
	cd build/default && cpack

clean:
	rm -rf build
