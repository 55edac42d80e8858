"""Drive a nimbra-wheel helper from a Python host application (standard library only).

    import nimbra_host as nh
    wheel = nh.Wheel([nh.Segment("Edit", "#3a7", [nh.Tool("Copy", "copy")])])
    with nh.start("/tmp/my-app-wheel", wheel) as helper:
        for event in helper.events():
            if not event.is_open:
                run(event.command)

Everything passes through the work directory's files, as nimbra-host(3) and nimbra-wheel(1)
describe. One thread drives a Helper.
"""

import ctypes
import errno
import ctypes.util
import dataclasses
import os
import select
import signal
import stat
import struct
import tempfile
import threading
import time
import unicodedata

__version__ = "0.2.0"
__all__ = ["Tool", "Segment", "Wheel", "Event", "Helper", "WheelError", "StartError", "start",
           "write_cmd", "OPEN"]

OPEN = "~open"  # what the helper writes to cmd.txt when the wheel opens
_INT64_MAX = 2**63 - 1  # the largest HOLD or SIZE the helper reads

STALE_AFTER_MS = 5000  # a heartbeat this old is stale, as the helper itself judges
_POLL_PERIOD = 0.005
_TERM_GRACE = 2.0
_BROKEN_BAR = "\u00a6"  # stands for "|" inside a command


class WheelError(ValueError):
    """A wheel.cfg the helper would read differently from what was asked; names the item."""


class StartError(RuntimeError):
    """The helper did not start. status: its exit status (2: it refused the work directory),
    or -1 when it did not exit; message: what it wrote to standard error; serving_pid: the
    helper of another host that already serves the folder (see start's join), else None."""

    def __init__(self, what, status=-1, message="", serving_pid=None):
        super().__init__(what)
        self.status = status
        self.message = message
        self.serving_pid = serving_pid


@dataclasses.dataclass
class Tool:
    label: str
    command: str  # written to cmd.txt, unchanged, when the tool is picked

    @classmethod
    def anchor(cls, label, x, y):
        """A tool placed in a segment's 3x3 grid: x, y from 0 (left, top) to 1 (right, bottom)."""
        if not all(isinstance(v, (int, float)) and 0 <= v <= 1 for v in (x, y)):
            raise WheelError(f'tool "{label}": anchor coordinates must lie from 0 to 1')
        return cls(label, "anchor:" + ",".join(_number(v) for v in (x, y)))


@dataclasses.dataclass
class Segment:
    name: str
    color: str  # "#rgb" or "#rrggbb" (the "#" may be left out)
    tools: list = dataclasses.field(default_factory=list)


@dataclasses.dataclass
class Wheel:
    segments: list
    hold_ms: int = None  # the helper's default: 2000, at least 120
    size: int = None  # radius in points; the helper's default: 190, at least 80

    def to_cfg(self):
        """The wheel.cfg text; WheelError for anything the helper would reject, split or change."""
        if not self.segments:
            raise WheelError("the wheel has no segment: the helper would keep its previous wheel")
        lines = []
        for key, name, least in (("HOLD", "hold_ms", 120), ("SIZE", "size", 80)):
            value = getattr(self, name)
            if value is None:
                continue
            # bool is an int to Python, never to the helper; anything else it would cut or skip.
            if not isinstance(value, int) or isinstance(value, bool):
                raise WheelError(f"{name} {value!r} is not a whole number")
            if not least <= value <= _INT64_MAX:
                raise WheelError(f"{name} {value} lies outside {least} to {_INT64_MAX}, "
                                 "which the helper reads")
            lines.append(f"{key}|{value}")
        for s, seg in enumerate(self.segments):
            item = f'segment {s} "{seg.name}"'
            _check_field(seg.name, item)
            if not _is_color(seg.color):
                raise WheelError(f'{item}: colour "{seg.color}" is not #rgb or #rrggbb; '
                                 "the helper would paint its fallback blue")
            lines.append(f"SEG|{seg.name}|{seg.color}")
            for tool in seg.tools:
                tool_item = f'{item}, tool "{tool.label}"'
                _check_field(tool.label, tool_item)
                _check_command(tool.command, tool_item)
                lines.append(f"TOOL|{tool.label}|{tool.command.replace('|', _BROKEN_BAR)}")
        return "".join(line + "\n" for line in lines)


