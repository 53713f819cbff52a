#!/usr/bin/python3
"""Generates the channel interfaces of every plugin from the table kept beside it.

Every `channel_table.txt` under plugins/ (the plugin's own folder, or a test folder) yields
`messages.h` and `messages.cpp` next to it: the records, the enumerations, the plugin codec on
pigeon::PigeonCodecBuilder, the host interfaces with their channel set-up on pigeon::setUpMethod
(typed argument decoding: a malformed request is answered "invalid-arguments" and calls nothing)
and the senders of application interfaces with reply judging. The generated files are committed.

  /usr/bin/python3 plugins/pigeon/generate_interfaces.py           regenerate every table
  /usr/bin/python3 plugins/pigeon/generate_interfaces.py --check   exit 1 when a committed file
                                                                   differs from its table

`--root DIR` works on another tree (the generator's own tests use it).

Table format (one statement per line, `#` starts a comment, `##` lines open the generated
header's comment):

  package <channel package> [<C++ constant for it>]
  namespace <C++ namespace>                 optional; without it the global namespace
  form value | completion                   value types and thrown errors, or completion blocks
                                            with a flutter::Error (the two forms of the
                                            convention; same bytes on the channel)
  codec <Name> [extensible]                 value form: class <Name> with static shared();
                                            extensible adds static builder(), the builder of
                                            shared() for codecs that add further types
                                            completion form: function <Name>()
  alias <Name> <type>                       a C++ name for a type in signatures
  completion <Name> <type>                  completion form: the name of the completion block
                                            of methods with that result type
  enum <Name> <type byte> <member>...       raw values 0, 1, ... in the order given
  record <Name> <type byte>                 followed by one indented line per field:
    <field> <type>
  api <Name> host | application             followed by one indented line per method:
    <method>[:<C++ name>](<arg> <type>, ...) -> <type> [async]

Types: string, bool, int, double, bytes, any (any value but null), map, list, list<T>, a record or
an enumeration of the table; `?` after a type makes it nullable; `!` after bool, int or double (an
argument only) reads a null argument as false, 0 or 0.0; `void` as a result. Type bytes
count from 129 in codec order (128 belongs to references to proxied instances). Channels are
"dev.flutter.pigeon.<package>.<api>.<method>" plus "." and the suffix when one is given.

Proxy interfaces (objects living on both sides, tied by an instance identifier) belong in the
same table (every member's channel and request layout is in the table model, see
proxy_channels). Each yields PigeonApiDelegate<Name>, the native operations a plugin implements
(failures thrown as pigeon::PigeonError), and PigeonApi<Name>: setUpMessageHandlers (requests
decoded and type-checked, a receiver or instance argument of another class answered
"invalid-arguments"; an api without delegate installs nothing), the callback senders (refused
with "ignore-calls-error" while calls are ignored, "missing-instance-error" for an unregistered
receiver) and pigeonNewInstance with the announced fields. setUpProxyApis makes them all.

  registrar <C++ class> <header>            the registrar the generated code works through
                                            (instanceManager, codec, messenger,
                                            ignoreCallsToDart, pigeonNewInstance,
                                            setAnnouncedFields); required with proxy apis
  api <Name> proxy <native type> [extends <Api>]
                                            one proxied type; its channels use the proxy codec;
                                            extends names the proxy api of its supertype
    constructor <name>(<arg> <type>, ...)   request [new identifier, args...]; registers the object
    attached <name> <type>                  request [instance, new identifier]; registers a field
                                            that native code owns
    static attached <name> <type>           request [new identifier]
    method <name>(...) -> <type> [async]    request [instance, args...]
    static <name>(...) -> <type> [async]    request [args...]
    callback <name>(...) -> <type>          toward the application: [instance, args...], the reply
                                            judged as for application interfaces
    announce <field> <type>                 the fields that follow the identifier when native code
                                            announces a new instance ("pigeon_newInstance")
    announce                                announced with no fields; a proxy api without any
                                            announce line is never announced (the delegates the
                                            application creates itself)
  instance<Name>                            a reference to an object of proxy api <Name> (type
                                            byte 128); only in proxy members, where an attached
                                            field's type must be one. An argument accepts the
                                            native class of <Name> and of the apis extending
                                            it (any object for a root api)

A constructor or attached field names the new identifier; one bound to another live object is
refused ("identifier-in-use-error") and nothing changes.
"""
import argparse
import filecmp
import os
import re
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
TABLE = "channel_table.txt"
OUTPUTS = ("messages.h", "messages.cpp")
OBJECT = "platform::webkit::NativeObjectPtr"
PROXY_KINDS = ("constructor", "attached", "static", "method", "callback", "announce")
SCALARS = {
    "string": "std::string",
    "bool": "bool",
    "int": "std::int64_t",
    "double": "double",
    "any": "platform::Value",
    "map": "platform::ValueMap",
    "list": "platform::ValueList",
    "bytes": "platform::Bytes",
}
# Arguments accessor of each scalar: (required, nullable).
ACCESSORS = {
    "string": ("string", "optionalString"),
    "bool": ("boolean", "optionalBoolean"),
    "int": ("integer", "optionalInteger"),
    "double": ("number", "optionalNumber"),
    "any": ("value", "optionalValue"),
    "map": ("map", "optionalMap"),
    "list": ("list", "optionalList"),
    "bytes": ("bytes", "optionalBytes"),
}
# Arguments marked "!": null reads as the type's zero.
ZERO_ACCESSORS = {"bool": "booleanOrFalse", "int": "integerOrZero", "double": "numberOrZero"}
# How list elements are named in messages.
ELEMENT_NAMES = {
    "string": "strings", "bool": "booleans", "int": "integers", "double": "doubles",
    "any": "values", "map": "maps", "list": "lists", "bytes": "byte arrays",
}


class TableError(Exception):
    pass


class Type:
    def __init__(self, base, nullable=False, element=None, instance=None, null_as_zero=False):
        self.base = base          # scalar name, "list" (with element), record or enum name, void,
        #                           or "instance" (with the proxy api's name)
        self.nullable = nullable
        self.element = element    # Type of list<T> elements
        self.instance = instance  # proxy api of instance<Name>
        self.null_as_zero = null_as_zero  # "!": a null argument reads as false, 0 or 0.0

    def text(self):
        if self.element:
            t = "list<%s>" % self.element.text()
        elif self.instance:
            t = "instance<%s>" % self.instance
        else:
            t = self.base
        return t + ("?" if self.nullable else "!" if self.null_as_zero else "")


