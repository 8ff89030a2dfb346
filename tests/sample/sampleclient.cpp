// The sample client of run-sample.sh and the end-to-end test: prints its own
// release and its library's, which shows which files the update installed.
#include "samplelibrary.h"

#include <cstdio>

int main()
{
    std::printf("Kelvarion sample client release %d, library release %d: %s\n", KV_SAMPLE_RELEASE,
        kvsample_library_release(), kvsample_greeting());
    return kvsample_library_release() == KV_SAMPLE_RELEASE ? 0 : 1;
}
