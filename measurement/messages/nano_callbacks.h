// The nanopb side of the decoder: the field callbacks the protobuf runtime calls while decoding.
// Used by the codec (message_codec.cpp) on the thread that decodes; the rest of the system goes
// through message_codec.h.
#pragma once

#include <pb.h>

// Decode callbacks. nano_decode_string's argument is the field's MessageSlot; the list callbacks'
// argument is the list's ArrayInfo header.
bool nano_decode_string(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool nano_decode_repeated_string(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool nano_decode_repeated_uint64(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
bool apmpb_decode_repeated(pb_istream_t* stream, const pb_field_iter_t* field, void** arg);
