#pragma once

#include <sstream>

namespace kvpatch {

// Levels of the engine's log records as the disassemblers use them.
enum class DisasmLogLevel
{
    Error = 1,
    Warning = 2,
    Debug = 3,
};

// Hands one finished message to the engine's log line.
void WriteDisassemblerLog(DisasmLogLevel level, const std::string& message);

// Builds one record from streamed parts and sends it when it goes out of scope.
class DisasmLog
{
public:
    explicit DisasmLog(DisasmLogLevel level)
        : m_level(level)
    {
    }
    ~DisasmLog() { WriteDisassemblerLog(m_level, m_text.str()); }
    DisasmLog(const DisasmLog&) = delete;
    DisasmLog& operator=(const DisasmLog&) = delete;

    template<typename T>
    DisasmLog& operator<<(const T& value)
    {
        m_text << value;
        return *this;
    }

private:
    DisasmLogLevel m_level;
    std::ostringstream m_text;
};

} // namespace kvpatch
