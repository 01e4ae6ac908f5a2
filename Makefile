# Thin wrapper around CMake so the usual commands work:
#   make          optimised build in build/
#   make check    sanitizer build in build-check/, then every test
#   make bench    optimised build with the benchmarks and generators
#   make fuzz     clang/libFuzzer build in build-fuzz/, each target FUZZ_SECONDS
#   make clean    remove the build trees
#   make demo     optimised build, then tools/demo.sh (writes only in build/)
#   make deb      the Debian package, built in build/deb/
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake
UNITDIR ?= /etc/systemd/system

# $(call configure,DIR,OPTIONS): configures DIR quietly; when configuring
# fails, what CMake printed is shown before the error.
configure = log=$$(mktemp) && { $(CMAKE) -S . -B $(1) $(2) >$$log || { \
    status=$$?; cat $$log; rm -f $$log; exit $$status; }; } && rm -f $$log

.PHONY: all check bench deps deps-check clean demo

all: deps
	@$(call configure,build,-DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	    -DKAV_UNITDIR=$(UNITDIR))
	$(CMAKE) --build build -j $(JOBS)

# deps-check has installed mandoc, or stopped with the command to do so;
# man-lint lints every page and fails on any warning.
check: deps-check man-lint
	@$(call configure,build-check,-DCMAKE_BUILD_TYPE=Debug \
	    -DKAV_SANITIZE=ON -DKAV_WERROR=ON)
	$(CMAKE) --build build-check -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    ctest --test-dir build-check --output-on-failure -j $(JOBS)

bench: deps
	@$(call configure,build-bench,-DCMAKE_BUILD_TYPE=Release \
	    -DBUILD_TESTING=OFF -DKAV_BENCH=ON)
	$(CMAKE) --build build-bench -j $(JOBS)

demo: all
	@sh tools/demo.sh

deps:
	@sh tools/check-deps.sh

deps-check:
	@sh tools/check-deps.sh check

clean:
	rm -rf build build-check build-bench build-fuzz

# Manual pages and installation:
#   make install    programs, kavnightly, pages and the sample settings
#                   under $(PREFIX), systemd units in $(UNITDIR)
#   make uninstall  remove what install put there
# DESTDIR is prepended to every installed path, for staging and packaging.
# What is installed where is CMake's install rules (CMakeLists.txt);
# uninstall stages an install to learn the list of files, then removes them.
PREFIX ?= /usr/local
DESTDIR ?=
STAGE = build/uninstall-stage

.PHONY: install uninstall man-lint

man-lint: deps-check
	mandoc -Tlint -Wwarning man/*.5 man/*.8

install: all
	DESTDIR='$(DESTDIR)' $(CMAKE) --install build --prefix '$(PREFIX)'

uninstall: all
	rm -rf $(STAGE)
	DESTDIR='$(CURDIR)/$(STAGE)' $(CMAKE) --install build \
	    --prefix '$(PREFIX)' >/dev/null
	cd $(STAGE) && find . ! -type d | while read -r f; do \
	    rm -f "$(DESTDIR)$${f#.}" || exit 1; done
	rm -rf $(STAGE)

# Fuzzing: a separate clang build in build-fuzz/ with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer; `make fuzz` runs every
# target for FUZZ_SECONDS (default 60) each, starting from the seed corpora
# under fuzz/corpus/, and fails when one of them finds a fault. Some
# targets check with the JSON parser of the tests, hence deps-check.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++
# The flags reach $(call configure,...) through variables: a comma written
# in its arguments would end one of them.
FUZZ_FLAGS = -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
FUZZ_LDFLAGS = -fsanitize=address,undefined

.PHONY: fuzz fuzz-build fuzz-clean

fuzz-build: deps-check
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { \
	    echo "kavrel: make fuzz needs clang; install it with:" >&2; \
	    echo "    apt-get install clang libclang-rt-14-dev" >&2; exit 1; }
	@$(call configure,build-fuzz,-DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
	    -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="$(FUZZ_LDFLAGS)" \
	    -DKAV_FUZZ=ON)
	$(CMAKE) --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	sh fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

fuzz-clean:
	rm -rf build-fuzz

# The Debian package: `make deb` builds it from a copy of the tree made in
# build/deb/, running the package's own tests, and leaves
# kavrel_VERSION_ARCH.deb there. It needs what make check needs.
.PHONY: deb

deb: deps-check
	sh debian/build.sh . build/deb -j$(JOBS)
