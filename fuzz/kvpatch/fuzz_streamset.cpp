// Parses arbitrary bytes as a stream set, reads a nested set from it, and
// checks that what was parsed writes back to a set that parses the same.
#include "streamset.h"

#include <cstdlib>
#include <cstring>

using namespace kvpatch;

namespace {

bool sameBytes(SourceStream* a, SourceStream* b)
{
    return a->Remaining() == b->Remaining()
        && (a->Remaining() == 0 || std::memcmp(a->Buffer(), b->Buffer(), a->Remaining()) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SourceStreamSet set;
    if (!set.Init(data, size))
        return 0;

    SinkStreamSet copy;
    copy.Init(set.Count());
    for (uint32_t i = 0; i < set.Count(); ++i) {
        SourceStream* s = set.Stream(i);
        if (!copy.Stream(i)->Write(s->Buffer(), s->Remaining()))
            std::abort();
    }
    SinkStream written;
    if (!copy.WriteAll(&written))
        std::abort();
    SourceStreamSet reread;
    if (!reread.Init(written.Buffer(), written.Length()) || reread.Count() != set.Count())
        std::abort();
    for (uint32_t i = 0; i < set.Count(); ++i) {
        if (!sameBytes(set.Stream(i), reread.Stream(i)))
            std::abort();
    }

    SourceStreamSet nested;
    if (set.ReadNested(&nested)) {
        for (uint32_t i = 0; i < kMaxStreams; ++i) {
            SourceStream* s = nested.Stream(i);
            uint32_t value = 0;
            while (s->ReadVarint32(&value)) { }
        }
    }
    set.AllConsumed();
    return 0;
}
