# The two set-up commands: `make demo` and `make test`. Each prepares a fresh
# machine by itself (Debian packages, .venv, dependencies, the native build).
PY := .venv/bin/python

.PHONY: demo test setup clean

setup:
	scripts/setup.sh

demo: setup
	$(PY) examples/demo.py

test:
	ZARNEL_CMAKE_DEFINES=ZARNEL_WERROR=ON scripts/setup.sh
	$(PY) -m pytest $(PYTEST_ARGS)

clean:
	rm -rf build .venv .pytest_cache
