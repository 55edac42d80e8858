#!/usr/bin/env python3
"""Checks mutants/faults.py against a checkout: ids unique, every old text present (in order,
as run.py applies them), unique in its file, and each mutant changing the file.

Usage: check.py [REPO] [MUTANTS.py]   (defaults: the checkout holding this file, its faults.py)
Mutants listed in EXAMPLES are reported but not failed when stale: they are kept unchanged.
"""
import runpy
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
repo = os.path.abspath(sys.argv[1]) if len(sys.argv) > 1 else os.path.dirname(here)
path = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "faults.py")
mutants = runpy.run_path(path)["M"]

LABELS = {"files", "config", "wheel", "input", "app", "platform", "e2e", "x11", "host"}
EXAMPLES = 35  # the first entries, copied from the shared examples

problems, stale_examples, ids = [], [], set()
for n, entry in enumerate(mutants):
    mid, file, reps, labels, desc = entry
    example = n < EXAMPLES
    if mid in ids:
        problems.append("%s: duplicate id" % mid)
    ids.add(mid)
    bad_labels = set(labels.split("|")) - LABELS
    if bad_labels:
        problems.append("%s: unknown labels %s" % (mid, sorted(bad_labels)))
    full = os.path.join(repo, file)
    if not os.path.exists(full):
        (stale_examples if example else problems).append("%s: no file %s" % (mid, file))
        continue
    orig = open(full).read()
    missing = [old for old, _ in reps if old not in orig]
    if missing:
        (stale_examples if example else problems).append(
            "%s: old text not in %s: %r" % (mid, file, missing[0][:70]))
        continue
    mutated = orig
    for old, new in reps:
        if not example and orig.count(old) != 1:
            problems.append("%s: old text occurs %d times in %s" % (mid, orig.count(old), file))
        if old not in mutated:
            problems.append("%s: old text gone after the earlier replacements" % mid)
        mutated = mutated.replace(old, new, 1)
    if mutated == orig:
        problems.append("%s: changes nothing" % mid)

print("%d mutants, %d own, %d ids" % (len(mutants), len(mutants) - EXAMPLES, len(ids)))
for s in stale_examples:
    print("stale example (kept as is): " + s)
for p in problems:
    print("PROBLEM: " + p)
sys.exit(1 if problems else 0)
