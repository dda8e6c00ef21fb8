# Quick start: `make run` serves with data in ./data, `make test` runs every test.
# Both install the Debian packages they need first.

JOBS ?= 2
BUILD := build
PORT ?= 18260

RUN_PACKAGES := build-essential cmake libsqlite3-dev nlohmann-json3-dev libssl-dev
# chromium and the fonts: the dashboard test in a real browser (the fonts
# make its screenshot readable).
TEST_PACKAGES := $(RUN_PACKAGES) googletest libgtest-dev chromium fonts-wqy-microhei \
	fonts-noto-color-emoji
FUZZ_PACKAGES := $(RUN_PACKAGES) clang libclang-rt-14-dev
BENCH_PACKAGES := $(RUN_PACKAGES) nginx wrk python3

.PHONY: run test release fuzz soak bench clean

release:
	./scripts/install-packages.sh $(RUN_PACKAGES)
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j$(JOBS)

run: release
	./$(BUILD)/release/kelvra-sync-server ./data $(PORT)

# Every test three times: on a Debug build with assertions; on an
# AddressSanitizer + UndefinedBehaviorSanitizer build; and, the browser test
# aside, on a ThreadSanitizer build (every process test runs the server
# under it, so all of its threads are checked).
test:
	./scripts/install-packages.sh $(TEST_PACKAGES)
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TESTS=ON
	cmake --build $(BUILD)/test -j$(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(BUILD)/asan -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TESTS=ON -DKELVRA_SANITIZE=address
	cmake --build $(BUILD)/asan -j$(JOBS)
	cd $(BUILD)/asan && ctest --output-on-failure -j$(JOBS)
	cmake -S . -B $(BUILD)/tsan -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TESTS=ON -DKELVRA_SANITIZE=thread
	cmake --build $(BUILD)/tsan -j$(JOBS)
	cd $(BUILD)/tsan && ctest --output-on-failure -j$(JOBS) -LE browser

# The soak: 32 simulated devices on 8 accounts against a server of its own
# (temporary data directory, free loopback port) for SOAK_SECONDS, then
# every file rebuilt from the server and compared byte for byte. One
# summary line; a non-zero exit on any error or mismatch.
SOAK_SECONDS ?= 60
soak:
	./scripts/install-packages.sh $(TEST_PACKAGES)
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TESTS=ON
	cmake --build $(BUILD)/test -j$(JOBS) --target kelvra_soak
	./$(BUILD)/test/tests/soak/kelvra_soak --seconds $(SOAK_SECONDS)

# Benchmarks against nginx on the same machine, in the same run, on loopback
# only; the table goes to bench/results/latest.md. See bench/run.py.
bench:
	./scripts/install-packages.sh $(BENCH_PACKAGES)
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release -DKELVRA_BENCH=ON
	cmake --build $(BUILD)/release -j$(JOBS)
	python3 bench/run.py $(BUILD)/release

# libFuzzer (clang, ASan + UBSan) over request reading and the request-document
# parse. Each target in FUZZ_TARGETS runs for FUZZ_SECONDS (per target, one
# after the other: 10 minutes in all by default), starting from its seeds in
# tests/fuzz/corpus/<target>. Inputs it finds, and the input of any crash or
# broken invariant (crash-<hash>), go to $(FUZZ_OUT)/<target>/, which is not
# committed; a crash stops the run. Once fixed, copy the crash input into the
# seed corpus as a regression seed: `make test` replays every seed.
FUZZ_SECONDS ?= 300
FUZZ_BUILD ?= $(BUILD)/fuzz
FUZZ_OUT ?= fuzz-out
FUZZ_TARGETS := request_reading request_document
FUZZ_FLAGS := -max_len=16384 -timeout=30 -print_final_stats=1 -dict=tests/fuzz/kelvra.dict

fuzz:
	./scripts/install-packages.sh $(FUZZ_PACKAGES)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=clang++ -DKELVRA_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target $(addprefix fuzz_,$(FUZZ_TARGETS))
	set -e; for t in $(FUZZ_TARGETS); do \
	  mkdir -p $(FUZZ_OUT)/$$t/corpus; \
	  $(FUZZ_BUILD)/tests/fuzz/fuzz_$$t $(FUZZ_FLAGS) -max_total_time=$(FUZZ_SECONDS) \
	    -artifact_prefix=$(FUZZ_OUT)/$$t/ $(FUZZ_OUT)/$$t/corpus tests/fuzz/corpus/$$t; \
	done

clean:
	rm -rf $(BUILD)