@dataclasses.dataclass
class Event:
    """One write of cmd.txt."""
    command: str  # the picked tool's command; "~open" for an opening
    # Writes of cmd.txt noticed since the previous event that were replaced before they could
    # be read (their content is lost); -1 when the notices themselves were lost (the kernel's
    # queue overflowed), so the count is unknown. The counts add up: a write noticed only after
    # the content that replaced it was delivered is counted with the next event.
    missed: int = 0

    @property
    def is_open(self):
        return self.command == "~open"


def _number(v):
    text = repr(float(v))
    return text[:-2] if text.endswith(".0") else text


def _is_color(text):
    digits = text[1:] if text.startswith("#") else text
    return len(digits) in (3, 6) and all(c in "0123456789abcdefABCDEF" for c in digits)


def _check_field(text, item):
    if "|" in text:
        raise WheelError(f'{item} holds a "|", which would end the field')
    if "\r" in text or "\n" in text:
        raise WheelError(f"{item} holds a line break")
    _check_encodable(text, item)


def _check_encodable(text, item):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        raise WheelError(f"{item} is not valid UTF-8") from None


def _check_command(command, item):
    _check_encodable(command, item)
    if "\r" in command or "\n" in command:
        raise WheelError(f"{item}: the command holds a line break")
    if _BROKEN_BAR in command:
        raise WheelError(f'{item}: the command holds a "{_BROKEN_BAR}", '
                         'which the helper reads as "|"')
    # The helper trims tabs and Unicode space separators from both ends of a line.
    if command and (command[-1] == "\t" or unicodedata.category(command[-1]) == "Zs"):
        raise WheelError(f"{item}: the command ends in white space, which the helper trims")
    if command == "~open":
        raise WheelError(f'{item}: the command "~open" would read as the wheel opening')


# --- the work directory ------------------------------------------------------------------

def _read(path, start=0):
    """The content of a regular file from byte start on, and its attributes; or None, None."""
    try:
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    except OSError:
        return None, None
    try:
        st = os.fstat(fd)
        if not stat.S_ISREG(st.st_mode):
            return None, None
        os.lseek(fd, start, os.SEEK_SET)
        chunks = []
        while chunk := os.read(fd, 65536):
            chunks.append(chunk)
        return b"".join(chunks), st
    except OSError:
        return None, None
    finally:
        os.close(fd)


def _seconds(ns):
    # The helper reads a modification time as this double and compares it exactly.
    return float(ns // 1_000_000_000) + float(ns % 1_000_000_000) / 1e9


def _write_atomically(directory, name, text, newer):
    """Replaces directory/name by a finished file (temporary + rename). With newer, its
    modification time reads strictly later than the file it replaces."""
    target = os.path.join(directory, name)
    try:
        old = os.stat(target).st_mtime_ns if newer else None
    except FileNotFoundError:
        old = None
    fd, temp = tempfile.mkstemp(prefix=f".{name}.", dir=directory)
    try:
        os.fchmod(fd, 0o644)
        data = memoryview(text.encode("utf-8"))
        while data:
            written = os.write(fd, data)
            if written == 0:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), temp)
            data = data[written:]
        # Two writes within one clock tick, or on a file system that keeps whole seconds, would
        # give the same time: step past the old one by the smallest amount both the file system
        # and the helper's double can tell apart.
        for step in (1_000, 1_000_000, 1_000_000_000, 2_000_000_000):
            if old is None or _seconds(os.fstat(fd).st_mtime_ns) > _seconds(old):
                break
            os.utime(fd, ns=(os.fstat(fd).st_atime_ns, old + step))
        os.close(fd)
        fd = -1
        os.rename(temp, target)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        os.unlink(temp)
        raise


def _heartbeat(directory):
    data, _ = _read(os.path.join(directory, "pid.txt"))
    try:
        pid, stamp = data.decode().strip().split("|")
        pid, stamp = int(pid), int(stamp)
    except (AttributeError, ValueError, UnicodeDecodeError):
        return None
    return (pid, stamp) if pid > 0 else None


def _now_ms():
    return time.time_ns() // 1_000_000


