#include "samplelibrary.h"

// Built once for the old and once for the new sample release; the new one
// carries more code, so that a patch between the two has work to do.
int kvsample_library_release()
{
    return KV_SAMPLE_RELEASE;
}

#if KV_SAMPLE_RELEASE >= 2
namespace {

const char* const kGreetings[] = {"Welcome back", "Good to see you again",
    "Your client is up to date", "New in this release: faster start-up"};

} // namespace

const char* kvsample_greeting()
{
    return kGreetings[kvsample_library_release() % 4];
}
#else
const char* kvsample_greeting()
{
    return "Hello";
}
#endif
