# SPDX-License-Identifier: GPL-3.0-or-later
BUILD ?= build
JOBS ?= $(shell nproc)
# The package is built on its own, for /usr and without the tests.
DEB_BUILD ?= $(BUILD)/deb

.PHONY: all deps configure build test demo package fuzz clean

all: build

# The only step that installs anything; test and demo run it first.
deps:
	@scripts/install-deps

configure:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: deps
	$(MAKE) build
	cd $(BUILD) && ctest --output-on-failure --timeout 300

demo: deps
	$(MAKE) build
	scripts/demo $(BUILD)

package:
	cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=/usr \
	      -DBUILD_TESTING=OFF
	cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && cpack -G DEB

# The fuzz targets in a clang build of their own, one minute each.
fuzz:
	@scripts/install-deps --fuzz
	cmake -S . -B $(BUILD)-fuzz -DKELVARRA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++ -DBUILD_TESTING=OFF \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)-fuzz -j $(JOBS) --target fuzz
	fuzz/run $(BUILD)-fuzz 60

clean:
	rm -rf $(BUILD) $(BUILD)-fuzz
