// The nanopb side of the codec: the field callbacks the protobuf runtime calls while decoding and
// encoding, and the two-pass encoding. Used by the codec (message_codec.cpp) and its tests; the
// rest of the system goes through message_codec.h.
#pragma once

#include <pb.h>

#include <cstdint>
#include <vector>

// Decode callbacks. nano_decode_string's argument is the field's MessageSlot; the list callbacks'
// argument is the list's ArrayInfo header.
bool nano_decode_string(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool apmpb_decode_repeated(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);

// Encode callbacks. nano_encode_string's argument is the string cell (std::string); the list
// callbacks' argument is the list's ArrayInfo header.
bool nano_encode_string(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);
bool nano_encode_repeated_string(pb_ostream_t* stream, const pb_field_iter_t* field,
                                 void* const* arg);
bool nano_encode_repeated_uint64(pb_ostream_t* stream, const pb_field_iter_t* field,
                                 void* const* arg);
bool apmpb_encode_repeated(pb_ostream_t* stream, const pb_field_iter_t* field, void* const* arg);

// Encodes a filled nanopb structure: a sizing pass, an exactly sized buffer, a writing pass.
// Returns the length with the bytes in *buffer, or -1 with *buffer empty (also when the encoding
// would be longer than INT32_MAX bytes).
int32_t nano_two_pass_encoding(const pb_msgdesc_t* fields, const void* src_struct,
                               std::vector<uint8_t>* buffer);
