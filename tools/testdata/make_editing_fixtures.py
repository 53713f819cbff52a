#!/usr/bin/env python3
"""Writes script_editing_fixtures.jsonl: event-editing cases for script-run's "edit" road.

Each row is a request (a program, its activities, settings and events in lumora-peer's JSON form)
and the answer expected of it; objects in "expect" match when every key given matches, lists
element by element. Run from this folder after changing a case: python3 make_editing_fixtures.py
"""
import json

RUNTIME = "com.ziriza.duz.measurement.pixie.ErrorDomain"
EDITING = "com.ziriza.duz.measurement.pixie.editing.ErrorDomain"
INT32_MAX = 2147483647
INT32_MIN = -2147483648


def S(text):
    return {"s": text}


def N(number):
    return {"n": number}


def op(code, *args):
    return {"op": str(code), "args": list(args)}


UNDEF = op(44)
NULL = op(45)


def lit(value):
    if isinstance(value, dict):
        return value
    if value is None:
        return NULL
    if isinstance(value, str):
        return S(value)
    if isinstance(value, bool):
        return {"b": value}
    return N(value)


def arr(*items):
    return op(7, *[lit(item) for item in items])


def obj(**fields):
    args = []
    for key, value in fields.items():
        args += [S(key), lit(value)]
    return op(8, *args)


def get(name):
    return op(15, S(name))


def var(name, value):
    return [op(41, S(name)), op(3, S(name), lit(value))]


def assign(name, value):
    return op(3, S(name), value)


def add(a, b):
    return op(0, lit(a), lit(b))


def less(a, b):
    return op(23, lit(a), lit(b))


def fn(params, *body):
    return op(51, S(""), op(46, *[S(p) for p in params]), *body)


def ret(value=None):
    return op(36, lit(value)) if value is not None else op(36)


def call(receiver, name, *args):
    """A method call; a receiver given as text is the variable of that name."""
    receiver = get(receiver) if isinstance(receiver, str) else receiver
    return op(2, receiver, S(name), arr(*args))


def invoke(name, *args):
    """Calls the function a variable holds."""
    return {"op": name, "args": [lit(a) for a in args]}


def while_(cond, update, *body):
    return op(42, cond, update, {"b": False}, op(46, *body))


def require(module):
    return invoke("require", module)


def with_modules(*statements):
    """The program prefix: rc (registration), logger (event logger), log, cfg."""
    return (var("rc", require("internal.registerCallback")) +
            var("logger", require("internal.eventLogger")) +
            var("log", require("internal.logger")) +
            var("cfg", require("internal.remoteConfig")) + list(statements))


def register(callback, type_="edit", **options):
    return invoke("rc", "id", callback, obj(type=type_, **options))


def editor(*body):
    """An edit callback over the event object e."""
    return fn(["e"], *body)


def event(name="level_up", timestamp=3.5, **params):
    return {"name": name, "timestamp": timestamp, "params": params}


def err(domain, code):
    return {"domain": domain, "code": code}


ROWS = []


def row(name, program, events=(), expect=None, activities=None, settings=None):
    request = {"edit": {"program": program}}
    if activities is not None:
        request["edit"]["activities"] = activities
    if settings is not None:
        request["settings"] = settings
    request["events"] = list(events)
    ROWS.append({"name": name, "request": request, "expect": expect})


# ---- priorities and registration

def priorities(name, registrations, edit=None, create=None, load_error=None):
    expect = {"load": {"error": load_error}, "callbacks": {}}
    if edit is not None:
        expect["callbacks"]["edit"] = edit
    if create is not None:
        expect["callbacks"]["create"] = create
    row(name, with_modules(*registrations), expect=expect)


NOOP = fn(["e"], ret(0))
priorities("two rules without a priority get 1000 and 1001",
           [register(NOOP), register(NOOP)], edit=[1000, 1001])
