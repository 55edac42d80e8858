"""Turns Google Benchmark's JSON into the markdown table of bench/results.md."""
import json
import sys

# Budgets of the figures that have one, by benchmark name.
BUDGETS = {
    "BM_TapMoveWheelClosed": "≤ 50 ns",
    "BM_TapMoveWheelOpenSelectionUnchanged": "≤ 300 ns",
    "BM_ConfigParse/1000": "≤ 0.5 ms",
}


def pretty(ns):
    if ns >= 1e6:
        return f"{ns / 1e6:.2f} ms"
    if ns >= 1e3:
        return f"{ns / 1e3:.2f} µs"
    return f"{ns:.1f} ns"


def main(path):
    with open(path) as f:
        data = json.load(f)
    print("| benchmark | median | budget |")
    print("|---|---|---|")
    for b in data["benchmarks"]:
        if b.get("aggregate_name", "median") != "median" and b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        if name.endswith("_BigO") or name.endswith("_RMS"):
            continue
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
        print(f"| {name} | {pretty(b['real_time'] * scale)} | {BUDGETS.get(name, '')} |")


if __name__ == "__main__":
    main(sys.argv[1])
