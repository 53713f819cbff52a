#!/usr/bin/env python3
"""Writes a store receipt holding the given purchase records, for the test host's bundle.

Input: a JSON list of records on standard input (or a file named by --input), each an object with
any of "product_id", "transaction_id", "original_transaction_id", "purchase_date",
"original_purchase_date", "expiration_date", "cancellation_date" (text), "product_type",
"free_trial", "introductory_offer" (small integers) and "web_order_line_item_id" (integer).
Output: the receipt bytes, to the file named by --output.

Each record is one in-app purchase attribute set, laid out as the store writes it: a SET of
attribute SEQUENCEs (type INTEGER, version INTEGER, value OCTET STRING holding the DER value),
wrapped in the in-app attribute (type 17). Standard library only.
"""
import argparse
import json
import sys

TEXT_FIELDS = {  # attribute type, DER tag
    "product_id": (1702, 0x0C),
    "transaction_id": (1703, 0x0C),
    "purchase_date": (1704, 0x16),
    "original_transaction_id": (1705, 0x0C),
    "original_purchase_date": (1706, 0x16),
    "expiration_date": (1708, 0x16),
    "cancellation_date": (1712, 0x16),
}
INT_FIELDS = {
    "product_type": 1707,
    "web_order_line_item_id": 1711,
    "free_trial": 1713,
    "introductory_offer": 1719,
}


def der(tag, body):
    n = len(body)
    if n < 0x80:
        head = bytes([n])
    else:
        size = n.to_bytes((n.bit_length() + 7) // 8, "big")
        head = bytes([0x80 | len(size)]) + size
    return bytes([tag]) + head + body


def der_int(value):
    length = max(1, (value.bit_length() + 8) // 8)
    return der(0x02, value.to_bytes(length, "big", signed=True))


def attribute(kind, value):
    return der(0x30, der_int(kind) + der_int(1) + der(0x04, value))


def record(fields):
    attributes = b""
    for key, (kind, tag) in TEXT_FIELDS.items():
        if key in fields:
            attributes += attribute(kind, der(tag, str(fields[key]).encode("utf-8")))
    for key, kind in INT_FIELDS.items():
        if key in fields:
            attributes += attribute(kind, der_int(int(fields[key])))
    return attribute(17, der(0x31, attributes))


def receipt(records):
    body = b"".join(record(r) for r in records)
    return der(0x30, der(0x31, body))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--input")
    parser.add_argument("--output", required=True)
    args = parser.parse_args()
    source = open(args.input, encoding="utf-8") if args.input else sys.stdin
    records = json.load(source)
    if not isinstance(records, list) or not all(isinstance(r, dict) for r in records):
        sys.exit("receipt_fixture: expected a JSON list of objects")
    with open(args.output, "wb") as out:
        out.write(receipt(records))


if __name__ == "__main__":
    main()
