"""The cost of a call through the Python package, on the virtual printer: the
median of 200 text lines and of 200 checks, and the time to a Printer's
first call (the worker's start). Run it with PYTHONPATH on another copy of
the package to compare the two.

Usage: python3 bench/python_calls.py TARVIK_VIRTUAL   (with the package's
TARVIK_LIBRARY and TARVIK_WORKER in the environment)
"""

import statistics
import sys
import tempfile
import time
from pathlib import Path

import tarvik
from tarvik.pytest_plugin import VirtualPrinter

CALLS = 200


def median_ms(call):
    times = []
    for _ in range(CALLS):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def main():
    with tempfile.TemporaryDirectory() as work:
        printer = VirtualPrinter(sys.argv[1], Path(work))
        try:
            first = []
            for _ in range(20):
                p = tarvik.Printer(work)
                start = time.perf_counter()
                p.line_feed(0)
                first.append(time.perf_counter() - start)
                if hasattr(p, "close"):
                    p.close()
            p = tarvik.Printer(work)
            text = median_ms(lambda: p.text("TOTAL R$ 1.234,56"))
            check = median_ms(lambda: p.check("PAGUE", "JOSE", "15/03/2025", 123456, "SAO PAULO", "", 341))
        finally:
            printer.stop()
    print(f"{tarvik.__file__}")
    print(f"first call (median of 20): {statistics.median(first) * 1e3:.2f} ms")
    print(f"text, median of {CALLS}: {text:.3f} ms")
    print(f"check, median of {CALLS}: {check:.3f} ms")


if __name__ == "__main__":
    main()
