// Shows the patch engine's error messages on standard error, so that a
// failed run says why (the engine itself only logs).
#pragma once

#include "log.h"

class StderrLog : public LogBase
{
public:
    void flush() override;
    void notify2(uint32_t, uint32_t) override { }
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
        const std::string& time, const std::string& line) override;
};
