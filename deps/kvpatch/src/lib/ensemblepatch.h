// Ensemble patches: turn an installed file into its new release. The old
// file's executable elements are re-encoded so that the patch's diffs see
// symbolic labels instead of raw addresses.
#pragma once

#include "status.h"

#include <cstdint>
#include <string>

namespace kvpatch {

class SinkStream;
class SourceStream;

constexpr uint32_t kEnsemblePatchMagic = 0x756F43;
constexpr uint32_t kEnsemblePatchVersion = 20110216;
// The body's stream set: element parameters, then diffs of the parameters,
// of the encoded elements and of the final output.
constexpr uint32_t kEnsembleBodyStreams = 4;

// For a caller that does not know the new file's size.
constexpr uint64_t kNewSizeUnknown = UINT64_MAX;

// Applies the patch at `patchPath` to `oldPath` and writes the result to
// `newPath`. On any status other than C_OK nothing is written there and a
// file of that name stays as it was.
// A patch states the sizes its parts decode to, and a few hundred bytes can
// state gigabytes. A caller that knows the new file's size passes it as
// `newSize`: the final diff must then state exactly that size, and the body
// and every diff in it are bounded by what that size and the body's layout
// allow; what would pass its bound is refused (C_STREAM_ERROR) before it
// is reserved or decoded.
Status ApplyEnsemblePatchFiles(const std::string& oldPath, const std::string& patchPath,
    const std::string& newPath, uint64_t newSize = kNewSizeUnknown);

// Applies a patch held in memory; the result is appended to `output`, which
// should be empty. `newSize` as for ApplyEnsemblePatchFiles.
Status ApplyEnsemblePatchStreams(
    SourceStream* old, SourceStream* patch, SinkStream* output, uint64_t newSize = kNewSizeUnknown);

} // namespace kvpatch
