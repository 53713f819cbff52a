#!/usr/bin/env python3
"""Writes the method tables script_array_method_fixtures.jsonl and script_string_method_fixtures.jsonl.

Each row is a program in script-run's JSON mirror and the answer expected of it. Run from this
folder after changing a case: python3 make_method_fixtures.py
"""
import json

RUNTIME = "com.ziriza.duz.measurement.pixie.ErrorDomain"


def S(text):
    return {"s": text}


def N(number):
    return {"n": number}


def op(code, *args):
    return {"op": str(code), "args": list(args)}


UNDEF = op(44)
NULL = op(45)
NAN = N("NaN")
INF = N("Infinity")


def arr(*items):
    return op(7, *[item if isinstance(item, dict) else lit(item) for item in items])


def lit(value):
    if isinstance(value, str):
        return S(value)
    if isinstance(value, bool):
        return {"b": value}
    return N(value)


def call(receiver, name, *args):
    receiver = receiver if isinstance(receiver, dict) else lit(receiver)
    return op(2, receiver, S(name), arr(*args))


def fn(params, *body):
    return op(51, S(""), arr(*[S(p) for p in params]), *body)


def ret(value):
    return op(36, value)


def get(name):
    return op(15, S(name))


def var(name, value):
    return [op(41, S(name)), op(3, S(name), value)]


def setp(obj, key, value):
    return op(43, obj, lit(key) if not isinstance(key, dict) else key, value)


def add(a, b):
    return op(0, a, b)


def sub(a, b):
    return op(37, a, b)


def holey():
    """a = [hole, 5, hole] (length 3)."""
    return var("a", arr()) + [setp(get("a"), 1, N(5)), setp(get("a"), "length", N(3))]


ROWS = {"array": [], "string": []}


def case(table, name, program, string=None, json_value=None, error=0, domain=RUNTIME):
    if isinstance(program, dict):
        program = [program]
    expect = {"error": None if error == 0 else {"domain": domain, "code": error}}
    if string is not None or json_value is not None:
        expect["value"] = {}
        if string is not None:
            expect["value"]["string"] = string
        if json_value is not None:
            expect["value"]["json"] = json_value
    ROWS[table].append({"name": name, "program": program, "expect": expect})


def arr_case(name, program, string=None, json_value=None, error=0):
    case("array", name, program, string, json_value, error)


def str_case(name, program, string=None, json_value=None, error=0, domain=RUNTIME):
    case("string", name, program, string, json_value, error, domain)


a123 = arr(1, 2, 3)
# ---- arrays
arr_case("indexOf from -1", call(a123, "indexOf", N(3), N(-1)), "2")
arr_case("indexOf from the length", call(a123, "indexOf", N(1), N(3)), "-1")
arr_case("indexOf NaN", call(arr(NAN), "indexOf", NAN), "-1")
arr_case("indexOf is strict", call(arr("1"), "indexOf", N(1)), "-1")
arr_case("lastIndexOf from -2", call(arr(1, 2, 1), "lastIndexOf", N(1), N(-2)), "0")
arr_case("lastIndexOf before the start", call(arr(1), "lastIndexOf", N(1), N(-5)), "-1")
arr_case("lastIndexOf from NaN", call(arr(1, 2), "lastIndexOf", N(2), NAN), "1")
arr_case("slice(-2)", call(a123, "slice", N(-2)), "2,3")
arr_case("slice(2, 1)", call(a123, "slice", N(2), N(1)), None, [])
arr_case("slice(1, undefined)", call(a123, "slice", N(1), UNDEF), None, [])
arr_case("slice(0, Infinity)", call(a123, "slice", N(0), INF), "1,2,3")
arr_case("splice(1) removes the rest",
         var("a", a123) + var("r", call(get("a"), "splice", N(1))) + [
                           arr(get("a"), get("r"))], None, [[1], [2, 3]])
arr_case("splice(-1, 1, 'x')",
         var("a", a123) + [op(41, S("r")), op(3, S("r"), call(get("a"), "splice", N(-1), N(1), S("x"))),
                           arr(get("a"), get("r"))], None, [[1, 2, "x"], [3]])
arr_case("splice(Infinity, 1) removes nothing",
         var("a", a123) + [call(get("a"), "splice", INF, N(1)), get("a")], "1,2,3")
arr_case("splice() changes nothing", var("a", a123) + [arr(call(get("a"), "splice"), get("a"))],
         None, [[], [1, 2, 3]])
