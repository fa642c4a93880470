# The two commands of the README: `make run` and `make test`.
# Both first install the Debian packages that Vessik needs (skipped when present).
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= 2
CMAKE_ARGS ?=

.PHONY: deps configure build run test format bench clean

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run-vessik $(BUILD)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

format:
	cmake --build $(BUILD) --target format

bench: build
	bench/run-bench $(BUILD)

clean:
	rm -rf $(BUILD)
