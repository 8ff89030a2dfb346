// How engine code writes log records: format the message into a LogLine's
// stream; the record is sent when the LogLine ends.
#pragma once

#include "log.h"

#include <cstdint>
#include <sstream>
#include <string>

namespace kvpatch {

class LogLine
{
public:
    explicit LogLine(int level)
        : m_level(level)
    {
    }
    ~LogLine();
    LogLine(const LogLine&) = delete;
    LogLine& operator=(const LogLine&) = delete;

    std::ostream& stream() { return m_stream; }

private:
    std::string m_channel;
    uint64_t m_id = 0;
    std::ostringstream m_stream;
    int m_level;
};

} // namespace kvpatch

// KVLOG(LogError) << "text " << value;
#define KVLOG(level) ::kvpatch::LogLine(level).stream()
