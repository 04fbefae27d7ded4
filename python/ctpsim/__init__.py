"""Simulated CTP trading front and broker counter, for tests, benchmarks and the demo."""
