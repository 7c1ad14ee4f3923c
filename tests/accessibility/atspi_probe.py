#!/usr/bin/python3
# A stand-in for a screen reader: reads one application's accessible tree through AT-SPI (the
# accessibility bus, as Orca reads it) and prints it as JSON, or performs one accessible action.
#
#   atspi_probe.py dump APP               the tree of APP's windows
#   atspi_probe.py act APP ROLE NAME ACTION   does ACTION on the first node with that role and name
#
# Exit status 0 on success, 2 when the application or the node is not found in time.
import json
import sys
import time

import pyatspi

LIMIT = 20000  # nodes: a runaway tree is a fault, not something to walk for ever


def find_app(name, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == name:
                return app
        time.sleep(0.05)
    return None


def states_of(node):
    return sorted(pyatspi.stateToString(s) for s in node.getState().getStates())


def describe(node, budget):
    budget[0] -= 1
    if budget[0] < 0:
        raise RuntimeError("more than %d accessible nodes" % LIMIT)
    out = {
        "role": node.getRoleName(),
        "name": node.name or "",
        "description": node.description or "",
        "states": states_of(node),
    }
    try:
        action = node.queryAction()
        out["actions"] = [action.getName(i) for i in range(action.nActions)]
    except NotImplementedError:
        pass
    try:
        value = node.queryValue()
        out["value"] = [value.currentValue, value.minimumValue, value.maximumValue]
    except NotImplementedError:
        pass
    try:
        text = node.queryText()
        out["text"] = text.getText(0, -1)
    except NotImplementedError:
        pass
    try:
        table = node.queryTable()
        rows = []
        for r in range(table.nRows):
            cells = []
            for c in range(table.nColumns):
                cell = table.getAccessibleAt(r, c)
                cells.append(describe(cell, budget) if cell is not None else None)
            rows.append(cells)
        out["rows"] = rows
        out["columns"] = [table.getColumnDescription(c) or "" for c in range(table.nColumns)]
        headers = []
        for c in range(table.nColumns):
            h = table.getColumnHeader(c)
            headers.append(describe(h, budget) if h is not None else None)
        out["headers"] = headers
        return out  # the cells are its children
    except NotImplementedError:
        pass
    children = []
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            children.append(describe(child, budget))
    out["children"] = children
    return out


def walk(node):
    yield node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child)


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 64
    app = find_app(sys.argv[2])
    if app is None:
        print("application %s not on the accessibility bus" % sys.argv[2], file=sys.stderr)
        return 2
    if sys.argv[1] == "dump":
        print(json.dumps(describe(app, [LIMIT])))
        return 0
    if sys.argv[1] == "act" and len(sys.argv) == 6:
        role, name, wanted = sys.argv[3], sys.argv[4], sys.argv[5]
        for node in walk(app):
            if node.getRoleName() == role and node.name == name:
                action = node.queryAction()
                for i in range(action.nActions):
                    if action.getName(i) == wanted:
                        print(json.dumps({"done": bool(action.doAction(i))}))
                        return 0
                print("no action %s on it (has %s)" % (wanted, [action.getName(i) for i in range(action.nActions)]),
                      file=sys.stderr)
                return 2
        print("no %s named %s" % (role, name), file=sys.stderr)
        return 2
    print(__doc__, file=sys.stderr)
    return 64


if __name__ == "__main__":
    sys.exit(main())
