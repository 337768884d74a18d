# The front door: each target installs what is missing, configures and builds into build/.
BUILD ?= build
JOBS ?= $(shell nproc)
# Most tests wait on lines, servers and windows rather than compute: twice as many run at once.
TEST_JOBS ?= $(shell echo $$(( $$(nproc) * 2 )))
CMAKE_FLAGS ?=
ifneq ($(CI),)
CMAKE_FLAGS += -DRMQ27_WERROR=ON
endif

.PHONY: all deps configure build run test bench bench-startup fuzz screenshots sanitize soak clean install package check-package format format-check

all: build

deps:
	@./scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

# Runs the panel against a simulated projector; on a machine without a display it runs under Xvfb.
run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ]; then ./$(BUILD)/rmq27-panel --simulate; \
	else xvfb-run -a ./$(BUILD)/rmq27-panel --simulate; fi

test: build
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(TEST_JOBS)

clean:
	rm -rf $(BUILD) build-*

# Renders the window at its four heights, and a decoded status reply from the simulated
# projector, into docs/ (under Xvfb, so that it works on a machine without a display); and the
# bridge's web page at 360x740 and 1280x800 in headless chromium.
screenshots: build
	@xvfb-run -a -s "-screen 0 1280x1024x24" ./$(BUILD)/rmq27-screenshots docs
	@node tests/web/screenshots.js $(BUILD)/rmq27-bridge $(BUILD)/rmq27-projector-sim docs

# The whole test suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_BUILD ?= build-asan
sanitize: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRMQ27_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

# libFuzzer targets (clang, in a build of their own), each run for FUZZ_SECONDS. New inputs go
# to $(FUZZ_BUILD)/corpus; the committed seeds in fuzz/corpus stay small. A crash leaves its
# input in $(FUZZ_BUILD)/artifacts and fails the target.
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 20
FUZZ_TARGETS = fuzz_transcript fuzz_reply fuzz_receive fuzz_telnet
fuzz: deps
	@cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DRMQ27_FUZZ=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@mkdir -p $(FUZZ_BUILD)/artifacts
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(FUZZ_BUILD)/corpus/$$t; \
	    echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	    QT_QPA_PLATFORM=offscreen LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	    $(FUZZ_BUILD)/$$t -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	        -artifact_prefix=$(FUZZ_BUILD)/artifacts/$$t- $(FUZZ_BUILD)/corpus/$$t fuzz/corpus/$$t \
	        >$(FUZZ_BUILD)/$$t.log 2>&1 || { tail -n 60 $(FUZZ_BUILD)/$$t.log; exit 1; }; \
	    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|new_units_added)' $(FUZZ_BUILD)/$$t.log; \
	done

# The random operator run of the fault tests, long: SOAK_ACTIONS clicks, presses, releases, keys,
# chords, double-clicks, typed text and port and speed switches against the simulated projector
# in each of its fault modes (about ten minutes at 10,000).
SOAK_ACTIONS ?= 10000
soak: build
	@cd $(BUILD) && RMQ27_FAULT_ACTIONS=$(SOAK_ACTIONS) QTEST_FUNCTION_TIMEOUT=1800000 \
	    QT_QPA_PLATFORM=offscreen ./test_faults -maxwarnings 100 randomOperatorRun

# Figures for the panel on the real window (offscreen) and a real pseudo-terminal; about a minute.
# docs/PERFORMANCE.md records them with the machine they came from.
bench: build
	@$(BUILD)/rmq27-bench
	@$(BUILD)/rmq27-bench-bridge
	@$(BUILD)/rmq27-bench-ctl
	@$(MAKE) --no-print-directory bench-startup

# The panel's start-up beside the floor program (as many plain controls, no logic) under one
# Xvfb: time until the window is mapped and its first frame drawn, and peak memory; 10 runs each.
bench-startup: build
	@xvfb-run -a -s "-screen 0 1280x1024x24" $(BUILD)/rmq27-bench-startup \
	    $(BUILD)/rmq27-panel $(BUILD)/rmq27-floor

# Installs the programs, menu entry, icons, metainfo and man pages under PREFIX (staged under
# DESTDIR when that is set), e.g. make install PREFIX=/usr DESTDIR=/tmp/stage.
PREFIX ?= /usr/local
install: build
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

# The Debian package, $(BUILD)/rmq27-panel_<version>_<architecture>.deb; check-package validates
# it, installs it, opens the installed panel under Xvfb and removes it again (as root).
package: build
	@cd $(BUILD) && { cpack -G DEB >cpack.log 2>&1 || { cat cpack.log; exit 1; }; } && grep 'package:' cpack.log

check-package: package
	@./scripts/check-package

# clang-format over every C++ source of the tree; format-check changes nothing and fails on the
# first file that is not formatted.
FORMAT_FILES = git ls-files -- '*.cpp' '*.h'
format: deps
	@$(FORMAT_FILES) | xargs clang-format -i

format-check: deps
	@$(FORMAT_FILES) | xargs clang-format --dry-run -Werror
