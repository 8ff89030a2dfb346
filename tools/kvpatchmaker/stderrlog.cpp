#include "stderrlog.h"

#include <cstdio>

void StderrLog::flush()
{
    std::fflush(stderr);
}

void StderrLog::write(const std::string& message, int level, const std::string&, uint64_t,
    const std::string&, const std::string&)
{
    // Debug records describe the inputs' insides, not what went wrong.
    if (level <= LogWarning)
        std::fprintf(stderr, "kvpatchmaker: %s\n", message.c_str());
}
