// Logging library: levels, a process-wide list of sinks, one log function
// that prefixes and fans records out, and a stack-trace printer.
//
// The library takes no locks: the sink list and the settings are plain
// process-wide values that are set up before any thread logs.
#pragma once

#include <cstdint>
#include <list>
#include <string>

class LogBase;

// Ordered list of sinks; sinks are served in list order.
using LogSinkList = std::list<LogBase*>;
using LogSinkHandle = LogSinkList::iterator;

// Numbered levels; a record at LogCritical ends the process with status 1.
enum LogLevel : int
{
    LogCritical = 0,
    LogError = 1,
    LogWarning = 2,
    LogDebug = 3,
    LogInfo = 4,
    LogDevelop = 5,
};

// Abstract sink. Constructing one appends it to the global sink list,
// destroying it removes it again.
class LogBase
{
public:
    LogBase();
    virtual ~LogBase();

    virtual void flush() = 0;
    // Two values of no fixed meaning, forwarded by notifySinks2.
    virtual void notify2(uint32_t a, uint32_t b) = 0;
    virtual void write(const std::string& message, int level, const std::string& channel,
        uint64_t id, const std::string& time, const std::string& line)
        = 0;
    virtual void notify(uint32_t a);

    LogBase(const LogBase&) = delete;
    LogBase& operator=(const LogBase&) = delete;

private:
    // The entry made at registration. The destructor still looks the sink
    // up by address, because clearLogSinks may have dropped the entry since.
    LogSinkHandle m_entry;
};

using LogCriticalHandler = void (*)(const std::string& message, const std::string& channel,
    uint64_t id, const std::string& time, const std::string& line);

// The global sink list; exists from first use (at the latest the first sink's
// construction) until exit.
LogSinkList& logSinkList();

// Filters the record, builds "time|LEVEL   |channel       |id |message" and
// hands it to every sink. Level 0 ends the process with exit(1).
void logMessage(const std::string& message, int level, const std::string& channel, uint64_t id);

// The level's name; an out-of-range level is logged as a critical assertion
// record, which ends the process.
const std::string& logLevelName(int level);

// The time column: style 0 "YYYY-MM-DD HH:MM:SS.ffffff" padded to 26
// characters, style 2 the ISO basic form, any other the ISO extended form.
std::string formatLogTimestamp(int style);

void setLogMaxLevel(int level);
void setLogLocalTime(int local);
void setLogTimestampStyle(int style);
void setLogCriticalHandler(LogCriticalHandler handler);

// Operations on a sink list (the global one or one the caller keeps).
LogSinkHandle addLogSink(LogSinkList& list, LogBase* sink);
void removeLogSink(LogSinkList& list, LogSinkHandle handle);
void logToSinks(const LogSinkList& list, const std::string& message, int level,
    const std::string& channel, uint64_t id, const std::string& time, const std::string& line);
void flushSinks(const LogSinkList& list);
void notifySinks(uint32_t a);
void notifySinks(const LogSinkList& list, uint32_t a);
void notifySinks2(uint32_t a, uint32_t b);
void notifySinks2(const LogSinkList& list, uint32_t a, uint32_t b);
// Removes every entry; the sinks themselves are not deleted.
void clearLogSinks(LogSinkList& list);

// Logs "Printing Trace:" and then one line per frame of the current call
// stack straight to the global sinks.
void printLogTrace();

// One frame line of the trace printer, built from the platform's symbol text
// for frame `index`: "  #i<address> in <function> from <module>".
std::string formatLogTraceFrame(int index, const std::string& symbol);
