"""The Python module nimbra_host against the real helper (NIMBRA_BINARY), headless."""
import errno
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

import nimbra_host as nh

HELPER = os.environ["NIMBRA_BINARY"]
os.environ.pop("DISPLAY", None)
os.environ.pop("WAYLAND_DISPLAY", None)


def eventually(done, deadline=5.0):
    end = time.monotonic() + deadline
    while not done():
        if time.monotonic() >= end:
            return False
        time.sleep(0.002)
    return True


def gone(pid):  # a zombie has ended
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def one_tool_wheel():
    return nh.Wheel([nh.Segment("Edit", "#3a7", [nh.Tool("Copy", "copy")])], hold_ms=120)


class HostTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.dir = self.tmp.name

    def tearDown(self):
        # A helper a failed test left running would outlive its folder.
        record = Path(self.file("pid.txt"))
        pid = record.read_text().split("|")[0] if record.exists() else ""
        if pid.isdigit() and not gone(pid):
            open(self.file("stop.txt"), "w").close()
            eventually(lambda: not os.path.exists(self.file("pid.txt")))
        self.tmp.cleanup()

    def file(self, name):
        return os.path.join(self.dir, name)

    def logged(self, message):
        return message in Path(self.file("log.txt")).read_text()

    def heartbeat_pid(self):
        eventually(lambda: os.path.exists(self.file("pid.txt")))
        return int(Path(self.file("pid.txt")).read_text().split("|")[0])

    def start(self, helper=HELPER):
        return nh.start(self.dir, one_tool_wheel(), helper=helper)


    def test_refuses_what_the_helper_would_read_differently_and_writes_the_rest(self):
        def tool(command):
            return nh.Segment("E", "#fff", [nh.Tool("C", command)])

        cases = [(nh.Segment("Cut|Copy", "#fff"), 'segment 0 "Cut|Copy"'),
                 (nh.Segment("E", "#fff", [nh.Tool("A|B", "x")]), 'tool "A|B"'),
                 (nh.Segment("E", "red"), 'colour "red"'), (None, "no segment")]
        # A broken bar, a trailing tab, an opening, a lone surrogate.
        cases += [(tool(c), 'tool "C"') for c in ("a\u00a6b", "copy\t", "~open", "\ud800")]
        for segment, item in cases:
            with self.subTest(item), self.assertRaisesRegex(nh.WheelError, re.escape(item)):
                nh.Wheel([segment] if segment else []).to_cfg()
        # What the helper would cut, skip or never see as a number.
        for field, value in (("hold_ms", 300.7), ("size", True), ("size", 10**30),
                             ("hold_ms", 2**63), ("size", "200")):
            with self.subTest(field=field, value=value), \
                    self.assertRaisesRegex(nh.WheelError, field):
                nh.Wheel([nh.Segment("E", "#fff")], **{field: value}).to_cfg()
        self.assertIn("HOLD|9223372036854775807\n",
                      nh.Wheel([nh.Segment("E", "#fff")], hold_ms=2**63 - 1).to_cfg())
        # Bars in commands are written as broken bars, anchors as anchor commands.
        wheel = nh.Wheel([
            nh.Segment("Edit", "#3a7", [nh.Tool("Paste plain", "paste|plain")]),
            nh.Segment("Place", "ff8800", [nh.Tool.anchor("End", 1, 1)]),
        ], hold_ms=350)
        self.assertEqual(wheel.to_cfg(),
                         "HOLD|350\nSEG|Edit|#3a7\nTOOL|Paste plain|paste\u00a6plain\n"
                         "SEG|Place|ff8800\nTOOL|End|anchor:1,1\n")

    def test_start_refuses_with_the_helpers_status_or_returns_once_it_serves_until_stop(self):
        wrapper = self.file("helper-elsewhere")  # the real helper, pointed at a missing folder
        Path(wrapper).write_text(f"#!/bin/sh\nexec '{HELPER}' -Dir \"$2/missing\"\n")
        os.chmod(wrapper, 0o755)
        with self.assertRaises(nh.StartError) as caught:
            self.start(helper=wrapper)
        self.assertEqual(caught.exception.status, 2)
        self.assertIn("/missing", caught.exception.message)
        with self.start() as helper:
            self.assertTrue(helper.healthy())
            self.assertFalse(helper.needs_permission())
            # At once: the request must not be taken for a stale one and removed as it starts.
            self.assertTrue(helper.stop())
            self.assertFalse(os.path.exists(self.file("pid.txt")))
            self.assertFalse(helper.stop(), "nothing was running to end on request")
            self.assertIsNone(helper.next_event(60), "the events end with the helper")

    def test_missed_writes_are_counted_a_new_wheel_is_seen_and_a_second_start_joins(self):
        helper = self.start()
        serving = self.heartbeat_pid()
        for i in range(50):
            nh.write_cmd(self.dir, f"burst {i}")
        self.assertEqual(helper.next_event(10), nh.Event("burst 49", missed=49))
        # A later time on the old file stands for a file system whose clock ticks coarser than
        # the writes come: a new file stamped "now" would not read as newer.
        ahead = os.stat(self.file("wheel.cfg")).st_mtime_ns + 60 * 10**9
        os.utime(self.file("wheel.cfg"), ns=(ahead, ahead))
        wheel = one_tool_wheel()
        wheel.segments.append(nh.Segment("View", "#9c6ade", [nh.Tool("Zoom", "zoom")]))
        real_write = os.write
        with mock.patch.object(nh.os, "write", lambda fd, data: real_write(fd, data[:10])):
            helper.set_wheel(wheel)  # a write that takes part of what it is given
        self.assertEqual(Path(self.file("wheel.cfg")).read_text(), wheel.to_cfg())
        self.assertTrue(eventually(lambda: self.logged("config reloaded: 2 sections")))

        def full_disk(fd, data):
            raise OSError(errno.ENOSPC, "No space left on device")
        with mock.patch.object(nh.os, "write", full_disk), self.assertRaises(OSError):
            helper.set_wheel(one_tool_wheel())
        self.assertEqual(Path(self.file("wheel.cfg")).read_text(), wheel.to_cfg())
        with self.assertRaisesRegex(nh.StartError, re.escape(self.dir)) as caught:
            self.start()
        self.assertEqual(caught.exception.serving_pid, serving)
        self.assertEqual(Path(self.file("wheel.cfg")).read_text(), wheel.to_cfg())
        second = nh.start(self.dir, one_tool_wheel(), helper=HELPER, join=True)
        self.assertTrue(second.stop())
        self.assertFalse(helper.healthy())  # which also collects its child
        self.assertTrue(gone(serving))

    def test_without_inotify_writes_are_polled_and_stop_kills_a_wedged_helper(self):
        with mock.patch.object(nh, "_inotify", lambda directory: None):
            helper = self.start()
        for content in ("~open", "~/bin/tool"):  # only the exact "~open" is an opening
            nh.write_cmd(self.dir, content)
            event = helper.next_event(10)
            self.assertEqual((event, event.is_open), (nh.Event(content), content == "~open"))
        pid = self.heartbeat_pid()
        # The heartbeat's spare file, there from the second beat on, goes only on a SIGTERM.
        spare_left = lambda: any(n.startswith(".pid.txt.") for n in os.listdir(self.dir))
        self.assertTrue(eventually(spare_left))
        os.kill(pid, signal.SIGSTOP)
        # With its record stale, a start on the folder is no take-over of another host's helper.
        Path(self.file("pid.txt")).write_text(f"{pid}|{time.time_ns() // 10**6 - 9000}")
        second = self.start()
        self.assertFalse(helper.stop(0.3))
        self.assertTrue(gone(pid))
        self.assertFalse(spare_left(), "killed, never woken to act on the SIGTERM")

    def test_start_refuses_a_folder_it_cannot_use_before_making_anything(self):
        Path(self.file("file")).write_text("")
        os.symlink(self.file("nowhere"), self.file("dangling"))
        cases = [(self.file("file"), nh.StartError), (self.file("dangling"), nh.StartError),
                 (os.fsencode(self.file("bytes")), TypeError)]
        if os.geteuid() != 0:  # root writes anywhere
            os.mkdir(self.file("read-only"), 0o555)
            cases.append((self.file("read-only"), nh.StartError))
        for path, error in cases:
            with self.subTest(path=path), self.assertRaises(error):
                nh.start(path, one_tool_wheel(), helper=HELPER)
        self.assertEqual(sorted(os.listdir(self.dir)), sorted(["file", "dangling"] + (
            ["read-only"] if os.geteuid() != 0 else [])))

    def test_a_helper_ends_with_its_host_however_it_ends_unless_the_host_opts_out(self):
        # The host starts its helper from a thread that ends at once, then is killed.
        host = ("import sys, threading, nimbra_host as nh\n"
                "wheel = nh.Wheel([nh.Segment('E', '#fff', [nh.Tool('C', 'c')])])\n"
                "kept = []\n"
                "t = threading.Thread(target=lambda: kept.append(nh.start(sys.argv[1], wheel, "
                "helper=sys.argv[2], end_with_host=sys.argv[3] == '1')))\n"
                "t.start(); t.join(); print(kept[0].dir, flush=True); sys.stdin.read()\n")
        for end_with_host in (True, False):
            with self.subTest(end_with_host=end_with_host):
                Path(self.file("pid.txt")).unlink(missing_ok=True)
                with subprocess.Popen([sys.executable, "-c", host, self.dir, HELPER,
                                       "1" if end_with_host else "0"],
                                      stdin=subprocess.PIPE, stdout=subprocess.PIPE) as child:
                    self.assertEqual(child.stdout.readline().decode().strip(), self.dir)
                    helper = self.heartbeat_pid()
                    beat = Path(self.file("pid.txt")).read_text()
                    self.assertFalse(gone(helper), "ended with the thread that started it")
                    child.kill()
                if end_with_host:
                    self.assertTrue(eventually(lambda: gone(helper)))
                else:  # it beats on
                    self.assertTrue(eventually(
                        lambda: Path(self.file("pid.txt")).read_text() != beat))
                    open(self.file("stop.txt"), "w").close()
                    self.assertTrue(eventually(lambda: gone(helper)))


if __name__ == "__main__":
    unittest.main()
