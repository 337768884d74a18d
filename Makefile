# The front door: each target installs what is missing, configures and builds into build/.
BUILD ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=
ifneq ($(CI),)
CMAKE_FLAGS += -DRMQ27_WERROR=ON
endif

.PHONY: all deps configure build run test bench fuzz screenshots sanitize clean

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
	@cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) build-*

# Renders the window at its four heights, and a decoded status reply from the simulated
# projector, into docs/ (under Xvfb, so that it works on a machine without a display).
screenshots: build
	@xvfb-run -a -s "-screen 0 1280x1024x24" ./$(BUILD)/rmq27-screenshots docs

# The whole test suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_BUILD ?= build-asan
sanitize: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRMQ27_SANITIZE=ON $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)
