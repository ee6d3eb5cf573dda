# Front door: make run, make test, make install, make deb, make bench, make validate, make lint, make fuzz.
BUILD_DIR ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE ?= examples/sample_series.nii.gz
RUN_DIR ?= run
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 600
SANITIZE_DIR ?= build-sanitize

.PHONY: all build configure test run install deb bench validate lint sanitize sanitize-configure fuzz clean

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
	$(BUILD_DIR)/program/Mirlune -i $(SAMPLE) -o $(RUN_DIR)
	@echo "outputs in $(RUN_DIR)/: mask.nii ratFiltre.nii disparite.nii dispersion.nii dispersion2.nii"

install:
	@scripts/install-deps.sh run python
	$(MAKE) configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target installable
	cmake --install $(BUILD_DIR) --prefix $(PREFIX)

# The Debian package, in BUILD_DIR (mirlune_<version>_<arch>.deb); scripts/check-deb.sh
# installs it, runs it and removes it.
deb:
	@scripts/install-deps.sh run deb
	$(MAKE) configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target installable
	cd $(BUILD_DIR) && cpack -G DEB

bench: build
	@scripts/install-deps.sh bench
	/usr/bin/python3 bench/run_bench.py --build $(BUILD_DIR) $(BENCH_ARGS)

# -denoise beside dwidenoise on dipy's small_64D and a generated series: the largest differences.
validate: build
	@scripts/install-deps.sh bench
	/usr/bin/python3 bench/validate_denoise.py --build $(BUILD_DIR)

# Needs a configured tree (compile_commands.json and the generated headers), not a build.
lint:
	@scripts/install-deps.sh test lint
	$(MAKE) configure
	scripts/check_rooms.sh
	scripts/lint.sh $(BUILD_DIR)

# The tests and the reader's fuzzer in one tree, built by clang with the address and
# undefined-behaviour sanitizers, at -O1 with line tables (file and line in every report). The python and workflow
# tests, and the Python module they use, are the release build's only.
sanitize-configure:
	@scripts/install-deps.sh test fuzz
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG="-O1 -gline-tables-only" -DCMAKE_CXX_FLAGS_DEBUG="-O1 -gline-tables-only" \
	  -DMIRLUNE_FUZZ=ON -DMIRLUNE_PYTHON_TESTS=OFF -DMIRLUNE_PYTHON_MODULE=OFF > $(SANITIZE_DIR).log 2>&1 || { cat $(SANITIZE_DIR).log; exit 1; }

sanitize: sanitize-configure
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	cd $(SANITIZE_DIR) && LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp \
	  ctest --output-on-failure -j $(JOBS) -LE "python|workflow"

# The reader under libFuzzer for FUZZ_SECONDS seconds.
fuzz: sanitize-configure
	cmake --build $(SANITIZE_DIR) -j $(JOBS) --target reader_fuzzer
	scripts/fuzz.sh $(SANITIZE_DIR) $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(SANITIZE_DIR).log
