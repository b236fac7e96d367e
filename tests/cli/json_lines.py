#!/usr/bin/env python3
# Reads findlark-cli's JSON lines with Python's own parser and prints, for each, the exact bytes
# of the name and the line (from the base64 field when there is one), category, size, date and
# the keys. It also checks that the lossy text is what the bytes give with U+FFFD for each bad
# byte, that no base64 field comes with valid UTF-8, and that no control character is written
# raw (a terminal would act on it).
import base64
import json
import sys

for text in sys.stdin.buffer.read().split(b"\n")[:-1]:
    assert not any(c < 32 or c == 127 for c in text) and b"\xc2\x9b" not in text, text
    o = json.loads(text)

    def exact(name):
        if o.get(name) is None:
            return None
        raw = o[name].encode()
        if name + "_base64" in o:
            raw = base64.b64decode(o[name + "_base64"], validate=True)
            assert raw.decode("utf-8", "replace") == o[name], name
            assert raw != o[name].encode(), name
        return raw

    print(repr(exact("path").rsplit(b"/", 1)[1]), o["category"], o["size"], o["modified"],
          repr(exact("line")), sorted(o))
