# The two commands of the README: `make run` and `make test`.
# Both first install the Debian packages that Vessik needs (skipped when present).
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= 2
CMAKE_ARGS ?=
# The unit tests and the settings fuzzer built with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer; `make test` runs them and a 30 s fuzz run.
SAN_BUILD    ?= build-san
FUZZ_SECONDS ?= 300

.PHONY: deps configure build san run check test fuzz format bench package clean

deps:
	scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j$(JOBS)

run: build
	scripts/run-vessik $(BUILD)

san: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
		-DCMAKE_CXX_COMPILER=clang++ \
		-DVESSIK_SANITIZE=ON -DVESSIK_FUZZ=ON -DVESSIK_UNIT_ONLY=ON -DVESSIK_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build $(SAN_BUILD) -j$(JOBS) --target vessik_unit_tests settings_fuzzer

# The edit-and-test loop: the unit tests, the layers check and the format check
# (CTest's label "check"), in seconds on an up-to-date build.
check: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) -L check

test: build san
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300
	cd $(SAN_BUILD) && ctest --output-on-failure -j$(JOBS) --timeout 300

# A fuzz campaign of FUZZ_SECONDS on the settings reader.
fuzz: san
	cmake --build $(SAN_BUILD) --target fuzz-campaign

# The Debian package, build/vessik_VERSION_ARCH.deb (packaging/).
package: build
	cd $(BUILD) && cpack -G DEB

format:
	cmake --build $(BUILD) --target format

bench: build
	bench/run-bench $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD)
