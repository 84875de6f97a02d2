# make check: install what is missing (as root), build, run every test.
# make demo:  run the system on a fresh embedded server with demo data.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: all deps configure build check demo bench clean

all: build

deps:
	@scripts/install-deps

configure: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

check: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

demo: build
	@scripts/demo $(BUILD)

bench: build
	@$(BUILD)/bench/notesapi_bench --benchmark_min_time=0.5
	@$(BUILD)/bench/scan_kernel_bench --benchmark_min_time=2 --benchmark_repetitions=3
	@$(BUILD)/bench/mime_import_bench --benchmark_min_time=1
	@bench/mail_flow_bench.py $(BUILD) --mails 200

clean:
	@rm -rf $(BUILD)
