#!/usr/bin/env python3
"""The mouse trigger over kernel devices, end to end in the guest (root, /dev/uinput present).

Makes "physical" mice and a keyboard with uinput, starts the real helper with --evdev, and reads
what the desktop would see: the helper's twin of each mouse. One boot runs every check; each
prints its verdict and the exit status counts the failures.

    trigger_checks.py HELPER [CHECK...]
"""
import ctypes
import fcntl
import glob
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time

EV_SYN, EV_KEY, EV_REL = 0, 1, 2
SYN_REPORT = 0
BTN_LEFT, BTN_RIGHT, BTN_MIDDLE = 0x110, 0x111, 0x112
REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES = 0, 1, 8, 11
KEY_A, KEY_LEFTSHIFT, KEY_LEFTCTRL = 30, 42, 29
UI_SET_EVBIT, UI_SET_KEYBIT, UI_SET_RELBIT = 0x40045564, 0x40045565, 0x40045566
UI_DEV_SETUP, UI_DEV_CREATE, UI_DEV_DESTROY = 0x405C5503, 0x5501, 0x5502
EVIOCGRAB = 0x40044590
EVENT = struct.Struct("llHHi")
HOLD_MS = 300


class Device:
    """A uinput device standing for a physical one."""

    def __init__(self, name, keys, rels):
        self.name = name
        self.fd = os.open("/dev/uinput", os.O_WRONLY | os.O_NONBLOCK)
        for ev in (EV_SYN, EV_KEY) + ((EV_REL,) if rels else ()):
            fcntl.ioctl(self.fd, UI_SET_EVBIT, ev)
        for k in keys:
            fcntl.ioctl(self.fd, UI_SET_KEYBIT, k)
        for r in rels:
            fcntl.ioctl(self.fd, UI_SET_RELBIT, r)
        setup = struct.pack("HHHH80sI", 3, 0x1234, 0x5678, 1, name.encode(), 0)
        fcntl.ioctl(self.fd, UI_DEV_SETUP, setup)
        fcntl.ioctl(self.fd, UI_DEV_CREATE)
        self.node = wait_for(lambda: find_node(name, mirror=False), f"{name} in /dev/input")

    def frame(self, *events):
        for t, c, v in events:
            os.write(self.fd, EVENT.pack(0, 0, t, c, v))
        os.write(self.fd, EVENT.pack(0, 0, EV_SYN, SYN_REPORT, 0))

    def close(self):
        fcntl.ioctl(self.fd, UI_DEV_DESTROY)
        os.close(self.fd)


def mouse(name):
    return Device(name, [BTN_LEFT, BTN_RIGHT, BTN_MIDDLE], [REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES])


def find_node(name, mirror):
    for sys_dir in glob.glob("/sys/class/input/event*"):
        try:
            with open(f"{sys_dir}/device/name") as f:
                if f.read().strip() != name:
                    continue
            with open(f"{sys_dir}/device/phys") as f:
                is_mirror = f.read().startswith("nimbra-wheel-mirror")
        except OSError:
            continue
        node = "/dev/input/" + os.path.basename(sys_dir)
        if is_mirror == mirror and os.path.exists(node):
            return node
    return None


