# Two entry points for newcomers: `make run` (the main job) and `make test` (what CI runs).
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps build run render test package clean

deps:
	scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)
	cmake --build $(BUILD)

run: build
	scripts/run-daemon-demo.sh $(BUILD)

# Offline only: renders a generated demo signal through the default engine, no daemon needed.
render: build
	scripts/run-demo.sh $(BUILD)

test: build
	scripts/run-tests.sh $(BUILD)

# The Debian package build/halvex_<version>_amd64.deb, from the same install rules as cmake --install.
package: deps
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_INSTALL_PREFIX=/usr $(CMAKE_FLAGS)
	cmake --build $(BUILD) --target package

clean:
	rm -rf $(BUILD)