class Table:
    def __init__(self, path):
        self.path = path
        self.doc = []           # the generated header's opening comment
        self.docs = {}          # enum, record or api name -> its comment lines
        self.package = None
        self.package_constant = None
        self.namespace = None
        self.form = None
        self.codec = None
        self.codec_extensible = False
        self.aliases = {}       # type text -> name
        self.completions = {}   # type text -> name
        self.enums = {}         # name -> (byte, members)
        self.records = {}       # name -> (byte, [(field, Type)])
        self.codec_order = []   # ("enum" | "record", name) in type-byte order
        self.apis = []          # (name, direction, [method])
        self.proxies = []       # {"name", "native", "extends", "members", "announce"}
        self.instance_uses = [] # (proxy api name, where) of every instance<Name>, checked at the end
        self.registrar = None   # (C++ class, header) of the proxy apis' registrar


def parse_type(text, table, where, allow_void=False, allow_instance=False, allow_zero=False):
    text = text.strip()
    if text.endswith("!"):
        if not allow_zero or text[:-1] not in ZERO_ACCESSORS:
            raise TableError(where + ": '!' marks a bool, int or double argument")
        return Type(text[:-1], null_as_zero=True)
    nullable = text.endswith("?")
    if nullable:
        text = text[:-1]
    m = re.fullmatch(r"list<(.+)>", text)
    if m:
        element = parse_type(m.group(1), table, where, allow_instance=allow_instance)
        if element.nullable:
            raise TableError(where + ": list elements cannot be nullable")
        return Type("list", nullable, element)
    m = re.fullmatch(r"instance<(\w+)>", text)
    if m:
        # Proxy apis may refer to each other in any order; the names are checked at the end.
        if not allow_instance:
            raise TableError(where + ": proxy references belong only in proxy apis")
        table.instance_uses.append((m.group(1), where))
        return Type("instance", nullable, instance=m.group(1))
    if text == "void":
        if not allow_void or nullable:
            raise TableError(where + ": void is only a result")
        return Type("void")
    if text in SCALARS or text in table.records or text in table.enums:
        return Type(text, nullable)
    raise TableError(where + ": unknown type '%s'" % text)


def parse_table(path):
    table = Table(path)
    name = os.path.relpath(path, REPO)
    block = None  # ("record", name) or ("api", index)
    pending = []  # "##" lines waiting for the statement they describe
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    for lineno, raw in enumerate(lines, 1):
        where = "%s:%d" % (name, lineno)
        if raw.startswith("##"):
            pending.append(raw[2:].strip())
            continue
        line = raw.split("#", 1)[0].rstrip()
        if not line.strip():
            continue
        if line[0].isspace():
            if block is None:
                raise TableError(where + ": indented line outside a record or api")
            if block[0] == "record":
                words = line.split()
                if len(words) != 2:
                    raise TableError(where + ": a field is '<name> <type>'")
                table.records[block[1]][1].append((words[0], parse_type(words[1], table, where)))
            elif block[0] == "proxy":
                parse_proxy_member(line.strip(), table.proxies[block[1]], table, where)
            else:
                table.apis[block[1]][2].append(parse_method(line.strip(), table, where))
            continue
        block = None
        words = line.split()
        keyword = words[0]
        doc, pending = pending, []
        if keyword in ("enum", "record", "api") and len(words) > 1:
            if keyword == "api" and words[1] in api_names(table):
                raise TableError(where + ": api '%s' is declared twice" % words[1])
            table.docs[words[1]] = doc
        elif keyword == "package":
            table.doc = doc
        elif doc:
            raise TableError(where + ": '##' lines describe the package, an enum, record or api")
        if keyword == "package" and len(words) in (2, 3):
            table.package = words[1]
            table.package_constant = words[2] if len(words) == 3 else None
        elif keyword == "registrar" and len(words) == 3:
            table.registrar = (words[1], words[2])
        elif keyword == "namespace" and len(words) == 2:
            table.namespace = words[1]
        elif keyword == "form" and len(words) == 2 and words[1] in ("value", "completion"):
            table.form = words[1]
        elif keyword == "codec" and (len(words) == 2 or words[2:] == ["extensible"]):
            table.codec = words[1]
            table.codec_extensible = len(words) == 3
        elif keyword in ("alias", "completion") and len(words) == 3:
            target = table.aliases if keyword == "alias" else table.completions
            target[parse_type(words[2], table, where, keyword == "completion").text()] = words[1]
        elif keyword == "enum" and len(words) >= 4:
            add_codec_type(table, "enum", words[1], words[2], where)
            if len(set(words[3:])) != len(words) - 3:
                raise TableError(where + ": repeated enumeration member")
            table.enums[words[1]] = (int(words[2]), words[3:])
        elif keyword == "record" and len(words) == 3:
            add_codec_type(table, "record", words[1], words[2], where)
            table.records[words[1]] = (int(words[2]), [])
            block = ("record", words[1])
        elif keyword == "api" and len(words) in (4, 6) and words[2] == "proxy" and (
                len(words) == 4 or words[4] == "extends"):
            table.proxies.append({"name": words[1], "native": words[3],
                                  "extends": words[5] if len(words) == 6 else None,
                                  "members": [], "announce": [], "announced": False,
                                  "where": where})
            block = ("proxy", len(table.proxies) - 1)
        elif keyword == "api" and len(words) == 3 and words[2] in ("host", "application"):
            table.apis.append((words[1], words[2], []))
            block = ("api", len(table.apis) - 1)
        else:
            raise TableError(where + ": cannot read '%s'" % line.strip())
    for field in ("package", "form", "codec"):
        if getattr(table, field) is None:
            raise TableError("%s: no '%s' line" % (name, field))
    for record, (_, fields) in table.records.items():
        if not fields:
            raise TableError("%s: record %s has no fields" % (name, record))
    check_proxies(table)
    return table


def api_names(table):
    return [api for api, _, _ in table.apis] + [proxy["name"] for proxy in table.proxies]


def parse_proxy_member(text, proxy, table, where):
    """One member line of a proxy api: a constructor, an attached field, a method (instance or
    static), a callback toward the application, or an announced field."""
    words = text.split()
    kind = words[0]
    if kind == "static" and len(words) > 1 and words[1] == "attached":
        kind, text = "static attached", text.split(None, 2)[2] if len(words) > 2 else ""
    elif kind in PROXY_KINDS:
        text = text.split(None, 1)[1] if len(words) > 1 else ""
    else:
        raise TableError(where + ": a proxy member starts with one of: " + ", ".join(PROXY_KINDS))
    if kind == "announce" and not text.strip():
        proxy["announced"] = True  # announced with no fields
        return
    if kind in ("attached", "static attached", "announce"):
        parts = text.split()
        if len(parts) != 2:
            raise TableError(where + ": '%s' is followed by '<name> <type>'" % kind)
        t = parse_type(parts[1], table, where, allow_instance=True)
        if kind != "announce" and (t.base != "instance" or t.nullable):
            raise TableError(where + ": an attached field is a non-null instance<Name>")
        if kind == "announce":
            if parts[0] in [f for f, _ in proxy["announce"]]:
                raise TableError(where + ": announced field '%s' is declared twice" % parts[0])
            proxy["announce"].append((parts[0], t))
            proxy["announced"] = True
            return
        member = {"kind": kind, "name": parts[0], "arguments": [], "result": Type("void"),
                  "async": False}
    elif kind == "constructor":
        m = re.fullmatch(r"(\w+)\s*\(([^)]*)\)", text)
        if not m:
            raise TableError(where + ": a constructor is 'constructor <name>(<arg> <type>, ...)'")
        member = {"kind": kind, "name": m.group(1),
                  "arguments": parse_arguments(m.group(2), table, where, True),
                  "result": Type("void"), "async": False}
    else:
        method = parse_method(text, table, where, allow_instance=True)
        if kind == "callback" and method["async"]:
            raise TableError(where + ": a callback is answered by the application; no async")
        member = dict(method, kind=kind)
    if member["name"] in [other["name"] for other in proxy["members"]] or \
            member["name"] == "pigeon_newInstance":
        raise TableError(where + ": member '%s' is declared twice" % member["name"])
    proxy["members"].append(member)


