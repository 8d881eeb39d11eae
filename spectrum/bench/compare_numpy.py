#!/usr/bin/python3
"""Times numpy's version of the spectrum pipeline (the peer a PC user would
pick) on the signal spectrum_bench uses, runs spectrum_bench in the same
session, and prints the pipeline against the bare transforms and numpy.

Usage: /usr/bin/python3 compare_numpy.py path/to/spectrum_bench [seconds]

Times are CPU times of this process and of the benchmark (the machine may
be shared; wall times would count other people's work).
"""
import json
import subprocess
import sys
import time
import timeit

import numpy as np

LENGTHS = (1024, 4096, 16384)
IMPEDANCE = 50.0
CLOCK_HZ = 125e6


def noise(count):
    """The benchmark's linear congruential noise in [-0.5, 0.5) x 1e-3."""
    values = np.empty(count)
    state = 0x853C49E6748FEA9B
    for i in range(count):
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        values[i] = ((state >> 11) * 2.0**-53 - 0.5) * 1e-3
    return values


def tone(n, cycles, amplitude, noise_part):
    phase = 2.0 * np.pi * cycles * np.arange(n) / n
    return amplitude * np.sin(phase) + amplitude * 0.01 * np.sin(3.0 * phase) + noise_part


def hann(n):
    return 0.8165 * (1.0 - np.cos(np.arange(n) * 6.283185307179586 / (n - 1)))


def acquisition(a, b, window, window_sum):
    """Window, rfft, magnitudes, watts, dBm with peaks, frequency axis."""
    n = len(a)
    peaks = []
    for x in (a, b):
        magnitude = np.abs(np.fft.rfft(window * x)[: n // 2])
        watts = (((magnitude / window_sum) * 2.0 / 1.414213562) ** 2 / IMPEDANCE).astype(np.float32)
        scaled = watts.astype(np.float64) * 1000.0
        dbm = np.where(scaled > 1e-12, 10.0 * np.log10(scaled), -120.0).astype(np.float32)
        index = int(np.argmax(dbm))
        peaks.append((dbm[index], index))
    freq = np.arange(n // 2, dtype=np.float32) / np.float32(n) * np.float32(CLOCK_HZ)
    return peaks, freq


def numpy_microseconds(n, seconds):
    both = noise(2 * n)  # channel A's samples first, as in the benchmark
    a, b = tone(n, 100.25, 1.0, both[:n]), tone(n, 1000.5, 0.1, both[n:])
    window = hann(n)
    window_sum = window.sum()
    timer = timeit.Timer(lambda: acquisition(a, b, window, window_sum), timer=time.process_time)
    loops, _ = timer.autorange()
    repeats = max(3, int(seconds / max(timer.timeit(loops), 1e-3)))
    return min(timer.repeat(repeat=repeats, number=loops)) / loops * 1e6


def bench_microseconds(program, seconds):
    output = subprocess.run(
        [program, "--benchmark_filter=BM_bare_transforms|BM_pipeline",
         f"--benchmark_min_time={seconds}", "--benchmark_format=json"],
        check=True, capture_output=True, text=True).stdout
    results = {}
    for entry in json.loads(output)["benchmarks"]:
        name, n = entry["name"].split("/")
        results[(name, int(n))] = entry
    return results


def main():
    np.seterr(all="ignore")  # the dB floor handles zeros and negatives
    program = sys.argv[1]
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 0.5
    bench = bench_microseconds(program, seconds)
    print(f"{'N':>6} {'transforms':>11} {'pipeline':>9} {'numpy':>9} "
          f"{'/transforms':>11} {'/numpy':>7} {'allocs':>6}")
    for n in LENGTHS:
        transforms = bench[("BM_bare_transforms", n)]["cpu_time"]
        pipeline = bench[("BM_pipeline", n)]
        numpy_us = numpy_microseconds(n, seconds)
        print(f"{n:>6} {transforms:>9.1f}us {pipeline['cpu_time']:>7.1f}us {numpy_us:>7.1f}us "
              f"{pipeline['cpu_time'] / transforms:>11.2f} {pipeline['cpu_time'] / numpy_us:>7.2f} "
              f"{pipeline.get('allocs_per_acq', float('nan')):>6g}")


if __name__ == "__main__":
    main()
