#!/usr/bin/env python3
"""The literal text writer beside Python's repr, on the same inputs, in one run.

    bench/literal_vs_repr.py [build/bench/literal_bench]

Each side runs five times on every mapping of bench/literal_inputs.json; the medians are shown in
MB/s (10^6 bytes of UTF-8 output per second).
"""
import json
import pathlib
import statistics
import subprocess
import sys
import timeit

REPETITIONS = 5
HERE = pathlib.Path(__file__).resolve().parent


def writer_rates(binary):
    result = subprocess.run(
        [binary, "--benchmark_filter=BM_AppendLiteralText", "--benchmark_format=json",
         f"--benchmark_repetitions={REPETITIONS}"],
        check=True, capture_output=True, text=True)
    rates = {}
    for run in json.loads(result.stdout)["benchmarks"]:
        if run.get("aggregate_name") == "median":
            rates[run["run_name"].split("/", 1)[1]] = run["bytes_per_second"]
    return rates


def repr_rate(mapping):
    size = len(repr(mapping).encode("utf-8"))
    timer = timeit.Timer(lambda: repr(mapping))
    number, _ = timer.autorange()
    seconds = statistics.median(timer.repeat(REPETITIONS, number)) / number
    return size / seconds


def main():
    binary = sys.argv[1] if len(sys.argv) > 1 else str(HERE.parent / "build/bench/literal_bench")
    inputs = json.loads((HERE / "literal_inputs.json").read_text())
    writer = writer_rates(binary)
    print(f"{'input':<50} {'writer MB/s':>12} {'repr MB/s':>10} {'ratio':>6}")
    for name, mapping in inputs.items():
        ours, theirs = writer[name] / 1e6, repr_rate(mapping) / 1e6
        print(f"{name:<50} {ours:>12.0f} {theirs:>10.0f} {ours / theirs:>6.2f}")


if __name__ == "__main__":
    main()
