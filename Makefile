# Thin wrapper around CMake so the usual commands work:
#   make          optimised build in build/
#   make check    sanitizer build in build-check/, then every test
#   make bench    optimised build with the benchmarks and generators
#   make fuzz     clang/libFuzzer build in build-fuzz/, each target FUZZ_SECONDS
#   make clean    remove the build trees
#   make demo     optimised build, then tools/demo.sh (writes only in build/)
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

.PHONY: all check bench deps deps-check clean demo

all: deps
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null
	$(CMAKE) --build build -j $(JOBS)

check: deps-check
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

demo: all
	@sh tools/demo.sh

deps:
	@sh tools/check-deps.sh

deps-check:
	@sh tools/check-deps.sh check

clean:
	rm -rf build build-check build-bench

# Manual pages and installation:
#   make install    programs, kavnightly, pages and the sample settings
#                   under $(PREFIX), systemd units in $(UNITDIR)
#   make uninstall  remove what install put there
# DESTDIR is prepended to every installed path, for staging and packaging.
# make check also lints every page with mandoc and fails on any warning.
PREFIX ?= /usr/local
DESTDIR ?=
INSTALL ?= install
UNITDIR ?= /etc/systemd/system
KAV_PROGS = kavbuild kavcmp kavconf kavjson kavshow
MAN5 = man/kavdb.5 man/kavrel.conf.5
MAN8 = man/kavbuild.8 man/kavcmp.8 man/kavconf.8 man/kavjson.8 \
    man/kavnightly.8 man/kavshow.8
SAMPLE = etc/kavrel.conf.sample
NIGHTLY_SAMPLE = etc/kavnightly.conf.sample
UNITS = kavnightly.service kavnightly.timer

.PHONY: install uninstall man-lint

check: man-lint

# deps-check has installed mandoc, or stopped with the command to do so.
man-lint: deps-check
	mandoc -Tlint -Wwarning $(MAN5) $(MAN8)

install: all
	$(INSTALL) -d $(DESTDIR)$(PREFIX)/sbin $(DESTDIR)$(PREFIX)/etc \
	    $(DESTDIR)$(PREFIX)/share/man/man5 $(DESTDIR)$(PREFIX)/share/man/man8
	$(INSTALL) -m 0755 $(KAV_PROGS:%=build/%) $(DESTDIR)$(PREFIX)/sbin
	$(INSTALL) -m 0644 $(MAN5) $(DESTDIR)$(PREFIX)/share/man/man5
	$(INSTALL) -m 0644 $(MAN8) $(DESTDIR)$(PREFIX)/share/man/man8
	$(INSTALL) -m 0644 $(SAMPLE) $(DESTDIR)$(PREFIX)/etc/kavrel.conf.sample
	$(INSTALL) -m 0755 kavnightly/kavnightly.sh $(DESTDIR)$(PREFIX)/sbin/kavnightly
	$(INSTALL) -m 0644 $(NIGHTLY_SAMPLE) \
	    $(DESTDIR)$(PREFIX)/etc/kavnightly.conf.sample
	$(INSTALL) -d $(DESTDIR)$(UNITDIR)
	sed 's|@SBINDIR@|$(PREFIX)/sbin|g' etc/systemd/kavnightly.service \
	    >$(DESTDIR)$(UNITDIR)/kavnightly.service
	chmod 0644 $(DESTDIR)$(UNITDIR)/kavnightly.service
	$(INSTALL) -m 0644 etc/systemd/kavnightly.timer $(DESTDIR)$(UNITDIR)

uninstall:
	rm -f $(KAV_PROGS:%=$(DESTDIR)$(PREFIX)/sbin/%)
	rm -f $(MAN5:man/%=$(DESTDIR)$(PREFIX)/share/man/man5/%)
	rm -f $(MAN8:man/%=$(DESTDIR)$(PREFIX)/share/man/man8/%)
	rm -f $(DESTDIR)$(PREFIX)/etc/kavrel.conf.sample
	rm -f $(DESTDIR)$(PREFIX)/sbin/kavnightly
	rm -f $(DESTDIR)$(PREFIX)/etc/kavnightly.conf.sample
	rm -f $(UNITS:%=$(DESTDIR)$(UNITDIR)/%)

# Fuzzing: a separate clang build in build-fuzz/ with libFuzzer,
# AddressSanitizer and UndefinedBehaviorSanitizer; `make fuzz` runs every
# target for FUZZ_SECONDS (default 60) each, starting from the seed corpora
# under fuzz/corpus/, and fails when one of them finds a fault. Some
# targets check with the JSON parser of the tests, hence deps-check.
FUZZ_SECONDS ?= 60
FUZZ_CXX ?= clang++
FUZZ_FLAGS = -g -O1 -fno-omit-frame-pointer \
    -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all

.PHONY: fuzz fuzz-build fuzz-clean

fuzz-build: deps-check
	@command -v $(FUZZ_CXX) >/dev/null 2>&1 || { \
	    echo "kavrel: make fuzz needs clang; install it with:" >&2; \
	    echo "    apt-get install clang libclang-rt-14-dev" >&2; exit 1; }
	$(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=None -DBUILD_TESTING=OFF \
	    -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_CXX_FLAGS="$(FUZZ_FLAGS)" \
	    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
	    -DKAV_FUZZ=ON >/dev/null
	$(CMAKE) --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	sh fuzz/run.sh build-fuzz $(FUZZ_SECONDS)

fuzz-clean:
	rm -rf build-fuzz

clean: fuzz-clean

# The Debian package: `make deb` builds it from a copy of the tree made in
# build/deb/, running the package's own tests, and leaves
# kavrel_VERSION_ARCH.deb there. It needs what make check needs.
.PHONY: deb

deb: deps-check
	sh debian/build.sh . build/deb -j$(JOBS)
