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

// Applies the patch at `patchPath` to `oldPath` and writes the result to
// `newPath`. On any status other than C_OK nothing is written there and a
// file of that name stays as it was.
Status ApplyEnsemblePatchFiles(
    const std::string& oldPath, const std::string& patchPath, const std::string& newPath);

// Applies a patch held in memory; the result is appended to `output`, which
// should be empty.
Status ApplyEnsemblePatchStreams(SourceStream* old, SourceStream* patch, SinkStream* output);

} // namespace kvpatch
