#!/usr/bin/env python3
"""Writes a bases folder of about a million signatures for the benchmarks:
hash signatures (.hdb, MD5 of random contents) and body patterns (.ndb,
random hex strings matched anywhere in any file), plus the demo set's own
signatures so the usual test objects are still detected.

    bench/make-large-bases.py OUTDIR [--hashes N] [--patterns N] [--demo DIR]
"""
import argparse
import os
import random
import shutil


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("out")
    parser.add_argument("--hashes", type=int, default=800000)
    parser.add_argument("--patterns", type=int, default=200000)
    parser.add_argument("--demo", default=None)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    rng = random.Random(1)
    with open(os.path.join(args.out, "large.hdb"), "w") as out:
        for i in range(args.hashes):
            out.write(f"{rng.getrandbits(128):032x}:{rng.randint(100, 5000000)}:Bench.Hash.{i}\n")
    with open(os.path.join(args.out, "large.ndb"), "w") as out:
        for i in range(args.patterns):
            out.write(f"Bench.Pattern.{i}:0:*:{rng.randbytes(rng.randint(12, 24)).hex()}\n")
    if args.demo:
        for name in os.listdir(args.demo):
            if name.endswith((".hdb", ".ndb")):
                shutil.copy(os.path.join(args.demo, name), os.path.join(args.out, "demo-" + name))


if __name__ == "__main__":
    main()
