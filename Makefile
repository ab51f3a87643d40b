# The only commands a newcomer needs:
#   make build    the agent at build/linux/bin/tolvex_agent
#   make test     everything CI checks
#   make demo     the agent end to end on a SoftHSM token
#   make windows  the agent at build/windows/bin/tolvex_agent.exe
#   make bench    the benchmarks
#   make msi      the Windows installers (build/windows/tolvex-agent-*.msi)
#   make deb      the Debian package (build/linux/tolvex-agent_*.deb)
#   make fuzz     the fuzz targets with clang-19, FUZZ_SECONDS each (default 60)
#   make extension  the extension's store packages (build/extension/)
SHELL := /bin/bash
JOBS ?= $(shell nproc)
ROOT := $(CURDIR)
MINGW_PREFIX_CMD := bash $(ROOT)/scripts/build-mingw-deps.sh
VERSION := $(shell sed -n 's/^project.tolvex VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# The extensions the MSI and the .deb let in (browser/PRODUCTION.md), when
# given (even empty, which means the sample's); the CMake cache keeps them.
PACKAGE_IDS := $(foreach v,TOLVEX_EXTENSION_IDS TOLVEX_FIREFOX_IDS,$(if $(filter undefined,$(origin $(v))),,"-D$(v)=$($(v))"))

.PHONY: all deps build asan windows test test-linux test-asan test-windows test-e2e \
        format format-check demo bench clean msi deb fuzz extension test-browser

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake --preset linux $(PACKAGE_IDS) >/dev/null
	cmake --build --preset linux -j$(JOBS)

asan: deps
	cmake --preset linux-asan >/dev/null
	cmake --build --preset linux-asan -j$(JOBS)

windows: deps
	prefix=$$($(MINGW_PREFIX_CMD)) && cmake --preset windows -DTOLVEX_MINGW_PREFIX=$$prefix $(PACKAGE_IDS) >/dev/null
	cmake --build --preset windows -j$(JOBS)

# The installers: build/windows/tolvex-agent-<version>.msi (per user) and
# -machine.msi, build/linux/tolvex-agent_<version>_amd64.deb. `make test`
# builds and installs them (label "packaging").
msi: windows
	cmake --build --preset windows --target msi

deb: build
	cmake --build --preset linux --target deb

# The extension as a site ships it, from browser/extension with the
# configuration it holds: build/extension/tolvex-extension-<version>-chromium.zip
# (Chrome Web Store, Edge Add-ons) and -firefox.xpi (addons.mozilla.org).
extension: deps
	node browser/dev/package-extension.mjs build/extension $(VERSION)

# The page client's npm package installed from its tarball, imported and
# type-checked; the Firefox package linted (tools from npm, pinned).
test-browser: extension
	bash browser/dev/check.sh $(VERSION) build/extension

format:
	git ls-files '*.cpp' '*.hpp' '*.c' '*.h' | xargs -r clang-format -i

format-check: deps
	git ls-files '*.cpp' '*.hpp' '*.c' '*.h' | xargs -r clang-format --dry-run -Werror

# Each ctest run goes through scripts/ctest.sh, which records it in
# build/test-results and says what was skipped and why.
test-linux: build
	scripts/ctest.sh linux build/linux --output-on-failure -j$(JOBS)

test-asan: asan
	ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(ROOT)/tests/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  scripts/ctest.sh linux-asan build/linux-asan --output-on-failure -j$(JOBS)

# The cross-built unit tests under Wine, then the Linux-side integration
# driver against the Windows agent started under Wine.
test-windows: windows build
	scripts/with-wine.sh bash -c '\
	  scripts/ctest.sh windows build/windows --output-on-failure && \
	  TOLVEX_AGENT_COMMAND="wine $(ROOT)/build/windows/bin/tolvex_agent.exe" \
	  TOLVEX_AGENT_PLATFORM=windows TOLVEX_WINDOWS_BIN=$(ROOT)/build/windows/bin \
	    scripts/ctest.sh windows-agent build/linux -L integration --output-on-failure'
	tests/os_store/wine_store_test.sh build/windows/bin build/linux/bin

test-e2e: build
	@if [ -x tests/e2e/run.sh ]; then tests/e2e/run.sh; else echo "e2e: no suite yet"; fi

# Ends with the summary of every ctest run: passed, failed, skipped, and the
# reason of each skip.
test:
	@rm -rf build/test-results
	@$(MAKE) --no-print-directory format-check test-linux test-asan test-windows test-browser test-e2e
	@python3 scripts/test-summary.py total build/test-results

# Installs only its own packages and builds only the agent and tolvexctl.
demo:
	@scripts/demo.sh

bench: build
	@if [ -x scripts/bench.sh ]; then scripts/bench.sh; else echo "bench: no benchmarks yet"; fi

# libFuzzer targets (tests/fuzz) built with clang-19 in build/fuzz, then run
# one after another (FUZZ_PARALLEL at a time), FUZZ_SECONDS each; FUZZ_TARGETS
# picks some of handler, cert, config, framing. `make test` replays their
# seed corpora through the ordinary builds instead.
FUZZ_SECONDS ?= 60
FUZZ_PARALLEL ?= 1
FUZZ_TARGETS ?= handler cert config framing
fuzz:
	@bash scripts/install-deps.sh fuzz
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_PARALLEL=$(FUZZ_PARALLEL) FUZZ_TARGETS="$(FUZZ_TARGETS)" \
	  scripts/fuzz.sh

clean:
	rm -rf build
