# Convenience targets around CMake and Ninja. Everything builds into build/.
#   make demo   install what is missing, build the program, run the demonstration
#   make test   install what is missing (the Node group too), build everything, run every test
#   make build  install what is missing and build everything
#   make clean  remove build/
#   make campaign            the crash, fault and adversarial campaigns with a long soak
#   make reliability-report  run the campaigns and rewrite their figures in docs/reliability.md
#   make sanitize   build with ASan and UBSan into build-asan/ and run the tests there
#                   (SANITIZE_TESTS: a ctest -R selection, SANITIZE_TARGETS: what to build for it)
#   make coverage   build with gcov into build-coverage/, run the tests there and report the
#                   coverage of src/ with gcovr (COVERAGE_TESTS: a ctest -R selection added to
#                   the counts already there, COVERAGE_TARGETS: what to build for it)
#   make coverage-report  rewrite the coverage section of docs/reliability.md from build-coverage/
#   make tidy       clang-tidy over src/ (build-tidy/ holds the compile database)
#   make fuzz       build the libFuzzer targets into build-fuzz/ and run each for FUZZ_SECONDS
#   make analysis-report  write the sanitizer, clang-tidy and fuzzing figures into docs/reliability.md
#   make kernel-check  boot Debian 12's own kernel under qemu (build-kernel/) and run the tests
#                   there with /tmp on ext4 and on tmpfs (KERNEL_CHECK_TESTS: a ctest -R selection;
#                   about 40 minutes under software emulation, not part of CI)

BUILD_DIR := build
CTEST_JOBS := 2

SOAK_ITERATIONS := 2000

SANITIZE_DIR := build-asan
SANITIZE_TESTS :=
SANITIZE_TARGETS :=
COVERAGE_DIR := build-coverage
COVERAGE_TESTS :=
COVERAGE_TARGETS :=
TIDY_DIR := build-tidy
FUZZ_DIR := build-fuzz
FUZZ_SECONDS := 60
KERNEL_DIR := build-kernel
KERNEL_CHECK_TESTS ?=

.PHONY: all build demo test clean deps configure campaign reliability-report sanitize coverage coverage-report tidy fuzz analysis-report kernel-check

all: build

deps:
	scripts/install-deps.sh

# Configured once; afterwards Ninja re-runs CMake itself when a CMakeLists.txt
# or a globbed source list changes.
configure: deps
	@test -f $(BUILD_DIR)/build.ninja || cmake -S . -B $(BUILD_DIR) -G Ninja

build: configure
	cmake --build $(BUILD_DIR)

# The demonstration needs only the program, not the test programs.
demo: configure
	cmake --build $(BUILD_DIR) --target anchorfs
	scripts/demo.sh $(BUILD_DIR)/anchorfs

# The Node client's type check needs its locked TypeScript compiler (npm ci).
test: build
	scripts/install-deps.sh node
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(CTEST_JOBS)

# The test suite runs a short soak; here it runs SOAK_ITERATIONS iterations.
campaign: build
	ANCHORFS_SOAK_ITERATIONS=$(SOAK_ITERATIONS) ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(CTEST_JOBS) -R Campaign

reliability-report: build
	ANCHORFS_SOAK_ITERATIONS=$(SOAK_ITERATIONS) scripts/reliability-report.sh $(BUILD_DIR)

sanitize: deps
	scripts/sanitize.sh $(SANITIZE_DIR) $(CTEST_JOBS) '$(SANITIZE_TESTS)' '$(SANITIZE_TARGETS)'

coverage: deps
	scripts/install-deps.sh coverage
	scripts/coverage.sh $(COVERAGE_DIR) $(CTEST_JOBS) '$(COVERAGE_TESTS)' '$(COVERAGE_TARGETS)'

coverage-report:
	python3 scripts/coverage-report.py $(COVERAGE_DIR) docs/reliability.md

tidy:
	scripts/install-deps.sh tidy
	scripts/tidy.sh $(TIDY_DIR)

fuzz:
	scripts/install-deps.sh fuzz
	@test -f $(FUZZ_DIR)/build.ninja || CC=clang-14 CXX=clang++-14 cmake -S fuzz -B $(FUZZ_DIR) -G Ninja
	cmake --build $(FUZZ_DIR)
	scripts/fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

analysis-report:
	scripts/analysis-report.sh $(SANITIZE_DIR) $(TIDY_DIR) $(FUZZ_DIR)

clean:
	rm -rf $(BUILD_DIR) $(SANITIZE_DIR) $(COVERAGE_DIR) $(TIDY_DIR) $(FUZZ_DIR)

kernel-check:
	KERNEL_CHECK_TESTS='$(KERNEL_CHECK_TESTS)' scripts/kernel-check.sh $(KERNEL_DIR)