priorities("5, 10 and 5 again get 5, 10 and 11",
           [register(NOOP, priority=5), register(NOOP, priority=10), register(NOOP, priority=5)],
           edit=[5, 10, 11])
priorities("one priority as edit and as create keeps both",
           [register(NOOP, "edit", priority=7), register(NOOP, "create", priority=7)],
           edit=[7], create=[7])
priorities("2.9 registers as 2, \"high\" as 0, 2147483648 as -2147483648",
           [register(NOOP, priority=2.9), register(NOOP, priority="high"),
            register(NOOP, priority=2147483648)], edit=[INT32_MIN, 0, 2])
priorities("a map as priority registers as 0", [register(NOOP, priority=obj())], edit=[0])
priorities("at INT32_MAX a taken priority moves to the smallest free one, nothing overwritten",
           [register(NOOP, priority=INT32_MAX), register(NOOP, priority=INT32_MAX),
            register(NOOP, priority=INT32_MAX), register(NOOP, priority=INT32_MIN)],
           edit=[INT32_MIN, INT32_MIN + 1, INT32_MIN + 2, INT32_MAX])
priorities("\"Edit\" fails with editing error 3", [register(NOOP, "Edit")],
           edit=[], load_error=err(EDITING, 3))
priorities("options without \"type\" fail with editing error 2",
           [invoke("rc", "id", NOOP, obj(priority=3))], load_error=err(EDITING, 2))
priorities("a callback that is not a function fails with 10",
           [invoke("rc", "id", 5, obj(type="edit"))], load_error=err(RUNTIME, 10))
priorities("two arguments fail with 9", [invoke("rc", "id", NOOP)], load_error=err(RUNTIME, 9))

THOUSAND = var("i", 0) + [while_(less(get("i"), 1000), assign("i", add(get("i"), 1)),
                                 register(NOOP, "create", priority=get("i")))]
row("the 1,000th registration succeeds", with_modules(*THOUSAND),
    expect={"load": {"error": None}})
row("the 1,001st registration fails with editing error 4",
    with_modules(*THOUSAND, register(NOOP, "edit")), expect={"load": {"error": err(EDITING, 4)}})
row("at the limit an unknown type also fails with 4",
    with_modules(*THOUSAND, register(NOOP, "x")), expect={"load": {"error": err(EDITING, 4)}})

# ---- loading

row("a top-level return fails with editing error 5", [N(1), ret(2)],
    expect={"load": {"error": err(EDITING, 5)}})
row("an activity entry that is a string fails with 6",
    [op(50, S("rule"), op(46, S("r")), ret(0))],
    activities=[{"name": "rule", "data": [S("text")]}],
    expect={"load": {"error": err(EDITING, 6)}})
row("an activity name bound to a number fails with 7", var("rule", 5),
    activities=[{"name": "rule", "data": [obj(a=1)]}],
    expect={"load": {"error": err(EDITING, 7)}})
row("an activity registers through its rule function",
    with_modules(op(50, S("rule"), op(46, S("r")),
                    register(editor(call("e", "setEventName", op(17, get("r"), S("to"))), ret(1)),
                             priority=op(17, get("r"), S("p"))))),
    activities=[{"name": "rule", "data": [obj(to="first", p=2), obj(to="second", p=1)]}],
    events=[event()],
    expect={"load": {"error": None}, "callbacks": {"edit": [1, 2]},
            "events": [{"error": None, "output": {"name": "first"}}]})


# ---- callback outcomes

def outcome(name, result, kept):
    body = [call("e", "setEventName", "renamed")]
    if result is not None:
        body.append(ret(result))
    expect_name = "renamed" if kept else "level_up"
    row(name, with_modules(register(editor(*body))), events=[event()],
        expect={"events": [{"error": None, "hasEdits": kept, "output": {"name": expect_name}}]})


