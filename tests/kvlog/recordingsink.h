#pragma once

#include "log.h"

#include <cstdio>
#include <string>
#include <vector>

// Keeps every record it is given; optionally echoes lines to stderr so that
// death tests can see what a child process logged before it exited.
class RecordingSink : public LogBase
{
public:
    struct Record
    {
        std::string message;
        int level;
        std::string channel;
        uint64_t id;
        std::string time;
        std::string line;
    };

    explicit RecordingSink(bool echo = false)
        : m_echo(echo)
    {
    }

    void flush() override
    {
        ++flushes;
        events.push_back("flush");
    }
    void notify2(uint32_t a, uint32_t b) override
    {
        events.push_back("notify2 " + std::to_string(a) + " " + std::to_string(b));
    }
    void notify(uint32_t a) override { events.push_back("notify " + std::to_string(a)); }
    void write(const std::string& message, int level, const std::string& channel, uint64_t id,
        const std::string& time, const std::string& line) override
    {
        records.push_back({message, level, channel, id, time, line});
        events.push_back("write");
        if (m_echo)
            std::fprintf(stderr, "sink: %s\n", line.c_str());
    }

    std::vector<Record> records;
    std::vector<std::string> events;
    int flushes = 0;

private:
    bool m_echo;
};
