# Front door: every target here is a thin call into CMake or the lab scripts.
BUILD ?= build
JOBS ?= $(shell nproc)

# Debian packages the build, the tests and the lab need.
DEPS = build-essential cmake pkg-config libcli11-dev libgtest-dev libbenchmark-dev \
       clang llvm bpftool libbpf-dev libelf-dev zlib1g-dev libclang-rt-14-dev \
       g++-aarch64-linux-gnu libbpf-dev:arm64 libelf-dev:arm64 zlib1g-dev:arm64 \
       qemu-system-x86 qemu-system-arm busybox-static util-linux iproute2 \
       kmod cpio xz-utils zstd file

.PHONY: all deps test install static cross-arm64 clean bench

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

install: all
	install -D -m 0755 $(BUILD)/vn_bpf_net_monitor /usr/local/sbin/vn_bpf_net_monitor
	install -d -m 0755 /var/vorna-helmsight /var/vorna-helmsight/monitor

# Statically linked binaries for the lab VM, one per architecture.
static:
	cmake -S . -B build-static -DSTATIC_LINK=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release
	cmake --build build-static -j $(JOBS)

cross-arm64:
	cmake -S . -B build-arm64 -DSTATIC_LINK=ON -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Release \
	      -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake
	cmake --build build-arm64 -j $(JOBS)

clean:
	rm -rf $(BUILD) build-static build-arm64

# Rendering cost side by side with the bare write it feeds.
bench: all
	cmake --build $(BUILD) --target render_bench
	$(BUILD)/render_bench $(BUILD)

# The first thing to run, on any machine: boots the lab VM (Debian 12's
# stock kernel under emulation), starts the monitor with ARGS in it, sends a
# little traffic of each kind across its veth pair and shows the trace.
ARGS ?= -P icmp
LAB_ARCH ?= amd64
LAB_SERIES ?= 6.1
.PHONY: demo
demo:
	LAB_ARGS="$(ARGS)" lab/demo.sh $(LAB_ARCH) $(LAB_SERIES) $(BUILD)/lab/demo-$(LAB_ARCH)-$(LAB_SERIES)