def check_proxies(table):
    proxies = {proxy["name"]: proxy for proxy in table.proxies}
    for used, where in table.instance_uses:
        if used not in proxies:
            raise TableError(where + ": instance<%s> names no proxy api of the table" % used)
    for proxy in table.proxies:
        seen = [proxy["name"]]
        parent = proxy["extends"]
        while parent is not None:
            if parent not in proxies:
                raise TableError(proxy["where"] + ": extends '%s', no proxy api of the table"
                                 % parent)
            if parent in seen:
                raise TableError(proxy["where"] + ": the supertypes of %s run in a circle"
                                 % proxy["name"])
            seen.append(parent)
            parent = proxies[parent]["extends"]


def proxy_channels(table):
    """Every channel of the table's proxy apis, in declaration order: (channel name, direction,
    request layout). The layout lists the request's elements: "new identifier", "instance", or
    an argument as "<name> <type>". Direction "host" is a request the application sends,
    "application" a call native code sends."""
    out = []
    for proxy in table.proxies:
        prefix = "dev.flutter.pigeon.%s.%s." % (table.package, proxy["name"])
        for member in proxy["members"]:
            arguments = ["%s %s" % (a, t.text()) for a, t in member["arguments"]]
            kind = member["kind"]
            if kind == "constructor":
                layout = ["new identifier"] + arguments
            elif kind == "attached":
                layout = ["instance", "new identifier"]
            elif kind == "static attached":
                layout = ["new identifier"]
            elif kind == "static":
                layout = arguments
            else:  # method, callback
                layout = ["instance"] + arguments
            direction = "application" if kind == "callback" else "host"
            out.append((prefix + member["name"], direction, layout))
        if proxy["announced"]:
            out.append((prefix + "pigeon_newInstance", "application",
                        ["new identifier"] + ["%s %s" % (f, t.text())
                                              for f, t in proxy["announce"]]))
    return out


def add_codec_type(table, kind, type_name, byte, where):
    if type_name in table.records or type_name in table.enums or type_name in SCALARS:
        raise TableError(where + ": '%s' is declared twice" % type_name)
    expected = 129 + len(table.codec_order)
    if not byte.isdigit() or int(byte) != expected:
        raise TableError(where + ": type bytes count from 129 in order; expected %d" % expected)
    table.codec_order.append((kind, type_name))


def parse_arguments(text, table, where, allow_instance=False):
    arguments = []
    for item in filter(None, (a.strip() for a in text.split(","))):
        words = item.split()
        if len(words) != 2:
            raise TableError(where + ": an argument is '<name> <type>'")
        if words[0] in ("api", "args", "responder", "completion", "messenger"):
            raise TableError(where + ": '%s' is a name the generated code uses" % words[0])
        if words[0] in [a for a, _ in arguments]:
            raise TableError(where + ": argument '%s' is declared twice" % words[0])
        arguments.append((words[0], parse_type(words[1], table, where,
                                               allow_instance=allow_instance, allow_zero=True)))
    return arguments


def parse_method(text, table, where, allow_instance=False):
    if not allow_instance and text.split()[0] in PROXY_KINDS:
        raise TableError(where + ": '%s' belongs only in a proxy api" % text.split()[0])
    m = re.fullmatch(r"(\w+)(?::(\w+))?\s*\(([^)]*)\)\s*->\s*(\S+)(\s+async)?", text)
    if not m:
        raise TableError(where + ": a method is '<name>[:<C++ name>](<arg> <type>, ...) -> "
                         "<type> [async]'")
    return {
        "name": m.group(1),
        "cxx": m.group(2) or m.group(1),
        "arguments": parse_arguments(m.group(3), table, where, allow_instance),
        "result": parse_type(m.group(4), table, where, allow_void=True,
                             allow_instance=allow_instance),
        "async": bool(m.group(5)),
    }


# ---- C++ types ----------------------------------------------------------------------------------

def storage(t, table, alias=True):
    """The C++ type that holds a value of `t`."""
    if alias and t.text() in table.aliases:
        return table.aliases[t.text()]
    if t.base == "void":
        return "void"
    if t.base == "instance":
        return OBJECT
    if t.element:
        inner = "std::vector<%s>" % storage(t.element, table)
    elif t.base in table.records:
        return "std::shared_ptr<%s>" % t.base
    elif t.base in table.enums:
        inner = t.base
    else:
        inner = SCALARS[t.base]
    return "std::optional<%s>" % inner if t.nullable else inner


def parameter(t, table):
    """How an implementation receives an argument of `t`."""
    if t.base in table.records and not t.nullable:
        return "const %s&" % t.base
    if t.base == "instance":
        return "const %s&" % OBJECT
    s = storage(t, table)
    if t.base in table.enums and not t.nullable or t.base in ("bool", "int", "double") \
            and not t.nullable:
        return s
    return "const %s&" % s


def decode(t, table, source, index):
    """The expression reading position `index` of the pigeon::Arguments `source` as `t`."""
    if t.base == "instance":
        return 'instanceArgument(%s, %d, %s, %s)' % (source, index, accepted_classes(t.instance, table),
                                                   "true" if t.nullable else "false")
    if t.element:
        access = "optionalListOf" if t.nullable else "listOf"
        names = ELEMENT_NAMES.get(t.element.base, t.element.base + " values")
        return '%s.%s<%s>(%d, "%s")' % (source, access, storage(t.element, table), index, names)
    if t.base in table.records:
        access = "optionalRecord" if t.nullable else "record"
        return "%s.%s<%s>(%d)" % (source, access, t.base, index)
    if t.base in table.enums:
        access = "optionalEnumeration" if t.nullable else "enumeration"
        return "%s.%s<%s>(%d)" % (source, access, t.base, index)
    if t.null_as_zero:
        return "%s.%s(%d)" % (source, ZERO_ACCESSORS[t.base], index)
    return "%s.%s(%d)" % (source, ACCESSORS[t.base][1 if t.nullable else 0], index)


def comment(lines, indent=""):
    return [indent + "//" + (" " + line if line else "") for line in lines]


