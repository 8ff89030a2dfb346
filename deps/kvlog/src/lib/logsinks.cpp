#include "log.h"

LogSinkHandle addLogSink(LogSinkList& list, LogBase* sink)
{
    return list.insert(list.end(), sink);
}

void removeLogSink(LogSinkList& list, LogSinkHandle handle)
{
    list.erase(handle);
}

void logToSinks(const LogSinkList& list, const std::string& message, int level,
    const std::string& channel, uint64_t id, const std::string& time, const std::string& line)
{
    if (line.empty())
        return;
    for (LogBase* sink : list) {
        sink->write(message, level, channel, id, time, line);
        // A critical record precedes the process exit: get it out at once.
        if (level == LogCritical)
            sink->flush();
    }
}

void flushSinks(const LogSinkList& list)
{
    for (LogBase* sink : list)
        sink->flush();
}

void notifySinks(uint32_t a)
{
    notifySinks(logSinkList(), a);
}

void notifySinks(const LogSinkList& list, uint32_t a)
{
    for (LogBase* sink : list)
        sink->notify(a);
}

void notifySinks2(uint32_t a, uint32_t b)
{
    notifySinks2(logSinkList(), a, b);
}

void notifySinks2(const LogSinkList& list, uint32_t a, uint32_t b)
{
    for (LogBase* sink : list)
        sink->notify2(a, b);
}

void clearLogSinks(LogSinkList& list)
{
    list.clear();
}
