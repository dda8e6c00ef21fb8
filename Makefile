# Quick start: `make run` serves with data in ./data, `make test` runs every test.
# Both install the Debian packages they need first.

JOBS ?= 2
BUILD := build
PORT ?= 18260

RUN_PACKAGES := build-essential cmake libsqlite3-dev nlohmann-json3-dev libssl-dev
TEST_PACKAGES := $(RUN_PACKAGES) googletest libgtest-dev sqlite3 curl chromium
FUZZ_PACKAGES := $(RUN_PACKAGES) clang libclang-rt-14-dev

.PHONY: run test release fuzz clean

release:
	./scripts/install-packages.sh $(RUN_PACKAGES)
	cmake -S . -B $(BUILD)/release -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/release -j$(JOBS)

run: release
	./$(BUILD)/release/kelvra-sync-server ./data $(PORT)

# Debug build with assertions, then the whole suite.
test:
	./scripts/install-packages.sh $(TEST_PACKAGES)
	cmake -S . -B $(BUILD)/test -DCMAKE_BUILD_TYPE=Debug -DKELVRA_TESTS=ON
	cmake --build $(BUILD)/test -j$(JOBS)
	cd $(BUILD)/test && ctest --output-on-failure -j$(JOBS)

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