outcome("returning 1 keeps the edit", 1, True)
outcome("returning 0 keeps the edit", 0, True)
for value, label in ((2, "2"), (-1, "-1"), (2.9, "2.9"), ("x", "\"x\"")):
    outcome(f"returning {label} discards the edit", value, False)
outcome("returning nothing discards the edit", None, False)

row("later callbacks see the edits of earlier ones, not the discarded ones",
    with_modules(
        register(editor(call("e", "setParamValue", "a", 1), ret(1)), priority=1),
        register(editor(call("e", "setParamValue", "b", 2), ret(2)), priority=2),
        register(editor(call("e", "setParamValue", "seen",
                             add(add(call("e", "getParamValue", "a"), "/"),
                                 call("e", "getParamValue", "b"))),
                        ret(1)), priority=3)),
    events=[event()],
    expect={"events": [{"output": {"params": {"a": 1.0, "seen": "1/null"}}}]})
row("a failing edit callback fails the event and keeps no edit",
    with_modules(register(editor(call("e", "setEventName", "renamed"), ret(1)), priority=1),
                 register(editor(call("e", "setEventName"), ret(1)), priority=2),
                 register(fn(["e"], invoke("logger", "bonus", 1, obj())), "create")),
    events=[event()],
    expect={"events": [{"error": err(RUNTIME, 9), "handled": False, "created": []}]})
row("an event logged by a discarded edit callback is still created",
    with_modules(register(editor(invoke("logger", "bonus", 5, obj()), ret(2)))),
    events=[event()],
    expect={"events": [{"error": None, "hasEdits": False, "handled": True,
                        "created": [{"name": "bonus", "timestamp": 5.0}]}]})
row("a registration made inside a callback counts from the next event",
    with_modules(*var("n", 0),
                 register(editor(assign("n", add(get("n"), 1)),
                                 register(editor(call("e", "setParamValue", "late",
                                                      get("n")), ret(1)), priority=9),
                                 ret(0)), priority=1)),
    events=[event(), event()],
    expect={"events": [{"hasEdits": False}, {"hasEdits": True, "output": {"params": {"late": 2.0}}}]})

# ---- parameters

def setting(name, params, key, value, expected, removed=False):
    row(name, with_modules(register(editor(call("e", "setParamValue", key, value), ret(1)))),
        events=[event(**params)],
        expect={"events": [{"error": None, "output": {"params": expected}}]})


setting("Int 5 set to 3.7 gives 3", {"value": 5}, "value", 3.7, {"value": 3})
setting("a Double stays a Double", {"value": 5.0}, "value", 3.7, {"value": 3.7})
setting("\"EUR\" set to 5 gives \"5\"", {"currency": "EUR"}, "currency", 5, {"currency": "5"})
setting("a text set to 3.7 gives \"3.7\"", {"currency": "EUR"}, "currency", 3.7,
        {"currency": "3.7"})
setting("\"_c\" keeps 1", {"_c": 1}, "_c", 0, {"_c": 1})
setting("\"_err\" set to 3.9 gives 3", {"_err": 1.5}, "_err", 3.9, {"_err": 3})
# A script's NaN leaves the runtime as its text, which no integer rule touches.
setting("\"_el\" set to NaN stores the text \"NaN\"", {}, "_el", N("NaN"), {"_el": "NaN"})
setting("\"_el\" set to -1e300 saturates", {}, "_el", -1e300, {"_el": -9223372036854775808})
setting("\"_syn\" set to 1e300 saturates", {}, "_syn", 1e300, {"_syn": 9223372036854775807})
setting("an integer parameter set to -Infinity saturates", {"level": 7}, "level",
        N("-Infinity"), {"level": -9223372036854775808})
setting("a new parameter keeps the script's number", {}, "n", 12, {"n": 12.0})
setting("a numeric text arrives as a number", {}, "n", "12", {"n": 12.0})
setting("undefined stores an empty text", {}, "u", UNDEF, {"u": ""})
row("a removal-only edit is an edit",
    with_modules(register(editor(call("e", "setParamValue", "email", None), ret(1)))),
    events=[event(email="a@b.c", level=7)],
    expect={"events": [{"error": None, "handled": True, "hasEdits": True,
                        "output": {"params": {"level": 7}}}]})
