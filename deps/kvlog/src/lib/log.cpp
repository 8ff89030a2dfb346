#include "log.h"
#include "logtimestamp.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/format.hpp>

#include <algorithm>
#include <cstdlib>

namespace {

struct LogSettings
{
    int maxLevel = LogDevelop;
    int localTime = 0;
    int timestampStyle = 0;
    LogCriticalHandler criticalHandler = nullptr;
};

LogSettings& settings()
{
    static LogSettings s;
    return s;
}

const std::string kDroppedQueryMessage = "sqlite3_prepare failed no such column: string_id";
const std::string kDroppedQueryFragment
    = "db_exec() select * from instance_properties where string_id = '";

// Records of the database layer that are known noise and never shown.
bool isSuppressedQueryRecord(const std::string& message, const std::string& channel)
{
    return channel == "DatabaseQuery"
        && (message == kDroppedQueryMessage
            || message.find(kDroppedQueryFragment) != std::string::npos);
}

} // namespace

LogBase::LogBase()
    : m_entry(addLogSink(logSinkList(), this))
{
}

LogBase::~LogBase()
{
    // The list may have been cleared (clearLogSinks) since registration, in
    // which case the stored handle no longer refers to a live entry.
    LogSinkList& list = logSinkList();
    auto it = std::find(list.begin(), list.end(), this);
    if (it != list.end())
        list.erase(it);
}

void LogBase::notify(uint32_t) { }

LogSinkList& logSinkList()
{
    static LogSinkList list;
    return list;
}

void setLogMaxLevel(int level)
{
    settings().maxLevel = level;
}
void setLogLocalTime(int local)
{
    settings().localTime = local;
}
void setLogTimestampStyle(int style)
{
    settings().timestampStyle = style;
}
void setLogCriticalHandler(LogCriticalHandler handler)
{
    settings().criticalHandler = handler;
}

const std::string& logLevelName(int level)
{
    static const std::string logLevelTable[]
        = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    const int count = static_cast<int>(sizeof(logLevelTable) / sizeof(logLevelTable[0]));
    if (level >= 0 && level < count)
        return logLevelTable[level];
    logMessage(str(boost::format("Assertion \"lvl >= 0 && lvl * sizeof(std::string) < "
                                 "sizeof(logLevelTable)\" failed at %s:%d; ")
                   % __FILE__ % __LINE__),
        LogCritical, std::string(), 0);
    // Not reached: a critical record ends the process.
    static const std::string none;
    return none;
}

std::string formatLogTimestamp(int style)
{
    using namespace boost::posix_time;
    return formatLogTime(style,
        settings().localTime ? microsec_clock::local_time() : microsec_clock::universal_time());
}

std::string formatLogTime(int style, const boost::posix_time::ptime& time)
{
    using namespace boost::posix_time;
    if (style == 2)
        return to_iso_string(time);
    if (style != 0)
        return to_iso_extended_string(time);

    // "YYYYMMDDTHHMMSS[.ffffff]" -> "YYYY-MM-DD HH:MM:SS.[ffffff]"
    std::string text = to_iso_string(time);
    const size_t t = text.find('T');
    if (t != std::string::npos) {
        text[t] = ' ';
        text.insert(t + 5, ":");
        text.insert(t + 3, ":");
        text.insert(6, "-");
        text.insert(4, "-");
    }
    if (text.size() < 20)
        text += '.';
    return str(boost::format("%026s") % text);
}

void logMessage(const std::string& message, int level, const std::string& channel, uint64_t id)
{
    if (isSuppressedQueryRecord(message, channel))
        return;
    if (level > settings().maxLevel) {
        if (level == LogCritical)
            std::exit(1);
        return;
    }

    const std::string idText = id != 0 ? std::to_string(id) : std::string();
    const std::string time = formatLogTimestamp(settings().timestampStyle);
    const std::string prefix
        = str(boost::format("%s|%-8s|%-14s|%-3s|") % time % logLevelName(level) % channel % idText);
    // Continuation lines start under the message's first character.
    const std::string body
        = boost::replace_all_copy(message, "\n", "\n" + std::string(prefix.size(), ' '));
    const std::string line = prefix + body;

    logToSinks(logSinkList(), message, level, channel, id, time, line);

    if (level == LogCritical) {
        if (settings().criticalHandler)
            settings().criticalHandler(message, channel, id, time, line);
        std::exit(1);
    }
}
