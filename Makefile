# Thin wrapper around CMake so the usual commands work:
#   make          optimised build in build/
#   make check    sanitizer build in build-check/, then every test
#   make bench    optimised build with the benchmarks and generators
#   make clean    remove the build trees
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

.PHONY: all check bench deps clean

all: deps
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	$(CMAKE) --build build -j $(JOBS)

check: deps
	$(CMAKE) -S . -B build-check -DCMAKE_BUILD_TYPE=Debug \
	    -DKAV_SANITIZE=ON -DKAV_WERROR=ON >/dev/null
	$(CMAKE) --build build-check -j $(JOBS)
	ASAN_OPTIONS=halt_on_error=1:detect_leaks=1:abort_on_error=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	    ctest --test-dir build-check --output-on-failure -j $(JOBS)

bench: deps
	$(CMAKE) -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
	    -DKAV_BENCH=ON >/dev/null
	$(CMAKE) --build build-bench -j $(JOBS)

deps:
	@sh tools/check-deps.sh

clean:
	rm -rf build build-check build-bench
