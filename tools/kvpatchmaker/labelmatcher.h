// Numbers the labels of a new element after those of the old one, so that
// unchanged code refers to the same label indices in both encodings and the
// patch's diff of the encoded elements shrinks to what really changed.
#pragma once

#include "status.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace kvpatch {
class SinkStreamSet;
}

namespace kvpatchmaker {

// Encodes the executable in [newData, newData + newLength) into `out` like
// TransformElement does, but with label indices carried over from the old
// element wherever matching code refers to them.
// `oldRead`, when given, is called once the old element has been read for
// the last time.
kvpatch::Status TransformElementAfter(const uint8_t* oldData, size_t oldLength,
    const uint8_t* newData, size_t newLength, kvpatch::SinkStreamSet* out,
    const std::function<void()>& oldRead = nullptr);

} // namespace kvpatchmaker