def wrap(head, items, tail, indent=""):
    """`head` + items joined by ", " + `tail`, one item per line when it is over 100 columns."""
    line = indent + head + ", ".join(items) + tail
    if len(line) <= 100 or not items:
        return [line]
    pad = " " * (len(indent) + len(head))
    if len(pad) > 60:
        pad = indent + "    "
        return [indent + head.rstrip()] + [pad + item + ("," if i + 1 < len(items) else tail)
                                           for i, item in enumerate(items)]
    return [indent + head + items[0] + ("," if len(items) > 1 else tail)] + \
        [pad + item + ("," if i + 2 < len(items) else tail) for i, item in enumerate(items[1:])]


def upper_first(s):
    return s[:1].upper() + s[1:]


def error_type(table):
    return "flutter::Error" if table.form == "completion" else "pigeon::PigeonError"


def completion_type(method, table):
    result = method["result"]
    if table.form == "completion" and result.text() in table.completions:
        return table.completions[result.text()]
    error = "const std::optional<%s>& error" % error_type(table)
    if result.base == "void":
        return "std::function<void(%s)>" % error
    return "std::function<void(%s result, %s)>" % (storage(result, table), error)


def header_guard_include(table):
    return os.path.relpath(os.path.join(os.path.dirname(table.path), "messages.h"), REPO)


# ---- Header -------------------------------------------------------------------------------------

def write_header(table):
    out = ["// Generated by plugins/pigeon/generate_interfaces.py from %s. Do not edit."
           % os.path.relpath(table.path, REPO)]
    out += ["//" + (" " + line if line else "") for line in table.doc]
    out += ["#pragma once", ""]
    includes = ["<cstdint>", "<functional>", "<memory>", "<optional>", "<string>", "<vector>"]
    out += ["#include %s" % i for i in includes] + [""]
    out += ['#include "platform/core/value.h"', '#include "platform/engine/binary_messenger.h"',
            '#include "platform/engine/error.h"', '#include "platform/engine/standard_codec.h"',
            '#include "plugins/pigeon/pigeon_channel.h"']
    if table.codec_extensible:
        out += ['#include "plugins/pigeon/pigeon_codec.h"']
    out += ['#include "plugins/pigeon/pigeon_error.h"', '#include "plugins/pigeon/pigeon_values.h"']
    if table.proxies:
        out += ['#include "platform/webkit/native_object.h"']
    out += [""]
    if table.namespace:
        out += ["namespace %s {" % table.namespace, ""]
    if table.package_constant:
        out += ['inline constexpr const char* %s = "%s";' % (table.package_constant,
                                                              table.package), ""]
    for kind, name in table.codec_order:
        if kind == "enum":
            members = table.enums[name][1]
            out += comment(table.docs.get(name, []))
            out += ["enum class %s : std::int64_t {" % name]
            out += ["  %s = %d," % (m, i) for i, m in enumerate(members)]
            out += ["};", ""]
    for kind, name in table.codec_order:
        if kind == "record":
            out += write_record_declaration(name, table)
    if table.form == "value":
        out += ["// The codec shared by every channel of the plugin.", "class %s {" % table.codec,
                " public:",
                "  static std::shared_ptr<const flutter::StandardMessageCodec> shared();"]
        if table.codec_extensible:
            out += ["  // The builder of shared(), for codecs that add types of their own.",
                    "  static pigeon::PigeonCodecBuilder builder();"]
        out += ["};", ""]
    else:
        out += ["// The codec shared by every channel of the plugin.",
                "std::shared_ptr<const flutter::StandardMessageCodec> %s();" % table.codec, ""]
    for alias_text, alias in table.aliases.items():
        out += ["using %s = %s;" % (alias, storage(parse_type(alias_text, table, ""), table,
                                                   alias=False))]
    if table.aliases:
        out.append("")
    for result_text, name in table.completions.items():
        fake = {"result": parse_type(result_text, table, "", True)}
        saved, table.completions = table.completions, {}
        out += wrap("using %s = " % name, [completion_type(fake, table)], ";")
        table.completions = saved
    if table.completions:
        out.append("")
    for api, direction, methods in table.apis:
        if direction == "host":
            out += write_host_declaration(api, methods, table)
        else:
            out += write_application_declaration(api, methods, table)
    if table.proxies:
        out += write_proxy_declarations(table)
    if table.namespace:
        out += ["}  // namespace %s" % table.namespace, ""]
    return "\n".join(out)


def record_parameters(fields, table):
    return ["%s %s" % (storage(t, table), f) for f, t in fields]


def write_record_declaration(name, table):
    fields = table.records[name][1]
    first = fields[0][0]
    params = record_parameters(fields, table)
    out = comment(table.docs.get(name, []))
    out += ["class %s : public pigeon::PigeonRecord {" % name, " public:",
            "  %s() = default;" % name]
    out += wrap("%s%s(" % ("explicit " if len(fields) == 1 else "", name), params, ");", "  ")
    out += wrap("static std::shared_ptr<%s> makeWith%s(" % (name, upper_first(first)), params,
                ");", "  ")
    out += ["  // Null when the list is shorter than %d or a field has another type." % len(fields),
           "  static std::shared_ptr<%s> fromList(const platform::ValueList& list);" % name,
           "  static std::shared_ptr<%s> nullableFromList(const platform::ValueList* list);" % name,
           "  platform::ValueList toList() const override;",
           '  std::string className() const override { return "%s"; }' % name, ""]
    out += ["  %s %s{};" % (storage(t, table), f) for f, t in fields]
    out += ["};", ""]
    return out


def host_signature(method, table):
    params = ["%s %s" % (parameter(t, table), a) for a, t in method["arguments"]]
    if method["async"] or table.form == "completion":
        params.append("%s completion" % completion_type(method, table))
        result = "void"
    else:
        result = storage(method["result"], table)
    return "%s %s(" % (result, method["cxx"]), params


def write_host_declaration(api, methods, table):
    out = comment(table.docs.get(api, []))
    out += ["// Implemented by the plugin; called on the main loop."]
    if table.form == "value":
        out.append("// Failures are thrown (pigeon::PigeonError chooses the reply's fields).")
    else:
        out.append("// Each completion is called exactly once, now or later.")
    out += ["class %s {" % api, " public:", "  virtual ~%s() = default;" % api]
    for method in methods:
        if method["cxx"] != method["name"]:
            out.append('  // The "%s" method.' % method["name"])
        head, params = host_signature(method, table)
        out += wrap("virtual " + head, params, ") = 0;", "  ")
    out += ["};", ""]
    args = ["const std::shared_ptr<flutter::BinaryMessenger>& messenger",
            "std::shared_ptr<%s> api" % api]
    out.append("// Installs one handler per method, in table order; a null `api` detaches them.")
    if table.form == "value":
        out += ["struct %sSetup {" % api]
        out += wrap("static void setUp(", args + ['const std::string& messageChannelSuffix = ""'],
                    ");", "  ")
        out += ["};", ""]
    else:
        out += wrap("void SetUp%s(" % api, args, ");")
        out += wrap("void SetUp%sWithSuffix(" % api,
                    args + ["const std::string& messageChannelSuffix"], ");")
        out += [""]
    return out


