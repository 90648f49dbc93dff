#!/usr/bin/python3
"""Measures a silent installation under Wine against two baselines, in one
persistent wineserver session:

- a do-nothing image with the same three imports (what the platform costs to
  start a process), and
- the reference program, which makes the installer's 60 CRYPT32 calls with the
  same arguments on the same texts and nothing else (the limit any program
  could reach).

Runs are interleaved round by round (do-nothing, installer, reference). Every
run starts from the same store state: the warm-up leaves the twelve
certificates in place, and both programs add them again with
CERT_STORE_ADD_ALWAYS. Before timing, the relay trace checks that the installer
and the reference make the same CRYPT32 calls. Then an instrumented copy of the
calls shows where the time goes inside the process. Not a test: the figures
depend on the machine.

It measures the shipped image where this host executes 32-bit code, else its
64-bit twin, with baselines built the same way (tests/e2e/wineplatform.py).

Usage: benchmark.py [ROUNDS]
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
CRYPT32 = ("CryptQueryObject", "CertOpenStore", "CertAddCertificateContextToStore",
           "CertCloseStore", "CertFreeCertificateContext")


def timed(prefix, args):
    start = time.perf_counter()
    status = subprocess.run(winetest.wine(args), env=winetest.wine_env(prefix)).returncode
    elapsed = time.perf_counter() - start
    if status != 1:
        sys.exit(f"{args[0]} exited with {status}, expected 1")
    return elapsed


def crypt32_calls(prefix, args):
    """The CRYPT32 calls of one run, without the pointer arguments, which differ."""
    _, _, calls = winetest.run(prefix, args, relay=True)
    pointers = {"CryptQueryObject": (1, 10), "CertOpenStore": (4,),
                "CertAddCertificateContextToStore": (0, 1), "CertCloseStore": (0,),
                "CertFreeCertificateContext": (0,)}
    # The rest are 32-bit, or pointer-sized constants below 2**32 (the provider, no
    # legacy provider): compared as 32-bit values, whatever the trace's width.
    return [(c.function, tuple(c.dword(i) for i in range(len(c.args))
                               if i not in pointers[c.function]))
            for c in calls if c.function in CRYPT32]


def ms(values):
    return 1000 * statistics.median(values)


def spread(values, scale=1000, digits=1):
    return f"{scale * min(values):.{digits}f}–{scale * max(values):.{digits}f}"


def main():
    image, noop, reference, profile = (os.path.join(winetest.BUILD, name) for name in (
        "install-ca-certs.exe", "noop-image.exe", "reference-calls.exe", "call-profile.exe"))
    rounds = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    platform = winetest.PLATFORM
    print(f"measured:                          {platform.arch.image} on {platform.probe()[1]}, "
          f"{platform.arch.bits}")
    prefix = winetest.new_prefix("benchmark")

    installer_calls = crypt32_calls(prefix, [image, "-s"])
    reference_calls = crypt32_calls(prefix, [reference])
    if len(installer_calls) != 60 or installer_calls != reference_calls:
        sys.exit(f"the reference does not make the installer's calls: "
                 f"{len(installer_calls)} against {len(reference_calls)}")

    # One persistent server for all runs, so that no run pays its start-up.
    winetest.end_session(prefix)
    server = subprocess.Popen(platform.wineserver(["-f", "-p"]), env=winetest.wine_env(prefix))
    try:
        for args in ([noop], [image, "-s"], [reference]):  # warm-up: page cache, stores
            timed(prefix, args)
        baseline, installer, limit = [], [], []
        for _ in range(rounds):
            baseline.append(timed(prefix, [noop]))
            installer.append(timed(prefix, [image, "-s"]))
            limit.append(timed(prefix, [reference]))
        phases = {name: [] for name in CRYPT32}
        for _ in range(rounds):
            out = subprocess.run(winetest.wine([profile]), env=winetest.wine_env(prefix),
                                 capture_output=True, text=True, check=True).stdout
            for line in out.splitlines():
                name, microseconds = line.split("\t")
                phases[name].append(float(microseconds) / 1000)
    finally:
        subprocess.run(platform.wineserver(["-k"]), env=winetest.wine_env(prefix))
        server.wait()
    shutil.rmtree(prefix, ignore_errors=True)

    ratios = [a / b for a, b in zip(installer, limit)]
    lower, _, upper = statistics.quantiles(ratios, n=4)
    floor = sum(len(text) + 1 for _, text in winetest.embedded_texts(SOURCE))  # with terminators
    size = os.path.getsize(image)
    print(f"rounds:                            {rounds} (do-nothing, installer, reference each)")
    print(f"do-nothing image, median:          {ms(baseline):.1f} ms ({spread(baseline)})")
    print(f"silent installation, median:       {ms(installer):.1f} ms ({spread(installer)})")
    print(f"reference calls, median:           {ms(limit):.1f} ms ({spread(limit)})")
    print(f"installer / reference, pairwise:   median {statistics.median(ratios):.2f} "
          f"({spread(ratios, 1, 2)}, quartiles {lower:.2f}–{upper:.2f})")
    print(f"installer / do-nothing, medians:   {ms(installer) / ms(baseline):.2f}")
    print("inside the process, median of the per-run totals over the 12 rows:")
    for name in CRYPT32:
        print(f"  {name + ':':<34} {statistics.median(phases[name]):7.1f} ms "
              f"({spread(phases[name], 1)})")
    inside = sum(statistics.median(v) for v in phases.values())
    print(f"  {'all 60 calls:':<34} {inside:7.1f} ms; the rest of a run "
          f"({ms(limit) - inside:.1f} ms) is process start and exit")
    print(f"image size:                        {size} bytes; certificate texts {floor} bytes "
          f"({100 * floor / size:.1f}% of the image, {size - floor} bytes for everything else)")


if __name__ == "__main__":
    main()
