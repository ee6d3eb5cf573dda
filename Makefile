# Front door: make run, make test, make build, make bench.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE ?= examples/sample_series.nii.gz
RUN_DIR ?= run

.PHONY: all deps build test run bench clean

all: build

deps:
	@scripts/install-deps.sh

$(BUILD_DIR)/CMakeCache.txt:
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=Release

build: deps $(BUILD_DIR)/CMakeCache.txt
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)

$(SAMPLE): | build
	@mkdir -p $(dir $(SAMPLE))
	$(BUILD_DIR)/tools/make_series $(SAMPLE)

run: build $(SAMPLE)
	@mkdir -p $(RUN_DIR)
	cd $(RUN_DIR) && $(abspath $(BUILD_DIR))/analysis/Mirlune -i $(abspath $(SAMPLE))
	@echo "outputs in $(RUN_DIR)/: mask.nii ratFiltre.nii disparite.nii dispersion.nii dispersion2.nii"

bench: build
	@scripts/install-deps.sh --bench
	/usr/bin/python3 bench/run_bench.py --build $(BUILD_DIR) $(BENCH_ARGS)

clean:
	rm -rf $(BUILD_DIR)