def write_application_declaration(api, methods, table):
    out = comment(table.docs.get(api, []))
    out += ["// Calls into the application's code. Completions run on the main loop with the judged",
           "// reply; a result is of the declared type when the call succeeds.",
           "class %s {" % api, " public:",
           ]
    out += wrap("explicit %s(" % api, ["std::shared_ptr<flutter::BinaryMessenger> messenger",
                                       'std::string messageChannelSuffix = ""'], ");", "  ")
    for method in methods:
        params = ["%s %s" % (parameter(t, table), a) for a, t in method["arguments"]]
        params.append("std::function<void(const pigeon::CallResult& result)> completion")
        out += wrap("void %s(" % method["cxx"], params, ") const;", "  ")
    out += ["", " private:", "  std::shared_ptr<flutter::BinaryMessenger> messenger_;",
            "  std::string messageChannelSuffix_;", "};", ""]
    return out


# ---- Source -------------------------------------------------------------------------------------

def write_source(table):
    out = ["// Generated by plugins/pigeon/generate_interfaces.py from %s. Do not edit."
           % os.path.relpath(table.path, REPO),
           '#include "%s"' % header_guard_include(table), "",
           "#include <utility>", "", '#include "plugins/pigeon/pigeon_codec.h"']
    if table.proxies:
        out += ['#include "%s"' % table.registrar[1]]
    out += [""]
    if table.namespace:
        out += ["namespace %s {" % table.namespace, ""]
    package = table.package_constant or '"%s"' % table.package
    for kind, name in table.codec_order:
        if kind == "record":
            out += write_record_definition(name, table)
    codec_lines = ["pigeon::PigeonCodecBuilder()"]
    for kind, name in table.codec_order:
        if kind == "enum":
            byte, members = table.enums[name]
            codec_lines.append(".addEnum<%s>(%d, [](std::int64_t raw) { return raw >= 0 && raw < %d; })"
                               % (name, byte, len(members)))
        else:
            codec_lines.append(".addRecord<%s>(%d)" % (name, table.records[name][0]))
    if table.codec_extensible:
        out += ["pigeon::PigeonCodecBuilder %s::builder() {" % table.codec,
                "  return " + "\n      ".join(codec_lines) + ";", "}", ""]
        codec_lines = ["builder().build()"]
    else:
        codec_lines.append(".build()")
    signature = ("std::shared_ptr<const flutter::StandardMessageCodec> %s::shared()" % table.codec
                 if table.form == "value" else
                 "std::shared_ptr<const flutter::StandardMessageCodec> %s()" % table.codec)
    codec_call = "%s::shared()" % table.codec if table.form == "value" else "%s()" % table.codec
    out += [signature + " {", "  static const auto codec = " + "\n      ".join(codec_lines) + ";",
            "  return codec;", "}", ""]
    if any(direction == "host" for _, direction, _ in table.apis):
        out += ["namespace {", "",
                "void install(const std::shared_ptr<flutter::BinaryMessenger>& messenger,",
                "             const char* api, const char* method, const std::string& suffix,",
                "             pigeon::MethodHandler handler) {",
                "  pigeon::setUpMethod(messenger, %s," % codec_call,
                "                      pigeon::channelName(%s, api, method, suffix), method," % package,
                "                      std::move(handler));", "}", "", "}  // namespace", ""]
    if table.proxies:
        out += ["namespace {", ""] + write_proxy_helpers(table) + ["}  // namespace", ""]
    for api, direction, methods in table.apis:
        if direction == "host":
            out += write_host_definition(api, methods, table)
        else:
            out += write_application_definition(api, methods, table, package, codec_call)
    if table.proxies:
        out += write_proxy_definitions(table, package)
    if table.namespace:
        out += ["}  // namespace %s" % table.namespace, ""]
    return "\n".join(out)


def write_record_definition(name, table):
    fields = table.records[name][1]
    first = fields[0][0]
    params = record_parameters(fields, table)
    out = wrap("%s::%s(" % (name, name), params, ")")
    out += wrap(": ", ["%s(std::move(%s))" % (f, f) for f, _ in fields], " {}", "    ")
    out += [""]
    out += wrap("std::shared_ptr<%s> %s::makeWith%s(" % (name, name, upper_first(first)), params,
                ") {")
    out += wrap("return std::make_shared<%s>(" % name, ["std::move(%s)" % f for f, _ in fields],
                ");", "  ")
    out += ["}", ""]
    out += wrap("std::shared_ptr<%s> %s::fromList(" % (name, name),
                ["const platform::ValueList& list"], ") {")
    out += ["  if (list.size() < %d) return nullptr;" % len(fields), "  try {",
            '    pigeon::Arguments fields("%s", list);' % name]
    for i, (f, t) in enumerate(fields):
        out.append("    auto %s = %s;" % (f, decode(t, table, "fields", i)))
    out += wrap("return makeWith%s(" % upper_first(first),
                ["std::move(%s)" % f for f, _ in fields], ");", "    ")
    out += ["  } catch (const pigeon::ArgumentError&) {", "    return nullptr;", "  }", "}", ""]
    out += wrap("std::shared_ptr<%s> %s::nullableFromList(" % (name, name),
                ["const platform::ValueList* list"], ") {")
    out += ["  return list ? fromList(*list) : nullptr;", "}", ""]
    out += ["platform::ValueList %s::toList() const {" % name]
    out += wrap("return {", ["pigeon::wireValue(%s)" % f for f, _ in fields], "};", "  ")
    out += ["}", ""]
    return out


def write_handler_body(api, method, table):
    out = []
    names = []
    for i, (a, t) in enumerate(method["arguments"]):
        out.append("auto %s = %s;" % (a, decode(t, table, "args", i)))
        names.append("*" + a if t.base in table.records and not t.nullable else a)
    result = method["result"]
    call = "api->%s(%s" % (method["cxx"], ", ".join(names))
    if table.form == "completion":
        params = ("const std::optional<flutter::Error>& error" if result.base == "void" else
                  "%s result, const std::optional<flutter::Error>& error" % storage(result, table))
        value = "platform::Value()" if result.base == "void" else "pigeon::wireValue(result)"
        out += ["auto completion = [responder](%s) {" % params,
                "  responder.complete(%s, error);" % value, "};",
                call + (", " if names else "") + "std::move(completion));"]
    elif method["async"]:
        params = ("const std::optional<pigeon::PigeonError>& error" if result.base == "void" else
                  "%s result, const std::optional<pigeon::PigeonError>& error"
                  % storage(result, table))
        value = "" if result.base == "void" else "pigeon::wireValue(result)"
        out += ["auto completion = [responder](%s) {" % params,
                "  if (error) {", "    responder.failure(*error);", "  } else {",
                "    responder.success(%s);" % value, "  }", "};",
                call + (", " if names else "") + "std::move(completion));"]
    elif result.base == "void":
        out += [call + ");", "responder.success();"]
    else:
        out += ["responder.success(pigeon::wireValue(%s));" % (call + ")")]
    return out


