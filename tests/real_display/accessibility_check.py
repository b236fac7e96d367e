#!/usr/bin/python3
# Reads the window as a screen reader does, over AT-SPI: the controls' names, a category's
# label, hits' names and descriptions, the table of rows, expand and collapse as actions,
# the selection following a click and the Down key, and the previewed text. $1: the timeout.
import subprocess
import sys
import time

import pyatspi

SELECTED, FOCUSED = pyatspi.STATE_SELECTED, pyatspi.STATE_FOCUSED


def check(ok, message):
    if not ok:
        sys.exit("FAIL: " + message)


def poll(what, probe):
    deadline = time.time() + float(sys.argv[1])
    while time.time() < deadline:
        try:
            found = probe()
        except Exception:  # objects come and go while the window builds itself
            found = None
        if found:
            return found
        time.sleep(0.2)
    check(False, "timed out waiting for " + what)


# Everything below acc, but not into the preview's web document.
def walk(acc, depth=0):
    if acc is not None and depth <= 12:
        yield acc
        if acc.getRoleName() not in ("document web", "document frame"):
            for child in acc:
                yield from walk(child, depth + 1)


def app():
    return next((a for a in pyatspi.Registry.getDesktop(0) if a and a.name.lower() == "findlark"), None)


def first(role, predicate=lambda a: True):
    return next((a for a in walk(app()) if a.getRoleName() == role and predicate(a)), None)


def act(acc, name):
    names = [acc.queryAction().getName(i) for i in range(acc.queryAction().nActions)]
    check(name in names, "%r offers %r" % (acc.name, names))
    acc.queryAction().doAction(names.index(name))


poll("the final status", lambda: first("label", lambda a: a.name.startswith("Search complete")))
poll("the final status told to a reader", lambda: first(
    "notification", lambda a: a.name.startswith("Search complete") and a.getState().contains(pyatspi.STATE_SHOWING)))
tree = poll("the results tree", lambda: first("tree"))
check(tree.name == "Results", "the results tree is named %r" % tree.name)
check(first("text", lambda a: a.name == "Search for"), "no text named 'Search for'")
docs = poll("the Documents node", lambda: tree[0] if tree.childCount == 13 else None)
# Qt's bridge reports tree items as table cells. Two hits of one name are told apart by their
# descriptions, which start with their paths.
read = [docs.getRoleName() in ("tree item", "table cell"), docs.name, tree[2].name, [h.name for h in docs],
        sorted(docs[i].description.split("\n")[0].split("/files/")[-1] for i in (1, 2)), tree.queryTable().nRows]
check(read == [True, "Documents (3)", "Music (1)", ["budget plan", "plan", "plan"], ["plan.txt", "sub/plan.txt"], 18],
      "the tree reads %r" % read)
# Collapsing and expanding through the node's actions.
act(docs, "collapse")
poll("Documents to collapse", lambda: docs.childCount == 0)
act(docs, "expand")
poll("Documents to expand", lambda: docs.childCount == 3)

first_hit, second_hit = docs[0], docs[1]
x, y, w, h = first_hit.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
subprocess.run(["xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1"], check=True)
poll("the clicked hit to be selected", lambda: first_hit.getState().contains(SELECTED))
subprocess.run(["xdotool", "key", "Down"], check=True)
poll("the selection to move down", lambda: [second_hit.getState().contains(s) for s in (SELECTED, FOCUSED)] ==
     [True, True] and not first_hit.getState().contains(SELECTED))
# The selected plan is previewed, and its text can be read.
preview = poll("the previewed text", lambda: first(
    "text", lambda a: a.name == "Preview" and a.queryText().characterCount > 0))
text = preview.queryText().getText(0, -1)
check(text.strip() in ("Larks sing over the harbour.", "Another plan."), "the preview reads %r" % text)
# A node closed and opened by keys is told to a reader, as Qt's bridge passes on no event.
for key, said in (("Left Left", "collapsed"), ("Right", "expanded")):
    subprocess.run(["xdotool", "key"] + key.split(), check=True)
    poll("%r told to a reader" % said, lambda: first("notification", lambda a: a.name == said))
# A web page in the preview: the browser engine's own hidden window is not listed.
act(poll("the page hit", lambda: tree[4][0] if tree[4].childCount == 1 else None), "SetFocus")
poll("the page in the preview", lambda: first("document web"))
time.sleep(1)
check([a.name for a in app()] == ["Findlark"], "the application lists %r" % [a.name for a in app()])
