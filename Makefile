# Thin driver over CMake. Run as root on a fresh Debian machine, it first installs what is missing.
#   make demo            build, then run the zkdict tool and the C demo on the system word list
#   make test            build and run the whole test suite
#   make test-sanitize   the suite again under AddressSanitizer and UndefinedBehaviorSanitizer
#   make test-tsan       the multi-threaded tests (the memory cache, shared dictionary and tree
#                        lookups) under ThreadSanitizer
#   make test-inject     the cache's thread tests in a debug build that yields and sleeps at random
#                        at every lock boundary
#   make soak            the cache's thread test for SOAK_SECONDS (default 600), not part of CI
#   make bench           build the benchmarks in Release and run them against their peers
#   make fuzz            build the libFuzzer programs with clang and run each for FUZZ_SECONDS
#   make package         the Debian packages libzkdict1 (shared libraries), libzkdict-dev (headers,
#                        static libraries, CMake and pkg-config files) and zkdict-tools (the tool
#                        and its manual page) in build-package, built with Debian's flags for /usr
#                        and checked by lintian, which fails the target on any error
#   make examples        the packages unpacked into a scratch root, every example built against
#                        them through find_package and through pkg-config, and run
#   make consumers       a small client project built and run against libzkdict taken every way a
#                        CMake project takes it: add_subdirectory (shared and static), FetchContent,
#                        and find_package of the unpacked packages (shared and static)
#   make docs            the HTML manual from the public headers, into build-docs; fails on any
#                        undocumented call or parameter
#   make install PREFIX=/usr/local

BUILD      ?= build
JOBS       ?= 2
PREFIX     ?= /usr/local
CMAKE_ARGS ?=
FUZZ_SECONDS ?= 60
SOAK_SECONDS ?= 600

PACKAGES = cmake make g++ gcc pkg-config libgtest-dev libbenchmark-dev libxxhash-dev libabsl-dev libcmph-dev libcuckoo-dev wamerican

.PHONY: all deps configure build demo test test-sanitize test-tsan test-inject soak bench fuzz package examples consumers docs install clean

# $(call need,PROGRAM,PACKAGE): in a recipe, installs the Debian PACKAGE when PROGRAM is missing
# (as root; otherwise the target fails and says what to install).
need = @command -v $(1) >/dev/null || { [ "$$(id -u)" = 0 ] && \
  DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $(2); } || \
  { echo "make $@ needs $(2) (run as root to install it)"; exit 1; }

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "installing:" $$missing; \
	    DEBIAN_FRONTEND=noninteractive apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else \
	    echo "missing packages (run as root to install them):" $$missing; exit 1; \
	  fi; \
	fi

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j$(JOBS)

demo: build
	sh tools/demo.sh $(BUILD) /usr/share/dict/words

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

test-sanitize: deps
	$(MAKE) test BUILD=build-asan CMAKE_ARGS="-DZK_SANITIZE=address,undefined"

test-tsan: deps
	$(MAKE) configure BUILD=build-tsan CMAKE_ARGS="-DZK_SANITIZE=thread"
	cmake --build build-tsan -j$(JOBS) --target zkcache_test hashdict_test avldict_test
	ctest --test-dir build-tsan --output-on-failure -j$(JOBS) -R '^(Cache|HashDictFiles.ManyThreads|TreeReaders)'

test-inject: deps
	$(MAKE) configure BUILD=build-inject CMAKE_ARGS="-DCMAKE_BUILD_TYPE=Debug -DZK_INJECT_SCHEDULE=ON"
	cmake --build build-inject -j$(JOBS) --target zkcache_test
	for seed in 1 2 3 4 5; do \
	  ZK_INJECT_SEED=$$seed ctest --test-dir build-inject --output-on-failure -j$(JOBS) -R '^CacheThreads' || exit 1; \
	done

soak: build
	cmake --build $(BUILD) -j$(JOBS) --target cache_soak
	./$(BUILD)/tests/cache_soak $(SOAK_SECONDS)

bench: deps
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DZK_BUILD_BENCH=ON -DBUILD_TESTING=OFF
	cmake --build build-bench -j$(JOBS)
	@for b in build-bench/bench/*_bench; do echo "== $$b"; ./$$b || exit 1; done

fuzz: deps
	$(call need,clang++,clang)
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK_FUZZ=ON \
	  -DZK_SANITIZE=address,undefined -DZK_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build build-fuzz -j$(JOBS) --target fuzz

# Built the way Debian builds its packages: for /usr, with the distribution's flags and all of its
# hardening (dpkg-buildflags), shared and static libraries; dependencies from the binaries
# (dpkg-shlibdeps). lintian's one warning left out is for uploads to Debian, which close the bug
# that announced the package.
BUILDFLAGS = DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get

package: deps
	$(call need,dpkg-shlibdeps,dpkg-dev)
	$(call need,file,file)
	$(call need,lintian,lintian)
	cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DBUILD_TESTING=OFF \
	  -DZKDICT_STATIC_TOO=ON \
	  -DCMAKE_C_FLAGS="$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CFLAGS)" \
	  -DCMAKE_CXX_FLAGS="$$($(BUILDFLAGS) CPPFLAGS) $$($(BUILDFLAGS) CXXFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)" \
	  -DCMAKE_SHARED_LINKER_FLAGS="$$($(BUILDFLAGS) LDFLAGS)"
	cmake --build build-package -j$(JOBS)
	rm -f build-package/*.deb
	cd build-package && cpack -G DEB
	lintian --fail-on error --suppress-tags initial-upload-closes-no-bugs build-package/*.deb

examples: package
	rm -rf build-package/root build-package/examples
	for deb in build-package/*.deb; do dpkg -x $$deb build-package/root || exit 1; done
	sh examples/run.sh build-package/root/usr build-package/examples

consumers: package
	sh tests/consumer/run.sh build-package/consumers build-package/*.deb

docs:
	$(call need,doxygen,doxygen)
	rm -rf build-docs
	doxygen docs/Doxyfile

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

clean:
	rm -rf build build-asan build-tsan build-inject build-bench build-fuzz build-package build-docs
