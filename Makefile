# Thin wrapper over CMake. `make demo` and `make check` set up a fresh machine
# themselves (as root they install missing Debian packages).
BUILD ?= build
PREFIX ?= /usr/local
CMAKE_FLAGS ?=
REPS ?= 11
FUZZ_SECONDS ?= 30

BUILD_PACKAGES = cmake g++ make libgtest-dev nlohmann-json3-dev
# The tests also use util-linux (unshare, prlimit) and mount, for a private
# mount namespace and a file-size limit, strace to make one system call fail,
# and rsyslog with RELP, of which the tests start loggers of their own.
RUN_PACKAGES = lrzsz util-linux mount strace rsyslog rsyslog-relp
# cpack's DEB generator silently leaves out the libc dependency without
# dpkg-shlibdeps (dpkg-dev), and needs file to find the ELF files.
PACKAGE_PACKAGES = dpkg-dev file
NEED = sh scripts/need-packages

SANITIZE_FLAGS = -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer
FUZZ_FLAGS = -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer

.PHONY: all configure check demo install package package-check clean check-sanitize lint fuzz \
	bench bench-transfer bench-startup interop

all:
	@$(NEED) $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

check:
	@$(NEED) $(BUILD_PACKAGES) $(RUN_PACKAGES)
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2
	ctest --test-dir $(BUILD) --output-on-failure -j2

# One vek sends sample files to another over a pipe pair into $(BUILD)/demo.
demo:
	@$(NEED) $(BUILD_PACKAGES) $(RUN_PACKAGES)
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2 --target vek
	bash scripts/demo.sh $(BUILD)/vek $(BUILD)/demo

# vek against zmodem.js, the engine several web terminals use, and against
# xmodem.js as a terminal that speaks only XMODEM, each as the user's side over
# pipes; then vek --telnet over TCP with telnet-stream as the user's TELNET
# client. The packages are pinned by tests/interop/package-lock.json.
INTEROP = tests/interop
interop:
	@$(NEED) $(BUILD_PACKAGES) $(RUN_PACKAGES)
	@command -v node >/dev/null && command -v npm >/dev/null || $(NEED) nodejs npm
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2 --target vek
	test -d $(INTEROP)/node_modules/zmodem.js -a -d $(INTEROP)/node_modules/xmodem.js \
		-a -d $(INTEROP)/node_modules/telnet-stream || (cd $(INTEROP) && npm ci --no-audit --no-fund)
	node $(INTEROP)/interop.js $(BUILD)/vek
	node $(INTEROP)/xmodem_interop.js $(BUILD)/vek
	node $(INTEROP)/telnet_interop.js $(BUILD)/vek
	node $(INTEROP)/host_interop.js $(BUILD)/vek
	node $(INTEROP)/ymodem_g_interop.js $(BUILD)/vek

# Stripped, as the package installs it.
install: all
	cmake --install $(BUILD) --prefix $(PREFIX) --strip

package: all
	@$(NEED) $(PACKAGE_PACKAGES)
	rm -f $(BUILD)/vek_*.deb
	cd $(BUILD) && cpack -G DEB

# The package as Debian's own checker sees it: any error or warning fails.
package-check: package
	@$(NEED) lintian
	lintian --fail-on error,warning --display-info $(BUILD)/vek_*.deb

clean:
	rm -rf $(BUILD) build-bench build-sanitize build-fuzz

# The whole test suite again, with AddressSanitizer and UndefinedBehaviorSanitizer.
check-sanitize:
	@$(NEED) $(BUILD_PACKAGES) $(RUN_PACKAGES)
	cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DVEK_HARDEN=OFF \
		"-DCMAKE_CXX_FLAGS=$(SANITIZE_FLAGS)" "-DCMAKE_EXE_LINKER_FLAGS=$(SANITIZE_FLAGS)"
	cmake --build build-sanitize -j2
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --test-dir build-sanitize --output-on-failure -j2

# Static checks over the program's sources.
lint:
	@$(NEED) $(BUILD_PACKAGES) clang-tidy cppcheck
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	clang-tidy -p $(BUILD) --quiet src/*.cpp
	cppcheck --enable=warning,performance,portability --std=c++20 --error-exitcode=1 \
		--inline-suppr --quiet -I src src/

# Each fuzz target (the log scanner, the file-list reader, the TELNET layer)
# runs for FUZZ_SECONDS from the seed corpus under fuzz/corpus.
fuzz:
	@$(NEED) cmake make clang libclang-rt-14-dev nlohmann-json3-dev
	cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DVEK_TESTS=OFF -DVEK_FUZZ=ON -DVEK_HARDEN=OFF "-DCMAKE_CXX_FLAGS=$(FUZZ_FLAGS)" \
		"-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"
	cmake --build build-fuzz -j2 --target translog_fuzz filelist_fuzz telnet_fuzz
	set -e; for t in translog filelist telnet; do \
		mkdir -p build-fuzz/corpus-$$t; \
		build-fuzz/$${t}_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=2048 \
			-print_final_stats=1 build-fuzz/corpus-$$t fuzz/corpus/$$t; \
	done

# The log conversion on its own over a 200 MB stream, optimised build.
bench:
	@$(NEED) cmake g++ make nlohmann-json3-dev
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVEK_BENCH=ON -DVEK_TESTS=OFF
	cmake --build build-bench -j2 --target translog_bench
	build-bench/translog_bench

# 100 MB through two vek processes against the bare sz and rz; REPS to taste.
bench-transfer:
	@$(NEED) $(BUILD_PACKAGES) $(RUN_PACKAGES)
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2 --target vek
	bash bench/transfer_bench.sh $(BUILD)/vek $(REPS) 100

# What a no-op run of vek costs against the bare shell command, and vek -V
# against /bin/true; STARTUP_RUNS runs per figure.
STARTUP_RUNS ?= 2000
bench-startup:
	@$(NEED) $(BUILD_PACKAGES)
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j2 --target vek
	bash bench/startup_bench.sh $(BUILD)/vek $(STARTUP_RUNS)
