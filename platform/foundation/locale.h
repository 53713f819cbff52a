// Locale facts of the user's session: the preferred languages and the local time zone's offset.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The preferred languages as language tags ("en_US.UTF-8" gives "en-US"), most preferred first:
// the colon list of LANGUAGE, else the first of LC_ALL, LC_MESSAGES and LANG that is set. "C" and
// "POSIX" name no language. Read from the environment snapshot.
std::vector<std::string> preferredLanguages();

// The locale of locale-aware case mapping, as a locale identifier without encoding or modifier
// ("tr_TR.UTF-8" gives "tr_TR"): the first of LC_ALL, LC_CTYPE and LANG that is set and not
// empty. "C", "POSIX" and no such variable give "", the root locale. Read from the environment
// snapshot.
std::string caseMappingLocale();

// Seconds east of GMT of the local time zone at the given moment (the C library's zone rules).
long localTimeZoneOffsetSeconds(double secondsSince1970);

}  // namespace platform
