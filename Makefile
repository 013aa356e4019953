SHELL := /bin/bash
# The two everyday commands: `make run` and `make test`. Both set up what they need.
# The project's own builds (make test, test-all, clang, fuzz) treat warnings as
# errors; `make run` does not, so a newer compiler cannot break a user's build.
JOBS ?= 2
SAMPLES := $(filter-out %_mip.bmp,$(wildcard samples/*.bmp samples/*.pcx samples/*.gif samples/*.tga))

FUZZ_SECONDS ?= 60
FUZZ_TARGETS := $(basename $(notdir $(wildcard fuzz/*.cpp)))

.PHONY: run test test-all asan release install docs bench clang fuzz deps clean

deps:
	@sh tools/install-deps.sh

release: deps
	cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DORVANDEL_TESTS=OFF -DORVANDEL_WERROR=OFF
	cmake --build build/release -j$(JOBS)

run: release
	@for f in $(SAMPLES); do ./build/release/orvandel "$$f" </dev/null || exit 1; done

# The tool and its manual page under PREFIX, staged under DESTDIR when given:
# make install PREFIX=/usr/local DESTDIR=/tmp/stage
PREFIX ?= /usr/local
install: release
	DESTDIR="$(DESTDIR)" cmake --install build/release --prefix "$(PREFIX)"

# The README's pictures: a rip and a mip atlas of a sample, made by the tool,
# and a tilted plane sampled as a rip-map, as a mip-map and by brute force.
docs: release
	sh tools/make_docs_pictures.sh build/release/orvandel
	./build/release/orvandel_make_ripmap_picture docs/ripmap-vs-mipmap.png samples

# The tests, built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan:
	@sh tools/install-deps.sh test
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVANDEL_SANITIZE=ON -DORVANDEL_WERROR=ON
	cmake --build build/asan -j$(JOBS)

# The quick set: everything but the damage sweep and the tests named Slow...
test: asan
	cd build/asan && ctest --output-on-failure -j$(JOBS) -L quick

# Every test, the slow ones included (the viewer's runs in Chromium).
test-all: asan
	@sh tools/install-deps.sh browser
	cd build/asan && ctest --output-on-failure -j$(JOBS)

# The same sources built with clang, warnings as errors.
clang:
	@sh tools/install-deps.sh clang
	cmake -S . -B build/clang -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER=clang++ -DORVANDEL_WERROR=ON
	cmake --build build/clang -j$(JOBS)

bench:
	@sh tools/install-deps.sh bench
	cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DORVANDEL_TESTS=OFF -DORVANDEL_BENCH=ON
	cmake --build build/bench -j$(JOBS)
	./build/bench/orvandel_bench
	./build/bench/orvandel_batch_bench
	./build/bench/orvandel_runs_bench

# Every fuzz target for FUZZ_SECONDS each (clang's libFuzzer with ASan and UBSan),
# seeded with the samples and the test files. Findings land in build/fuzz/findings/.
fuzz:
	@sh tools/install-deps.sh fuzz
	cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
	  -DORVANDEL_TESTS=OFF -DORVANDEL_SANITIZE=ON -DORVANDEL_FUZZ=ON -DORVANDEL_WERROR=ON
	cmake --build build/fuzz -j$(JOBS)
	@mkdir -p build/fuzz/findings
	@for t in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus-$$t; \
	  echo "fuzzing $$t for $(FUZZ_SECONDS) s"; \
	  ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=1024 \
	  ./build/fuzz/$$t -max_total_time=$(FUZZ_SECONDS) -max_len=65536 -rss_limit_mb=6144 -timeout=20 \
	    -print_final_stats=1 -artifact_prefix=build/fuzz/findings/ \
	    build/fuzz/corpus-$$t samples tests/data >build/fuzz/$$t.log 2>&1 \
	    || { tail -40 build/fuzz/$$t.log; exit 1; }; \
	  grep -E 'stat::number_of_executed_units|stat::peak_rss_mb|Done' build/fuzz/$$t.log; \
	done

clean:
	rm -rf build
