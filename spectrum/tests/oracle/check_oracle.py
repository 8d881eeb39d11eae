#!/usr/bin/python3
"""Recomputes every stage printed by spectrum_dump from the formulas with
numpy/scipy and compares: windows within 2 ulps, FFT magnitudes within 1e-12
of the spectrum's peak, decimation exactly, conversions within 1 float ulp,
peaks, peak frequencies and the frequency axis exactly."""

import math
import os
import subprocess
import sys
import tempfile

try:
    import numpy as np
    import scipy.special
except ImportError as error:
    sys.exit(f"check_oracle: needs numpy and scipy ({error}); run scripts/bootstrap")

F32 = np.float32
UNWRITTEN = F32(-7.0)
SQRT2 = 1.414213562
COSINE_MULTIPLES = (6.283185307179586, 12.566370614359172, 18.84955592153876,
                    25.132741228718345)


class Checker:
    def __init__(self):
        self.failures = 0
        self.checks = 0
        self.worst = {}

    def expect(self, ok, what):
        self.checks += 1
        if not ok:
            self.failures += 1
            if self.failures <= 20:
                print("MISMATCH", what)

    def note(self, name, value):
        self.worst[name] = max(self.worst.get(name, 0.0), float(value))


def ulps64(a, b):
    ia = np.asarray(a, np.float64).view(np.int64).astype(object)
    ib = np.asarray(b, np.float64).view(np.int64).astype(object)
    fold = lambda i: i if i >= 0 else -(i & 0x7FFFFFFFFFFFFFFF)
    return max((abs(fold(x) - fold(y)) for x, y in zip(ia, ib)), default=0)


def ulps32(a, b):
    ia = np.asarray(a, F32).view(np.int32).astype(np.int64)
    ib = np.asarray(b, F32).view(np.int32).astype(np.int64)
    fold = lambda i: np.where(i >= 0, i, -(i & 0x7FFFFFFF))
    both_nan = np.isnan(np.asarray(a, F32)) & np.isnan(np.asarray(b, F32))
    d = np.abs(fold(ia) - fold(ib))
    d[both_nan] = 0
    return int(d.max()) if d.size else 0


def bessel(x):
    x2 = x * x
    total, term, k = 0.0, 1.0, 0.0
    while True:
        k = k + 1.0
        total = total + term
        term = term * (x2 / ((k * 4.0) * k))
        if not term > total * 1e-6:
            return total


def window(mode, n):
    last = n - 1

    def c(i, k):
        return math.cos(i * COSINE_MULTIPLES[k - 1] / last)

    if mode in (5, 6):
        beta = 4.0 if mode == 5 else 8.0
        half = last / 2.0
        inverse = 1.0 / bessel(beta)
        rs = [(i - half) / half for i in range(n)]
        return [bessel(beta * math.sqrt(1.0 - r * r)) * inverse for r in rs]
    formulas = {
        0: lambda i: 1.0,
        1: lambda i: 0.8165 * (1.0 - c(i, 1)),
        2: lambda i: 0.54 - 0.46 * c(i, 1),
        3: lambda i: 0.35875 - 0.48829 * c(i, 1) + 0.14128 * c(i, 2) - 0.01168 * c(i, 3),
        4: lambda i: (0.21557895 - 0.41663158 * c(i, 1) + 0.277263158 * c(i, 2)
                      - 0.083578947 * c(i, 3) + 0.006947368 * c(i, 4)),
    }
    return [formulas[mode](i) for i in range(n)]


def sequential_sum(values):
    total = 0.0
    for v in values:
        total += v
    return total


def contributions(x, mode, s, r):
    if mode == 0:
        t = x / s * 2.0 / SQRT2
        return t * t / r
    if mode == 1:
        return x / s * 2.0
    if mode == 2:
        return x / s * 2.0 / SQRT2
    return np.zeros_like(x)


