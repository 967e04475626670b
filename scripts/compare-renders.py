#!/usr/bin/env python3
"""Compares each algorithm's offline render of full-scale noise between two `halvex` binaries.

Speed work may reorder sums where the algorithm leaves the order free, so renders may move by
rounding, but never by more than the tolerance. Also checks that a build's output does not
depend on the block size. Exits 1 when any check fails.

The reference is a build whose renders have the SHA-256 digests in reference-renders.sha256 next
to this script (4 s of noise, blocks of 2048): build the commit that last changed that file and
check it with --digest. That file changes only with a deliberate change of the output.

Usage: scripts/compare-renders.py REFERENCE_HALVEX HALVEX [--seconds S] [--tolerance T]
       scripts/compare-renders.py --digest HALVEX   (prints each render's digest, as in that file)
       scripts/compare-renders.py --write-noise FILE [--seconds S]   (only writes the input)
"""
import argparse
import hashlib
import json
import os
import struct
import subprocess
import sys
import tempfile

ALGORITHMS = ["echo_widener", "experimental", "deep_field", "matrix_surround", "matrix_steer"]


def write_noise(path, seconds):
    # Uniform full-scale stereo noise from the engine's own 32-bit LCG, fixed seed.
    frames = int(48000 * seconds)
    state = 12345
    samples = []
    for _ in range(frames * 2):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        samples.append(state / 2147483648.0 - 1.0)
    data = struct.pack("<%df" % len(samples), *samples)
    fmt = struct.pack("<HHIIHH", 3, 2, 48000, 48000 * 8, 8, 32)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(data)) + data)


def read_samples(path):
    with open(path, "rb") as f:
        blob = f.read()
    pos, fmt_tag, bits = 12, None, None
    while pos + 8 <= len(blob):
        tag, size = blob[pos:pos + 4], struct.unpack("<I", blob[pos + 4:pos + 8])[0]
        body = blob[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            fmt_tag, bits = struct.unpack("<H", body[:2])[0], struct.unpack("<H", body[14:16])[0]
        elif tag == b"data":
            if fmt_tag == 3 and bits == 32:
                return struct.unpack("<%df" % (len(body) // 4), body)
            if fmt_tag == 1 and bits == 16:
                return [v / 32768.0 for v in struct.unpack("<%dh" % (len(body) // 2), body)]
            sys.exit("unsupported WAV format in %s" % path)
        pos += 8 + size + (size & 1)
    sys.exit("no data chunk in %s" % path)


def render(binary, source, config, out, block):
    run = subprocess.run([binary, "--wav-in", source, "--wav-out", out, "--config", config,
                          "--block", str(block)], capture_output=True, text=True)
    if run.returncode != 0:
        sys.exit("%s failed: %s" % (binary, run.stderr.strip()))
    return read_samples(out)


def configs(tmp):
    for name in ALGORITHMS:
        config = os.path.join(tmp, name + ".json")
        with open(config, "w") as f:
            json.dump({"spatial_algorithm": name}, f)
        yield name, config


def print_digests(binary):
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "noise.wav")
        write_noise(source, 4.0)
        for name, config in configs(tmp):
            samples = render(binary, source, config, os.path.join(tmp, "out.wav"), 2048)
            digest = hashlib.sha256(struct.pack("<%df" % len(samples), *samples)).hexdigest()
            print("%s  %s" % (digest, name))


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--digest":
        print_digests(sys.argv[2])
        return 0
    if len(sys.argv) > 2 and sys.argv[1] == "--write-noise":
        noise = argparse.ArgumentParser()
        noise.add_argument("--write-noise", required=True)
        noise.add_argument("--seconds", type=float, default=4.0)
        given = noise.parse_args()
        write_noise(given.write_noise, given.seconds)
        return 0
    parser = argparse.ArgumentParser()
    parser.add_argument("reference")
    parser.add_argument("candidate")
    parser.add_argument("--seconds", type=float, default=4.0)
    parser.add_argument("--tolerance", type=float, default=3e-5)
    args = parser.parse_args()
    failed = False
    with tempfile.TemporaryDirectory() as tmp:
        source = os.path.join(tmp, "noise.wav")
        write_noise(source, args.seconds)
        for name, config in configs(tmp):
            out = os.path.join(tmp, "out.wav")
            ref = render(args.reference, source, config, out, 2048)
            new = render(args.candidate, source, config, out, 2048)
            odd = render(args.candidate, source, config, out, 37)
            worst = max(abs(a - b) for a, b in zip(ref, new)) if len(ref) == len(new) else float("inf")
            blocks_agree = odd == new
            ok = worst <= args.tolerance and blocks_agree
            failed |= not ok
            print("%-16s max |difference| %.3g%s%s" % (
                name, worst, "" if blocks_agree else ", depends on the block size",
                "" if ok else "  FAIL"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
