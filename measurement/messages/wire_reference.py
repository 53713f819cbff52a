#!/usr/bin/python3
"""Reference encodings of the measurement messages, made with the python protobuf library.

Usage: wire_reference.py <directory of measurement_messages.proto> <output file>

For every message type of the .proto it fills one message by the rule below, and writes a line
"<name> <hex of the standard encoding> <hex of an encoding with packed repeated scalars>". The C++
test fills a record by the same rule through the schema table and compares bytes.

The rule, by field number n, at nesting depth d (the top message is 0): bool true; enum 1 (the
.proto declares enum-valued fields int32, their enum type named in a trailing comment); int32 -n; int64 -(n * 1000003); float n + 0.5; double -(n + 0.25); string "" for even n, else
"f<n>-\u00e9"; repeated uint32 [n, 2^32 - 1], uint64 [n, 2^64 - 1], int64 [-n, 2^40],
string ["", "r<n>"]; a singular message is present, filled when d < 3, else empty; a message
list has two elements, filled when d < 3, else empty.
"""
import os
import subprocess
import sys
import tempfile

import importlib


def protobuf_runtime_module(name):
    """A module of the distribution's python protobuf runtime (python3-protobuf).

    The runtime is installed as the "protobuf" sub-package of a top-level namespace package;
    look that package up on the module path rather than assume its name.
    """
    for entry in sys.path:
        if not os.path.isdir(entry):
            continue
        for top in sorted(os.listdir(entry)):
            if os.path.isfile(os.path.join(entry, top, "protobuf", "descriptor_pb2.py")):
                return importlib.import_module("%s.protobuf.%s" % (top, name))
    raise ImportError("the python protobuf runtime (python3-protobuf) is not installed")


descriptor_pb2 = protobuf_runtime_module("descriptor_pb2")
descriptor_pool = protobuf_runtime_module("descriptor_pool")
message_factory = protobuf_runtime_module("message_factory")
F = protobuf_runtime_module("descriptor").FieldDescriptor

MAX_FILLED_DEPTH = 3

# Full names of the int32 fields that carry an enum (filled in by main from the comments).
ENUM_FIELDS = set()


def enum_fields(file_proto):
    """The fields whose trailing comment names an enum type of the file."""
    enums = {e.name for e in file_proto.enum_type}
    found = set()
    for location in file_proto.source_code_info.location:
        path = list(location.path)
        comment = location.trailing_comments.strip()
        if comment not in enums or len(path) < 4 or path[0] != 4:
            continue
        message, names = file_proto.message_type[path[1]], [file_proto.message_type[path[1]].name]
        rest = path[2:]
        while len(rest) > 2 and rest[0] == 3:
            message = message.nested_type[rest[1]]
            names.append(message.name)
            rest = rest[2:]
        if len(rest) == 2 and rest[0] == 2:
            found.add("%s.%s.%s" % (file_proto.package, ".".join(names),
                                    message.field[rest[1]].name))
    return found


def scalar(field):
    n = field.number
    t = field.type
    if t == F.TYPE_BOOL:
        return True
    if t == F.TYPE_ENUM or field.full_name in ENUM_FIELDS:
        return 1
    if t == F.TYPE_INT32:
        return -n
    if t == F.TYPE_INT64:
        return -(n * 1000003)
    if t == F.TYPE_FLOAT:
        return n + 0.5
    if t == F.TYPE_DOUBLE:
        return -(n + 0.25)
    if t == F.TYPE_STRING:
        return "" if n % 2 == 0 else "f%d-\u00e9" % n
    raise ValueError("no rule for %s" % field.full_name)


def scalar_list(field):
    n = field.number
    t = field.type
    if t == F.TYPE_UINT32:
        return [n, 2**32 - 1]
    if t == F.TYPE_UINT64:
        return [n, 2**64 - 1]
    if t == F.TYPE_INT64:
        return [-n, 2**40]
    if t == F.TYPE_STRING:
        return ["", "r%d" % n]
    raise ValueError("no list rule for %s" % field.full_name)


def fill(message, depth):
    for field in message.DESCRIPTOR.fields:
        repeated = field.label == F.LABEL_REPEATED
        if field.type == F.TYPE_MESSAGE:
            if repeated:
                for _ in range(2):
                    element = getattr(message, field.name).add()
                    if depth < MAX_FILLED_DEPTH:
                        fill(element, depth + 1)
            else:
                sub = getattr(message, field.name)
                sub.SetInParent()
                if depth < MAX_FILLED_DEPTH:
                    fill(sub, depth + 1)
        elif repeated:
            getattr(message, field.name).extend(scalar_list(field))
        else:
            setattr(message, field.name, scalar(field))


def all_messages(container):
    for desc in container.message_types_by_name.values() if hasattr(
            container, "message_types_by_name") else container.nested_types:
        yield desc
        yield from all_messages_nested(desc)


def all_messages_nested(desc):
    for nested in desc.nested_types:
        yield nested
        yield from all_messages_nested(nested)


def load(file_proto):
    pool = descriptor_pool.DescriptorPool()
    file_desc = pool.Add(file_proto)
    file_desc = pool.FindFileByName(file_proto.name)
    factory = message_factory.MessageFactory(pool)
    return file_desc, factory


def main():
    proto_dir, out_path = sys.argv[1], sys.argv[2]
    with tempfile.TemporaryDirectory() as tmp:
        descriptor_set = os.path.join(tmp, "messages.desc")
        subprocess.run(["protoc", "-I", proto_dir, "--include_source_info",
                        "--descriptor_set_out=" + descriptor_set, "measurement_messages.proto"],
                       check=True)
        with open(descriptor_set, "rb") as f:
            files = descriptor_pb2.FileDescriptorSet.FromString(f.read())
    plain_proto = files.file[0]
    ENUM_FIELDS.update(enum_fields(plain_proto))
    if not ENUM_FIELDS:
        raise ValueError("no enum-valued field found in the .proto comments")
    packed_proto = descriptor_pb2.FileDescriptorProto()
    packed_proto.CopyFrom(plain_proto)

    def pack(messages):
        for m in messages:
            for field in m.field:
                if (field.label == F.LABEL_REPEATED and
                        field.type not in (F.TYPE_MESSAGE, F.TYPE_STRING, F.TYPE_BYTES)):
                    field.options.packed = True
            pack(m.nested_type)

    pack(packed_proto.message_type)
    plain_file, plain_factory = load(plain_proto)
    packed_file, packed_factory = load(packed_proto)

    lines = []
    for desc in all_messages(plain_file):
        message = plain_factory.GetPrototype(desc)()
        fill(message, 0)
        plain = message.SerializeToString()
        packed_desc = packed_file.pool.FindMessageTypeByName(desc.full_name)
        packed = packed_factory.GetPrototype(packed_desc).FromString(plain).SerializeToString()
        lines.append("%s %s %s" % (desc.name, plain.hex() or "-", packed.hex() or "-"))
    with open(out_path, "w") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
