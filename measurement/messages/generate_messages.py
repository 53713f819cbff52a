#!/usr/bin/python3
"""Generates every derived file of the measurement wire messages from message_schema.txt.

Outputs (all committed next to this script):
  measurement_messages.proto            proto2 definitions (also what protoc --decode reads)
  measurement_messages.pb.h / .pb.c     nanopb descriptors and structures (nanopb_generator)
  message_types.h / message_types.cpp   the C++ schema table
  message_fields.h                      named params-index constants
  apmpb_wrappers.h                      the wrapper class of every type that has one

`generate_messages.py --check` regenerates into a temporary directory and fails when any committed
file differs, so the table and the generated files cannot drift apart.
"""
import filecmp
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMA = os.path.join(HERE, "message_schema.txt")
PROTO = "measurement_messages.proto"
OUTPUTS = [PROTO, "measurement_messages.pb.h", "measurement_messages.pb.c",
           "message_types.h", "message_types.cpp", "message_fields.h", "apmpb_wrappers.h"]
NANOPB_GENERATOR = "/usr/bin/nanopb_generator.py"

KINDS = {
    0x22: ("optional", "bool"), 0x42: ("optional", "enum"), 0x82: ("optional", "int32"),
    0x202: ("optional", "int64"), 0x802: ("optional", "float"), 0x1002: ("optional", "double"),
    0x2002: ("optional", "string"), 0x4002: ("optional", "message"),
    0x108: ("repeated", "uint32"), 0x208: ("repeated", "int64"), 0x408: ("repeated", "uint64"),
    0x2008: ("repeated", "string"), 0x4008: ("repeated", "message"),
}


class SchemaError(Exception):
    pass


def parse_schema(path):
    package, enums, messages = None, {}, []
    with open(path, encoding="utf-8") as f:
        for lineno, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].rstrip()
            if not line.strip():
                continue
            words = line.split()
            where = "%s:%d" % (os.path.basename(path), lineno)
            if words[0] == "package":
                package = words[1]
            elif words[0] == "enum":
                values = []
                for item in words[2:]:
                    name, number = item.split("=")
                    values.append((name, int(number)))
                numbers = [n for _, n in values]
                if 0 not in numbers or 1 not in numbers:
                    raise SchemaError(where + ": every enum needs the values 0 and 1")
                enums[words[1]] = values
            elif words[0] == "message":
                if len(words) not in (3, 4) or (len(words) == 4 and words[3] != "nowrapper"):
                    raise SchemaError(where + ": message <Identifier> <proto path> [nowrapper]")
                messages.append({"id": words[1], "path": words[2].split("."),
                                 "wrapper": len(words) == 3, "fields": []})
            elif raw.startswith("  "):
                if not messages:
                    raise SchemaError(where + ": field outside a message")
                number, kind, name = int(words[0]), int(words[1], 16), words[2]
                if kind not in KINDS:
                    raise SchemaError(where + ": unknown kind code %#x" % kind)
                field = {"number": number, "kind": kind, "name": name, "ref": None, "default": None}
                for extra in words[3:]:
                    if extra.startswith("default="):
                        field["default"] = extra[len("default="):]
                    else:
                        field["ref"] = extra
                messages[-1]["fields"].append(field)
            else:
                raise SchemaError(where + ": cannot read this line")
    by_id = {m["id"]: m for m in messages}
    for m in messages:
        numbers = [f["number"] for f in m["fields"]]
        if len(set(numbers)) != len(numbers):
            raise SchemaError(m["id"] + ": duplicate field number")
        for f in m["fields"]:
            base = KINDS[f["kind"]][1]
            if base == "message" and f["ref"] not in by_id:
                raise SchemaError("%s.%s: unknown sub-type %s" % (m["id"], f["name"], f["ref"]))
            if base == "enum" and f["ref"] not in enums:
                raise SchemaError("%s.%s: unknown enum %s" % (m["id"], f["name"], f["ref"]))
    return package, enums, messages, by_id


