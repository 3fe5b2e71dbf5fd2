# Front door. `make demo` runs the main job (bayercam stream), `make test` runs every test of both builds.
JOBS ?= $(shell nproc)
SANITIZED_PRESETS := host-asan host-tsan

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := property pin intersection registry usb

.PHONY: all deps test demo view bench fuzz kernel host release clean format sweep soak sign install

all: host kernel

deps:
	@scripts/install-deps

host: deps
	cmake --preset host >/dev/null
	cmake --build --preset host -j $(JOBS)

release: deps
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release -j $(JOBS)

# The command line with its man page and bash completion, under PREFIX (bin/, share/man/man1/,
# share/bash-completion/completions/).
PREFIX ?= /usr/local
install: release
	cmake --install build/host-release --prefix $(PREFIX)

kernel: deps
	cmake --preset kernel >/dev/null
	cmake --build --preset kernel -j $(JOBS)
	@echo "kernel image: build/kernel/bayercam.sys"

# A test-signed copy of the kernel image, with its test certificate, in build/kernel/signed
# (README: installing it on a test machine). The signed copy must still pass the image checks.
sign: kernel
	@scripts/install-deps --sign
	scripts/sign-image build/kernel/bayercam.sys build/kernel/signed
	cp kernel/bayercam.inf build/kernel/signed/
	kernel/check-image build/kernel/signed/bayercam.sys kernel/imports.allow

test: host kernel
	ctest --preset host -j $(JOBS)
	ctest --preset kernel
	@for p in $(SANITIZED_PRESETS); do \
	  cmake --preset $$p >/dev/null && \
	  cmake --build --preset $$p -j $(JOBS) && \
	  ctest --preset $$p -j $(JOBS) || exit 1; \
	done

demo: release kernel
	build/host-release/tools/bayercam info
	@mkdir -p out
	build/host-release/tools/bayercam convert --synthetic chart --json out/chart.png
	build/host-release/tools/bayercam trace --frames 1
	build/host-release/tools/bayercam props --registry out/system.hiv set Exposure=100 Brightness=300
	build/host-release/tools/bayercam props --registry out/system.hiv get Exposure Brightness
	build/host-release/tools/bayercam formats --registry out/system.hiv
	@rm -rf out/frames
	build/host-release/tools/bayercam stream --frames 90 --set Exposure=450 --out out/frames --registry out/system.hiv \
	  --contact out/contact.png
	@rm -rf out/image-frames
	build/host-release/tools/bayercam stream --driver build/kernel/bayercam.sys --frames 30 \
	  --out out/image-frames --registry out/system.hiv
	@echo "demo: the converted test chart is out/chart.png, the streamed frames are in"
	@echo "      out/frames/, every tenth of them on out/contact.png; out/image-frames/ came"
	@echo "      through the shipped kernel image, bayercam.sys, run by the host's loader"

# The camera live in a browser at http://127.0.0.1:8656/ until Ctrl-C.
view: release
	@mkdir -p out
	build/host-release/tools/bayercam view --registry out/system.hiv

# The long allocation-failure sweep: the whole life of a camera (ten frames per run) with each
# of its allocations refused in turn, under ASan and UBSan.
sweep: deps
	cmake --preset host-asan >/dev/null
	cmake --build --preset host-asan -j $(JOBS) --target stress_tests
	BAYERCAM_SWEEP=full build/host-asan/tests/stress/stress_tests --gtest_filter='AllocationSweep.*'

# The soak: frames through the pin while three client threads change settings and states at
# random; a short run under TSan, then the full 100,000 frames from the release build.
SOAK_FRAMES ?= 100000
SOAK_TSAN_FRAMES ?= 1000
soak: deps
	cmake --preset host-tsan >/dev/null
	cmake --build --preset host-tsan -j $(JOBS) --target bayercam_soak
	build/host-tsan/tests/stress/bayercam_soak --frames $(SOAK_TSAN_FRAMES) --check-every 100
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release -j $(JOBS) --target bayercam_soak
	build/host-release/tests/stress/bayercam_soak --frames $(SOAK_FRAMES)

bench:
	@scripts/install-deps --bench
	cmake --preset host-release >/dev/null
	cmake --build --preset host-release -j $(JOBS)
	@for b in build/host-release/bench/bench_*; do \
	  [ -x "$$b" ] && "$$b" --benchmark_min_time=0.5 || exit 1; \
	done

# Runs each fuzz target for FUZZ_SECONDS under AddressSanitizer and UBSan (scripts/fuzz says
# where crash inputs land); `make test` replays the committed corpus without clang.
fuzz:
	@scripts/install-deps --fuzz
	cmake --preset host-fuzz >/dev/null
	cmake --build --preset host-fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	FUZZ_SECONDS=$(FUZZ_SECONDS) scripts/fuzz $(FUZZ_TARGETS)

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf build
