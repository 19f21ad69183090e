# Sourced by the end-to-end scripts that follow quillet through `quillet --status`. Conditions
# and values are Python expressions over `s` (the parsed status) with the helpers below, plus
# the script's own in STATUS_HELPERS (set it before sourcing). Needs QUILLET and WORK.
PRELUDE='
import json, sys
s = json.load(open(sys.argv[1]))
H = s["screen"]["frame"]["height"]
def item(name):
    return next((i for i in s["items"] if i["autosaveName"] == name), None)
def centre(f):
    return "%d %d" % (f["x"] + f["width"] / 2, H - (f["y"] + f["height"] / 2))
def panel():
    return s["panel"] or {"visible": False, "items": 0, "icons": []}
def menu_item(title):
    return next(i for i in s["menu"]["items"] if i.get("title") == title)
'"${STATUS_HELPERS:-}"
# Whether the condition holds on the last status read.
check() { python3 -c "$PRELUDE
sys.exit(0 if ($1) else 1)" "$WORK/status"; }
# Reads the status until the condition holds; at most 10 s.
status_until() {
  for _ in $(seq 100); do
    if "$QUILLET" --status >"$WORK/status" 2>/dev/null && check "$1"; then return 0; fi
    sleep 0.1
  done
  return 1
}
# Prints a Python expression's value, computed on the last status read.
value() { python3 -c "$PRELUDE
print($1)" "$WORK/status"; }
# Sets PX and PY from an expression giving "x y" (as centre() does).
point() { read -r PX PY < <(value "$1"); }
