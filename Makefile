# The two everyday commands: `make run` and `make test`. Both set up what they need.
JOBS ?= 2
SAMPLES := $(filter-out %_mip.bmp,$(wildcard samples/*.bmp samples/*.pcx samples/*.gif samples/*.tga))

.PHONY: run test release bench clang deps clean

deps:
	@sh tools/install-deps.sh

release: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DORVANDEL_TESTS=OFF
	cmake --build build/release -j$(JOBS)

run: release
	@for f in $(SAMPLES); do ./build/release/orvandel "$$f" </dev/null || exit 1; done

test: deps
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANDEL_SANITIZE=ON
	cmake --build build/asan -j$(JOBS)
	cd build/asan && ctest --output-on-failure -j$(JOBS)

# The same sources built with clang, warnings as errors.
clang: deps
	cmake -S . -B build/clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++
	cmake --build build/clang -j$(JOBS)

bench: deps
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DORVANDEL_TESTS=OFF -DORVANDEL_BENCH=ON
	cmake --build build/bench -j$(JOBS)
	./build/bench/orvandel_bench

clean:
	rm -rf build