def decimate(x, mode, in_len, out_len, s, r):
    out = np.full(out_len, UNWRITTEN, F32)
    if out_len <= 0:
        return out, 0
    step = max(1, math.floor(float(F32(in_len) / F32(out_len)) + 0.5))
    groups = min(out_len, (in_len + step - 1) // step)
    rc = -1 if groups < out_len else 0
    starts = np.arange(groups) * step
    ends = np.minimum(starts + step, in_len)
    c = contributions(np.asarray(x, np.float64), mode, s, r)
    acc = np.zeros(groups, F32)
    for j in range(step):
        idx = starts + j
        live = idx < ends
        acc[live] = (acc[live].astype(np.float64) + c[idx[live]]).astype(F32)
    out[:groups] = acc / (ends - starts).astype(F32)
    return out, rc


# Other evaluation orders of the decimation contributions; the boundary bins
# are chosen so that each of them would store a different float.
def other_orders(mode):
    def power(t, r):
        return [t * (t / r), t * t * (1.0 / r)]
    return {
        0: lambda x, s, r: power(x / s * 2.0 / SQRT2, r) + [(x / s * (2.0 / SQRT2)) ** 2 / r],
        1: lambda x, s, r: [x * 2.0 / s, x * (2.0 / s)],
        2: lambda x, s, r: [x / s * (2.0 / SQRT2), x * 2.0 / (s * SQRT2)],
    }[mode]


def near_boundary_bins(mode, s, r, wanted=32):
    """Bins whose contribution lies next to a float rounding boundary, where
    another evaluation order would round the other way."""
    rng = np.random.default_rng(20261208 + mode)
    alternatives = other_orders(mode)
    found = []
    for _ in range(4000):
        f = F32(rng.uniform(1e-4, 10.0))
        midpoint = float(f) + float(np.spacing(f)) / 2.0
        guess = {0: math.sqrt(midpoint * r) * SQRT2 * s / 2.0,
                 1: midpoint * s / 2.0,
                 2: midpoint * SQRT2 * s / 2.0}[mode]
        for k in range(-40, 41):
            x = guess + k * float(np.spacing(guess))
            stored = F32(float(contributions(np.float64(x), mode, s, r)))
            if any(F32(alt) != stored for alt in alternatives(x, s, r)):
                found.append(x)
                break
        if len(found) == wanted:
            break
    return found


def write_boundary_file(path, s, r):
    counts = {}
    with open(path, "w") as out:
        for mode in (0, 1, 2):
            bins = near_boundary_bins(mode, s, r)
            counts[mode] = len(bins)
            out.write(f"{mode} {s.hex()} {r.hex()} " + " ".join(x.hex() for x in bins) + "\n")
    return counts


def to_dbm(x):
    return F32(10.0 * math.log10(x * 1000.0)) if x * 1000.0 > 1e-12 else F32(-120.0)


def to_dbu(x):
    return F32(20.0 * math.log10(x / 0.775)) if x * 1000.0 > 1e-12 else F32(-120.0)


def peak(values, start):
    best, index = start, 0
    for i, v in enumerate(values):
        if float(v) > best:
            best, index = float(v), i
    return F32(best), index


def peak_frequency(index, bins, decimation):
    return F32(index) / F32(bins) * (F32(125000000.0) / F32(decimation)) * F32(0.5)


def convert(name, mode, remove_dc, in_place, a_in, b_in):
    bins = len(a_in)
    results = []
    for x in (a_in, b_in):
        out = np.array(x, F32) if in_place else np.arange(bins, dtype=F32) * F32(0.25) - F32(100.0)
        if remove_dc:
            out[0] = out[1] = out[2]
        source = out if in_place else np.array(x, F32)
        kind = "dBm" if name == "dBm" or mode == 0 else {1: "volt", 2: "dBu"}.get(mode)
        for i in range(bins):
            v = float(source[i])
            if kind == "dBm":
                out[i] = to_dbm(v)
            elif kind == "dBu":
                out[i] = to_dbu(v)
            elif kind == "volt":
                out[i] = source[i]
        results.append(out)
    return results


def records(lines):
    for line in lines:
        tag, _, rest = line.partition(" ")
        yield tag, rest.split()


def floats(tokens):
    return np.array([float.fromhex(t) for t in tokens], np.float64)


def check_bessel(chk, tokens):
    x, value = float.fromhex(tokens[0]), float.fromhex(tokens[1])
    chk.expect(value == bessel(x), f"bessel({x}) = {value!r}, series gives {bessel(x)!r}")
    rel = abs(value - scipy.special.i0(x)) / scipy.special.i0(x)
    chk.note("bessel vs scipy i0 (relative)", rel)
    chk.expect(rel < 2e-6, f"bessel({x}) off scipy i0 by {rel}")


class State:
    n = 0
    inputs = None
    mode = None
    window = None
    filtered = None
    magnitudes = None


def check_window(chk, st, tokens, values):
    mode, rc, total = int(tokens[0]), int(tokens[1]), float.fromhex(tokens[2])
    chk.expect(rc == 0, f"window {mode} init rc {rc}")
    expected = window(mode, st.n)
    worst = ulps64(values, expected)
    chk.note("window coefficient (ulps)", worst)
    chk.expect(worst <= 2, f"N={st.n} window {mode}: {worst} ulps")
    chk.expect(total == sequential_sum(values), f"N={st.n} window {mode}: sum order")
    sum_ulps = ulps64([total], [sequential_sum(expected)])
    chk.note("window sum (ulps)", sum_ulps)
    chk.expect(sum_ulps <= 4, f"N={st.n} window {mode}: sum {sum_ulps} ulps")
    st.mode, st.window, st.sum = mode, values, total


def check_magnitudes(chk, st, channel, values):
    spectrum = np.fft.rfft(st.filtered[channel])[: st.n // 2]
    expected = np.sqrt(spectrum.real * spectrum.real + spectrum.imag * spectrum.imag)
    deviation = np.max(np.abs(values - expected)) / np.max(expected)
    chk.note("FFT magnitude (relative to peak)", deviation)
    chk.expect(deviation <= 1e-12, f"N={st.n} window {st.mode} FFT {channel}: {deviation}")
    st.magnitudes[channel] = values


def check_decimation(chk, place, inputs, tokens, a_out, b_out):
    mode, in_len, out_len, rc = (int(t) for t in tokens[:4])
    s, r = float.fromhex(tokens[4]), float.fromhex(tokens[5])
    for channel, got in zip("AB", (a_out, b_out)):
        expected, expected_rc = decimate(inputs[channel], mode, in_len, out_len, s, r)
        where = f"{place} decimate mode {mode} {in_len}->{out_len} {channel}"
        chk.expect(rc == expected_rc, f"{where}: rc {rc}")
        worst = ulps32(got.astype(F32), expected)
        chk.note("decimation (float ulps)", worst)
        chk.expect(worst == 0, f"{where}: {worst} ulps")


def check_conversion(chk, st, tokens, a_in, b_in, a_out, b_out):
    name, mode, remove_dc, in_place = tokens[0], int(tokens[1]), int(tokens[2]), int(tokens[3])
    decimation, rc = float.fromhex(tokens[4]), int(tokens[5])
    peaks = [F32(float.fromhex(t)) for t in tokens[6:10]]
    where = f"N={st.n} window {st.mode} {name} mode {mode} dc {remove_dc} in-place {in_place}"
    chk.expect(rc == 0, f"{where}: rc {rc}")
    expected = convert(name, mode, remove_dc, in_place, a_in, b_in)
    start = -100000.0 if name == "dBm" else -10000.0
    for k, got in enumerate((a_out.astype(F32), b_out.astype(F32))):
        worst = ulps32(got, expected[k])
        chk.note("conversion (float ulps)", worst)
        chk.expect(worst <= 1, f"{where}: channel {k} {worst} ulps")
        value, index = peak(got, start)
        chk.expect(peaks[2 * k] == value, f"{where}: peak {peaks[2 * k]} != {value}")
        freq = peak_frequency(index, len(got), decimation)
        chk.expect(peaks[2 * k + 1] == freq, f"{where}: peak freq {peaks[2 * k + 1]} != {freq}")


def check_axis(chk, st, tokens, values):
    decimation, rc = float.fromhex(tokens[0]), int(tokens[1])
    f = F32(125000000.0 / decimation)
    expected = np.arange(st.n // 2, dtype=F32) / F32(st.n) * f
    chk.expect(rc == 0, f"axis rc {rc}")
    worst = ulps32(values.astype(F32), expected)
    chk.expect(worst == 0, f"N={st.n} axis decimation {decimation}: {worst} ulps")


def run_driver(driver):
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "boundary_bins.txt")
        counts = write_boundary_file(path, 1637.2345, 75.0)
        print("bins next to float rounding boundaries per mode:", counts)
        output = subprocess.run([driver, path], check=True, capture_output=True, text=True)
    return output.stdout, counts


def main(driver):
    output, counts = run_driver(driver)
    it = records(output.splitlines())
    chk, st = Checker(), State()
    boundary_records = 0
    chk.expect(min(counts.values()) >= 8, f"too few boundary bins found: {counts}")

    def values_of(expected_tag):
        tag, tokens = next(it)
        assert tag == expected_tag, (tag, expected_tag)
        return floats(tokens)

    for tag, tokens in it:
        if tag == "BESSEL":
            check_bessel(chk, tokens)
        elif tag == "N":
            st.n = int(tokens[0])
            st.inputs = {"A": values_of("IA"), "B": values_of("IB")}
        elif tag == "WIN":
            check_window(chk, st, tokens, values_of("W"))
            st.filtered = {"A": values_of("FA"), "B": values_of("FB")}
            for channel in "AB":
                exact = np.array_equal(st.filtered[channel], st.window * st.inputs[channel])
                chk.expect(exact, f"N={st.n} window {st.mode} filter {channel}")
        elif tag == "FFT":
            chk.expect(tokens[0] == "0", f"N={st.n} FFT rc {tokens[0]}")
            st.magnitudes = {}
            check_magnitudes(chk, st, "A", values_of("MA"))
            check_magnitudes(chk, st, "B", values_of("MB"))
        elif tag == "DEC":
            chk.expect(float.fromhex(tokens[4]) == st.sum, "decimation reads the window sum")
            place = f"N={st.n} window {st.mode}"
            check_decimation(chk, place, st.magnitudes, tokens, values_of("DA"), values_of("DB"))
        elif tag == "BI":
            bins = floats(tokens)
            boundary_records += 1
            tag, tokens = next(it)
            chk.expect(tag == "DEC", "boundary bins are decimated")
            check_decimation(chk, "near rounding boundaries:", {"A": bins, "B": bins}, tokens,
                             values_of("DA"), values_of("DB"))
        elif tag == "CNV":
            ins = values_of("CIA"), values_of("CIB")
            check_conversion(chk, st, tokens, *ins, values_of("COA"), values_of("COB"))
        elif tag == "AXIS":
            check_axis(chk, st, tokens, values_of("AX"))
        else:
            chk.expect(False, f"unknown record {tag}")

    chk.expect(boundary_records == 3, f"{boundary_records} boundary records")
    for name, value in sorted(chk.worst.items()):
        print(f"worst {name}: {value:.3g}")
    print(f"{chk.checks} checks, {chk.failures} mismatches")
    return 1 if chk.failures or chk.checks == 0 else 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: check_oracle.py SPECTRUM_DUMP")
    sys.exit(main(sys.argv[1]))
