# Front door: every target here is a thin call into CMake or the lab scripts.
BUILD ?= build
JOBS ?= $(shell nproc)

# Debian packages the build, the tests and the lab need.
DEPS = build-essential cmake pkg-config libcli11-dev libgtest-dev libbenchmark-dev \
       clang llvm bpftool libbpf-dev libelf-dev zlib1g-dev libclang-rt-14-dev \
       g++-aarch64-linux-gnu libbpf-dev:arm64 libelf-dev:arm64 zlib1g-dev:arm64 \
       qemu-system-x86 qemu-system-arm busybox-static util-linux iproute2 \
       kmod cpio xz-utils zstd file nlohmann-json3-dev chromium libpng-dev \
       dpkg-dev binutils-aarch64-linux-gnu lintian man-db bash-completion mawk

.PHONY: all deps test test-asan test-tsan fuzz install static cross-arm64 clean bench bench-report deb test-deb

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

deps:
	@missing=$$(for p in $(DEPS); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -z "$$missing" ]; then echo "deps: all installed"; exit 0; fi; \
	if [ "$$(id -u)" != 0 ]; then echo "deps: run as root to install:" $$missing; exit 1; fi; \
	dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64; \
	apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $$missing

test: deps all
	ctest --test-dir $(BUILD) --output-on-failure
	$(MAKE) test-asan
	$(MAKE) test-tsan
	$(MAKE) fuzz
	$(MAKE) test-deb

# The same tests against an AddressSanitizer + UndefinedBehaviorSanitizer
# build, LeakSanitizer included for every run of the monitor. A finding
# aborts its process (no expected exit status can hide it) and is logged to
# build-asan/sanitizer.*: the monitor runs as a child whose stderr a test
# may not show, so any such file fails the run.
SANITIZER_LOG = $(CURDIR)/build-asan/sanitizer
test-asan:
	cmake -S . -B build-asan -DSANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-asan -j $(JOBS)
	rm -f $(SANITIZER_LOG).*
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:log_path=$(SANITIZER_LOG) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1:log_path=$(SANITIZER_LOG) \
	  ctest --test-dir build-asan --output-on-failure; status=$$?; \
	for f in $(SANITIZER_LOG).*; do [ -e "$$f" ] || continue; cat "$$f"; status=1; done; \
	exit $$status

# The reader's tests against a ThreadSanitizer build: its reading thread
# and the thread that groups the rows share the name table and the batches.
# Only the reader and its tests are built (no kernel object). A finding
# ends its process and is logged to build-tsan/sanitizer.*, which fails the
# run as in test-asan.
TSAN_LOG = $(CURDIR)/build-tsan/sanitizer
test-tsan:
	cmake -S . -B build-tsan -DSANITIZE_THREAD=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-tsan -j $(JOBS) --target vn_bpf_net_report report_test report_html_test
	rm -f $(TSAN_LOG).*
	TSAN_OPTIONS=halt_on_error=1:log_path=$(TSAN_LOG) \
	  ctest --test-dir build-tsan -R '^Report' --output-on-failure; status=$$?; \
	for f in $(TSAN_LOG).*; do [ -e "$$f" ] || continue; cat "$$f"; status=1; done; \
	exit $$status

# Bounded fuzzing campaigns on the record decoder and on the reader's row
# parser (clang's libFuzzer with ASan and UBSan), FUZZ_TIME seconds in all,
# half each. New inputs go to build-fuzz/corpus and build-fuzz/rows_corpus;
# tests/fuzz/corpus and tests/fuzz/rows_corpus are the seed sets and are only
# read. A crash leaves its input in build-fuzz/.
FUZZ_TIME ?= 60
fuzz:
	cmake -S tests/fuzz -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS)
	mkdir -p build-fuzz/corpus build-fuzz/rows_corpus
	build-fuzz/trace_output_fuzz -max_total_time=$$(( $(FUZZ_TIME) / 2 )) -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/ build-fuzz/corpus tests/fuzz/corpus
	build-fuzz/trace_rows_fuzz -max_total_time=$$(( $(FUZZ_TIME) - $(FUZZ_TIME) / 2 )) -print_final_stats=1 \
	  -artifact_prefix=build-fuzz/ build-fuzz/rows_corpus tests/fuzz/rows_corpus

install: all
	install -D -m 0755 $(BUILD)/vn_bpf_net_monitor /usr/local/sbin/vn_bpf_net_monitor
	install -D -m 0755 $(BUILD)/vn_bpf_net_report /usr/local/bin/vn_bpf_net_report
	install -D -m 0644 packaging/vn_bpf_net_report.1 /usr/local/share/man/man1/vn_bpf_net_report.1
	install -D -m 0644 packaging/completion/vn_bpf_net_report \
	  /usr/local/share/bash-completion/completions/vn_bpf_net_report
	install -d -m 0755 /var/vorna-helmsight /var/vorna-helmsight/monitor
	install -D -m 0644 packaging/vn_bpf_net_monitor.8 /usr/local/share/man/man8/vn_bpf_net_monitor.8
	install -D -m 0644 packaging/completion/vn_bpf_net_monitor \
	  /usr/local/share/bash-completion/completions/vn_bpf_net_monitor

# Statically linked binaries for the lab VM, one per architecture.
static:
	cmake -S . -B build-static -DSTATIC_LINK=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build build-static -j $(JOBS)

cross-arm64:
	cmake -S . -B build-arm64 -DSTATIC_LINK=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
	cmake --build build-arm64 -j $(JOBS)

# Debian packages for both architectures from the static builds.
DEB_DIR = build-deb
deb: static cross-arm64
	rm -f $(DEB_DIR)/*.deb
	packaging/build_deb.sh amd64 build-static $(DEB_DIR)
	packaging/build_deb.sh arm64 build-arm64 $(DEB_DIR)

# Manual pages, lintian, and the packages installed, used and purged in a
# private mount namespace (this host's /usr, /var and dpkg database untouched).
test-deb: deps deb
	packaging/test_packages.sh $(DEB_DIR) build-static/vn_bpf_net_monitor

clean:
	rm -rf $(BUILD) build-static build-arm64 build-asan build-tsan build-fuzz $(DEB_DIR)

# Side-by-side measurements: rendering against the bare write it feeds, the
# probes' size, and one lab boot that loads packets with and without the
# monitor (and bpftrace as the peer). One table, also written into the README.
bench: deps all
	cmake --build $(BUILD) --target render_bench probe_size
	bench/run.sh $(BUILD)

# The trace reader on a generated 1,000,000-row trace, text and JSON,
# against `mawk '{print $3}'` of the same file, with peak memory; one
# Markdown table (for the README).
bench-report: all
	cmake --build $(BUILD) --target report_bench
	$(BUILD)/report_bench $(BUILD)/vn_bpf_net_report $(BUILD)

# The first thing to run, on any machine: boots the lab VM (Debian 12's
# stock kernel under emulation), starts the monitor with ARGS in it, sends a
# little traffic of each kind across its veth pair, shows the trace, then
# the reader's journeys of it.
ARGS ?= -P icmp
LAB_ARCH ?= amd64
LAB_SERIES ?= 6.1
.PHONY: demo
demo: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
	cmake --build $(BUILD) -j $(JOBS) --target vn_bpf_net_report > /dev/null
	LAB_ARGS="$(ARGS)" LAB_REPORT=$(BUILD)/vn_bpf_net_report \
	  lab/demo.sh $(LAB_ARCH) $(LAB_SERIES) $(BUILD)/lab/demo-$(LAB_ARCH)-$(LAB_SERIES)
