# Quick start: `make run` serves with data in ./data, `make test` runs every test.
# Both install the Debian packages they need first.

JOBS ?= 2
BUILD := build
PORT ?= 18260

RUN_PACKAGES := build-essential cmake libsqlite3-dev nlohmann-json3-dev libssl-dev
TEST_PACKAGES := $(RUN_PACKAGES) googletest libgtest-dev sqlite3 curl chromium
FUZZ_PACKAGES := $(RUN_PACKAGES) clang libclang-rt-14-dev

.PHONY: run test release test-build asan-build tsan-build fuzz clean

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

clean:
	rm -rf $(BUILD)
