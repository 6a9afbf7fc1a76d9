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
	rm -rf $(BUILD) build-bench build-sanitize build-fuzz

FORCE:

.PHONY: package
package: $(BUILD)/vek
	cd $(BUILD) && cpack -G DEB

# The whole test suite again, with AddressSanitizer and UndefinedBehaviorSanitizer.
SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
.PHONY: check-sanitize
check-sanitize: deps
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug \
		"-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build build-sanitize -j2
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir build-sanitize --output-on-failure -j2

# Static checks over the program's sources.
.PHONY: lint
lint: configure
	@sh scripts/need-packages clang-tidy cppcheck
	clang-tidy -p $(BUILD) --quiet src/*.cpp
	cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 \
		--inline-suppr --quiet -I src src/

# Each fuzz target runs for FUZZ_SECONDS from the seed corpus under fuzz/corpus.
FUZZ_SECONDS ?= 30
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
.PHONY: fuzz
fuzz:
	@sh scripts/need-packages cmake make clang libclang-rt-14-dev
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVEK_TESTS=OFF -DVEK_FUZZ=ON "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
	cmake --build build-fuzz -j2 --target translog_fuzz filelist_fuzz
	set -e; for t in translog filelist; do \
		mkdir -p build-fuzz/corpus-$$t; \
		build-fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
			-print_final_stats=1 build-fuzz/corpus-$$t fuzz/corpus/$$t; \
	done