f_add = fn(["x", "y"], ret(add(get("x"), get("y"))))
arr_case("reduce of [] fails with 8", call(arr(), "reduce", f_add), error=8)
arr_case("reduce of [] with 5", call(arr(), "reduce", f_add, N(5)), "5")
arr_case("reduce of [7] does not call", call(arr(7), "reduce", fn([], op(37, UNDEF))), "7")
arr_case("reduce sums", call(a123, "reduce", f_add), "6")
arr_case("reduceRight joins as text",
         call(a123, "reduceRight", fn(["x", "y"], ret(add(add(S(""), get("x")), get("y"))))), "321")
arr_case("reduce of an initial break fails with 10", call(a123, "reduce", f_add, op(4)), error=10)
arr_case("reduce with three arguments fails with 9", call(a123, "reduce", f_add, N(1), N(2)),
         error=9)
arr_case("forEach over holes calls once with 5, 1 and the array",
         holey() + [op(41, S("r")), op(3, S("r"), arr()),
                    call(get("a"), "forEach",
                         fn(["v", "i", "x"], call(get("r"), "push", get("v"), get("i"),
                                                  op(20, get("x"), get("a"))))),
                    get("r")], None, [5, 1, True])
arr_case("map over holes keeps a hole at 0 and drops the end",
         holey() + [op(41, S("m")), op(3, S("m"), call(get("a"), "map", fn(["v"], ret(get("v"))))),
                    arr(op(17, get("m"), S("length")), call(get("m"), "hasOwnProperty", N(0)),
                        op(17, get("m"), N(1)))], None, [2, False, 5])
arr_case("sort without comparator", call(arr(3, UNDEF, 1), "sort"), "1,3,")
arr_case("sort puts undefined last", call(arr(3, UNDEF, 1), "indexOf", UNDEF), "1")
arr_case("sort orders numbers as text", call(arr(10, 9, 1), "sort"), "1,10,9")
arr_case("sort with a comparator",
         call(arr(10, 9, 1, 30), "sort", fn(["x", "y"], ret(sub(get("x"), get("y"))))), "1,9,10,30")
arr_case("sort is stable",
         call(call(arr(arr(1, "a"), arr(0, "b"), arr(1, "c"), arr(0, "d")), "sort",
                   fn(["x", "y"], ret(sub(op(17, get("x"), N(0)), op(17, get("y"), N(0)))))),
              "join", S(";")), "0,b;0,d;1,a;1,c")
arr_case("sort with 5 fails with 10", call(arr(2, 1), "sort", N(5)), error=10)
arr_case("sort of one element ignores the argument", call(arr(2), "sort", N(5)), "2")
arr_case("sort with undefined fails with 10", call(arr(2, 1), "sort", UNDEF), error=10)
arr_case("sort comparator error fails after the sort",
         var("a", arr(3, 2, 1)) + [call(get("a"), "sort", fn(["x", "y"], op(3, S("zz"), N(1)))),
                                   get("a")], error=2)
arr_case("sort with a NaN comparator completes",
         call(arr(3, 1, 2), "sort", fn(["x", "y"], ret(NAN))), "3,1,2")
arr_case("sort with a comparator that pushes and splices completes",
         var("a", arr(5, 4, 3, 2, 1)) +
         [call(get("a"), "sort", fn(["x", "y"], call(get("a"), "push", N(9)),
                                    call(get("a"), "splice", N(0), N(2)),
                                    ret(sub(get("x"), get("y"))))),
          op(17, get("a"), S("length"))], "5")
arr_case("join(null)", call(a123, "join", NULL), "123")
arr_case("join(undefined)", call(a123, "join", UNDEF), "123")
arr_case("join of nested", call(arr(1, arr(2, 3)), "join"), "1,2,3")
arr_case("join keeps separators around holes", holey() + [call(get("a"), "join", S("-"))], "-5-")
arr_case("every on [] is true", call(arr(), "every", fn([], ret({"b": False}))), "true")
arr_case("some on [] is false", call(arr(), "some", fn([], ret({"b": True}))), "false")
arr_case("every stops at false",
         call(a123, "every", fn(["v"], ret(op(23, get("v"), N(2))))), "false")
arr_case("some finds", call(a123, "some", fn(["v"], ret(op(12, get("v"), N(2))))), "true")
arr_case("filter", call(arr(1, 2, 3, 4), "filter", fn(["v"], ret(op(25, get("v"), N(2))))), "1,3")
arr_case("unknown method fails with 17", call(a123, "flat"), error=17)
arr_case("a function in property push is called",
         var("a", a123) + [setp(get("a"), "push", fn([], ret(S("own")))),
                           call(get("a"), "push", N(4))], "own")
arr_case("a non-function in property push fails with 17",
         var("a", a123) + [setp(get("a"), "push", N(1)), call(get("a"), "push", N(4))], error=17)
arr_case("forEach without argument fails with 9", call(a123, "forEach"), error=9)
arr_case("forEach with two arguments fails with 9",
         call(a123, "forEach", fn([]), fn([])), error=9)