def write_host_definition(api, methods, table):
    params = ["const std::shared_ptr<flutter::BinaryMessenger>& messenger",
              "std::shared_ptr<%s> api" % api]
    suffix = ["const std::string& messageChannelSuffix"]
    if table.form == "value":
        out = wrap("void %sSetup::setUp(" % api, params + suffix, ") {")
    else:
        out = wrap("void SetUp%s(" % api, params, ") {")
        out += ['  SetUp%sWithSuffix(messenger, std::move(api), "");' % api, "}", ""]
        out += wrap("void SetUp%sWithSuffix(" % api, params + suffix, ") {")
    for method in methods:
        body = write_handler_body(api, method, table)
        unused = "" if method["arguments"] else "/*args*/"
        args = "args" if method["arguments"] else unused
        out += ["  {", "    pigeon::MethodHandler handler;", "    if (api) {",
                "      handler = [api](const pigeon::Arguments& %s, pigeon::Responder responder) {"
                % args]
        out += ["        " + line for line in body]
        out += ["      };", "    }"]
        out += wrap("install(", ["messenger", '"%s"' % api, '"%s"' % method["name"],
                                 "messageChannelSuffix", "std::move(handler)"], ");", "    ")
        out += ["  }"]
    out += ["}", ""]
    return out


def expected_type_check(t, table):
    if t.base in ("void", "any"):
        return "nullptr"
    if t.base == "instance":
        return "&pigeon::holds<%s>" % OBJECT
    return "&pigeon::holds<%s>" % storage(Type(t.base, False, t.element), table, alias=False)


def write_application_definition(api, methods, table, package, codec_call):
    out = wrap("%s::%s(" % (api, api), ["std::shared_ptr<flutter::BinaryMessenger> messenger",
                                        "std::string messageChannelSuffix"], ")")
    out += [
           "    : messenger_(std::move(messenger)),"
           " messageChannelSuffix_(std::move(messageChannelSuffix)) {}", ""]
    for method in methods:
        params = ["%s %s" % (parameter(t, table), a) for a, t in method["arguments"]]
        params.append("std::function<void(const pigeon::CallResult& result)> completion")
        values = list("pigeon::wireValue(%s)" % (
            "std::make_shared<%s>(%s)" % (t.base, a) if t.base in table.records
            and not t.nullable else a) for a, t in method["arguments"])
        result = method["result"]
        required = "false" if result.base == "void" or result.nullable else "true"
        out += wrap("void %s::%s(" % (api, method["cxx"]), params, ") const {")
        out += ["  const std::string channel =",
                '      pigeon::channelName(%s, "%s", "%s", messageChannelSuffix_);'
                % (package, api, method["name"])]
        out += wrap("platform::ValueList arguments{", values, "};", "  ")
        out += ["  std::function<bool(const platform::Value&)> expected = %s;"
                % expected_type_check(result, table)]
        out += ["  pigeon::callApplication(messenger_, %s, channel, std::move(arguments), %s," % (codec_call,
                                                                                     required),
                "                          std::move(completion), std::move(expected));", "}",
                ""]
    return out


# ---- Proxy apis ---------------------------------------------------------------------------------

def cxx_member_name(name):
    """"pigeon_defaultConstructor" -> "pigeonDefaultConstructor"."""
    head, _, tail = name.partition("_")
    return head + upper_first(tail) if tail else name


def accepted_classes(api, table):
    """The native classes an instance<api> argument accepts: the api's own and those of every api
    extending it; "{}" (any object) for the root of the hierarchy."""
    proxies = {proxy["name"]: proxy for proxy in table.proxies}
    if proxies[api]["extends"] is None:
        return "{}"
    names = []
    for proxy in table.proxies:
        parent = proxy["name"]
        while parent is not None and parent != api:
            parent = proxies[parent]["extends"]
        if parent == api and proxy["native"] not in names:
            names.append(proxy["native"])
    return "{%s}" % ", ".join('"%s"' % n for n in names)


def host_members(proxy):
    return [m for m in proxy["members"] if m["kind"] != "callback"]


def delegate_signature(proxy, member, table):
    """(result, C++ name, parameters) of the delegate operation of a host member."""
    api = "PigeonApi" + proxy["name"]
    params = ["%s& pigeonApi" % api]
    kind = member["kind"]
    if kind in ("method", "attached"):
        params.append("const %s& pigeonInstance" % OBJECT)
    params += ["%s %s" % (parameter(t, table), a) for a, t in member["arguments"]]
    if kind in ("constructor", "attached", "static attached"):
        return OBJECT, cxx_member_name(member["name"]), params
    if member["async"]:
        result = member["result"]
        value = "" if result.base == "void" else "%s result, " % storage(result, table)
        params.append("std::function<void(%sconst std::optional<pigeon::PigeonError>& error)> "
                      "completion" % value)
        return "void", member["name"], params
    return storage(member["result"], table), member["name"], params


def callback_parameters(member, table):
    params = ["const %s& pigeonInstance" % OBJECT]
    params += ["%s %s" % (parameter(t, table), a) for a, t in member["arguments"]]
    params.append("std::function<void(const pigeon::CallResult& result)> completion")
    return params


