// Writes a finished result so that a reader never sees half of it.
#pragma once

#include <cstddef>
#include <string>

namespace kvpatch {

// Writes the bytes to a new file beside `path` and renames it over `path`.
// On any failure the temporary file is removed and whatever stood at `path`
// before stays as it was, so a failed or short write never leaves a partial
// result under the final name.
bool WriteFileReplacing(const std::string& path, const void* data, size_t length);

} // namespace kvpatch
