#!/usr/bin/python3
"""Reads the window as a screen reader does, over AT-SPI: the controls' names, a category's
label, hits' names and descriptions, the table of rows, expand and collapse as actions,
the selection following a click and the Down key, and the previewed text."""
import subprocess
import sys
import time

import pyatspi

TIMEOUT = float(sys.argv[1]) if len(sys.argv) > 1 else 20


def check(ok, message):
    if not ok:
        print("FAIL: " + message, file=sys.stderr)
        sys.exit(1)


def poll(what, probe):
    deadline = time.time() + TIMEOUT
    while time.time() < deadline:
        try:
            found = probe()
        except Exception:  # objects come and go while the window builds itself
            found = None
        if found:
            return found
        time.sleep(0.2)
    check(False, "timed out waiting for " + what)


def walk(acc, depth=0):
    """Everything below acc, but not into the preview's web document."""
    if acc is None or depth > 12:
        return
    yield acc
    if acc.getRoleName() not in ("document web", "document frame"):
        for child in acc:
            yield from walk(child, depth + 1)


def app():
    return next((a for a in pyatspi.Registry.getDesktop(0) if a and a.name.lower() == "findlark"), None)


def first(role, predicate=lambda a: True):
    return next((a for a in walk(app()) if a.getRoleName() == role and predicate(a)), None)


def has(acc, state):
    return acc.getState().contains(state)


def act(acc, name):
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check(name in names, "%r offers %r" % (acc.name, names))
    action.doAction(names.index(name))


poll("the application", app)
poll("the final status", lambda: first("label", lambda a: a.name.startswith("Search complete")))
tree = poll("the results tree", lambda: first("tree"))
check(tree.name == "Results", "the results tree is named %r" % tree.name)
check(first("text", lambda a: a.name == "Search for"), "no text named 'Search for'")
docs = poll("the Documents node", lambda: tree[0] if tree.childCount == 13 else None)
# Qt's bridge reports tree items as table cells.
check(docs.getRoleName() in ("tree item", "table cell") and docs.name == "Documents (3)",
      "first category reads %r as %r" % (docs.name, docs.getRoleName()))
check(tree[2].name == "Music (1)", "third category reads %r" % tree[2].name)
names = [docs[i].name for i in range(docs.childCount)]
check(names == ["budget plan", "plan", "plan"], "Documents holds %r" % names)
# Two hits of one name are told apart by their descriptions, which start with their paths.
described = sorted(docs[i].description.split("\n")[0] for i in (1, 2))
check(described[0].endswith("/files/plan.txt") and described[1].endswith("/files/sub/plan.txt"),
      "the two plans are described as %r" % described)
check(tree.queryTable().nRows == 13 + 3 + 1 + 1, "the table has %d rows" % tree.queryTable().nRows)

# Collapsing and expanding through the node's actions. (Qt 6.4's bridge passes on no event for
# either; the window test checks that the window sends them.)
act(docs, "collapse")
poll("Documents to collapse", lambda: docs.childCount == 0)
act(docs, "expand")
poll("Documents to expand", lambda: docs.childCount == 3)

first_hit, second_hit = docs[0], docs[1]
x, y, w, h = first_hit.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"], check=True)
poll("the clicked hit to be selected", lambda: has(first_hit, pyatspi.STATE_SELECTED))
subprocess.run(["xdotool", "key", "Down"], check=True)
poll("the selection to move down",
     lambda: has(second_hit, pyatspi.STATE_SELECTED) and not has(first_hit, pyatspi.STATE_SELECTED))
check(has(second_hit, pyatspi.STATE_FOCUSED), "the selected hit is not focused")

# The selected plan is previewed, and its text can be read.
preview = poll("the previewed text", lambda: first(
    "text", lambda a: a.name == "Preview" and a.queryText().characterCount > 0))
text = preview.queryText().getText(0, -1)
check(text.strip() in ("Larks sing over the harbour.", "Another plan."), "the preview reads %r" % text)

# A web page in the preview: the browser engine's own hidden window is not listed.
page = poll("the page hit", lambda: tree[4][0] if tree[4].childCount == 1 else None)
act(page, "SetFocus")
poll("the page in the preview", lambda: first("document web"))
time.sleep(1)
check([a.name for a in app()] == ["Findlark"], "the application lists %r" % [a.name for a in app()])
print("read %r, %r; selection moved to %r" % (docs.name, first_hit.name, second_hit.name))
