.PHONY: tour test test-sanitized bench

# The tour of examples/: set-up, build, then a short session with the object.
tour:
	scripts/setup.sh
	.venv/bin/python examples/tour.py

# Every test: C++ unit tests, then the Python tests under 3.12 and 3.13.
test:
	scripts/test.sh

# Every test again under AddressSanitizer + UndefinedBehaviorSanitizer
# (SANITIZE=thread for ThreadSanitizer).
test-sanitized:
	scripts/test_sanitized.sh

# Side-by-side benchmarks on the Linux corpus (prepared once under bench/.corpus).
bench:
	scripts/setup.sh
	.venv/bin/python bench/run.py
