#!/usr/bin/env python3
"""The kernel-device trigger end to end in the guest: uinput "physical" mice and a keyboard, the
real helper with --evdev, and the helper's twin of each mouse read as the desktop would; with
--sway, the helper on the guest's sway (the Wayland backend hosting the trigger) and an
application of our own (tests/vm/app) under the pointer.
Usage: trigger_checks.py [--sway] HELPER [APP] [CHECK...]; the exit status counts the failures."""
import ctypes, fcntl, glob, os, select, signal, struct, subprocess, sys, tempfile, time

EV_KEY, EV_REL = 1, 2
BTN_LEFT, BTN_RIGHT, BTN_MIDDLE = 0x110, 0x111, 0x112
REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES = 0, 1, 8, 11
KEY_LEFTCTRL, KEY_A, KEY_LEFTSHIFT = 29, 30, 42
EVIOCGRAB = 0x40044590
EVENT = struct.Struct("llHHi")
RIGHT_DOWN, RIGHT_UP = (EV_KEY, BTN_RIGHT, 1), (EV_KEY, BTN_RIGHT, 0)


class Device:
    """A uinput device standing for a physical one."""

    def __init__(self, name, keys, rels=()):
        self.name, self.fd = name, os.open("/dev/uinput", os.O_WRONLY)
        for request, values in ((0x40045564, (0, EV_KEY) + ((EV_REL,) if rels else ())),
                                (0x40045565, keys), (0x40045566, rels)):
            for v in values:
                fcntl.ioctl(self.fd, request, v)
        fcntl.ioctl(self.fd, 0x405C5503, struct.pack("HHHH80sI", 3, 0x1234, 0x5678, 1, name.encode(), 0))
        fcntl.ioctl(self.fd, 0x5501)  # UI_DEV_CREATE
        self.node = wait_for(lambda: find_node(name, twin=False), f"{name} in /dev/input")

    def frame(self, *events):
        for t, c, v in events + ((0, 0, 0),):
            os.write(self.fd, EVENT.pack(0, 0, t, c, v))

    def close(self):
        os.close(self.fd)  # unplugs it


def mouse(name):
    return Device(name, [BTN_LEFT, BTN_RIGHT, BTN_MIDDLE], [REL_X, REL_Y, REL_WHEEL, REL_WHEEL_HI_RES])


def find_node(name, twin):
    for sysfs in glob.glob("/sys/class/input/event*"):
        try:
            with open(f"{sysfs}/device/name") as n, open(f"{sysfs}/device/phys") as p:
                if n.read().strip() == name and p.read().startswith("nimbra-wheel-mirror") == twin:
                    return "/dev/input/" + os.path.basename(sysfs)
        except OSError:
            pass


