# The set-up commands of the README: `make test`, `make run`, `make install`
# and `make package`.
BUILD_DIR ?= build
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all deps build test run install package clean

all: build

deps:
	@sh scripts/install-deps.sh

$(BUILD_DIR)/build.ninja:
	cmake -S . -B $(BUILD_DIR) -G Ninja $(CMAKE_FLAGS)

build: deps $(BUILD_DIR)/build.ninja
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS) --timeout 300

# Serves the example site in the foreground on port 8080; the server reads
# vostrel.ini from its current directory.
run: build
	cd examples/site && ../../$(BUILD_DIR)/httpd

# Installs under CMAKE_INSTALL_PREFIX (/usr/local unless configured otherwise,
# or PREFIX=...), below DESTDIR when it is given.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix "$(PREFIX)")

# The Debian package, for /usr, into $(BUILD_DIR)/package.
package: build
	cpack --config $(BUILD_DIR)/CPackConfig.cmake -B $(abspath $(BUILD_DIR))/package

clean:
	rm -rf $(BUILD_DIR)

# The native Windows executable, cross-built with mingw-w64 into
# build-win/httpd.exe; scripts/windows-tests.sh runs its tests under Wine.
WIN_BUILD_DIR ?= build-win

.PHONY: windows

windows:
	@sh scripts/install-deps.sh g++-mingw-w64-x86-64-posix googletest
	cmake -S . -B $(WIN_BUILD_DIR) -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
	cmake --build $(WIN_BUILD_DIR) -j $(JOBS)
