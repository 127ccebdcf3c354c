#!/usr/bin/python3
"""Counts the wineserver requests of each contender's tree deletion.

  server_requests.py TRACE

TRACE is what a wineserver started with -d1 wrote to its stderr while
`bench tree-requests` ran: one line per request ("0024: open_key( ... )") and one per reply
("0024: open_key() = 0 { ... }"). Between the marker lookups
"InstTMModBench-mark-start-NAME" and "...-end-NAME", the requests of the
marker's thread are counted. Prints "result requests NAME COUNT" per
contender, and the count of each kind of request for the log.
"""

import collections
import re
import sys

REQUEST = re.compile(r"^([0-9a-f]+): (\w+)\(")
MARK = re.compile(r"InstTMModBench-mark-(start|end)-(\w+)")


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 64
    counts = {}
    current = thread = None
    with open(argv[1], encoding="utf-8", errors="replace") as f:
        for line in f:
            request = REQUEST.match(line)
            if not request or ") = " in line:
                continue  # a reply, or not a request line at all
            mark = MARK.search(line)
            if mark:
                if mark.group(1) == "start":
                    current, thread = mark.group(2), request.group(1)
                    counts[current] = collections.Counter()
                else:
                    current = None
                continue
            if current and request.group(1) == thread:
                counts[current][request.group(2)] += 1
    if not counts:
        print(f"server_requests.py: no markers in {argv[1]}", file=sys.stderr)
        return 1
    for name, kinds in counts.items():
        print(f"result requests {name} {sum(kinds.values())}")
        print(f"  {name}: " + ", ".join(f"{k} {n}" for k, n in sorted(kinds.items())))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
