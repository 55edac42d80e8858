#!/usr/bin/env python3
"""Figures of the held right button on Wayland, measured in the guest's sway (tests/vm/run
--sway, QEMU TCG): from a right press to the pointer back on the application (the pointer probe's
round trip), to "~open" in cmd.txt (the wheel shown; the hold time included), and to the first
screenshot (grim) that shows the wheel, an upper bound on its painting.
Usage: vm_sway_figures.py HELPER APP [PRESSES]; prints a Markdown table."""
import os, statistics, subprocess, sys, time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "vm"))
import trigger_checks as t  # noqa: E402  (the guest's uinput mouse, application and helper)

HOLD_MS, AREA = 300, "300,200 200x200"  # the wheel opens at 400,300: this square holds it


def shot():
    return subprocess.run(["grim", "-g", AREA, "-t", "ppm", "-"], capture_output=True).stdout


def until(probe, seconds=5.0):
    deadline = time.monotonic() + seconds
    while not probe():
        if time.monotonic() > deadline:
            raise AssertionError("timed out")
        time.sleep(0.001)
    return time.monotonic()


def main():
    helper, app, presses = sys.argv[1], sys.argv[2], int(sys.argv[3]) if len(sys.argv) > 3 else 10
    env = t.sway_env(helper, app)
    h = env.helper
    probe, shown, painted, grim = [], [], [], []
    try:
        t.point(env, 400, 300)
        time.sleep(0.5)
        start = time.monotonic()
        base = shot()
        grim.append(time.monotonic() - start)
        for _ in range(presses):
            open(f"{h.dir}/cmd.txt", "w").close()
            env.app.read()  # what came after the last press's first line is not this press's
            env.app.lines = []
            start = time.monotonic()
            env.mouse.frame(t.RIGHT_DOWN)
            probe.append(until(lambda: any(ln.startswith("at") for ln in env.app.read())) - start)
            shown.append(until(lambda: h.cmd() == "~open") - start)
            painted.append(until(lambda: shot() != base) - start)
            env.mouse.frame(t.RIGHT_UP)
            until(lambda: shot() == base)
            time.sleep(0.3)
    finally:
        h.proc.kill()
        env.app.proc.kill()
    ms = lambda xs: f"{statistics.median(xs) * 1000:.0f} ms"
    hi = lambda xs: f"{max(xs) * 1000:.0f} ms"
    print("| figure (guest's sway, QEMU TCG, 2 vCPUs; hold 300 ms) | median | worst | presses |")
    print("|---|---|---|---|")
    print(f"| right press → pointer back on the application (probe round trip) | {ms(probe)} | {hi(probe)} | {presses} |")
    print(f"| right press → `~open` in cmd.txt (wheel shown) | {ms(shown)} | {hi(shown)} | {presses} |")
    late = [s - HOLD_MS / 1000 for s in shown]
    print(f"| hold reached → wheel shown (the above less the hold) | {ms(late)} | {hi(late)} | {presses} |")
    after = [p - s for p, s in zip(painted, shown)]
    print(f"| wheel shown → first screenshot with the wheel (upper bound on painting) | {ms(after)} | {hi(after)} | {presses} |")
    print(f"| for scale: one grim screenshot of the square | {ms(grim)} | | 1 |")


if __name__ == "__main__":
    main()
