"""Pure-Python work for the isolated-call benchmarks: importable by
reference from the sub-interpreters that run it."""


def spin(n: int) -> int:
    """A pure-Python loop of n steps (about 1.5 ms for the benchmark's n)."""
    total = 0
    for i in range(n):
        total += i * i % 7
    return total