def write_proxy_declarations(table):
    registrar = table.registrar[0]
    out = ["// ---- Proxy apis: objects that live on both sides, tied by an instance identifier.", "",
           "class %s;" % registrar, ""]
    for proxy in table.proxies:
        name = proxy["name"]
        out += ["class PigeonApi%s;" % name]
    out += [""]
    for proxy in table.proxies:
        name = proxy["name"]
        api = "PigeonApi" + name
        out += comment(table.docs.get(name, []))
        out += ["// The native side of %s (native class %s). Operations run on the main thread;"
                % (name, proxy["native"]),
                "// failures are thrown (pigeon::PigeonError chooses the reply's fields).",
                "class PigeonApiDelegate%s {" % name, " public:",
                "  virtual ~PigeonApiDelegate%s() = default;" % name]
        for member in host_members(proxy):
            result, cxx, params = delegate_signature(proxy, member, table)
            out += wrap("virtual %s %s(" % (result, cxx), params, ") = 0;", "  ")
        for field, t in proxy["announce"]:
            out += wrap("virtual %s %s(" % (storage(t, table), field),
                        ["%s& pigeonApi" % api, "const %s& pigeonInstance" % OBJECT], ") = 0;",
                        "  ")
        out += ["};", ""]
        out += ["// The channels of %s. Requests are decoded and type-checked before the delegate is"
                % name,
                "// called: a malformed one (a receiver of another class included) is answered",
                '// "invalid-arguments" and calls nothing.',
                "class %s {" % api, " public:"]
        out += wrap("%s(" % api, ["%s& pigeonRegistrar" % registrar,
                                 "std::shared_ptr<PigeonApiDelegate%s> pigeonDelegate" % name],
                    ");", "  ")
        if host_members(proxy):
            out += ["  // Installs one handler per method, in table order, when `api` has a delegate;"
                    " otherwise",
                    "  // detaches them (an unanswered request then gets the empty reply)."]
            out += wrap("static void setUpMessageHandlers(",
                        ["const std::shared_ptr<flutter::BinaryMessenger>& messenger",
                         "const std::shared_ptr<%s>& api" % api], ");", "  ")
        if proxy["announced"]:
            out += ['  // Announces `pigeonInstance` on "%s.pigeon_newInstance" unless it is known.'
                    % name]
            out += wrap("void pigeonNewInstance(", ["const %s& pigeonInstance" % OBJECT,
                        "std::function<void(const pigeon::CallResult& result)> completion"],
                        ") const;", "  ")
            out += ["  // The fields sent after the identifier (none without a delegate), with room for the",
                    "  // identifier in front."]
            out += wrap("platform::ValueList pigeonAnnouncedFields(",
                        ["const %s& pigeonInstance" % OBJECT], ");", "  ")
        for member in proxy["members"]:
            if member["kind"] == "callback":
                out += wrap("void %s(" % member["name"], callback_parameters(member, table),
                            ") const;", "  ")
        out += ["", "  %s& pigeonRegistrar;" % registrar,
                "  const std::shared_ptr<PigeonApiDelegate%s> pigeonDelegate;" % name, "};", ""]
    out += ["// One delegate per api; an api without one installs no handler."]
    out += ["struct ProxyApiDelegates {"]
    out += ["  std::shared_ptr<PigeonApiDelegate%s> %s;" % (p["name"], p["name"])
            for p in table.proxies]
    out += ["};", "", "// The api objects, made once per registrar."]
    out += ["struct ProxyApis {"]
    out += ["  std::shared_ptr<PigeonApi%s> %s;" % (p["name"], p["name"]) for p in table.proxies]
    out += ["};", "",
            "// Makes every api object, installs the handlers of those with a delegate and hands the",
            "// announced fields of each announced api to the registrar.",
            "ProxyApis setUpProxyApis(%s& registrar, const ProxyApiDelegates& delegates);"
            % registrar, ""]
    return out


def write_proxy_helpers(table):
    return [
        "// A proxy reference argument: the registered object, of one of `classes` (any class when",
        "// empty); null only where the argument is optional.",
        "%s instanceArgument(const pigeon::Arguments& args, std::size_t index," % OBJECT,
        "                    std::initializer_list<const char*> classes, bool optional) {",
        "  if (optional && args.at(index).isNull()) return nullptr;",
        "  auto object = args.at(index).asObjectOf<platform::webkit::NativeObject>();",
        "  if (!object) throw pigeon::ArgumentError(args.describe(index, \"an instance\"));",
        "  if (classes.size() == 0) return object;",
        "  for (const char* name : classes) {",
        "    if (object->className() == name) return object;",
        "  }",
        "  throw pigeon::ArgumentError(args.method() + \": argument \" + std::to_string(index) +",
        "                              \" is an instance of \" + object->className() +",
        "                              \", not of the expected class\");",
        "}", "",
        "// Registers an object the application's code created under the identifier it chose.",
        "// An identifier bound to another live object is refused and changes nothing.",
        "void registerCreated(%s& registrar, const %s& object," % (table.registrar[0], OBJECT),
        "                     std::int64_t identifier, const std::string& method) {",
        "  if (!object) {",
        "    throw pigeon::PigeonError(\"null-instance-error\", method + \" made no object.\",",
        "                              platform::Value(\"\"));",
        "  }",
        "  if (!registrar.instanceManager().addDartCreatedInstance(object, identifier)) {",
        "    throw pigeon::PigeonError(\"identifier-in-use-error\",",
        "                              method + \": identifier \" + std::to_string(identifier) +",
        "                                  \" is bound to another live object.\",",
        "                              platform::Value(\"\"));",
        "  }",
        "}", "",
        "pigeon::CallResult failedCall(const char* code, std::string message) {",
        "  return pigeon::CallResult{pigeon::PigeonError(code, std::move(message), platform::Value(\"\")),",
        "                            {}};",
        "}", ""]


def proxy_handler_body(proxy, member, table):
    kind = member["kind"]
    out, names = [], ["*api"]
    offset = 0
    if kind in ("constructor", "static attached"):
        out.append("auto pigeonIdentifier = args.integer(0);")
        offset = 1
    elif kind in ("method", "attached"):
        out.append("auto pigeonInstance = %s;" % decode(Type("instance", instance=proxy["name"]),
                                                         table, "args", 0))
        names.append("pigeonInstance")
        offset = 1
    if kind == "attached":
        out.append("auto pigeonIdentifier = args.integer(1);")
    for i, (a, t) in enumerate(member["arguments"]):
        out.append("auto %s = %s;" % (a, decode(t, table, "args", i + offset)))
        names.append("*" + a if t.base in table.records and not t.nullable else a)
    cxx = cxx_member_name(member["name"]) if kind in ("constructor", "attached",
                                                      "static attached") else member["name"]
    call = "api->pigeonDelegate->%s(%s" % (cxx, ", ".join(names))
    label = '"%s.%s"' % (proxy["name"], member["name"])
    if kind in ("constructor", "attached", "static attached"):
        out += ["registerCreated(api->pigeonRegistrar, %s), pigeonIdentifier, %s);" % (call, label),
                "responder.success();"]
        return out
    result = member["result"]
    if member["async"]:
        params = ("const std::optional<pigeon::PigeonError>& error" if result.base == "void" else
                  "%s result, const std::optional<pigeon::PigeonError>& error"
                  % storage(result, table))
        value = "" if result.base == "void" else "pigeon::wireValue(result)"
        out += ["auto completion = [responder](%s) {" % params,
                "  if (error) {", "    responder.failure(*error);", "  } else {",
                "    responder.success(%s);" % value, "  }", "};",
                call + ", std::move(completion));"]
    elif result.base == "void":
        out += [call + ");", "responder.success();"]
    else:
        out += ["responder.success(pigeon::wireValue(%s));" % (call + ")")]
    return out


