#!/usr/bin/python3
"""Checks spectrum-analyser's CSV against numpy and its SVG with an XML parser;
its averaging against scipy.signal.welch, its peak table and ADC figures
against signals of known make-up, and standard input against a file.

Usage: check_output.py PATH-TO-spectrum-analyser
"""
import os
import re
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ET

import json

import numpy as np
import scipy.io.wavfile
import scipy.signal

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


def module_window(name, n):
    """The module's symmetric windows (the scale cancels in every figure)."""
    c = np.cos(np.arange(n) * (2 * np.pi) / (n - 1))
    return {"hann": 1 - c, "hamming": 0.54 - 0.46 * c}[name]


def to_volts(power_per_bin):
    """One-sided mean-square volts per bin to peak volts."""
    return np.sqrt(2 * power_per_bin)


def write_wav(path, a, b, rate=48000):
    scipy.io.wavfile.write(path, rate, np.stack([a, b], axis=1))


def check_averaging(binary, tmp):
    """Mean and median against welch, max-hold against numpy, both channels,
    bins 1 and up (welch does not double its DC bin; the module does)."""
    n, fs = 1024, 48000
    rng = np.random.default_rng(19)
    i = np.arange(30 * n + 123)  # a partial last segment, which is left out
    a = 0.5 * np.sin(2 * np.pi * 3001.7 * i / fs) + 0.05 * np.sin(2 * np.pi * 9000 * i / fs) \
        + rng.normal(0, 0.01, i.size)
    b = 0.02 * np.cos(2 * np.pi * 15000.2 * i / fs) + rng.normal(0, 0.003, i.size)
    wav = os.path.join(tmp, "noise.wav")
    write_wav(wav, a, b)
    for window, overlap in (("hann", 50), ("hamming", 30)):
        w = module_window(window, n)
        shared = n * overlap // 100
        for mode in ("mean", "median", "max"):
            out = run(binary, wav, "--length", str(n), "--window", window, "--unit", "volt",
                      "--average", "all", "--overlap", str(overlap), "--average-mode", mode,
                      "--keep-dc", "--csv", "-")
            rows = np.loadtxt(out.splitlines()[1:], delimiter=",")
            for column, x in ((1, a), (2, b)):
                if mode == "max":
                    starts = range(0, x.size - n + 1, n - shared)
                    power = np.max([np.abs(np.fft.rfft(w * x[s:s + n])) ** 2 for s in starts], 0)
                    want = to_volts(2 * power[: n // 2] / w.sum() ** 2)
                else:
                    _, pxx = scipy.signal.welch(x, fs, window=w, nperseg=n, noverlap=shared,
                                                detrend=False, scaling="spectrum", average=mode)
                    want = to_volts(pxx[: n // 2])
                rel = np.max(np.abs(rows[1:, column] / want[1:] - 1))
                assert rel < 1e-9, f"{window} {overlap}% {mode} column {column}: {rel:.2e}"
    # The plot says how the spectrum was averaged.
    svg = os.path.join(tmp, "average.svg")
    run(binary, wav, "--length", str(n), "--average", "7", "--average-mode", "max", "--svg", svg)
    note = ET.parse(svg).getroot().find(f".//{SVG_NS}text[@class='averaging']")
    assert note.text == "max-hold of 7 segments, 50% overlap", note.text


METRIC_KEYS = {"fundamental_Hz", "fundamental_level", "thd_dBc", "snr_dB", "sinad_dB",
               "sfdr_dBc", "enob_bits", "noise_floor"}


def metrics_of(binary, path, *args):
    """The metrics of both channels, after checking the keys scripts use."""
    doc = json.loads(run(binary, path, "--metrics", *args))
    for channel in doc["channels"].values():
        assert set(channel["peak"]) == {"frequency_Hz", "level", "unit"}, channel
        assert set(channel["metrics"]) == METRIC_KEYS, channel
    return doc["channels"]["A"]["metrics"], doc["channels"]["B"]["metrics"]


def check_metrics(binary, tmp):
    n = 16384
    i = np.arange(8 * n)
    # A 12-bit full-scale sine on bin 1021 (no common factor with N, so the
    # quantisation error is spread like noise): 6.02 * 12 + 1.76 dB.
    codes = np.round(2047 * np.sin(2 * np.pi * 1021 * i / n))
    wav = os.path.join(tmp, "adc.wav")
    scipy.io.wavfile.write(wav, 48000, np.stack([codes, codes], 1).astype(np.int16) * 16)
    for m in metrics_of(binary, wav, "--json", "--average", "all"):
        assert abs(m["sinad_dB"] - 74.0) < 0.1, m
        assert abs(m["enob_bits"] - 12.0) < 0.02, m
        assert abs(m["fundamental_Hz"] - 1021 * 48000 / n) < 1e-3, m
    # Harmonics at known levels (the 5th and 6th fold back below Nyquist).
    n = 4096
    i = np.arange(n)
    k = 501
    dbc = {2: -60.0, 3: -70.0, 5: -66.0, 6: -75.0}
    x = 0.5 * np.sin(2 * np.pi * k * i / n)
    for h, level in dbc.items():
        x += 0.5 * 10 ** (level / 20) * np.sin(2 * np.pi * h * k * i / n + h)
    x += np.random.default_rng(5).normal(0, 1e-6, n)
    wav = os.path.join(tmp, "harmonics.wav")
    write_wav(wav, x, x / 10)
    thd = 10 * np.log10(sum(10 ** (d / 10) for d in dbc.values()))
    for m in metrics_of(binary, wav, "--json", "--length", str(n)):
        assert abs(m["thd_dBc"] - thd) < 0.05, (m, thd)
        assert abs(m["sfdr_dBc"] - 60.0) < 0.05, m
    # Silence has no ratios: JSON says null, never NaN.
    silence = os.path.join(tmp, "silence.wav")
    write_wav(silence, np.zeros(256), np.zeros(256))
    for m in metrics_of(binary, silence, "--json", "--length", "256"):
        assert [m[k] for k in ("thd_dBc", "snr_dB", "sinad_dB", "sfdr_dBc")] == [None] * 4, m
    # A tone between bins in white noise, averaged: with a low-sidelobe
    # window every bin outside the tone's is noise, whatever the ENBW.
    n, fs = 4096, 48000
    rng = np.random.default_rng(8)
    i = np.arange(40 * n)
    x = 0.5 * np.sin(2 * np.pi * 1000.3 * i / fs)
    noise_a, noise_b = rng.normal(0, 0.01, i.size), rng.normal(0, 0.001, i.size)
    wav = os.path.join(tmp, "tone_in_noise.wav")
    write_wav(wav, x + noise_a, x + noise_b)
    for window in ("blackman-harris", "flat-top"):
        for m, noise in zip(metrics_of(binary, wav, "--json", "--length", str(n), "--window",
                                       window, "--average", "all", "--unit", "volt"),
                            (noise_a, noise_b)):
            snr = 10 * np.log10(0.125 / np.mean(noise ** 2))
            assert abs(m["snr_dB"] - snr) < 0.1, (window, m, snr)
            assert abs(m["fundamental_Hz"] - 1000.3) < 0.02 * fs / n, (window, m)
            assert abs(m["fundamental_level"] - 0.5) < 0.5 * 0.005, (window, m)


def check_peak_table(binary, tmp):
    """A tone swept across one bin in 20 steps, a weaker one far away."""
    n, fs = 4096, 48000
    i = np.arange(n)
    true_dbm = 10 * np.log10(0.3 ** 2 / 2 / 50 * 1000)
    for step in range(20):
        tone = 700 + step / 20
        a = 0.3 * np.sin(2 * np.pi * tone * i / n) + 0.003 * np.sin(2 * np.pi * 1500.4 * i / n)
        wav = os.path.join(tmp, "sweep.wav")
        write_wav(wav, a, a)
        peaks = json.loads(run(binary, wav, "--length", str(n), "--peaks", "2", "--json"))[
            "channels"]["A"]["peaks"]
        assert len(peaks) == 2, peaks
        assert abs(peaks[0]["frequency_Hz"] * n / fs - tone) < 0.02, (tone, peaks)
        assert abs(peaks[0]["level"] - true_dbm) < 0.1, (tone, peaks)
        assert abs(peaks[1]["frequency_Hz"] * n / fs - 1500.4) < 0.02, (tone, peaks)
        assert abs(peaks[1]["level"] - (true_dbm - 40)) < 0.1, (tone, peaks)
    # Noise alone has no peaks, however many are asked for.
    noise = np.random.default_rng(3).normal(0, 0.01, n)
    quiet = os.path.join(tmp, "noise_only.wav")
    write_wav(quiet, noise, noise)
    doc = json.loads(run(binary, quiet, "--length", str(n), "--peaks", "10", "--json"))
    assert [c["peaks"] for c in doc["channels"].values()] == [[], []], doc
    svg = os.path.join(tmp, "peaks.svg")
    run(binary, wav, "--length", str(n), "--peaks", "2", "--svg", svg)
    marks = ET.parse(svg).getroot().find(f".//{SVG_NS}g[@class='peak-table']")
    labels = [t.text for t in marks.iter(SVG_NS + "text")]
    assert labels == ["A1", "A2", "B1", "B2"], labels


def check_standard_input(binary, tmp):
    """The same WAV and CSV from a file, through a pipe and as a redirected
    file give the same bytes."""
    wav = os.path.join(tmp, "noise.wav")
    csv = os.path.join(tmp, "a&b<c>.csv")
    for path in (wav, csv):
        args = ["--length", "256", "--average", "all", "--csv", "-"]
        want = subprocess.run([binary, path, *args], capture_output=True)
        assert want.returncode == 0, want.stderr
        with open(path, "rb") as f:
            data = f.read()
        piped = subprocess.run([binary, "-", *args], input=data, capture_output=True)
        with open(path, "rb") as f:
            redirected = subprocess.run([binary, "-", *args], stdin=f, capture_output=True)
        for got in (piped, redirected):
            assert (got.returncode, got.stdout, got.stderr) == (0, want.stdout, want.stderr), \
                (path, got.stderr)


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
        check_averaging(binary, tmp)
        check_metrics(binary, tmp)
        check_peak_table(binary, tmp)
        check_standard_input(binary, tmp)
    print("analyser output matches numpy and scipy; SVG well-formed; "
          "standard input reads like a file")


if __name__ == "__main__":
    main()
