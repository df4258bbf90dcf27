// Whole-file reads and crash-safe writes, for settings files on the device
// folder.
#pragma once

#include <string>

#include "simulator/home-screen/PlistValue.h"

namespace thrumline::sim {

// Writes all of `bytes` to the open file `fd`, however the system splits it.
bool writeAll(int fd, const std::string& bytes);
// The whole content of a regular file; false when it cannot be read.
bool readFileBytes(const std::string& path, std::string* bytes);
// Writes to a temporary file in the same folder, flushes it to disk and
// renames it over `path`, so a reader sees the old file or the new one. On
// failure the old file is untouched, the temporary file removed, and false
// returned.
bool writeFileAtomically(const std::string& path, const std::string& bytes);

// Reads and parses a property-list file. None when missing, unreadable or
// not a property list.
PlistValue readPlistFile(const std::string& path);
// The value as XML, written as writeFileAtomically does.
bool writePlistFileAtomically(const std::string& path, const PlistValue& value);

}  // namespace thrumline::sim