def _alive(pid):
    """The process runs and may be signalled by us (a zombie has ended)."""
    try:
        os.kill(pid, 0)
    except OSError:
        return False
    data, _ = _read(f"/proc/{pid}/stat")
    return not data or data[data.rfind(b")") + 2:][:1] != b"Z"


def _is_helper_process(pid):
    """The process runs a program named nimbra-wheel, so a recycled id is never signalled."""
    try:
        path = os.readlink(f"/proc/{pid}/exe")
    except OSError:
        return False
    return os.path.basename(path.removesuffix(" (deleted)")) == "nimbra-wheel"


def _fresh(record):
    return record is not None and _now_ms() - record[1] < STALE_AFTER_MS and _alive(record[0])


def default_helper():
    """nimbra-wheel installed beside this module (lib/python3/dist-packages is three levels
    below the prefix), else the name alone, looked up on PATH."""
    here = os.path.dirname(os.path.abspath(__file__))
    beside = os.path.join(here, "..", "..", "..", "bin", "nimbra-wheel")
    return os.path.normpath(beside) if os.access(beside, os.X_OK) else "nimbra-wheel"


# --- watching cmd.txt --------------------------------------------------------------------

_IN_CLOSE_WRITE, _IN_MOVED_TO, _IN_Q_OVERFLOW = 0x8, 0x80, 0x4000
_IN_NONBLOCK, _IN_CLOEXEC = 0o4000, 0o2000000
_EVENT = struct.Struct("iIII")


