// Where the measurement side keeps its files: the databases and the persistent dictionary under
// Application Support / "Ziriza/Measurement", preference suites in the Library's "Preferences"
// folder. Also deletion, backup exclusion, and the move of an older version's configuration
// file out of the preferences folder. File access of the measurement storage goes through here.
// Functions; any thread; nothing throws.
#pragma once

#include <string>
#include <string_view>

#include "platform/core/error.h"

inline constexpr const char* ZEVOveverizuruApplicationSupportSubdirectory = "Ziriza/Measurement";

// Each gives the empty string for an empty name, or when the search path yields no directory
// (reported to the monitor: 19000 for the Library, 19001 for Application Support).
std::string APMFilePathForDatabaseName(std::string_view name);
// The name gets the "plist" extension unless it already has it.
std::string APMFilePathForPersistentDictionaryName(std::string_view name);
// Library / "Preferences" / name + ".plist".
std::string APMFilePathForPreferencesName(std::string_view name);

bool APMExcludeFilePathFromBackup(const std::string& path, platform::ErrorPtr* error);
// An empty path fails with code 1, "Received empty path for deleting file".
bool APMDeleteFile(const std::string& path, platform::ErrorPtr* error);
// Moves the suite's file from the preferences folder to the persistent-dictionary path, or
// deletes it when the new file exists already; forgets the suite in the preferences store.
// False (old file left in place, tried again next start) when a step fails.
bool APMMigrateUserDefaultsToPersistentDictionary(std::string_view suiteName);

// File-content helpers the persistent dictionary uses, kept beside the other file access.
// Creates the folder with its parents; true when it exists afterwards.
bool APMCreateDirectory(const std::string& path, platform::ErrorPtr* error);
// The parent folder of a path ("" for a bare name).
std::string APMParentDirectory(const std::string& path);
