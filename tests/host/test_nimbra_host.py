"""The Python module nimbra_host against the real helper (NIMBRA_BINARY), headless."""
import os
import re
import signal
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


def gone(pid):
    return not os.path.exists(f"/proc/{pid}")


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

    def write_cmd_like_the_helper(self, content):
        Path(self.file(".cmd.txt.new")).write_text(content)
        os.rename(self.file(".cmd.txt.new"), self.file("cmd.txt"))

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
            self.assertIsNone(helper.next_event(60), "the events end with the helper")

    def test_missed_writes_are_counted_a_new_wheel_is_seen_and_a_second_start_joins(self):
        helper = self.start()
        serving = self.heartbeat_pid()
        for i in range(50):
            self.write_cmd_like_the_helper(f"burst {i}")
        self.assertEqual(helper.next_event(10), nh.Event("burst 49", missed=49))
        # A later time on the old file stands for a file system whose clock ticks coarser than
        # the writes come: a new file stamped "now" would not read as newer.
        ahead = os.stat(self.file("wheel.cfg")).st_mtime_ns + 60 * 10**9
        os.utime(self.file("wheel.cfg"), ns=(ahead, ahead))
        wheel = one_tool_wheel()
        wheel.segments.append(nh.Segment("View", "#9c6ade", [nh.Tool("Zoom", "zoom")]))
        helper.set_wheel(wheel)
        self.assertTrue(eventually(lambda: self.logged("config reloaded: 2 sections")))
        second = self.start()  # finds the helper healthy and serving the folder
        self.assertTrue(eventually(lambda: self.logged("healthy helper already running")))
        self.assertTrue(second.stop())
        self.assertFalse(helper.healthy())  # which also collects its child
        self.assertTrue(gone(serving))

    def test_without_inotify_writes_are_polled_and_stop_kills_a_wedged_helper(self):
        with mock.patch.object(nh, "_inotify", lambda directory: None):
            helper = self.start()
        for content in ("~open", "~/bin/tool"):  # only the exact "~open" is an opening
            self.write_cmd_like_the_helper(content)
            event = helper.next_event(10)
            self.assertEqual((event, event.is_open), (nh.Event(content), content == "~open"))
        pid = self.heartbeat_pid()
        # The heartbeat's spare file, there from the second beat on, goes only on a SIGTERM.
        spare_left = lambda: any(n.startswith(".pid.txt.") for n in os.listdir(self.dir))
        self.assertTrue(eventually(spare_left))
        os.kill(pid, signal.SIGSTOP)
        self.assertFalse(helper.stop(0.3))
        self.assertTrue(gone(pid))
        self.assertFalse(spare_left(), "killed, never woken to act on the SIGTERM")


if __name__ == "__main__":
    unittest.main()