def camel(name):
    return "k" + "".join(part[:1].upper() + part[1:] for part in name.split("_"))


def snake(identifier):
    return re.sub(r"(?<!^)(?=[A-Z])", "_", identifier).lower()


def proto_type(field, by_id):
    base = KINDS[field["kind"]][1]
    if base == "message":
        return ".".join(by_id[field["ref"]]["path"])
    if base == "enum":
        # Declared int32 (the same varint on the wire), so that values outside the named members
        # still decode under the field's name with protoc and python protobuf.
        return "int32"
    return base


def write_proto(package, enums, messages, by_id):
    out = ["// Generated by generate_messages.py from message_schema.txt. Do not edit.",
           'syntax = "proto2";', "", "package %s;" % package, ""]
    for name, values in enums.items():
        out.append("enum %s {" % name)
        out += ["  %s = %d;" % v for v in values]
        out += ["}", ""]
    tops = [m for m in messages if len(m["path"]) == 1]
    nested = {}
    for m in messages:
        if len(m["path"]) == 2:
            nested.setdefault(m["path"][0], []).append(m)

    def body(m, indent):
        lines = []
        for child in nested.get(m["path"][-1], []) if len(m["path"]) == 1 else []:
            lines.append("%smessage %s {" % (indent, child["path"][-1]))
            lines += body(child, indent + "  ")
            lines.append("%s}" % indent)
        for f in sorted(m["fields"], key=lambda f: f["number"]):
            label = KINDS[f["kind"]][0]
            is_enum = KINDS[f["kind"]][1] == "enum"
            value = f["default"]
            if is_enum and value is not None:
                value = dict(enums[f["ref"]])[value]
            default = " [default = %s]" % value if value is not None else ""
            comment = "  // %s" % f["ref"] if is_enum else ""
            lines.append("%s%s %s %s = %d%s;%s" % (indent, label, proto_type(f, by_id), f["name"],
                                                     f["number"], default, comment))
        return lines

    for m in tops:
        out.append("message %s {" % m["id"])
        out += body(m, "  ")
        out += ["}", ""]
    return "\n".join(out)


def write_types_header(messages):
    out = ["// Generated by generate_messages.py from message_schema.txt. Do not edit.",
           "// The schema table of the measurement wire messages: one MessageType per message type.",
           "#pragma once", "", '#include "measurement/messages/message_type.h"', "",
           "inline constexpr std::size_t kMessageTypeCount = %d;" % len(messages), "",
           "// Every message type, in table order (MessageType::index).",
           "extern const MessageType* const kMessageTypes[kMessageTypeCount];", "",
           "// The identifier of each type: its message_id and its wrapper's messageID.", ""]
    out += ["extern const char APMPB%sMessageId[];" % m["id"] for m in messages]
    out += ["", "namespace apmpb_type {", ""]
    out += ["extern const MessageType %s;" % m["id"] for m in messages]
    out += ["", "}  // namespace apmpb_type", ""]
    return "\n".join(out)


