# Front door: make run, make test, make install, make bench, make lint, make fuzz.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE ?= examples/sample_series.nii.gz
RUN_DIR ?= run
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 600

.PHONY: all build configure test run install bench lint sanitize fuzz clean

all: build

# Configuring again is cheap and picks up packages installed since the last time.
configure:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release

build:
	@scripts/install-deps.sh test
	$(MAKE) configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

# Only what running needs: the program and the sample generator.
run:
	@scripts/install-deps.sh run
	$(MAKE) configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target Mirlune make_series
	@mkdir -p $(dir $(SAMPLE))
	@test -f $(SAMPLE) || $(BUILD_DIR)/tools/make_series $(SAMPLE)
	$(BUILD_DIR)/analysis/Mirlune -i $(SAMPLE) -o $(RUN_DIR)
	@echo "outputs in $(RUN_DIR)/: mask.nii ratFiltre.nii disparite.nii dispersion.nii dispersion2.nii"

install:
	@scripts/install-deps.sh run
	$(MAKE) configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target Mirlune make_series setuprun
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

bench: build
	@scripts/install-deps.sh bench
	/usr/bin/python3 bench/run_bench.py --build $(BUILD_DIR) $(BENCH_ARGS)

# Needs a configured tree (compile_commands.json and the generated headers), not a build.
lint:
	@scripts/install-deps.sh test lint
	$(MAKE) configure
	scripts/check_rooms.sh
	scripts/lint.sh $(BUILD_DIR)

# The test suite built with the address and undefined-behaviour sanitizers, at -O1 with
# debug information; the python and workflow tests run in the release build only.
sanitize:
	@scripts/install-deps.sh test
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DMIRLUNE_SANITIZE=ON \
	  -DCMAKE_C_FLAGS_DEBUG="-O1 -g" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
	cmake --build build-sanitize -j $(JOBS)
	cd build-sanitize && LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j $(JOBS) -LE "python|workflow"

# The reader under libFuzzer for FUZZ_SECONDS seconds.
fuzz:
	@scripts/install-deps.sh fuzz
	scripts/fuzz.sh $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) build-sanitize build-fuzz