def _inotify(directory):
    """An inotify descriptor watching the folder, or None where inotify is unavailable."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or "libc.so.6", use_errno=True)
        fd = libc.inotify_init1(_IN_NONBLOCK | _IN_CLOEXEC)
    except (OSError, AttributeError):
        return None
    if fd < 0:
        return None
    # The helper renames each finished cmd.txt into place (IN_MOVED_TO); a writer that rewrites
    # it in place is seen when it closes the file (IN_CLOSE_WRITE).
    if libc.inotify_add_watch(fd, os.fsencode(directory), _IN_MOVED_TO | _IN_CLOSE_WRITE) < 0:
        os.close(fd)
        return None
    return fd


class _CmdWatch:
    def __init__(self, directory):
        self.path = os.path.join(directory, "cmd.txt")
        self.fd = _inotify(directory)
        self.notices = 0  # cmd.txt notices since the last event
        self.overflowed = False
        self.last = self._version()  # what an earlier run left is not news

    def close(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def _version(self):
        # A rename brings a new inode, a write in place new times; the content settles the rest.
        data, st = _read(self.path)
        if data is None:
            return None
        return (st.st_dev, st.st_ino, st.st_mtime_ns, st.st_ctime_ns, data)

    def _read_notices(self):
        while True:
            try:
                buf = os.read(self.fd, 16384)
            except BlockingIOError:
                return
            at = 0
            while at < len(buf):
                _, mask, _, length = _EVENT.unpack_from(buf, at)
                name = buf[at + _EVENT.size:at + _EVENT.size + length].rstrip(b"\0")
                self.overflowed |= bool(mask & _IN_Q_OVERFLOW)
                self.notices += name == b"cmd.txt"
                at += _EVENT.size + length

    def _take(self):
        now = self._version()
        # A notice that arrives after its content was already delivered (a write landing while
        # the one before it was being read) stays counted and goes with the next event, so the
        # counts add up; the same write is never delivered twice.
        if now is None or now == self.last:
            return None
        self.last = now
        # Each notice is one write, and only the last of them could still be read.
        missed = -1 if self.overflowed else max(0, self.notices - 1)
        self.notices, self.overflowed = 0, False
        return Event(now[4].decode("utf-8", "replace"), missed)

    def wait(self, timeout):
        """The next write with a content not yet delivered, or None after timeout seconds."""
        deadline = time.monotonic() + timeout
        poller = None
        if self.fd is not None:
            poller = select.poll()
            poller.register(self.fd, select.POLLIN)
        while True:
            left = max(0.0, deadline - time.monotonic())
            if poller is None:
                # Polling sees that the content changed, never how many writes it hid.
                event = self._take()
                if event or left <= 0:
                    return event
                time.sleep(min(left, _POLL_PERIOD))
                continue
            if not poller.poll(left * 1000):
                return None
            before = self.notices
            self._read_notices()
            if self.notices > before or self.overflowed:
                event = self._take()
                if event:
                    return event
            if time.monotonic() >= deadline:
                return None


# --- the helper process ------------------------------------------------------------------

def _drain(fd, chunks):
    """Appends what the pipe holds now; False once the writer has closed it."""
    while True:
        try:
            chunk = os.read(fd, 4096)
        except BlockingIOError:
            return True
        if not chunk:
            return False
        chunks.append(chunk)


class _Spawner:
    """The parent-death signal follows the thread that forks, not the process: helpers that end
    with their host are forked by this thread, which runs as long as the process."""
    _lock = threading.Lock()
    _jobs = None
    _pid = None  # a forked child of the host has no thread of its parent's: it makes its own

    @classmethod
    def run(cls, job):
        with cls._lock:
            if cls._jobs is None or cls._pid != os.getpid():
                cls._pid = os.getpid()
                import queue
                cls._jobs = queue.SimpleQueue()
                threading.Thread(target=cls._serve, name="nimbra-host spawner",
                                 daemon=True).start()
        done = threading.Event()
        outcome = []
        cls._jobs.put((job, outcome, done))
        done.wait()
        if isinstance(outcome[0], BaseException):
            raise outcome[0]
        return outcome[0]

    @classmethod
    def _serve(cls):
        while True:
            job, outcome, done = cls._jobs.get()
            try:
                outcome.append(job())
            except BaseException as e:  # handed to the caller's thread
                outcome.append(e)
            done.set()


def _child_setup(end_with_host, host):
    """Run in the child between fork and exec: C calls only."""
    # Looked up here: after the fork, another thread may hold the loader's lock.
    libc = ctypes.CDLL(None, use_errno=True)
    prctl, sigprocmask, set_handler = libc.prctl, libc.sigprocmask, libc.signal
    no_signals = ctypes.create_string_buffer(128)  # an empty sigset_t
    pr_set_pdeathsig, sig_setmask = 1, 2

    def setup():
        # Raced: the host may have ended before the signal was armed.
        if end_with_host and (prctl(pr_set_pdeathsig, int(signal.SIGTERM), 0, 0, 0) != 0
                              or os.getppid() != host):
            os._exit(127)
        # A host that blocks or ignores signals must not hand that on: SIGTERM has to end it.
        sigprocmask(sig_setmask, no_signals, None)
        for sig in range(1, signal.NSIG):
            set_handler(sig, None)  # SIG_DFL
    return setup


def _spawn(binary, directory, end_with_host):
    """Starts the helper in a process group of its own (Ctrl+C in the host's terminal is the
    host's to handle) with default signal handling; its standard error goes to a pipe."""
    import subprocess
    r, w = os.pipe()

    def run():
        # It writes nothing to standard output, and must not hold the host's output open.
        return subprocess.Popen([binary, "-Dir", directory], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=w, close_fds=True,
                                process_group=0,
                                preexec_fn=_child_setup(end_with_host, os.getpid()))
    try:
        child = _Spawner.run(run) if end_with_host else run()
    except OSError as e:
        os.close(r)
        raise StartError(f"cannot run {binary}: {e.strerror}") from e
    finally:
        os.close(w)
    # Collected by _reap, as every helper is: the object must not look for it again.
    child.returncode = 0
    os.set_blocking(r, False)
    return child.pid, r


def _reap(pid):
    """The exit status once pid has ended (128 + n for signal n), else None."""
    try:
        done, raw = os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        return 128
    if done == 0:
        return None
    return os.WEXITSTATUS(raw) if os.WIFEXITED(raw) else 128 + os.WTERMSIG(raw)


class Helper:
    """A helper serving one work directory. start() makes one; stop() ends it."""

    def __init__(self, directory, child, watch):
        self.dir = directory
        self._child = child  # our own process until it has been collected
        self._started = time.monotonic()
        self._watch = watch

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self._watch.close()

    def _collect(self):
        if self._child is not None and _reap(self._child) is not None:
            self._child = None

    def _serving(self):
        """Every process serving the folder that may be signalled: our child, and the helper
        the heartbeat names (another one, when ours left the folder to it)."""
        self._collect()
        pids = [] if self._child is None else [self._child]
        record = _heartbeat(self.dir)
        if record and record[0] != self._child and _alive(record[0]) \
                and _is_helper_process(record[0]):
            pids.append(record[0])
        return pids

    def set_wheel(self, wheel):
        """Rewrites wheel.cfg atomically with a modification time newer than the last one, so
        the helper reloads it at its next tick even when two writes fall in the same second."""
        _write_atomically(self.dir, "wheel.cfg", wheel.to_cfg(), newer=True)

    def next_event(self, timeout=None):
        """The next write of cmd.txt as an Event; None when the timeout (seconds) passes or the
        helper has ended (after every write it made has been delivered)."""
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            # Wake now and then to see whether the helper is still there.
            left = 0.5 if deadline is None else min(0.5, max(0.0, deadline - time.monotonic()))
            event = self._watch.wait(left)
            if event:
                return event
            if not self._serving():
                return self._watch.wait(0)  # whatever it wrote before it went
            if deadline is not None and time.monotonic() >= deadline:
                return None

    def events(self):
        """Every write of cmd.txt, as it happens, until the helper ends."""
        while (event := self.next_event()) is not None:
            yield event

    def needs_permission(self):
        """need_access.txt holds "1": the desktop refuses the input permission."""
        data, _ = _read(os.path.join(self.dir, "need_access.txt"))
        return data is not None and data.strip() == b"1"

    def healthy(self):
        """The serving helper's heartbeat is under 5 s old and its process alive (a helper just
        started counts until its first heartbeat is due)."""
        self._collect()
        if _fresh(_heartbeat(self.dir)):
            return True
        return self._child is not None and time.monotonic() - self._started < STALE_AFTER_MS / 1000

    def stop(self, timeout=5.0):
        """Creates stop.txt and waits for the helper to exit and remove pid.txt. After timeout
        seconds it is sent SIGTERM (and SIGCONT, should it be stopped). True when it ended on
        request; False when it had to be terminated or was not running any more."""
        pids = self._serving()
        if not pids:
            return False  # nothing ended on this request
        try:
            os.close(os.open(os.path.join(self.dir, "stop.txt"), os.O_WRONLY | os.O_CREAT, 0o644))
        except OSError:
            pass  # SIGTERM after the timeout still ends it
        child = self._child

        def gone():
            self._collect()
            return not any(self._child is not None if pid == child else _alive(pid) for pid in pids)

        def wait_gone(limit):
            end = time.monotonic() + limit
            while not gone():
                if time.monotonic() >= end:
                    return False
                time.sleep(_POLL_PERIOD)
            return True

        if wait_gone(timeout):
            return True
        for pid in pids:
            # SIGCONT lets a stopped helper act on the SIGTERM at all.
            for sig in (signal.SIGTERM, signal.SIGCONT):
                try:
                    os.kill(pid, sig)
                except ProcessLookupError:
                    pass
        if not wait_gone(_TERM_GRACE):
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            wait_gone(_TERM_GRACE)
        return False


def _lock_holder(directory):
    """The process holding a lock on directory/helper.lock, as /proc/locks lists it; or None."""
    try:
        st = os.stat(os.path.join(directory, "helper.lock"), follow_symlinks=False)
        with open("/proc/locks") as locks:
            listed = locks.read().splitlines()
    except OSError:
        return None
    if not stat.S_ISREG(st.st_mode):
        return None
    # "1: POSIX  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; "1: -> ..." is a waiter.
    for line in listed:
        fields = line.split()
        if len(fields) >= 6 and fields[1] == "POSIX" and fields[4].isdigit():
            try:
                major, minor, inode = fields[5].split(":")
                file = (int(major, 16), int(minor, 16), int(inode))
            except ValueError:
                continue
            if file == (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino):
                return int(fields[4])
    return None


def _serving_helper(directory):
    """The helper serving the folder, by its lock or a fresh heartbeat of a live nimbra-wheel;
    None when none does."""
    holder = _lock_holder(directory)
    record = _heartbeat(directory)
    stale = record is not None and _now_ms() - record[1] >= STALE_AFTER_MS
    if holder:
        # A holder whose own record has gone stale is wedged: a new helper takes over from it.
        return None if stale and record[0] == holder else holder
    return record[0] if _fresh(record) and _is_helper_process(record[0]) else None


def _served_by(directory, pid):
    return StartError(f"{directory} is served by the helper of another host (pid {pid}); "
                      "join it with join=True", 0, "", pid)


def _usable_folder(directory):
    """The folder as text, made if missing; StartError when it cannot be one, before anything
    is created."""
    if isinstance(directory, os.PathLike):
        directory = os.fspath(directory)
    if not isinstance(directory, str):
        raise TypeError(f"the work directory must be a str or a path, not {type(directory)}")
    if os.path.lexists(directory) and not os.path.isdir(directory):
        raise StartError(f"{directory} is not a folder")
    if not os.path.isdir(directory):
        try:
            os.makedirs(directory)
        except OSError as e:
            raise StartError(f"cannot make the folder {directory}: {e.strerror}") from e
    elif not os.access(directory, os.W_OK | os.X_OK):
        raise StartError(f"{directory} is not writable")
    return directory


def start(directory, wheel, helper=None, timeout=5.0, join=False, end_with_host=True):
    """Creates the folder if needed, writes wheel.cfg, starts the helper on it and returns a
    Helper once it serves the folder.

    A folder another helper serves (another host's) is refused with StartError, its wheel.cfg
    left as it was; with join, the new wheel replaces its wheel and the Helper drives that
    helper. The helper gets SIGTERM when this process ends, however it ends, unless
    end_with_host is False. Raises StartError (the helper refused or did not start in time, the
    folder is served, or it is not a folder one can write: a file, a dangling link, read-only),
    WheelError, or TypeError for a path that is not text (bytes)."""
    cfg = wheel.to_cfg()
    directory = _usable_folder(directory)
    serving = _serving_helper(directory)
    if serving and not join:
        raise _served_by(directory, serving)
    # Watching before the helper runs, so that not even its first opening is missed.
    watch = _CmdWatch(directory)
    _write_atomically(directory, "wheel.cfg", cfg, newer=True)
    log_path = os.path.join(directory, "log.txt")
    try:
        log_start = os.stat(log_path).st_size
    except OSError:
        log_start = 0
    binary = helper or default_helper()
    try:
        pid, err = _spawn(binary, directory, end_with_host)
    except BaseException:
        watch.close()
        raise
    started = f"] helper starting, pid {pid}, dir ".encode()
    chunks = []
    err_open = True
    deadline = time.monotonic() + timeout
    try:
        while True:
            err_open = err_open and _drain(err, chunks)
            status = _reap(pid)
            if status is not None:
                while _drain(err, chunks):
                    pass
                message = b"".join(chunks).decode("utf-8", "replace").strip()
                if status != 0:
                    raise StartError(f"{binary} exited with status {status}: {message}", status,
                                     message)
                # Status 0 at once: it found a healthy helper serving the folder (one that
                # came since the look above) and left it to that one.
                while not _fresh(record := _heartbeat(directory)):
                    if time.monotonic() >= deadline:
                        raise StartError(f"{binary} exited at once, and no helper serves "
                                         f"{directory}", 0, message)
                    time.sleep(_POLL_PERIOD)
                if not join:
                    raise _served_by(directory, record[0])
                return Helper(directory, None, watch)
            # It serves once it has logged its wheel: by then it has removed any stale stop.txt,
            # so a stop() that follows at once is not lost.
            log, _ = _read(log_path, log_start)
            at = log.find(started) if log else -1
            record = _heartbeat(directory)
            if (at >= 0 and log.find(b"] config: ", at) >= 0) or (record and record[0] == pid):
                return Helper(directory, pid, watch)
            if time.monotonic() >= deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                message = b"".join(chunks).decode("utf-8", "replace").strip()
                raise StartError(f"{binary} did not start within {timeout} s", -1, message)
            select.select([err] if err_open else [], [], [], _POLL_PERIOD)
    except BaseException:
        watch.close()
        raise
    finally:
        # From here on it tells log.txt, not standard error; it ignores SIGPIPE.
        os.close(err)


def write_cmd(directory, command):
    """For a host's own tests, without a display or a helper: replaces directory/cmd.txt by
    command as the helper does (a finished file renamed over the name), so a Helper on the
    folder reports it. OPEN is what the helper writes when the wheel opens."""
    _write_atomically(os.fspath(directory), "cmd.txt", command, newer=False)