def write_types_source(messages, by_id):
    out = ["// Generated by generate_messages.py from message_schema.txt. Do not edit.",
           '#include "measurement/messages/message_types.h"', "",
           '#include "measurement/messages/measurement_messages.pb.h"', ""]
    out += ['const char APMPB%sMessageId[] = "%s";' % (m["id"], m["id"]) for m in messages]
    out += ["", "namespace {", ""]
    for m in messages:
        codes = ", ".join("%#x" % f["kind"] for f in m["fields"])
        out.append("const int32_t k%sFieldsType[] = {%s};" % (m["id"], codes))
        out.append("const MessageFieldInfo k%sFields[] = {" % m["id"])
        for f in m["fields"]:
            sub = "&apmpb_type::%s" % f["ref"] if KINDS[f["kind"]][1] == "message" else "nullptr"
            out.append('    {%d, %#x, "%s", %s},' % (f["number"], f["kind"], f["name"], sub))
        out += ["};", ""]
    out += ["}  // namespace", "", "namespace apmpb_type {", ""]
    for i, m in enumerate(messages):
        c_name = "%s_%s" % ("devazerirerize", "_".join(m["path"]))
        out.append("const MessageType %s = {APMPB%sMessageId, %d, k%sFieldsType, k%sFields, &%s_msg,"
                   % (m["id"], m["id"], len(m["fields"]), m["id"], m["id"], c_name))
        out.append("                     sizeof(%s), %s, %d};" % (
            c_name, "true" if m["wrapper"] else "false", i))
    out += ["", "}  // namespace apmpb_type", "",
            "const MessageType* const kMessageTypes[kMessageTypeCount] = {"]
    out += ["    &apmpb_type::%s," % m["id"] for m in messages]
    out += ["};", ""]
    return "\n".join(out)


def write_fields_header(messages):
    out = ["// Generated by generate_messages.py from message_schema.txt. Do not edit.",
           "// Named params indexes of every measurement message field: the index the typed field",
           "// accessors take. Code never writes a bare index; it names the field here, for example",
           "// apmpb_field::MeasurementConfig::kConsentConfig.",
           "#pragma once", "", "#include <cstdint>", "", "namespace apmpb_field {", ""]
    for m in messages:
        out.append("namespace %s {" % m["id"])
        for i, f in enumerate(m["fields"]):
            out.append("inline constexpr int32_t %s = %d;  // field %d" % (camel(f["name"]), i,
                                                                         f["number"]))
        out += ["}  // namespace %s" % m["id"], ""]
    out += ["}  // namespace apmpb_field", ""]
    return "\n".join(out)


def write_wrappers_header(messages):
    out = ["// Generated by generate_messages.py from message_schema.txt. Do not edit.",
           "// The wrapper class of every measurement message type that has one (apmpb_message.h).",
           "#pragma once", "", '#include "measurement/messages/apmpb_message.h"',
           '#include "measurement/messages/message_types.h"', ""]
    out += ["using APMPB%s = APMPBWrapper<apmpb_type::%s>;" % (m["id"], m["id"])
            for m in messages if m["wrapper"]]
    out.append("")
    return "\n".join(out)


def generate(directory):
    package, enums, messages, by_id = parse_schema(SCHEMA)
    files = {
        PROTO: write_proto(package, enums, messages, by_id),
        "message_types.h": write_types_header(messages),
        "message_types.cpp": write_types_source(messages, by_id),
        "message_fields.h": write_fields_header(messages),
        "apmpb_wrappers.h": write_wrappers_header(messages),
    }
    for name, text in files.items():
        with open(os.path.join(directory, name), "w", encoding="utf-8") as f:
            f.write(text)
    subprocess.run(["/usr/bin/python3", NANOPB_GENERATOR, "-q", PROTO], cwd=directory, check=True)
    # Keep the generated header's wording in our own terms.
    header = os.path.join(directory, "measurement_messages.pb.h")
    with open(header, encoding="utf-8") as f:
        text = f.read()
    with open(header, "w", encoding="utf-8") as f:
        f.write(re.sub(r"field encoding spec\w*", "field encoding description", text))


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--check":
        with tempfile.TemporaryDirectory() as tmp:
            generate(tmp)
            drifted = [n for n in OUTPUTS if not os.path.exists(os.path.join(HERE, n)) or
                       not filecmp.cmp(os.path.join(tmp, n), os.path.join(HERE, n), shallow=False)]
        if drifted:
            print("generated files differ from message_schema.txt: " + ", ".join(drifted) +
                  "\nrun /usr/bin/python3 measurement/messages/generate_messages.py")
            return 1
        return 0
    generate(HERE)
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except SchemaError as e:
        print("message_schema.txt: %s" % e, file=sys.stderr)
        sys.exit(2)
