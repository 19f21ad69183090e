#!/usr/bin/env python3
"""Opens a plain X window that asks to be maximised (_NET_WM_STATE_MAXIMIZED_VERT and _HORZ set
before it is mapped, as a toolkit does), waits until the window manager has placed it and its
geometry has settled, and prints where its frame is on the root window: "x y width height"
(the client area plus _NET_FRAME_EXTENTS). Then it closes the window and exits.

usage: maximised-window.py   (uses $DISPLAY; exits 1 when no placement settles within 10 s)
"""
import ctypes
import ctypes.util
import sys
import time

PROP_MODE_REPLACE = 0
XA_ATOM = 4
XA_CARDINAL = 6


def main():
    path = ctypes.util.find_library("X11")
    if not path:
        sys.exit("maximised-window: libX11 not found")
    x = ctypes.CDLL(path)
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XInternAtom.restype = ctypes.c_ulong
    x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x.XCreateSimpleWindow.restype = ctypes.c_ulong
    x.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                      ctypes.c_uint, ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong,
                                      ctypes.c_ulong]
    x.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong, ctypes.c_ulong,
                                  ctypes.c_int, ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    x.XStoreName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p]
    x.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
    x.XTranslateCoordinates.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                        ctypes.c_int, ctypes.c_int,
                                        ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                                        ctypes.POINTER(ctypes.c_ulong)]
    x.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong),
                               ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_int),
                               ctypes.POINTER(ctypes.c_uint), ctypes.POINTER(ctypes.c_uint),
                               ctypes.POINTER(ctypes.c_uint), ctypes.POINTER(ctypes.c_uint)]
    x.XGetWindowProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                     ctypes.c_long, ctypes.c_long, ctypes.c_int, ctypes.c_ulong,
                                     ctypes.POINTER(ctypes.c_ulong), ctypes.POINTER(ctypes.c_int),
                                     ctypes.POINTER(ctypes.c_ulong),
                                     ctypes.POINTER(ctypes.c_ulong),
                                     ctypes.POINTER(ctypes.c_void_p)]
    x.XFree.argtypes = [ctypes.c_void_p]
    x.XDestroyWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]

    display = x.XOpenDisplay(None)
    if not display:
        sys.exit("maximised-window: cannot open the display")
    root = x.XDefaultRootWindow(display)
    atom = lambda name: x.XInternAtom(display, name.encode(), 0)

    window = x.XCreateSimpleWindow(display, root, 40, 40, 300, 200, 0, 0, 0xffffff)
    x.XStoreName(display, window, b"maximised test window")
    states = (ctypes.c_ulong * 2)(atom("_NET_WM_STATE_MAXIMIZED_VERT"),
                                  atom("_NET_WM_STATE_MAXIMIZED_HORZ"))
    x.XChangeProperty(display, window, atom("_NET_WM_STATE"), XA_ATOM, 32, PROP_MODE_REPLACE,
                      states, 2)
    x.XMapWindow(display, window)
    x.XSync(display, 0)

    def cardinals(name, count):
        kind, fmt = ctypes.c_ulong(), ctypes.c_int()
        n, after, data = ctypes.c_ulong(), ctypes.c_ulong(), ctypes.c_void_p()
        if x.XGetWindowProperty(display, window, atom(name), 0, count, 0, XA_CARDINAL,
                                ctypes.byref(kind), ctypes.byref(fmt), ctypes.byref(n),
                                ctypes.byref(after), ctypes.byref(data)) != 0 or not data.value:
            return [0] * count
        values = ctypes.cast(data, ctypes.POINTER(ctypes.c_long))
        out = [values[i] for i in range(min(n.value, count))] + [0] * max(0, count - n.value)
        x.XFree(data)
        return out

    def frame():
        rx, ry, child = ctypes.c_int(), ctypes.c_int(), ctypes.c_ulong()
        x.XTranslateCoordinates(display, window, root, 0, 0, ctypes.byref(rx), ctypes.byref(ry),
                                ctypes.byref(child))
        r, gx, gy = ctypes.c_ulong(), ctypes.c_int(), ctypes.c_int()
        w, h, b, d = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
        x.XGetGeometry(display, window, ctypes.byref(r), ctypes.byref(gx), ctypes.byref(gy),
                       ctypes.byref(w), ctypes.byref(h), ctypes.byref(b), ctypes.byref(d))
        left, right, top, bottom = cardinals("_NET_FRAME_EXTENTS", 4)
        return (rx.value - left, ry.value - top, w.value + left + right, h.value + top + bottom)

    # Placed: bigger than it asked for, and unchanged for half a second.
    last, stable, deadline = None, 0, time.monotonic() + 10
    while time.monotonic() < deadline:
        x.XSync(display, 0)
        now = frame()
        stable = stable + 1 if now == last and now[2] > 300 and now[3] > 200 else 0
        last = now
        if stable >= 5:
            print("%d %d %d %d" % now)
            x.XDestroyWindow(display, window)
            x.XCloseDisplay(display)
            return 0
        time.sleep(0.1)
    sys.stderr.write("maximised-window: the window was not maximised (last %s)\n" % (last,))
    return 1


if __name__ == "__main__":
    sys.exit(main())