def wait_for(probe, what, seconds=3.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(0.01)
    raise AssertionError(f"timed out waiting for {what}")


class Reader:
    """What an application sees: the frames of one device node."""

    def __init__(self, node):
        self.fd = os.open(node, os.O_RDONLY | os.O_NONBLOCK)
        self.partial = []

    def frames(self, seconds=0.5, count=None):
        out = []
        deadline = time.monotonic() + seconds
        while count is None or len(out) < count:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                break
            data = os.read(self.fd, EVENT.size * 64)
            for i in range(0, len(data), EVENT.size):
                _, _, t, c, v = EVENT.unpack_from(data, i)
                if (t, c) == (EV_SYN, SYN_REPORT):
                    out.append(self.partial)
                    self.partial = []
                else:
                    self.partial.append((t, c, v))
        return out

    def close(self):
        os.close(self.fd)


def grabbed(node):
    """True while another process holds the device's grab."""
    fd = os.open(node, os.O_RDONLY | os.O_NONBLOCK)
    try:
        fcntl.ioctl(fd, EVIOCGRAB, 1)
        fcntl.ioctl(fd, EVIOCGRAB, 0)
        return False
    except OSError:
        return True
    finally:
        os.close(fd)


def taken(dev, app, what, seconds=2.0):
    """Waits until a frame from `dev` comes out of its twin: the helper holds the grab then.
    (Probing with a grab of our own would race with the helper's.)"""
    def through():
        dev.frame((EV_REL, REL_Y, 1))
        return app.frames(seconds=0.05)
    wait_for(through, what, seconds)
    app.frames(seconds=0.05)


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


class Helper:
    def __init__(self, helper, user=None):
        self.dir = tempfile.mkdtemp(prefix="nimbra-vm-")
        with open(f"{self.dir}/wheel.cfg", "w") as f:
            f.write(f"HOLD|{HOLD_MS}\nSIZE|100\nSEG|Edit|#3a7\nTOOL|Copy|copy\n")
        cmd = [helper, "--evdev", "-Dir", self.dir]
        if user is not None:
            os.chown(self.dir, user, user)
            cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + cmd
        self.proc = subprocess.Popen(cmd)

    def log(self):
        return read_text(f"{self.dir}/log.txt")

    def cmd(self):
        return read_text(f"{self.dir}/cmd.txt")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()


def press_frames(frames):
    return [e for f in frames for e in f if e[:2] == (EV_KEY, BTN_RIGHT)]


# ---- checks: each returns normally or raises AssertionError ------------------------------------


def check_passes_motion_and_scroll(env):
    sent = [[(EV_REL, REL_X, 5), (EV_REL, REL_Y, -3)],
            [(EV_REL, REL_WHEEL, 1), (EV_REL, REL_WHEEL_HI_RES, 120)],
            [(EV_REL, REL_WHEEL_HI_RES, 30)],
            [(EV_KEY, BTN_LEFT, 1)], [(EV_KEY, BTN_LEFT, 0)]]
    for f in sent:
        env.mouse.frame(*f)
    got = env.app.frames(count=len(sent))
    assert got == sent, f"twin saw {got}, not {sent}"


def check_short_click_goes_back_once_at_the_press_point(env):
    env.mouse.frame((EV_KEY, BTN_RIGHT, 1))
    env.mouse.frame((EV_REL, REL_X, 7), (EV_REL, REL_Y, 2))
    env.mouse.frame((EV_KEY, BTN_RIGHT, 0))
    got = env.app.frames(seconds=1.0, count=3)
    want = [[(EV_KEY, BTN_RIGHT, 1)], [(EV_KEY, BTN_RIGHT, 0)], [(EV_REL, REL_X, 7), (EV_REL, REL_Y, 2)]]
    assert got == want, f"twin saw {got}, not {want}"
    assert env.app.frames(seconds=0.3) == [], "more than one click"
    assert env.helper.cmd() == "", "a short click opened the wheel"


def check_held_press_opens_and_release_picks(env):
    env.mouse.frame((EV_KEY, BTN_RIGHT, 1))
    wait_for(lambda: env.helper.cmd() == "~open", "~open in cmd.txt")
    for _ in range(5):
        env.mouse.frame((EV_REL, REL_Y, -30))
    env.mouse.frame((EV_KEY, BTN_RIGHT, 0))
    wait_for(lambda: env.helper.cmd() == "copy", "the pick in cmd.txt")
    got = env.app.frames(seconds=0.3)
    assert press_frames(got) == [], f"the application saw the right button: {got}"
    assert sum(e[2] for f in got for e in f if e[:2] == (EV_REL, REL_Y)) == -150, got


def check_modifier_held_leaves_the_press_alone(env):
    env.keyboard.frame((EV_KEY, KEY_LEFTSHIFT, 1))
    env.mouse.frame((EV_KEY, BTN_RIGHT, 1))
    got = env.app.frames(count=1)
    env.mouse.frame((EV_KEY, BTN_RIGHT, 0))
    env.keyboard.frame((EV_KEY, KEY_LEFTSHIFT, 0))
    assert got == [[(EV_KEY, BTN_RIGHT, 1)]], f"Shift+right press not passed at once: {got}"
    assert env.app.frames(count=1) == [[(EV_KEY, BTN_RIGHT, 0)]]


def check_mouse_plugged_later_is_taken(env):
    late = mouse("nimbra test mouse late")
    try:
        node = wait_for(lambda: find_node(late.name, mirror=True), "the late mouse's twin", 1.5)
        app = Reader(node)
        taken(late, app, "the late mouse grabbed", 1.5)
        late.frame((EV_REL, REL_X, 3))
        assert app.frames(count=1) == [[(EV_REL, REL_X, 3)]]
        app.close()
    finally:
        late.close()  # unplugged under the helper: the checks after it show it lives on


def check_stalled_loop_lets_go(env):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    PTRACE_SEIZE, PTRACE_INTERRUPT, PTRACE_DETACH = 0x4206, 0x4207, 17
    tid = env.helper.proc.pid  # the main thread; the watchdog's thread runs on
    assert libc.ptrace(PTRACE_SEIZE, tid, None, None) == 0, os.strerror(ctypes.get_errno())
    try:
        assert grabbed(env.mouse.node), "not grabbed before the stall"
        libc.ptrace(PTRACE_INTERRUPT, tid, None, None)
        os.waitpid(tid, 0x40000000)  # __WALL
        start = time.monotonic()
        wait_for(lambda: not grabbed(env.mouse.node), "the grab let go", 2.0)
        assert time.monotonic() - start < 1.6, "let go late"
        env.mouse.frame((EV_KEY, BTN_LEFT, 1))  # reaches the desktop directly meanwhile
    finally:
        libc.ptrace(PTRACE_DETACH, tid, None, None)
    # Taken again only once the button is up: a grab mid-press would leave it stuck down.
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        assert not grabbed(env.mouse.node), "grabbed again with a button down"
        time.sleep(0.02)
    env.mouse.frame((EV_KEY, BTN_LEFT, 0))
    taken(env.mouse, env.app, "the grab taken again")
    env.mouse.frame((EV_REL, REL_X, 6))
    assert env.app.frames(count=1) == [[(EV_REL, REL_X, 6)]], "twin dead after the stall"


def check_killed_helper_leaves_a_working_mouse(env):
    env.helper.proc.send_signal(signal.SIGKILL)
    env.helper.proc.wait()
    assert not grabbed(env.mouse.node), "the mouse is still grabbed"
    raw = Reader(env.mouse.node)
    env.mouse.frame((EV_KEY, BTN_RIGHT, 1))
    env.mouse.frame((EV_KEY, BTN_RIGHT, 0))
    assert raw.frames(count=2) == [[(EV_KEY, BTN_RIGHT, 1)], [(EV_KEY, BTN_RIGHT, 0)]]
    raw.close()


def check_permission(helper):
    """Without access: need_access.txt and the log line; granted: the trigger goes in."""
    nobody = 65534
    h = Helper(helper, user=nobody)
    try:
        wait_for(lambda: "accessibility permission NOT granted yet" in h.log(), "the refusal line")
        assert read_text(f"{h.dir}/need_access.txt") == "1"
        assert "event tap installed" not in h.log()
        for node in ["/dev/uinput"] + glob.glob("/dev/input/event*"):
            os.chmod(node, 0o666)
        wait_for(lambda: "event tap installed" in h.log(), "event tap installed", 2.5)
        wait_for(lambda: not os.path.exists(f"{h.dir}/need_access.txt"), "need_access.txt gone")
    finally:
        h.stop()


class Env:
    pass


def main():
    helper = os.path.abspath(sys.argv[1])
    only = set(sys.argv[2:])
    checks = [check_passes_motion_and_scroll, check_short_click_goes_back_once_at_the_press_point,
              check_held_press_opens_and_release_picks, check_modifier_held_leaves_the_press_alone,
              check_mouse_plugged_later_is_taken, check_stalled_loop_lets_go,
              check_killed_helper_leaves_a_working_mouse]
    failures = 0
    env = Env()
    env.mouse = mouse("nimbra test mouse")
    env.keyboard = Device("nimbra test keyboard", [KEY_A, KEY_LEFTSHIFT, KEY_LEFTCTRL], [])
    env.helper = Helper(helper)
    try:
        wait_for(lambda: "event tap installed" in env.helper.log(), "event tap installed", 5)
        env.app = Reader(wait_for(lambda: find_node(env.mouse.name, mirror=True), "the twin"))
        wait_for(lambda: grabbed(env.mouse.node), "the mouse grabbed")
        for check in checks:
            if only and check.__name__ not in only:
                continue
            try:
                env.app.frames(seconds=0.05)
                with open(f"{env.helper.dir}/cmd.txt", "w"):
                    pass
                check(env)
                print(f"PASS {check.__name__}", flush=True)
            except AssertionError as e:
                failures += 1
                print(f"FAIL {check.__name__}: {e}", flush=True)
    finally:
        env.helper.stop()
        print(env.helper.log(), end="")
    if not only or "check_permission" in only:
        try:
            check_permission(helper)
            print("PASS check_permission", flush=True)
        except AssertionError as e:
            failures += 1
            print(f"FAIL check_permission: {e}", flush=True)
    return failures


if __name__ == "__main__":
    sys.exit(main())
