#!/usr/bin/env python3
"""Figures of the kernel-device trigger, measured in the guest of tests/vm/run (QEMU, TCG):
the latency a forwarded frame gains through the helper (physical device -> twin, against
physical device -> a direct reader), the helper's CPU time per forwarded frame, and its idle
context switches (all threads) with the mice taken.
Usage: vm_figures.py HELPER [FRAMES]; prints a Markdown table."""
import glob, os, select, statistics, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "vm"))
import trigger_checks as t  # noqa: E402  (the guest's uinput devices and readers)


IDLE_SECONDS = 30


def latencies(dev, reader, frames):
    out = []
    for i in range(frames):
        start = time.perf_counter_ns()
        dev.frame((t.EV_REL, t.REL_X, 1 if i % 2 else -1))
        select.select([reader.fd], [], [], 1.0)
        out.append(time.perf_counter_ns() - start)
        reader.frames(seconds=0, count=1)
    return sorted(out)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def switches(pid):
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        with open(status) as f:
            total += sum(int(line.split()[1]) for line in f if "ctxt_switches" in line)
    return total


def main():
    helper, frames = sys.argv[1], int(sys.argv[2]) if len(sys.argv) > 2 else 5000
    direct = t.mouse("nimbra bench direct")
    own0, wall0 = os.times(), time.monotonic()
    base = latencies(direct, t.Reader(direct.node), frames)
    own1, wall1 = os.times(), time.monotonic()
    own = (own1.user + own1.system - own0.user - own0.system) / frames * 1e6
    mouse = t.mouse("nimbra bench mouse")
    h = t.Helper(helper)
    try:
        t.wait_for(lambda: "event tap installed" in h.log(), "event tap installed", 10)
        twin = t.Reader(t.wait_for(lambda: t.find_node(mouse.name, twin=True), "the twin"))
        t.taken(mouse, twin, "the mouse grabbed")
        cpu0, wall0 = cpu_seconds(h.proc.pid), time.monotonic()
        through = latencies(mouse, twin, frames)
        cpu = cpu_seconds(h.proc.pid) - cpu0
        wall = (time.monotonic() - wall0) / frames * 1e6
        time.sleep(2)
        idle0 = switches(h.proc.pid)
        time.sleep(IDLE_SECONDS)
        idle = (switches(h.proc.pid) - idle0) / IDLE_SECONDS
    finally:
        h.proc.kill()
    med = lambda xs: statistics.median(xs) / 1000
    p95 = lambda xs: xs[int(len(xs) * 0.95)] / 1000
    print("| figure (guest, QEMU TCG, 2 vCPUs) | median | 95th | frames | budget |")
    print("|---|---|---|---|---|")
    print(f"| physical → reader, no helper | {med(base):.0f} µs | {p95(base):.0f} µs | {frames} | |")
    print(f"| physical → helper → twin → reader | {med(through):.0f} µs | {p95(through):.0f} µs | {frames} | |")
    print(f"| added by the helper per forwarded frame | {med(through) - med(base):.0f} µs | "
          f"{p95(through) - p95(base):.0f} µs | {frames} | well under 1 ms |")
    print(f"| helper CPU time per forwarded frame | {cpu / frames * 1e6:.0f} µs | | {frames} | |")
    print(f"| idle context switches per second, all threads ({IDLE_SECONDS} s, mice taken) | {idle:.2f} | | | ≤ 1.05 |")
    print(f"| for scale: the measuring loop's own CPU per frame / wall time per frame through the helper | "
          f"{own:.0f} µs / {wall:.0f} µs | | {frames} | |")


if __name__ == "__main__":
    main()
