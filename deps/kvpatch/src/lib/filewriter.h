#pragma once

#include <cstddef>
#include <string>

namespace kvpatch {

// Creates or truncates `path` and writes the bytes in one call; returns the
// number of bytes written (0 when the file cannot be opened). A short count
// leaves the partly written file in place for the caller to judge.
size_t WriteBufferToFile(const std::string& path, const void* data, size_t length);

} // namespace kvpatch
