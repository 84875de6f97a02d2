# make check: install what is missing (as root), build, run every test.
# make demo:  run the system on a fresh embedded server with demo data.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build check check-asan fuzz demo bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
ASAN_BUILD ?= build-asan
check-asan: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS="-O1 -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer" \
	  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/scripts/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# Every fuzz target for FUZZ_SECONDS each, from the seed corpora in tests/fuzz/corpus.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build-fuzz
fuzz: deps
	@CC=clang-14 CXX=clang++-14 cmake -S . -B $(FUZZ_BUILD) -DZUL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_targets
	@scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

demo: build
	@scripts/demo $(BUILD)

bench: build
	@$(BUILD)/bench/notesapi_bench --benchmark_min_time=0.5
	@$(BUILD)/bench/scan_kernel_bench --benchmark_min_time=2 --benchmark_repetitions=3
	@$(BUILD)/bench/mime_import_bench --benchmark_min_time=1
	@bench/mail_flow_bench.py $(BUILD) --mails 200
	@bench/hand_over_bench.sh $(BUILD) 200

clean:
	@rm -rf $(BUILD)
