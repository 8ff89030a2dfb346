#pragma once

#include "log.h"

#include <string>
#include <vector>

// Collects the messages the engine logs while it exists.
class LogCapture : public LogBase
{
public:
    void flush() override { }
    void notify2(uint32_t, uint32_t) override { }
    void write(const std::string& message, int level, const std::string&, uint64_t,
        const std::string&, const std::string&) override
    {
        messages.push_back(message);
        levels.push_back(level);
    }
    std::string last() const { return messages.empty() ? std::string() : messages.back(); }

    std::vector<std::string> messages;
    std::vector<int> levels;
};
