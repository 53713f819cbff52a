// Validation of one audience definition of the measurement configuration before it is stored:
// its identifier, its filter count and every event and property filter with their parameter,
// string and number filters, against the audience limits of the configuration in force. Pure
// function over the message (the validity tests of the string and number filters report through
// the monitor); any thread, the engine calls it on its worker queue.
#pragma once

#include <cstdint>
#include <set>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/error.h"

// The error codes of a refused definition (measurement error domain).
inline constexpr std::int64_t APMAudienceErrorCodeAudience = 9;
inline constexpr std::int64_t APMAudienceErrorCodeEventFilter = 10;
inline constexpr std::int64_t APMAudienceErrorCodePropertyFilter = 11;

// True when the audience may be stored. `acceptedAudienceIDs` holds the identifiers of the
// audiences accepted so far (the caller adds this one's when it passes). False with a
// measurement-domain error (codes 9-11) naming the first check that failed.
bool APMIsValidAudienceProto(const APMPBAudience& audience,
                             const std::set<std::int32_t>& acceptedAudienceIDs,
                             platform::ErrorPtr* error);
