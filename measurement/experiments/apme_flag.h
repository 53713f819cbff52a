// The two conversions between flag values and Flag messages (field 1 name, then at most one of
// field 2 int64, 3 string, 4 double, 5 bool). A number keeps its kind: a double goes to field 4,
// an integer or a boolean to field 2 (true as 1), a string to field 3; field 5 is only ever read.
// Stateless; any thread.
#pragma once

#include <memory>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/value.h"

// A new Flag message, or none: a null name (850000), a name that is not a string (850001, with
// its kind) or a value that is neither a number nor a string (850002, with its kind).
std::shared_ptr<APMPBFlag> APMEFlagWithName(const platform::Value& name,
                                            const platform::Value& value);

// The flag's value from the first present field in the order 2, 4, 3, 5; null for a null flag
// or one that holds no value.
platform::Value APMEValueFromFlagProto(const APMPBFlag* flag);
