# Entry points for a fresh Debian 12 machine: `make test` and `make run`.
BUILD_DIR ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build test run demo bench package screenshot mutants clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	@cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

run: build
	@scripts/run-simulated.sh $(BUILD_DIR)

demo: build
	@scripts/demo.sh $(BUILD_DIR)

package: build
	@cmake --build $(BUILD_DIR) --target package

screenshot: build
	@scripts/screenshot.sh $(BUILD_DIR)

bench: build
	@for b in $(BUILD_DIR)/bench/*; do [ -f "$$b" ] && [ -x "$$b" ] || continue; \
		echo "== $$b"; "$$b" || exit 1; done

mutants: configure
	@scripts/mutants.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
