#!/usr/bin/python3
"""Checks spectrum-analyser's CSV against numpy and its SVG with an XML parser.

Usage: check_output.py PATH-TO-spectrum-analyser
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import numpy as np

N = 1024
CLOCK = 125e6
DECIMATION = 4
IMPEDANCE = 75.0
SVG_NS = "{http://www.w3.org/2000/svg}"


def signal():
    rng = np.random.default_rng(7)
    i = np.arange(N)
    # The offset on A makes the DC bins count.
    a = 0.3 + 0.8 * np.sin(2 * np.pi * 100.3 * i / N) + rng.normal(0, 0.01, N)
    b = 0.02 * np.cos(2 * np.pi * 37 * i / N) + rng.normal(0, 0.001, N)
    return a, b


def oracle_dbm(x, points, keep_dc=False):
    """Hamming window, magnitudes, DC bins read like bin 2 unless kept,
    watts averaged in groups, dBm."""
    i = np.arange(N)
    w = 0.54 - 0.46 * np.cos(i * (2 * np.pi) / (N - 1))
    mag = np.abs(np.fft.rfft(w * x))[: N // 2]
    if not keep_dc:
        mag[:2] = mag[2]
    watts = ((mag / w.sum()) * 2 / 1.414213562) ** 2 / IMPEDANCE
    watts = watts.reshape(points, -1).mean(axis=1)
    return np.where(watts * 1000 > 1e-12, 10 * np.log10(watts * 1000), -120.0)


def run(binary, *args):
    done = subprocess.run([binary, *args], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"FAIL: {args}: status {done.returncode}: {done.stderr}")
    return done.stdout


def check_csv(binary, tmp, infile):
    a, b = signal()
    bin_hz = CLOCK / DECIMATION / N
    for points, keep_dc in ((N // 2, False), (64, False), (64, True)):
        out = os.path.join(tmp, f"out{points}.csv")
        stdout = run(binary, infile, "--length", str(N), "--window", "hamming",
                     "--impedance", str(IMPEDANCE), "--decimation", str(DECIMATION),
                     "--points", str(points), "--csv", out, *(["--keep-dc"] if keep_dc else []))
        rows = np.loadtxt(out, delimiter=",", skiprows=1)
        group = N // 2 // points
        centre = (np.arange(points) * group + (group - 1) / 2) * bin_hz
        assert np.allclose(rows[:, 0], centre, rtol=1e-6, atol=0), "frequency axis"
        for column, x in ((1, a), (2, b)):
            err = np.max(np.abs(rows[:, column] - oracle_dbm(x, points, keep_dc)))
            assert err < 1e-4, f"points {points} column {column}: off by {err} dB"
        # Peaks always come from the full-resolution spectrum.
        for name, x in (("A", a), ("B", b)):
            levels = oracle_dbm(x, N // 2)
            k = int(np.argmax(levels))
            m = re.search(rf"^{name}: peak (\S+) dBm at (\S+) (k|M)Hz$", stdout, re.M)
            assert m, stdout
            scale = 1e3 if m.group(3) == "k" else 1e6
            assert abs(float(m.group(1)) - levels[k]) < 0.006, (name, m.group(1), levels[k])
            assert abs(float(m.group(2)) * scale - k * bin_hz) < 1e-4 * scale, (name, m.group(2))


def check_svg(binary, tmp, infile):
    svg = os.path.join(tmp, "plot.svg")
    run(binary, infile, "--length", str(N), "--svg", svg)
    root = ET.parse(svg).getroot()
    assert root.tag == SVG_NS + "svg", root.tag
    lines = root.findall(f".//{SVG_NS}polyline")
    assert len(lines) == 2, "one trace per channel"
    for line in lines:
        points = line.get("points").split()
        assert len(points) == N // 2
        for p in points:
            x, y = map(float, p.split(","))
            assert 0 <= x <= 960 and 0 <= y <= 540, p
    texts = [t.text for t in root.iter(SVG_NS + "text")]
    assert "Frequency (MHz)" in texts and "Level (dBm)" in texts, texts
    assert texts[0].startswith(infile + ": N 1024"), texts[0]


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory() as tmp:
        # Characters that need escaping in the title of the plot.
        infile = os.path.join(tmp, "a&b<c>.csv")
        a, b = signal()
        with open(infile, "w") as f:
            f.write("A,B\n")
            for x, y in zip(a, b):
                f.write(f"{x!r},{y!r}\n")
        check_csv(binary, tmp, infile)
        check_svg(binary, tmp, infile)
    print("analyser output matches numpy; SVG well-formed")


if __name__ == "__main__":
    main()
