// The codec family of the measurement messages: initialise, copy, free one field, decode and
// encode MessageInfo records of any type, driven by the schema table (message_types.h). Decoding
// walks a type with lists in two passes (check and count list elements, reserve exactly, store).
// Every function works for all 46 types.
//
// Failures never raise: they return false (or -1) and print the codec's line on standard output
// (message_diagnostics.h). No locks: a record is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "measurement/messages/message_info.h"

// Nesting bound of decoding, copying and encoding (a top-level record is level 1). It protects
// the stack against hostile input; no message the services deliver comes near it.
inline constexpr int32_t kMaxMessageNestingDepth = 100;

// Longest string or bytes field that decoding accepts.
inline constexpr std::size_t kMaxDecodedStringLength = 1048576;

// The memory a decoded record may take (records, strings, list storage) is bounded by its input:
// this many bytes per input byte plus a floor, so that short input of empty list elements (two
// bytes each, hundreds of bytes each as records) cannot take gigabytes. Decoding fails past the
// bound with "decoded size limit exceeded".
inline constexpr std::size_t kMaxDecodedBytesPerInputByte = 64;
inline constexpr std::size_t kMinDecodedBytesBound = std::size_t{16} << 20;

// A new, initialised record of `type`.
std::unique_ptr<MessageInfo> apmpb_new(const MessageType& type);

// Releases one field by params index: a singular field becomes absent, a list becomes empty.
// An index outside the type prints "<ERROR> %s: Cannot deallocate field %d: Unknown field".
bool apmpb_free_field(MessageInfo* record, int32_t index);

// Replaces *destination with a deep copy of `source`. On failure *destination keeps what was
// copied so far.
bool apmpb_copy(std::unique_ptr<MessageInfo>* destination, const MessageInfo* source);

// Decodes `length` bytes into an initialised record of `type`. On failure the record holds what
// was decoded so far (never a partial list element) and the caller discards it.
bool apmpb_decode(const MessageType& type, const uint8_t* bytes, std::size_t length,
                  MessageInfo* record);

// Encodes a record into *buffer (replacing its contents, reusing its capacity) and returns the
// length, or -1 (then *buffer is empty and released). A record with nothing present encodes to
// length 0. An encoding longer than INT32_MAX bytes fails as soon as it grows past that, so the
// buffer never grows beyond it.
int32_t apmpb_encode(const MessageInfo* record, std::vector<uint8_t>* buffer);

// apmpb_encode with a lower size bound, so tests can reach the bound without gigabytes.
int32_t apmpb_encode_with_limit(const MessageInfo* record, std::vector<uint8_t>* buffer,
                                std::size_t limit);