def write_proxy_definitions(table, package):
    registrar = table.registrar[0]
    out = []
    for proxy in table.proxies:
        name = proxy["name"]
        api = "PigeonApi" + name
        out += wrap("%s::%s(" % (api, api), ["%s& pigeonRegistrar" % registrar,
                                            "std::shared_ptr<PigeonApiDelegate%s> pigeonDelegate"
                                            % name], ")")
        out += ["    : pigeonRegistrar(pigeonRegistrar), pigeonDelegate(std::move(pigeonDelegate)) {}",
                ""]
        if host_members(proxy):
            out += wrap("void %s::setUpMessageHandlers(" % api,
                        ["const std::shared_ptr<flutter::BinaryMessenger>& messenger",
                         "const std::shared_ptr<%s>& api" % api], ") {")
            out += ["  const bool installed = api && api->pigeonDelegate;",
                    "  const auto codec = api ? api->pigeonRegistrar.codec() : %s::shared();"
                    % table.codec]
            for member in host_members(proxy):
                args = "args" if member["kind"] != "static" or member["arguments"] else "/*args*/"
                out += ["  {", "    pigeon::MethodHandler handler;", "    if (installed) {",
                        "      handler = [api](const pigeon::Arguments& %s, pigeon::Responder "
                        "responder) {" % args]
                out += ["        " + line for line in proxy_handler_body(proxy, member, table)]
                out += ["      };", "    }"]
                out += wrap("pigeon::setUpMethod(", [
                    "messenger", "codec",
                    'pigeon::channelName(%s, "%s", "%s")' % (package, name, member["name"]),
                    '"%s"' % member["name"], "std::move(handler)"], ");", "    ")
                out += ["  }"]
            out += ["}", ""]
        if proxy["announced"]:
            out += wrap("void %s::pigeonNewInstance(" % api, [
                "const %s& pigeonInstance" % OBJECT,
                "std::function<void(const pigeon::CallResult& result)> completion"], ") const {")
            out += ["  pigeonRegistrar.pigeonNewInstance(pigeonInstance, std::move(completion));",
                    "}", ""]
            unused = "" if proxy["announce"] else "/*pigeonInstance*/"
            out += wrap("platform::ValueList %s::pigeonAnnouncedFields(" % api,
                        ["const %s& %s" % (OBJECT, "pigeonInstance" if proxy["announce"]
                                           else unused)], ") {")
            if proxy["announce"]:
                out += ["  if (!pigeonDelegate) return {};"]
                # Pushed one by one: an initializer list would copy each field once more. One
                # slot more than the fields: the registrar puts the identifier in front of them
                # without a second allocation.
                out += ["  platform::ValueList fields;",
                        "  fields.reserve(%d);  // and the identifier" % (len(proxy["announce"]) + 1)]
                out += ["  fields.push_back(pigeon::wireValue(pigeonDelegate->%s(*this, "
                        "pigeonInstance)));" % f for f, _ in proxy["announce"]]
                out += ["  return fields;"]
            else:
                out += ["  return {};"]
            out += ["}", ""]
        for member in proxy["members"]:
            if member["kind"] != "callback":
                continue
            result = member["result"]
            required = "false" if result.base == "void" or result.nullable else "true"
            values = ["pigeon::wireValue(pigeonInstance)"] + [
                "pigeon::wireValue(%s)" % a for a, _ in member["arguments"]]
            out += wrap("void %s::%s(" % (api, member["name"]), callback_parameters(member, table),
                        ") const {")
            out += ["  if (pigeonRegistrar.ignoreCallsToDart()) {",
                    '    completion(failedCall("ignore-calls-error", '
                    '"Calls to Dart are being ignored."));',
                    "    return;", "  }",
                    "  if (!pigeonRegistrar.instanceManager().containsInstance(pigeonInstance)) {",
                    '    completion(failedCall("missing-instance-error",',
                    '                          "Callback to `%s.%s` failed because native instance '
                    'was not in "' % (name, member["name"]),
                    '                          "the instance manager."));',
                    "    return;", "  }"]
            # Pushed one by one: an initializer list would copy each argument once more.
            out += ["  platform::ValueList arguments;",
                    "  arguments.reserve(%d);" % len(values)]
            out += ["  arguments.push_back(%s);" % v for v in values]
            out += ["  std::function<bool(const platform::Value&)> expected = %s;"
                    % expected_type_check(result, table)]
            out += ["  static const std::string channel = pigeon::channelName(%s, \"%s\", \"%s\");"
                    % (package, name, member["name"])]
            out += ["  pigeon::callApplication(pigeonRegistrar.messenger(), pigeonRegistrar.codec(),",
                    "                          channel, std::move(arguments),",
                    "                          %s, std::move(completion), std::move(expected));"
                    % required, "}", ""]
    out += wrap("ProxyApis setUpProxyApis(", ["%s& registrar" % registrar,
                                              "const ProxyApiDelegates& delegates"], ") {")
    out += ["  ProxyApis apis;", "  const auto messenger = registrar.messenger();"]
    for proxy in table.proxies:
        name = proxy["name"]
        out += ["  apis.%s = std::make_shared<PigeonApi%s>(registrar, delegates.%s);"
                % (name, name, name)]
        if host_members(proxy):
            out += ["  PigeonApi%s::setUpMessageHandlers(messenger, apis.%s);" % (name, name)]
        if proxy["announce"]:
            out += ["  registrar.setAnnouncedFields(",
                    '      "%s", [api = apis.%s](const %s& object) {' % (name, name, OBJECT),
                    "        return api->pigeonAnnouncedFields(object);", "      });"]
    out += ["  return apis;", "}", ""]
    return out


# ---- Driver -------------------------------------------------------------------------------------

def find_tables(root):
    found = []
    for folder, _, files in os.walk(os.path.join(root, "plugins")):
        if TABLE in files:
            found.append(os.path.join(folder, TABLE))
    return sorted(found)


def generate(table_path, directory):
    table = parse_table(table_path)
    if table.proxies and table.registrar is None:
        raise TableError("%s: proxy apis need a 'registrar <C++ class> <header>' line"
                         % os.path.relpath(table_path, REPO))
    texts = {"messages.h": write_header(table), "messages.cpp": write_source(table)}
    for name, text in texts.items():
        with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
            f.write(text)


def main():
    global REPO
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--check", action="store_true")
    parser.add_argument("--root", default=REPO)
    options = parser.parse_args()
    REPO = os.path.abspath(options.root)
    tables = find_tables(REPO)
    if not tables:
        raise TableError("no %s under %s/plugins" % (TABLE, REPO))
    drifted = []
    for path in tables:
        folder = os.path.dirname(path)
        if not options.check:
            generate(path, folder)
            continue
        with tempfile.TemporaryDirectory() as tmp:
            generate(path, tmp)
            for name in OUTPUTS:
                committed = os.path.join(folder, name)
                if not os.path.exists(committed) or not filecmp.cmp(
                        os.path.join(tmp, name), committed, shallow=False):
                    drifted.append(os.path.relpath(committed, REPO))
    if drifted:
        print("generated files differ from their %s: %s\nrun /usr/bin/python3 "
              "plugins/pigeon/generate_interfaces.py" % (TABLE, ", ".join(drifted)))
        return 1
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except TableError as e:
        print("channel table: %s" % e, file=sys.stderr)
        sys.exit(2)
