# Convenience targets around CMake and Ninja. Everything builds into build/.
#   make demo   install what is missing, build the program, run the demonstration
#   make test   install what is missing, build everything, run every test
#   make build  install what is missing and build everything
#   make clean  remove build/

BUILD_DIR := build
CTEST_JOBS := 2

.PHONY: all build demo test clean deps configure

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

clean:
	rm -rf $(BUILD_DIR)