arr_case("forEach with a number fails with 10", call(a123, "forEach", N(1)), error=10)
arr_case("forEach does not visit pushed elements",
         var("a", a123) + [op(41, S("n")), op(3, S("n"), N(0)),
                           call(get("a"), "forEach", fn(["v"], call(get("a"), "push", get("v")),
                                                        op(3, S("n"), add(get("n"), N(1))))),
                           get("n")], "3")
arr_case("forEach ends when the callback pops the array empty",
         var("a", a123) + [op(41, S("n")), op(3, S("n"), N(0)),
                           call(get("a"), "forEach", fn([], call(get("a"), "pop"), call(get("a"), "pop"),
                                                        call(get("a"), "pop"),
                                                        op(3, S("n"), add(get("n"), N(1))))),
                           get("n")], "1")
arr_case("concat flattens one level and keeps holes",
         holey() + [call(get("a"), "concat", N(1), arr(2, arr(3)))], None,
         [{"$undefined": True}, 5, {"$undefined": True}, 1, 2, [3]])
arr_case("concat of a break fails with 10", call(a123, "concat", op(4)), error=10)
arr_case("hasOwnProperty", arr(call(a123, "hasOwnProperty", S("length")),
                               call(a123, "hasOwnProperty", N(2)),
                               call(a123, "hasOwnProperty", S("1")),
                               call(a123, "hasOwnProperty", N(3)),
                               call(a123, "hasOwnProperty", S("x"))), "true,true,true,false,false")
arr_case("pop, shift, push, unshift",
         var("a", a123) + [arr(call(get("a"), "pop"), call(get("a"), "shift"),
                               call(get("a"), "push", N(7), N(8)),
                               call(get("a"), "unshift", S("x"), S("y")), get("a"))], None,
         [3, 1, 3, 5, ["x", "y", 2, 7, 8]])
arr_case("pop of [] is undefined", op(40, call(arr(), "pop")), "undefined")
arr_case("reverse returns the receiver", var("a", a123) + [op(20, call(get("a"), "reverse"), get("a"))],
         "true")
arr_case("toString", call(arr(1, NULL, 2), "toString"), "1,,2")
arr_case("toString with an argument fails with 9", call(a123, "toString", N(1)), error=9)
arr_case("pop with an argument fails with 9", call(a123, "pop", N(1)), error=9)

# ---- strings
str_case("charAt(-1)", call("abc", "charAt", N(-1)), "")
str_case("charAt(3)", call("abc", "charAt", N(3)), "")
str_case("charAt(1.9)", call("abc", "charAt", N(1.9)), "b")
str_case("charAt()", call("abc", "charAt"), "a")
str_case("indexOf('c', -5)", call("abc", "indexOf", S("c"), N(-5)), "2")
str_case("indexOf('')", call("abc", "indexOf", S("")), "-1")
str_case("indexOf() searches 'undefined'", call("a undefined", "indexOf"), "2")
str_case("lastIndexOf('c', 4)", call("abcabc", "lastIndexOf", S("c"), N(4)), "2")
str_case("lastIndexOf('abc')", call("abcabc", "lastIndexOf", S("abc")), "3")
str_case("lastIndexOf('a', NaN)", call("abc", "lastIndexOf", S("a"), NAN), "0")
str_case("replace '' inserts at the front", call("abc", "replace", S(""), S("x")), "xabc")
str_case("replace only the first", call("aaa", "replace", S("a"), S("b")), "baa")
str_case("replace not found", call("abc", "replace", S("z"), S("x")), "abc")
str_case("replace without replacement", call("abc", "replace", S("b")), "aundefinedc")
str_case("replace is literal", call("abc", "replace", S("b"), S("$&")), "a$&c")
str_case("replace calls the function with 'b', 1 and 'abc'",
         call("abc", "replace", S("b"), fn(["s", "p", "t"], ret(call(arr(get("s"), get("p"), get("t")), "join", S("|"))))),
         "ab|1|abcc")
str_case("match", call("a1b22", "match", S("[0-9]+")), None, ["1"])
str_case("match none", op(40, call("abc", "match", S("x"))), "object")
str_case("match none is null", op(20, call("abc", "match", S("x")), NULL), "true")
str_case("match of the empty pattern", call("abc", "match", S("")), None, [""])
str_case("match with no argument", call("abc", "match"), None, [""])
str_case("match: . stops at a line end", op(20, call("a\nb", "match", S("a.b")), NULL), "true")
str_case("match: $ anchors the whole text", op(20, call("ab\ncd", "match", S("b$")), NULL), "true")
str_case("match is case-sensitive", op(20, call("ABC", "match", S("b")), NULL), "true")
str_case("an unbalanced pattern fails with ICU's error", call("abc", "match", S("(a")),
         error=66310, domain="ICU")