row("getParams and getParamValue read the output event",
    with_modules(register(editor(
        call("e", "setParamValue", "keys", call(op(2, call("e", "getParams"), S("hasOwnProperty"),
                                                   arr("level")), "toString")),
        call("e", "setParamValue", "missing", call("e", "getParamValue", "none")),
        call("e", "setParamValue", "t", call("e", "getTimestamp")), ret(1)))),
    events=[event(level=7)],
    expect={"events": [{"output": {"params": {"keys": "true", "t": 3.5}}}]})

# ---- created events

def created(name, args, expected, error=None):
    row(name, with_modules(register(fn(["e"], invoke("logger", *args)), "create")),
        events=[event(level=7, value=2.5, currency="EUR")],
        expect={"events": [{"error": error, "created": expected}]})


created("a created event takes a whole-second time", ["bonus", 100.7, obj(coins=5)],
        [{"name": "bonus", "timestamp": 100.0, "params": {"coins": 5.0}}])
created("a negative time is cut toward zero", ["bonus", -2.5, obj()],
        [{"name": "bonus", "timestamp": -2.0}])
created("a time that is NaN gives 0", ["bonus", "soon", obj()], [{"timestamp": 0.0}])
created("an infinite time fails with 10", ["bonus", N("Infinity"), obj()], [],
        err(RUNTIME, 10))
created("a time past the 64-bit range fails with 10", ["bonus", 1e19, obj()], [],
        err(RUNTIME, 10))
created("parameters follow the input event's kinds",
        ["bonus", 1, obj(level=8.9, value=1, currency=3, extra=None)],
        [{"params": {"level": 8, "value": 1.0, "currency": "3"}}])
created("two arguments fail with 9", ["bonus", 1], [], err(RUNTIME, 9))
created("a text as parameters fails with 10", ["bonus", 1, "x"], [], err(RUNTIME, 10))
row("1,000 events may be logged per event; the next fails with 18",
    with_modules(register(fn(["e"], *var("i", 0),
                             while_(less(get("i"), 1000), assign("i", add(get("i"), 1)),
                                    invoke("logger", "made", 1, obj()))), "create")),
    events=[event()],
    expect={"events": [{"error": None}]})
row("the 1,001st logged event fails with 18",
    with_modules(register(fn(["e"], *var("i", 0),
                             while_(less(get("i"), 1001), assign("i", add(get("i"), 1)),
                                    invoke("logger", "made", 1, obj()))), "create")),
    events=[event()],
    expect={"events": [{"error": err(RUNTIME, 18), "handled": False}]})

# ---- logging

def logging(name, calls, levels):
    row(name, with_modules(register(fn(["e"], *calls), "create")), events=[event()],
        expect={"events": [{"error": None,
                            "logs": [{"level": lv, "code": 24005} for lv in levels]}]})


SILENT = op(17, get("log"), S("silent"))
UNMONITORED = op(17, get("log"), S("unmonitored"))
for level, expected in ((6, [1, 2, 0]), (5, [4, 5, 3]), (4.9, [6, 6, 6]), (N("NaN"), [6, 6, 6]),
                        (3, [7, 7, 7]), (2, [8, 8, 8]), (N("Infinity"), [6, 6, 6]),
                        (-3, [6, 6, 6]), (9, [6, 6, 6])):
    label = json.dumps(level) if not isinstance(level, dict) else level["n"]
    logging(f"script level {label} through log, silent.log and unmonitored.log",
            [call("log", "log", level, "m"), call(SILENT, "log", level, "m"),
             call(UNMONITORED, "log", level, "m")], expected)
