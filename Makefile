# QVCULLDB32 build, test and demo entry points. `make test` is the everyday test command,
# `make test-full` runs everything.
SHELL := /bin/bash
MAKEFLAGS += --no-print-directory
JOBS ?= 2
PACKAGES := cmake g++ libgtest-dev g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine64 wine32:i386
WINE64 ?= /usr/lib/wine/wine64
WINE32 ?= /usr/lib/wine/wine
CMAKE_FLAGS := -DQV_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo

.PHONY: all native win32 win64 win32-unit win64-unit windows deps test test-full test-native \
	test-wine test-wine32 test-wine64 test-wine-e2e test-asan test-tsan test-sanitizers \
	test-release demo bench clean win32-faults win64-faults test-wine-faults test-wine-faults-sample

all: native

deps:
	@tools/install-deps.sh $(PACKAGES)

native:
	cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	cmake --build build -j$(JOBS)

win32:
	cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build build-win32 -j$(JOBS) --target qvculldb qvrestore qvhold

win64:
	cmake -S . -B build-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build build-win64 -j$(JOBS) --target qvculldb qvrestore qvhold

windows: win32 win64
	@tools/check-exe-imports.sh build-win32/QVCULLDB.EXE build-win64/QVCULLDB.EXE \
	  build-win32/QVRESTORE.EXE build-win64/QVRESTORE.EXE

# Test builds of both EXEs (in faults/ of each build) whose Win32 calls can be failed, crashed
# or interrupted.
win32-faults: win32
	cmake --build build-win32 -j$(JOBS) --target qvculldb_faults qvrestore_faults

win64-faults: win64
	cmake --build build-win64 -j$(JOBS) --target qvculldb_faults qvrestore_faults

# The pure-logic unit tests built for Windows (posix thread model, for GoogleTest).
win32-unit:
	cmake -S . -B build-win32-tests -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686-posix.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build build-win32-tests -j$(JOBS) --target windows_unit_tests

win64-unit:
	cmake -S . -B build-win64-tests -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64-posix.cmake $(CMAKE_FLAGS) >/dev/null
	cmake --build build-win64-tests -j$(JOBS) --target windows_unit_tests

# The native tests. The fault and power sweeps take each call site's first and last call and a
# rotating share of the calls between (each SWEEP line prints the setting that replays it);
# QV_SWEEP=full makes them whole.
test-native: native
	@tools/check-layers.sh
	cd build && ctest -j$(JOBS) --output-on-failure
	@grep -h '^SWEEP' build/Testing/Temporary/LastTest.log || true

# The end-to-end scenarios against each Windows EXE under Wine, each in a Wine prefix of its own
# beside its build (the 32-bit EXE needs a prefix made with WINEARCH=win32).
test-wine-e2e: native windows
	@tools/run-wine-e2e.sh $(WINE32) win32 build-win32/QVCULLDB.EXE build/tests/qv_e2e_tests ""
	@tools/run-wine-e2e.sh $(WINE64) win64 build-win64/QVCULLDB.EXE build/tests/qv_e2e_tests ""

# The same with the Windows unit tests first.
test-wine: test-wine32 test-wine64

test-wine32: native win32 win32-unit
	@tools/run-wine-e2e.sh $(WINE32) win32 build-win32/QVCULLDB.EXE build/tests/qv_e2e_tests \
	  build-win32-tests/tests/windows

test-wine64: native win64 win64-unit
	@tools/run-wine-e2e.sh $(WINE64) win64 build-win64/QVCULLDB.EXE build/tests/qv_e2e_tests \
	  build-win64-tests/tests/windows

# The fault sweeps (fail, crash, interrupt at each Win32 call) of the pack, the dry run, both
# rollbacks and the restore, against each EXE's fault build under Wine, whole. The sample that
# `make test` runs takes every SAMPLE-th injection of the 64-bit sweeps, from a rotating offset.
SWEEPS := --gtest_filter=FaultSweep.*
SAMPLE ?= 30
test-wine-faults: native win32-faults win64-faults
	@tools/check-exe-imports.sh --faults build-win32/faults/QVCULLDB.EXE build-win64/faults/QVCULLDB.EXE
	@QV_SWEEP=full QV_WINE_PREFIX=$(CURDIR)/build-win32/wine-prefix tools/run-wine-e2e.sh $(WINE32) \
	  win32 build-win32/faults/QVCULLDB.EXE build/tests/faults/qv_fault_sweep "" $(SWEEPS)
	@QV_SWEEP=full QV_WINE_PREFIX=$(CURDIR)/build-win64/wine-prefix tools/run-wine-e2e.sh $(WINE64) \
	  win64 build-win64/faults/QVCULLDB.EXE build/tests/faults/qv_fault_sweep "" $(SWEEPS)

test-wine-faults-sample: native win64-faults
	@QV_SWEEP_SAMPLE=$(SAMPLE) QV_WINE_PREFIX=$(CURDIR)/build-win64/wine-prefix tools/run-wine-e2e.sh \
	  $(WINE64) win64 build-win64/faults/QVCULLDB.EXE build/tests/faults/qv_fault_sweep "" $(SWEEPS)

# AddressSanitizer and UndefinedBehaviorSanitizer over every test but the sweeps.
test-asan:
	cmake -S . -B build-asan -DQV_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug -DQV_WERROR=ON >/dev/null
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ctest -j$(JOBS) --output-on-failure -LE slow

# ThreadSanitizer over the end-to-end scenarios, whose runs hash and copy on two threads (the
# fault shim too: a scenario tells a volume's free space through it).
test-tsan:
	cmake -S . -B build-tsan -DQV_TSAN=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_WERROR=ON >/dev/null
	cmake --build build-tsan -j$(JOBS) --target qvculldb qvrestore qv_e2e_tests qv_fault_shim
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1 ctest -j$(JOBS) --output-on-failure -L e2e -E LargeFiles

test-sanitizers: test-asan test-tsan

# The Release build, warnings as errors, as the bench builds it.
test-release:
	cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DQV_WERROR=ON >/dev/null
	cmake --build build-release -j$(JOBS)

# The everyday gate (.ci/run): the native tests with sampled sweeps, both EXEs built and their
# scenarios run under Wine, a sample of the Windows sweeps, and AddressSanitizer.
test: deps
	$(MAKE) test-native
	$(MAKE) windows
	$(MAKE) test-wine-e2e
	$(MAKE) test-wine-faults-sample
	$(MAKE) test-asan

# Everything: whole sweeps natively and on both EXEs, the Windows unit tests, both sanitizers and
# the Release build.
test-full: deps
	QV_SWEEP=full $(MAKE) test-native
	$(MAKE) windows
	$(MAKE) test-wine
	$(MAKE) test-wine-faults
	$(MAKE) test-sanitizers
	$(MAKE) test-release

demo:
	@cmake -S . -B build $(CMAKE_FLAGS) >/dev/null
	@cmake --build build -j$(JOBS) --target qvculldb qvrestore qvsample >/dev/null
	@tools/demo.sh build

bench:
	@bench/run

clean:
	rm -rf build build-win32 build-win64 build-win32-tests build-win64-tests build-asan build-tsan \
	  build-release build-bench demo
