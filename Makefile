.PHONY: tour test test-sanitized fuzz bench

# The tour of examples/: set-up, build, then a short session with the object.
tour:
	scripts/setup.sh
	.venv/bin/python examples/tour.py

# Every test: C++ and Python tests, again under the sanitizers, and the fuzz targets.
test:
	scripts/test.sh

# The C++ and Python tests under AddressSanitizer + UndefinedBehaviorSanitizer
# (SANITIZE=thread for ThreadSanitizer).
test-sanitized:
	scripts/test_sanitized.sh

# The fuzz targets: their kept inputs replayed, then TOLVANE_FUZZ_SECONDS of fuzzing each.
fuzz:
	scripts/fuzz.sh

# Side-by-side benchmarks on the Linux corpus (prepared once under bench/.corpus).
bench:
	scripts/setup.sh
	.venv/bin/python bench/run.py
