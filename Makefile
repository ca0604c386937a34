# Convenience targets around CMake and Ninja. Everything builds into build/.
#   make demo   install what is missing, build the program, run the demonstration
#   make test   install what is missing, build everything, run every test
#   make build  install what is missing and build everything
#   make clean  remove build/
#   make campaign            the crash, fault and adversarial campaigns with a long soak
#   make reliability-report  run the campaigns and rewrite their figures in docs/reliability.md

BUILD_DIR := build
CTEST_JOBS := 2

SOAK_ITERATIONS := 2500

.PHONY: all build demo test clean deps configure campaign reliability-report

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

test: build
	ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(CTEST_JOBS)

# The test suite runs a short soak; here it runs SOAK_ITERATIONS iterations.
campaign: build
	ANCHORFS_SOAK_ITERATIONS=$(SOAK_ITERATIONS) ctest --test-dir $(BUILD_DIR) --output-on-failure -j$(CTEST_JOBS) -R Campaign

reliability-report: build
	ANCHORFS_SOAK_ITERATIONS=$(SOAK_ITERATIONS) scripts/reliability-report.sh $(BUILD_DIR)

clean:
	rm -rf $(BUILD_DIR)
