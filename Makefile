# Local shortcuts; CI (.ci/run) calls the same scripts.
PYTHON ?= python3.12
VENV ?= .venv

.PHONY: dev test check fix bench wheels docs

dev:  ## a virtual environment with the package, its test extras and the linters
	$(PYTHON) -m venv $(VENV)
	$(VENV)/bin/pip install -q '.[test]' -r tools/lint-requirements.txt

test:  ## rebuild the package into the environment, then run the suite
	$(VENV)/bin/pip install -q --no-deps .
	$(VENV)/bin/pytest -q

check:  ## lint, format check, clang-format, mypy --strict
	PYTHON=$(VENV)/bin/python tools/check.sh

fix:  ## format in place, then check
	PYTHON=$(VENV)/bin/python tools/check.sh --fix

bench:  ## the benchmark table (bench/README.md)
	$(VENV)/bin/pip install -q '.[bench]'
	$(VENV)/bin/python bench/run.py

wheels:  ## sdist, and from it manylinux wheels for CPython 3.12 and 3.13, in dist/
	bash tools/build_wheels.sh dist

docs:  ## the documentation site (warnings are errors), its doctests and link check
	$(VENV)/bin/pip install -q '.[docs]'
	bash tools/build_docs.sh $(VENV)/bin/python
