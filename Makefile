# The two set-up commands: `make demo` and `make test`. Each prepares a fresh
# machine by itself (Debian packages, .venv, dependencies, the native build).
PY := .venv/bin/python

.PHONY: demo server test test-floor setup bench soak lint format check-native clean

# The demo's and the server's build: without the test build's leak check,
# which a build directory would otherwise keep from an earlier `make test`.
setup:
	ZARNEL_CMAKE_DEFINES="ZARNEL_LEAK_CHECK=OFF" scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

# A local SeaweedFS on 127.0.0.1:9000 with fixed keys, for the README's
# examples; Ctrl-C stops it and removes its data.
server: setup
	$(PY) -m tools.s3servers

# The test build turns compiler warnings into errors.
test:
	ZARNEL_CMAKE_DEFINES="ZARNEL_WERROR=ON ZARNEL_LEAK_CHECK=ON" scripts/setup.sh
	$(PY) -m pytest $(PYTEST_ARGS)

# The unit tests and a few integration files against the oldest minio release
# that pyproject.toml admits, in a venv and build directory of their own.
FLOOR_TESTS := tests/unit tests/integration/test_buckets.py tests/integration/test_download.py \
	tests/integration/test_distributed.py
test-floor:
	ZARNEL_VENV=.venv-floor ZARNEL_BUILD_DIR=build/floor \
	ZARNEL_CMAKE_DEFINES="ZARNEL_WERROR=ON ZARNEL_LEAK_CHECK=ON" \
	scripts/setup.sh requirements/minio-floor.txt
	.venv-floor/bin/python -m pytest -q $(FLOOR_TESTS)

# Ratios against baselines measured in the same run; figures also go to
# bench/out/latest.json.
bench:
	scripts/setup.sh requirements/bench.txt
	$(PY) -m bench $(BENCH_ARGS)

# The tree calls through the fault proxy with random damage from a seed, each
# round checked by a fault-free client (tools/soak.py); about 10 minutes, not
# in CI. E.g. `make soak SOAK_ARGS="--quick"` or `SOAK_ARGS="--seed 5"`.
soak: setup
	$(PY) -m tools.soak $(SOAK_ARGS)

lint:
	ZARNEL_LINT=1 ZARNEL_CMAKE_DEFINES=ZARNEL_WERROR=ON scripts/setup.sh requirements/lint.txt
	scripts/lint.sh

format:
	ZARNEL_LINT=1 scripts/setup.sh requirements/lint.txt
	scripts/lint.sh --fix

# Unit tests against a build with ASan, UBSan and nanobind's leak check.
check-native:
	scripts/check-native.sh

clean:
	rm -rf build .venv .venv-native .venv-floor .pytest_cache