def wait_for(probe, what, seconds=3.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if value := probe():
            return value
        time.sleep(0.01)
    raise AssertionError(f"timed out waiting for {what}")


class Reader:
    """What an application sees: the frames of one device node."""

    def __init__(self, node):
        self.fd, self.partial = os.open(node, os.O_RDONLY | os.O_NONBLOCK), []

    def frames(self, seconds=0.5, count=None):
        out, deadline = [], time.monotonic() + seconds
        while (count is None or len(out) < count) and select.select(
                [self.fd], [], [], max(0, deadline - time.monotonic()))[0]:
            data = os.read(self.fd, EVENT.size * 64)
            for i in range(0, len(data), EVENT.size):
                t, c, v = EVENT.unpack_from(data, i)[2:]
                if t == 0 and c == 0:
                    out, self.partial = out + [self.partial], []
                else:
                    self.partial.append((t, c, v))
        return out


def grabbed(node):
    """True while another process holds the device's grab."""
    fd = os.open(node, os.O_RDONLY)
    try:
        fcntl.ioctl(fd, EVIOCGRAB, 1)
        return False
    except OSError:
        return True
    finally:
        os.close(fd)


def taken(dev, app, what, seconds=2.0):
    """Until a frame of `dev` comes out of its twin (a grab of our own would race the helper's)."""
    wait_for(lambda: dev.frame((EV_REL, REL_Y, 1)) or app.frames(seconds=0.05), what, seconds)
    app.frames(seconds=0.05)


def read_text(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


class Helper:
    def __init__(self, helper, user=None, mode=("--evdev",)):
        self.dir = tempfile.mkdtemp(prefix="nimbra-vm-")
        with open(f"{self.dir}/wheel.cfg", "w") as f:
            f.write("HOLD|300\nSIZE|100\nSEG|Edit|#3a7\nTOOL|Copy|copy\n")
        cmd = [helper, *mode, "-Dir", self.dir]
        if user is not None:
            os.chown(self.dir, user, user)
            cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + cmd
        self.proc = subprocess.Popen(cmd)
        self.log = lambda: read_text(f"{self.dir}/log.txt")
        self.cmd = lambda: read_text(f"{self.dir}/cmd.txt")


def check_passes_motion_and_scroll(env):
    sent = [[(EV_REL, REL_X, 5), (EV_REL, REL_Y, -3)], [(EV_REL, REL_WHEEL, 1), (EV_REL, REL_WHEEL_HI_RES, 120)],
            [(EV_REL, REL_WHEEL_HI_RES, 30)], [(EV_KEY, BTN_LEFT, 1)], [(EV_KEY, BTN_LEFT, 0)]]
    for f in sent:
        env.mouse.frame(*f)
    assert (got := env.app.frames(count=len(sent))) == sent, f"twin saw {got}"


def check_short_click_goes_back_once_at_the_press_point(env):
    for f in ([RIGHT_DOWN], [(EV_REL, REL_X, 7), (EV_REL, REL_Y, 2)], [RIGHT_UP]):
        env.mouse.frame(*f)
    want = [[RIGHT_DOWN], [RIGHT_UP], [(EV_REL, REL_X, 7), (EV_REL, REL_Y, 2)]]
    assert (got := env.app.frames(seconds=1.0, count=3)) == want, f"twin saw {got}"
    assert env.app.frames(seconds=0.3) == [] and env.helper.cmd() == "", "more than one click"


def check_held_press_opens_and_release_picks(env):
    env.mouse.frame(RIGHT_DOWN)
    wait_for(lambda: env.helper.cmd() == "~open", "~open in cmd.txt")
    for _ in range(5):
        env.mouse.frame((EV_REL, REL_Y, -30))
    env.mouse.frame(RIGHT_UP)
    wait_for(lambda: env.helper.cmd() == "copy", "the pick in cmd.txt")
    got = [e for f in env.app.frames(seconds=0.3) for e in f]
    assert got == [(EV_REL, REL_Y, -30)] * 5, f"the application saw {got}"


def check_modifier_held_leaves_the_press_alone(env):
    env.keyboard.frame((EV_KEY, KEY_LEFTSHIFT, 1))
    env.mouse.frame(RIGHT_DOWN)
    got = env.app.frames(count=1)
    env.mouse.frame(RIGHT_UP)
    env.keyboard.frame((EV_KEY, KEY_LEFTSHIFT, 0))
    assert got == [[RIGHT_DOWN]], f"Shift+right press not passed at once: {got}"
    assert env.app.frames(count=1) == [[RIGHT_UP]]


def check_mouse_plugged_later_is_taken(env):
    late = mouse("nimbra test mouse late")
    try:
        app = Reader(wait_for(lambda: find_node(late.name, twin=True), "the late mouse's twin", 1.5))
        taken(late, app, "the late mouse grabbed", 1.5)
    finally:
        late.close()  # unplugged under the helper: the checks after it show it lives on


def check_stalled_loop_lets_go(env):
    libc = ctypes.CDLL(None, use_errno=True)
    libc.ptrace.argtypes = [ctypes.c_long, ctypes.c_long, ctypes.c_void_p, ctypes.c_void_p]
    tid = env.helper.proc.pid  # the main thread stops; the watchdog's thread runs on
    env.mouse.frame(RIGHT_DOWN)
    wait_for(lambda: env.helper.cmd() == "~open", "~open in cmd.txt")
    assert libc.ptrace(0x4206, tid, None, None) == 0, os.strerror(ctypes.get_errno())  # SEIZE
    try:
        libc.ptrace(0x4207, tid, None, None)  # INTERRUPT
        os.waitpid(tid, 0x40000000)  # __WALL
        env.mouse.frame((EV_REL, REL_X, 1))  # input the stalled loop cannot take
        start = time.monotonic()
        wait_for(lambda: not grabbed(env.mouse.node), "the grab let go", 2.0)
        assert time.monotonic() - start < 1.6, "let go late"
        env.mouse.frame(RIGHT_UP)  # the wheel's release and a press reach the desktop directly
        env.mouse.frame((EV_KEY, BTN_LEFT, 1))
    finally:
        libc.ptrace(17, tid, None, None)  # DETACH
    # Taken again only once the button is up: a grab mid-press would leave it stuck down.
    deadline = time.monotonic() + 0.5
    while time.monotonic() < deadline:
        assert not grabbed(env.mouse.node), "grabbed again with a button down"
    env.mouse.frame((EV_KEY, BTN_LEFT, 0))
    assert not [f for f in env.app.frames(seconds=0.2) if f], "what the desktop had came twice"
    taken(env.mouse, env.app, "the grab taken again")
    env.mouse.frame(RIGHT_DOWN)  # the wheel closed with the release it missed: a click is a click
    env.mouse.frame(RIGHT_UP)
    assert (got := env.app.frames(count=2)) == [[RIGHT_DOWN], [RIGHT_UP]], f"after the stall: {got}"


def check_killed_helper_leaves_a_working_mouse(env):
    env.helper.proc.send_signal(signal.SIGKILL)
    env.helper.proc.wait()
    raw = Reader(env.mouse.node)
    env.mouse.frame(RIGHT_DOWN)
    assert raw.frames(count=1) == [[RIGHT_DOWN]] and not grabbed(env.mouse.node), "mouse still taken"


def check_permission(helper):
    h = Helper(helper, user=65534)
    try:
        wait_for(lambda: "accessibility permission NOT granted yet" in h.log(), "the refusal line", 30)
        assert read_text(f"{h.dir}/need_access.txt") == "1" and "event tap installed" not in h.log()
        for node in ["/dev/uinput"] + glob.glob("/dev/input/event*"):
            os.chmod(node, 0o666)
        wait_for(lambda: "event tap installed" in h.log(), "event tap installed", 2.5)
        wait_for(lambda: not os.path.exists(f"{h.dir}/need_access.txt"), "need_access.txt gone")
    finally:
        h.proc.kill()


class App:
    """The application under the pointer: the lines it prints since the last mark."""

    def __init__(self, path):
        self.proc = subprocess.Popen([path], stdout=subprocess.PIPE)
        self.fd, self.lines, self.partial = self.proc.stdout.fileno(), [], b""
        os.set_blocking(self.fd, False)

    def read(self):
        while select.select([self.fd], [], [], 0)[0] and (data := os.read(self.fd, 4096)):
            *done, self.partial = (self.partial + data).split(b"\n")
            self.lines += [line.decode() for line in done]
        return self.lines

    def wait(self, line, seconds=5.0):
        wait_for(lambda: line in self.read(), f"the application's {line!r} (it said {self.lines[-5:]})", seconds)

    def buttons(self):
        return [line for line in self.read() if line.startswith("button")]


def point(env, x, y):
    """The pointer to x,y: the flat profile moves it 1:1 with the mouse."""
    env.mouse.frame((EV_REL, REL_X, x - env.at[0]), (EV_REL, REL_Y, y - env.at[1]))
    env.at = (x, y)
    env.app.wait(f"at {x},{y}")


def screen(x, y, side):
    """The pixels of the square of `side` around x,y, as grim sees them (no cursor)."""
    ppm = subprocess.run(["grim", "-g", f"{x - side // 2},{y - side // 2} {side}x{side}", "-t", "ppm", "-"],
                         capture_output=True, check=True).stdout
    return ppm[-side * side * 3:]


def sway_check_held_press_opens_at_the_pointer(env):
    point(env, 400, 300)
    env.app.lines = []
    before = screen(400, 300, 40)
    env.mouse.frame(RIGHT_DOWN)
    wait_for(lambda: env.helper.cmd() == "~open", "~open in cmd.txt")
    assert "wheel shown at 400,300" in env.helper.log(), "the wheel opened elsewhere"
    # The hub lies under the pointer: most of the square round it changes.
    wait_for(lambda: sum(a != b for a, b in zip(before, screen(400, 300, 40))) > len(before) // 2,
             "the wheel on the screen at the pointer")
    for _ in range(5):
        env.mouse.frame((EV_REL, REL_Y, -30))
    env.mouse.frame(RIGHT_UP)
    env.at = (400, 150)
    wait_for(lambda: env.helper.cmd() == "copy", "the pick in cmd.txt")
    env.app.wait("at 400,150")
    assert not env.app.buttons(), f"the application saw {env.app.buttons()}"


def sway_check_the_selection_follows_the_pointer_as_drawn(env):
    """Accelerated, the pointer goes twice as far as the mouse: 120 up, past the ring, where the
    mouse's own 60 would still be in it. The tool there is lit, and the release picks it."""
    point(env, 400, 300)
    subprocess.run(["swaymsg", "-q", "input * pointer_accel 1"], check=True)
    try:
        env.mouse.frame(RIGHT_DOWN)
        wait_for(lambda: env.helper.cmd() == "~open", "~open in cmd.txt")
        env.mouse.frame((EV_REL, REL_Y, -60))
        lit = bytes((0x33, 0xAA, 0x77))  # the segment's colour, on its tool's cell 150 up
        wait_for(lambda: all(abs(a - b) < 12 for a, b in zip(screen(400, 150, 1), lit)), "the tool lit")
        env.mouse.frame(RIGHT_UP)
        wait_for(lambda: env.helper.cmd() == "copy", "the pick in cmd.txt")
    finally:
        subprocess.run(["swaymsg", "-q", "input * pointer_accel 0"], check=True)
    env.at = (400, 180)
    env.app.wait("at 400,180")  # the application has the pointer again


def sway_check_short_click_reaches_the_application_once(env):
    point(env, 700, 500)
    env.app.lines = []
    for f in ([RIGHT_DOWN], [(EV_REL, REL_X, 7), (EV_REL, REL_Y, 2)], [RIGHT_UP]):
        env.mouse.frame(*f)
    env.at = (707, 502)
    env.app.wait("at 707,502")
    wait_for(lambda: len(env.app.buttons()) >= 2, f"the release (the application saw {env.app.lines})")
    want = ["button 273 1 at 700,500", "button 273 0 at 700,500"]
    assert env.app.buttons() == want, f"the application saw {env.app.lines}"
    assert env.helper.cmd() == "", "the click opened the wheel"


def sway_env(helper, app):
    """The helper on sway, the application under the pointer and the mouse, the pointer at 0,0."""
    env = type("Env", (), {})()
    env.mouse, env.app, env.helper = mouse("nimbra test mouse"), App(app), Helper(helper, mode=())
    env.app.wait("ready")
    wait_for(lambda: "event tap installed" in env.helper.log(), "event tap installed", 30)
    wait_for(lambda: subprocess.run(["swaymsg", "-t", "get_inputs"], capture_output=True, text=True)
             .stdout.count('"name": "nimbra test mouse"') == 2, "the twin in sway", 5)
    env.mouse.frame((EV_REL, REL_X, -5000), (EV_REL, REL_Y, -5000))
    env.at = (0, 0)
    return env


def sway_main(helper, app, only):
    env, failures = sway_env(helper, app), 0
    try:
        for name, check in globals().items():
            if name.startswith("sway_check_") and (not only or name in only):
                open(f"{env.helper.dir}/cmd.txt", "w").close()
                failures += run(name, check, env)
    finally:
        env.helper.proc.kill()
        env.app.proc.kill()
        print(env.helper.log(), end="")
    return failures


def run(name, check, *args):
    try:
        check(*args)
        print(f"PASS {name}", flush=True)
        return 0
    except AssertionError as e:
        print(f"FAIL {name}: {e}", flush=True)
        return 1


def main():
    if sys.argv[1] == "--sway":
        return sway_main(os.path.abspath(sys.argv[2]), os.path.abspath(sys.argv[3]), set(sys.argv[4:]))
    helper, only = os.path.abspath(sys.argv[1]), set(sys.argv[2:])
    checks = {n: f for n, f in globals().items() if n.startswith("check_") and n != "check_permission"}
    env = type("Env", (), {})()
    env.mouse = mouse("nimbra test mouse")
    env.keyboard = Device("nimbra test keyboard", [KEY_A, KEY_LEFTSHIFT, KEY_LEFTCTRL])
    env.helper, failures = Helper(helper), 0
    try:
        wait_for(lambda: "event tap installed" in env.helper.log(), "event tap installed", 30)
        env.app = Reader(wait_for(lambda: find_node(env.mouse.name, twin=True), "the twin"))
        for name, check in checks.items():
            if not only or name in only:
                env.app.frames(seconds=0.05)
                open(f"{env.helper.dir}/cmd.txt", "w").close()
                failures += run(name, check, env)
    finally:
        env.helper.proc.kill()
        print(env.helper.log(), end="")
    if not only or "check_permission" in only:
        failures += run("check_permission", check_permission, helper)
    return failures


if __name__ == "__main__":
    sys.exit(main())