str_case("search('c')", call("abc", "search", S("c")), "2")
str_case("search('')", call("abc", "search", S("")), "0")
str_case("search() looks for 'undefined'", call("has undefined", "search"), "4")
str_case("search with a bad pattern fails with ICU's error", call("abc", "search", S("[a")),
         error=66319, domain="ICU")
str_case("backtracking past the time limit fails with ICU's error",
         call("a" * 40 + "b", "match", S("(a+)+$")), error=66322, domain="ICU")
str_case("slice(-2)", call("abc", "slice", N(-2)), "bc")
str_case("slice(2, 1)", call("abc", "slice", N(2), N(1)), "")
str_case("slice(1, undefined)", call("abc", "slice", N(1), UNDEF), "")
str_case("substring(2, 0)", call("abc", "substring", N(2), N(0)), "ab")
str_case("substring(-3, 2)", call("abc", "substring", N(-3), N(2)), "ab")
str_case("substring(1e10)", call("abc", "substring", N(1e10)), "")
str_case("substring(Infinity)", call("abc", "substring", INF), "")
str_case("split(',')", call("a,b,,c", "split", S(",")), None, ["a", "b", "", "c"])
str_case("split(',', 2)", call("a,b,,c", "split", S(","), N(2)), None, ["a", "b"])
str_case("split(',', 0)", call("a,b,,c", "split", S(","), N(0)), None, [])
str_case("split(',', undefined)", call("a,b,,c", "split", S(","), UNDEF), None, [])
str_case("split('')", call("abc", "split", S("")), None, ["a", "b", "c"])
str_case("split('', 2)", call("abc", "split", S(""), N(2)), None, ["a", "b"])
str_case("split()", call("abc", "split"), None, ["abc"])
str_case("split of ''", call("", "split", S(",")), None, [""])
str_case("split keeps empty ends", call(",a,", "split", S(",")), None, ["", "a", ""])
str_case("split is canonical", call("xe\u0301yéz", "split", S("é")), None, ["x", "y", "z"])
str_case("hasOwnProperty(2)", call("abc", "hasOwnProperty", N(2)), "true")
str_case("hasOwnProperty(3)", call("abc", "hasOwnProperty", N(3)), "false")
str_case("hasOwnProperty('length')", call("abc", "hasOwnProperty", S("length")), "true")
str_case("hasOwnProperty('1')", call("abc", "hasOwnProperty", S("1")), "true")
str_case("hasOwnProperty('') names 0", call("abc", "hasOwnProperty", S("")), "true")
str_case("toUpperCase(1) fails with 9", call("abc", "toUpperCase", N(1)), error=9)
str_case("unknown method fails with 17", call("abc", "foo"), error=17)
str_case("ß upper-cases to SS", call("ß", "toUpperCase"), "SS")
str_case("i upper-cases to I", call("i", "toUpperCase"), "I")
str_case("toLowerCase", call("ÀBC", "toLowerCase"), "àbc")
str_case("toLocaleLowerCase with an argument fails with 9",
         call("A", "toLocaleLowerCase", S("tr")), error=9)
str_case("trim removes a no-break space and a line break",
         call("\u00a0 a b\t\n", "trim"), "a b")
str_case("trim removes U+0085, U+2028 and U+3000", call("\u0085\u2028x\u3000", "trim"), "x")
str_case("trim keeps U+200B", call("\u200bx", "trim"), "\u200bx")
str_case("indexOf of é in e + U+0301 + x", call("e\u0301x", "indexOf", S("é")), "0")
str_case("indexOf of e + U+0301 in é", call("aéx", "indexOf", S("e\u0301")), "1")
str_case("indexOf of e inside é finds nothing", call("é", "indexOf", S("e")), "-1")
str_case("indexOf of e before a mark finds nothing", call("e\u0301", "indexOf", S("e")), "-1")
str_case("lastIndexOf is canonical", call("éaé", "lastIndexOf", S("e\u0301")), "2")
str_case("replace is canonical", call("ae\u0301b", "replace", S("é"), S("E")), "aEb")
str_case("indexOf counts code units", call("\U0001F600x", "indexOf", S("x")), "2")
# A lone surrogate has no UTF-8 form: script-run prints it as U+FFFD.
str_case("charAt gives half of a pair", call("\U0001F600", "charAt", N(1)), "\ufffd")
str_case("concat", call("a", "concat", N(1), NULL, arr(2, 3)), "a1null2,3")
str_case("toString", call("abc", "toString"), "abc")

for table, rows in ROWS.items():
    with open(f"script_{table}_method_fixtures.jsonl", "w", encoding="utf-8") as out:
        for row in rows:
            out.write(json.dumps(row, ensure_ascii=False) + "\n")