row("one argument logs at level 6 without context; contexts stop at three",
    with_modules(register(fn(["e"], call("log", "log", "hi"),
                             call("log", "log", 5, "w", "a", "b", "c", "d"),
                             call(call("log", "silent"), "log", 6, "s")), "create")),
    events=[event()],
    expect={"events": [{"logs": [{"level": 6, "message": "hi", "context": []},
                                 {"level": 4, "message": "w", "context": ["a", "b", "c"]},
                                 {"level": 2, "message": "s"}]}]})
row("log without arguments fails with 9 and logs nothing",
    with_modules(register(fn(["e"], call("log", "log")), "create")), events=[event()],
    expect={"events": [{"error": err(RUNTIME, 9), "logs": []}]})

# ---- modules

row("getValue gives the setting's text, or the default as passed",
    with_modules(register(editor(
        # A text parameter set from a script text that looks like a number arrives as a number,
        # so the kinds are read with typeof.
        call("e", "setParamValue", "x", add("v=", call("cfg", "getValue", "x", "d"))),
        call("e", "setParamValue", "xKind", op(40, call("cfg", "getValue", "x", "d"))),
        call("e", "setParamValue", "missing", call("cfg", "getValue", "missing", 7)),
        call("e", "setParamValue", "missingKind", op(40, call("cfg", "getValue", "missing", 7))),
        ret(1)))),
    settings={"x": "5"}, events=[event()],
    expect={"events": [{"error": None, "output": {"params": {
        "x": "v=5", "xKind": "string", "missing": 7.0, "missingKind": "number"}}}]})
row("getValue with the key alone fails with 9",
    with_modules(register(editor(call("cfg", "getValue", "x"), ret(1)))),
    settings={"x": "5"}, events=[event()],
    expect={"events": [{"error": err(RUNTIME, 9)}]})
row("require gives the same module every time and undefined for an unknown name",
    with_modules(*var("m", require("internal.appMetadata")),
                 register(editor(
                     call("e", "setParamValue", "same",
                          op(20, require("internal.logger"), get("log"))),
                     call("e", "setParamValue", "unknown", op(40, require("nothing"))),
                     call("e", "setParamValue", "platform", op(17, invoke("m"), S("platform"))),
                     call("e", "setParamValue", "version", op(17, invoke("m"), S("duz_version"))),
                     ret(1)))),
    events=[event()],
    expect={"events": [{"error": None, "output": {"params": {
        "same": 1.0, "unknown": "undefined", "platform": "macos", "version": 111500.0}}}]})
row("a global a callback keeps survives the collections between events",
    with_modules(*var("seen", arr()),
                 register(editor(call("seen", "push", call("e", "getEventName")),
                                 call("e", "setParamValue", "seen", call("seen", "join", "+")),
                                 ret(1)))),
    events=[event("a"), event("b"), event("c")],
    expect={"events": [{"output": {"params": {"seen": "a"}}}, {"output": {"params": {"seen": "a+b"}}},
                       {"output": {"params": {"seen": "a+b+c"}}}]})

# ---- the bound on what a program keeps

# A text of 2^19 units (1 MiB) kept in a global, and each event keeps one more of 1 MiB: the
# fifteenth event passes 16 MiB.
BIG = var("big", "x") + [while_(less(op(17, get("big"), S("length")), 524288),
                                assign("big", add(get("big"), get("big"))))]
row("more than 16 MiB kept between events fails the event and ends the object",
    with_modules(*var("kept", arr()), *BIG,
                 register(editor(call("kept", "push", add(get("big"), "y")), ret(1)))),
    events=[event()] * 17,
    expect={"events": [{"error": None, "usable": True}] * 14 +
            [{"error": err(RUNTIME, 18), "usable": False}] * 3})

with open("script_editing_fixtures.jsonl", "w") as out:
    for r in ROWS:
        out.write(json.dumps(r, separators=(",", ":")) + "\n")
print(len(ROWS), "rows")
