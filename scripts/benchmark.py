#!/usr/bin/python3
"""Measures, under Wine in one run, a silent installation against a do-nothing
image with the same three imports, alternating the two, and reports the medians,
their ratio, and the installer's size against the floor of its certificate texts.
Not a test: the figures depend on the machine.

Usage: benchmark.py IMAGE NOOP_IMAGE [RUNS]
"""
import os
import shutil
import statistics
import subprocess
import sys
import time

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import winetest  # noqa: E402

SOURCE = os.path.join(ROOT, "src", "installer", "embedded_certificates.cpp")


def timed(prefix, args):
    env = winetest.wine_env(prefix)
    start = time.perf_counter()
    status = subprocess.run(["wine"] + args, env=env).returncode
    elapsed = time.perf_counter() - start
    if status != 1:
        sys.exit(f"{args[0]} exited with {status}, expected 1")
    return elapsed


def main():
    image, noop = map(os.path.abspath, sys.argv[1:3])
    runs = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    prefix = winetest.new_prefix("benchmark")
    # One persistent server for all runs, so that neither side pays its start-up.
    server = subprocess.Popen(["wineserver", "-f", "-p"], env=winetest.wine_env(prefix))
    try:
        timed(prefix, [noop])  # warm-up: loads Wine's libraries into the page cache
        timed(prefix, [image, "-s"])
        installer, baseline = [], []
        for _ in range(runs):
            baseline.append(timed(prefix, [noop]))
            installer.append(timed(prefix, [image, "-s"]))
    finally:
        subprocess.run(["wineserver", "-k"], env=winetest.wine_env(prefix))
        server.wait()
    shutil.rmtree(prefix, ignore_errors=True)

    floor = sum(len(text) + 1 for _, text in winetest.embedded_texts(SOURCE))  # with terminators
    size = os.path.getsize(image)
    ms = lambda values: 1000 * statistics.median(values)  # noqa: E731
    print(f"runs each:                    {runs}")
    print(f"do-nothing image, median:     {ms(baseline):.1f} ms "
          f"(min {1000 * min(baseline):.1f}, max {1000 * max(baseline):.1f})")
    print(f"silent installation, median:  {ms(installer):.1f} ms "
          f"(min {1000 * min(installer):.1f}, max {1000 * max(installer):.1f})")
    print(f"ratio installer / do-nothing: {ms(installer) / ms(baseline):.2f}")
    print(f"installation's own cost:      {ms(installer) - ms(baseline):.1f} ms for 12 certificates")
    print(f"image size:                   {size} bytes; certificate texts {floor} bytes "
          f"({100 * floor / size:.1f}% of the image, {size - floor} bytes for everything else)")


if __name__ == "__main__":
    main()
