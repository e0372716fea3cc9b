#!/usr/bin/env python3
"""Compares two 16-bit PCM WAV files, a reference and a test.

    compare_wav.py REFERENCE.wav TEST.wav [MIN_SNR_DB]

Passes (exit 0) when both have the same format and length and the test's
difference from the reference is at least MIN_SNR_DB (default 60) below the
reference's energy; prints the formats, the number of differing samples and
the SNR.
"""
import math
import struct
import sys


def read_wav(path):
    """(rate, channels, bits, data bytes) of a PCM WAV file, walking its chunks."""
    with open(path, "rb") as f:
        blob = f.read()
    if len(blob) < 12 or blob[0:4] != b"RIFF" or blob[8:12] != b"WAVE":
        sys.exit(f"{path}: not a RIFF WAVE file")
    fmt = None
    data = None
    at = 12
    while at + 8 <= len(blob):
        chunk_id = blob[at:at + 4]
        size = struct.unpack_from("<I", blob, at + 4)[0]
        body = blob[at + 8:at + 8 + size]
        if len(body) < size:
            sys.exit(f"{path}: chunk {chunk_id!r} at {at} claims {size} bytes, {len(body)} remain")
        if chunk_id == b"fmt ":
            if size < 16:
                sys.exit(f"{path}: fmt chunk of {size} bytes, expected at least 16")
            tag, channels, rate, _, _, bits = struct.unpack_from("<HHIIHH", body)
            if tag != 1:
                sys.exit(f"{path}: format tag {tag}, expected 1 (PCM)")
            fmt = (rate, channels, bits)
        elif chunk_id == b"data":
            data = body
        at += 8 + size + (size & 1)
    if fmt is None or data is None:
        sys.exit(f"{path}: no fmt or data chunk")
    return fmt + (data,)


if len(sys.argv) not in (3, 4):
    sys.exit(__doc__)
linux_path, windows_path = sys.argv[1], sys.argv[2]
min_snr_db = float(sys.argv[3]) if len(sys.argv) == 4 else 60.0
linux = read_wav(linux_path)
windows = read_wav(windows_path)
print(f"linux:   {linux[0]} Hz, {linux[1]} channel(s), {linux[2]} bits, {len(linux[3])} bytes")
print(f"windows: {windows[0]} Hz, {windows[1]} channel(s), {windows[2]} bits, {len(windows[3])} bytes")
failed = False
if linux[:3] != windows[:3]:
    print("FAIL: the formats differ")
    failed = True
if linux[2] != 16:
    sys.exit(f"FAIL: {linux[2]}-bit audio, expected 16")
if len(linux[3]) != len(windows[3]):
    print(f"FAIL: the lengths differ by {len(windows[3]) - len(linux[3])} bytes")
    failed = True
count = min(len(linux[3]), len(windows[3])) // 2
reference = struct.unpack_from(f"<{count}h", linux[3])
test = struct.unpack_from(f"<{count}h", windows[3])
signal = sum(s * s for s in reference)
noise = sum((s - t) * (s - t) for s, t in zip(reference, test))
differing = sum(1 for s, t in zip(reference, test) if s != t)
if signal == 0:
    sys.exit("FAIL: the Linux audio is silent")
snr_db = math.inf if noise == 0 else 10 * math.log10(signal / noise)
print(f"samples: {count}, differing: {differing}, SNR: "
      + ("inf (identical)" if noise == 0 else f"{snr_db:.2f} dB"))
if snr_db < min_snr_db:
    print(f"FAIL: SNR below {min_snr_db:g} dB")
    failed = True
sys.exit(1 if failed else 0)
