# Thin wrapper over CMake: `make`, `make check`, `make demo`, `make install`.
BUILD ?= build
PREFIX ?= /usr/local
CMAKE_FLAGS ?=

BUILD_PACKAGES = cmake g++ make libgtest-dev
RUN_PACKAGES = lrzsz

.PHONY: all deps configure check demo bench-transfer install clean

all: $(BUILD)/vek

deps:
	@sh scripts/need-packages $(BUILD_PACKAGES) $(RUN_PACKAGES)

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: $(BUILD)/CMakeCache.txt

$(BUILD)/vek: configure FORCE
	cmake --build $(BUILD) -j2

check: deps configure
	cmake --build $(BUILD) -j2
	ctest --test-dir $(BUILD) --output-on-failure -j2

# One vek sends sample files to another over a pipe pair into $(BUILD)/demo.
demo: deps
	@$(MAKE) --no-print-directory configure
	cmake --build $(BUILD) -j2 --target vek
	bash scripts/demo.sh $(BUILD)/vek $(BUILD)/demo

# 100 MB through two vek processes against the bare sz and rz; REPS to taste.
REPS ?= 11
bench-transfer: deps
	@$(MAKE) --no-print-directory configure
	cmake --build $(BUILD) -j2 --target vek
	bash bench/transfer_bench.sh $(BUILD)/vek $(REPS) 100

install: $(BUILD)/vek
	cmake --install $(BUILD) --prefix $(PREFIX)

# Times the transfer-log conversion against a plain read of a 200 MB log, in a
# build of its own with optimisation.
.PHONY: bench
bench:
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVEK_BENCH=ON -DVEK_TESTS=OFF
	cmake --build build-bench -j2 --target translog_bench
	build-bench/translog_bench

clean:
	rm -rf $(BUILD)

FORCE:
