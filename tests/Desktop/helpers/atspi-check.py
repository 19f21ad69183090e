#!/usr/bin/python3
# What a screen reader is told of quillet's windows, read over AT-SPI (python3-gi with
# gir1.2-atspi-2.0). Commands, for the application whose process is PID:
#   controls PID          prints the showing controls as JSON lines: name, role, focused
#   focused PID           prints the name of the focused object (the deepest one)
#   press PID NAME        invokes the default action of the showing control named NAME
# Exit status 2 when the object is not found, 3 when the bindings are missing.
import json
import sys
import warnings

# get_action_iface is the call that every libatspi of Debian 12 and later has.
warnings.filterwarnings("ignore", category=DeprecationWarning)

try:
    import gi
    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError) as e:
    print("atspi-check: no AT-SPI bindings: %s" % e, file=sys.stderr)
    sys.exit(3)

CONTROL_ROLES = {"push button", "check box", "combo box", "link", "toggle button", "radio button",
                 "switch"}


def application(pid):
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def walk(node, depth=0):
    if node is None or depth > 60:
        return
    yield node
    try:
        count = node.get_child_count()
    except Exception:
        return
    for i in range(count):
        try:
            child = node.get_child_at_index(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def states(node):
    s = node.get_state_set()
    return {"showing": s.contains(Atspi.StateType.SHOWING),
            "focused": s.contains(Atspi.StateType.FOCUSED)}


def controls(app):
    for node in walk(app):
        try:
            role = node.get_role_name()
        except Exception:
            continue
        if role in CONTROL_ROLES and states(node)["showing"]:
            yield node


def main():
    if len(sys.argv) < 3:
        print("usage: atspi-check.py controls|focused|press PID [NAME]", file=sys.stderr)
        return 64
    command, pid = sys.argv[1], int(sys.argv[2])
    app = application(pid)
    if app is None:
        print("atspi-check: no accessible application with pid %d" % pid, file=sys.stderr)
        return 2
    if command == "controls":
        for node in controls(app):
            print(json.dumps({"name": node.get_name(), "role": node.get_role_name(),
                              "focused": states(node)["focused"]}))
        return 0
    if command == "focused":
        # The deepest focused object: the containers around it say they are focused too.
        name = None
        for node in walk(app):
            if states(node)["focused"] and states(node)["showing"]:
                name = node.get_name()
        if name is None:
            return 2
        print(name)
        return 0
    if command == "press":
        name = sys.argv[3]
        for node in controls(app):
            if node.get_name() == name:
                action = node.get_action_iface()
                if action is None or action.get_n_actions() == 0:
                    print("atspi-check: %s has no action" % name, file=sys.stderr)
                    return 2
                action.do_action(0)
                return 0
        print("atspi-check: no showing control named %s" % name, file=sys.stderr)
        return 2
    return 64


if __name__ == "__main__":
    sys.exit(main())
