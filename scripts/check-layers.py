#!/usr/bin/env python3
"""Lists the project includes of every source file and fails on one that
reaches up a layer.

The client's layers, bottom first: runtime/ <- ppp/ <- src/ (the tunnel core)
<- client/. A folder may include its own headers and those of the layers
below it; include/ holds the contracts the core shares with the route
service. The service uses runtime/ at most and nothing of the client; the
test gateway uses nothing of the product, the window probe the client's
resource ids only. A test group may include what the layer it tests may
include, plus tests/support/.

    scripts/check-layers.py          upward includes only (exit 1 if any)
    scripts/check-layers.py --list   every file's project includes as well
"""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))

# What each folder may include, its own folder always counted.
RUNTIME = ["runtime"]
PPP = RUNTIME + ["ppp"]
CORE = PPP + ["src", "include"]
CLIENT = CORE + ["client"]
ALLOWED = {
    "runtime": RUNTIME,
    "ppp": PPP,
    "src": CORE,
    "client": CLIENT,
    "include": ["include"],
    "service": ["service", "include", "runtime"],
    "tools/gateway": ["tools/gateway"],
    "tools/wine_gui": ["client"],  # the window probe takes the menu ids from the client
    "tests/runtime": RUNTIME + ["tests/support"],
    "tests/ppp": PPP + ["tests/support"],
    "tests/core": CORE + ["tests/support"],
    "tests/client": CLIENT + ["tests/support"],
    "tests/service": ["service", "include", "runtime", "tests/support"],
    "tests/support": CLIENT + ["tests/support"],
    "tests/bench": CORE + ["tests/support"],
    # Fuzzers of the PPP engine, of the core's loader, of the route
    # service's undo-file reader and of its command handler (with the
    # service tests' fake operations).
    "tests/fuzz": CORE + ["service", "tests/service"],
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
SOURCE = (".h", ".hpp", ".c", ".cpp")


def files_of(folder):
    path = os.path.join(ROOT, folder)
    if not os.path.isdir(path):
        return []
    return sorted(os.path.join(folder, n) for n in os.listdir(path)
                  if n.endswith(SOURCE) and os.path.isfile(os.path.join(path, n)))


def main():
    listing = "--list" in sys.argv[1:]
    folders = sorted(ALLOWED)
    # Header name -> the folders holding a file of that name.
    where = {}
    for folder in folders:
        for f in files_of(folder):
            where.setdefault(os.path.basename(f), []).append(folder)

    upward = []
    count = 0
    for folder in folders:
        for f in files_of(folder):
            with open(os.path.join(ROOT, f), encoding="utf-8", errors="replace") as fh:
                names = INCLUDE.findall(fh.read())
            targets = []
            for name in names:
                if "/" in name:
                    full = os.path.normpath(os.path.join(folder, name))
                    homes = [os.path.dirname(full)] if os.path.isfile(os.path.join(ROOT, full)) else []
                elif os.path.isfile(os.path.join(ROOT, folder, name)):
                    homes = [folder]
                else:
                    homes = where.get(name, [])
                if not homes:
                    continue  # not a project header (generated, system)
                count += 1
                targets.append("%s (%s)" % (name, "|".join(homes)))
                if not any(h == folder or h in ALLOWED[folder] for h in homes):
                    upward.append("%s: includes %s from %s, above its layer" %
                                  (f, name, " or ".join(homes)))
            if listing:
                print("%s: %s" % (f, ", ".join(targets) if targets else "-"))

    for line in upward:
        print("check-layers: " + line)
    print("check-layers: %d project includes, %d upward" % (count, len(upward)))
    return 1 if upward else 0


if __name__ == "__main__":
    sys.exit(main())
