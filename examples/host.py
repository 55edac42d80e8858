#!/usr/bin/env python3
"""A host application in a few lines: shows a wheel and prints every pick until Ctrl+C, or
until the helper ends (stop.txt in the work directory).

    python3 examples/host.py [--dir DIR] [--helper PATH/TO/nimbra-wheel]
"""
import argparse
import os
import sys
import tempfile

try:
    import nimbra_host as nh
except ImportError:  # not installed: the module from the source tree
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path.insert(0, os.path.join(here, "..", "host", "python"))
    import nimbra_host as nh

WHEEL = nh.Wheel(hold_ms=350, segments=[
    nh.Segment("Edit", "#3a7", [nh.Tool("Copy", "copy"), nh.Tool("Paste plain", "paste|plain")]),
    nh.Segment("Place", "#ff8800", [nh.Tool.anchor("Top left", 0, 0),
                                    nh.Tool.anchor("Centre", 0.5, 0.5),
                                    nh.Tool.anchor("Bottom right", 1, 1)]),
    nh.Segment("View", "#9c6ade", [nh.Tool("Zoom in", "zoom +"), nh.Tool("Zoom out", "zoom -")]),
])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", help="work directory (default: a new one under /tmp)")
    parser.add_argument("--helper", help="the nimbra-wheel to run (default: the installed one)")
    args = parser.parse_args()
    directory = args.dir or tempfile.mkdtemp(prefix="nimbra-host-")
    with nh.start(directory, WHEEL, helper=args.helper) as helper:
        print(f"nimbra-wheel serves {directory}: hold the right mouse button or press "
              "Super+Alt+W, then pick a tool. Ctrl+C stops.", flush=True)
        try:
            for event in helper.events():
                if event.missed:
                    print(f"({event.missed} earlier writes were replaced before they were read)")
                print("wheel opened" if event.is_open else f"picked: {event.command}", flush=True)
        except KeyboardInterrupt:
            pass
    print("the helper has ended")


if __name__ == "__main__":
    main()
