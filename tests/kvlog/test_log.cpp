#include "log.h"
#include "logtimestamp.h"
#include "recordingsink.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <gtest/gtest.h>

#include <regex>

namespace {

class LogTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        setLogMaxLevel(LogDevelop);
        setLogLocalTime(0);
        setLogTimestampStyle(0);
        setLogCriticalHandler(nullptr);
    }
};

// Prefix length: 26 time + "|" + 8 + "|" + 14 + "|" + 3 + "|".
const size_t kDefaultPrefixLength = 55;

TEST_F(LogTest, LineHasFixedPrefix)
{
    RecordingSink sink;
    logMessage("hello", LogInfo, "Patch", 0);
    ASSERT_EQ(sink.records.size(), 1u);
    const auto& r = sink.records[0];
    EXPECT_EQ(r.message, "hello");
    EXPECT_EQ(r.level, LogInfo);
    EXPECT_EQ(r.channel, "Patch");
    EXPECT_EQ(r.id, 0u);
    EXPECT_EQ(r.time.size(), 26u);
    EXPECT_EQ(r.line, r.time + "|INFO    |Patch         |   |hello");
    EXPECT_EQ(sink.flushes, 0);
}

TEST_F(LogTest, IdIsPrintedInFullWithoutFill)
{
    RecordingSink sink;
    logMessage("m", LogError, "", 12345);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].line.substr(26), "|ERROR   |              |12345|m");
}

TEST_F(LogTest, LongFieldsAreNotCut)
{
    RecordingSink sink;
    logMessage("m", LogDevelop, "AVeryLongChannelName", 1);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].line.substr(26), "|DEVELOP |AVeryLongChannelName|1  |m");
}

TEST_F(LogTest, ContinuationLinesStartUnderTheMessage)
{
    RecordingSink sink;
    logMessage("first\nsecond\nthird", LogWarning, "", 0);
    ASSERT_EQ(sink.records.size(), 1u);
    const std::string& line = sink.records[0].line;
    const std::string indent(kDefaultPrefixLength, ' ');
    EXPECT_EQ(
        line.substr(kDefaultPrefixLength), "first\n" + indent + "second\n" + indent + "third");
    EXPECT_EQ(sink.records[0].message, "first\nsecond\nthird");
}

TEST_F(LogTest, PrefixOfSixtyCharactersIndentsBySixty)
{
    RecordingSink sink;
    // A 19-character channel widens the prefix from 55 to 60.
    logMessage("a\nb", LogDebug, "Channel19Characters", 0);
    ASSERT_EQ(sink.records.size(), 1u);
    const std::string& line = sink.records[0].line;
    EXPECT_EQ(line.find("a\n"), 60u);
    EXPECT_EQ(line.substr(60), "a\n" + std::string(60, ' ') + "b");
}

TEST_F(LogTest, LevelAboveMaximumIsDropped)
{
    RecordingSink sink;
    setLogMaxLevel(LogWarning);
    logMessage("dropped", LogDebug, "", 0);
    logMessage("kept", LogWarning, "", 0);
    ASSERT_EQ(sink.records.size(), 1u);
    EXPECT_EQ(sink.records[0].message, "kept");
}

TEST_F(LogTest, LevelSixUnderDefaultMaximumIsDropped)
{
    RecordingSink sink;
    logMessage("six", 6, "", 0);
    EXPECT_TRUE(sink.records.empty());
}

TEST_F(LogTest, KnownDatabaseNoiseIsDroppedEvenAtCriticalLevel)
{
    RecordingSink sink;
    logMessage("sqlite3_prepare failed no such column: string_id", LogCritical, "DatabaseQuery", 0);
    logMessage("x db_exec() select * from instance_properties where string_id = 'abc' y",
        LogCritical, "DatabaseQuery", 0);
    EXPECT_TRUE(sink.records.empty());
    // Same text on another channel is an ordinary record.
    logMessage("sqlite3_prepare failed no such column: string_id", LogError, "Other", 0);
    EXPECT_EQ(sink.records.size(), 1u);
}

TEST_F(LogTest, SinksAreServedInRegistrationOrderAndLeaveOnDestruction)
{
    std::vector<std::string> order;
    struct OrderSink : RecordingSink
    {
        OrderSink(std::vector<std::string>* order, std::string name)
            : m_order(order)
            , m_name(std::move(name))
        {
        }
        void write(const std::string&, int, const std::string&, uint64_t, const std::string&,
            const std::string&) override
        {
            m_order->push_back(m_name);
        }
        std::vector<std::string>* m_order;
        std::string m_name;
    };
    const size_t before = logSinkList().size();
    OrderSink first(&order, "first");
    {
        OrderSink second(&order, "second");
        EXPECT_EQ(logSinkList().size(), before + 2);
        logMessage("m", LogInfo, "", 0);
    }
    EXPECT_EQ(logSinkList().size(), before + 1);
    logMessage("m", LogInfo, "", 0);
    EXPECT_EQ(order, (std::vector<std::string> {"first", "second", "first"}));
}

TEST_F(LogTest, WithoutSinksALogCallHasNoVisibleEffect)
{
    ASSERT_TRUE(logSinkList().empty());
    logMessage("nobody listens", LogDevelop, "", 0);
}

TEST_F(LogTest, TimestampStylesForFixedTimes)
{
    using namespace boost::posix_time;
    const ptime withFraction = time_from_string("2026-03-04 05:06:07.000123");
    const ptime wholeSecond = time_from_string("2026-03-04 05:06:07");
    EXPECT_EQ(formatLogTime(0, withFraction), "2026-03-04 05:06:07.000123");
    // Without a fraction the column still ends in "." and is filled to 26.
    EXPECT_EQ(formatLogTime(0, wholeSecond), "0000002026-03-04 05:06:07.");
    EXPECT_EQ(formatLogTime(2, withFraction), "20260304T050607.000123");
    EXPECT_EQ(formatLogTime(2, wholeSecond), "20260304T050607");
    EXPECT_EQ(formatLogTime(1, withFraction), "2026-03-04T05:06:07.000123");
    EXPECT_EQ(formatLogTime(7, wholeSecond), "2026-03-04T05:06:07");
}

TEST_F(LogTest, TimestampStylesUseTheClock)
{
    const std::string style0 = formatLogTimestamp(0);
    EXPECT_EQ(style0.size(), 26u);
    EXPECT_TRUE(std::regex_match(
        style0, std::regex(R"((000000)?\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.(\d{6})?)")))
        << style0;
    const std::string style2 = formatLogTimestamp(2);
    EXPECT_TRUE(std::regex_match(style2, std::regex(R"(\d{8}T\d{6}(\.\d{6})?)"))) << style2;
    const std::string style1 = formatLogTimestamp(1);
    EXPECT_TRUE(
        std::regex_match(style1, std::regex(R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}(\.\d{6})?)")))
        << style1;
    setLogLocalTime(1);
    EXPECT_EQ(formatLogTimestamp(0).size(), 26u);
}

TEST_F(LogTest, LevelNames)
{
    const char* names[] = {"CRITICAL", "ERROR", "WARNING", "DEBUG", "INFO", "DEVELOP"};
    for (int level = 0; level <= 5; ++level)
        EXPECT_EQ(logLevelName(level), names[level]);
}

TEST_F(LogTest, DispatchFunctionsReachEverySinkOfTheList)
{
    RecordingSink a;
    RecordingSink b;
    notifySinks(7);
    notifySinks2(1, 2);
    flushSinks(logSinkList());
    const std::vector<std::string> expected {"notify 7", "notify2 1 2", "flush"};
    EXPECT_EQ(a.events, expected);
    EXPECT_EQ(b.events, expected);
}

TEST_F(LogTest, OwnListsTakeAndReleaseEntries)
{
    RecordingSink a;
    RecordingSink b;
    LogSinkList list;
    LogSinkHandle ha = addLogSink(list, &a);
    addLogSink(list, &b);
    logToSinks(list, "msg", LogCritical, "ch", 3, "t", "line");
    logToSinks(list, "msg", LogInfo, "ch", 3, "t", "");
    // The fan-out flushes each sink right after a critical write; the global
    // list also holds both, but only the given list is served.
    EXPECT_EQ(a.events, (std::vector<std::string> {"write", "flush"}));
    EXPECT_EQ(b.events, (std::vector<std::string> {"write", "flush"}));
    EXPECT_EQ(a.records[0].line, "line");

    removeLogSink(list, ha);
    notifySinks(list, 9);
    notifySinks2(list, 4, 5);
    EXPECT_EQ(a.events.size(), 2u);
    EXPECT_EQ(b.events.back(), "notify2 4 5");

    clearLogSinks(list);
    EXPECT_TRUE(list.empty());
}

TEST_F(LogTest, SinkOutlivesClearedGlobalList)
{
    LogSinkList saved = logSinkList();
    {
        RecordingSink sink;
        clearLogSinks(logSinkList());
    }
    EXPECT_TRUE(logSinkList().empty());
    logSinkList() = saved;
}

using LogDeathTest = LogTest;

TEST_F(LogDeathTest, CriticalRecordIsWrittenFlushedAndEndsTheProcess)
{
    EXPECT_EXIT(
        {
            RecordingSink sink(true);
            logMessage("fatal thing", LogCritical, "", 0);
        },
        ::testing::ExitedWithCode(1), "sink: .*\\|CRITICAL\\|              \\|   \\|fatal thing");
}

TEST_F(LogDeathTest, CriticalHookSeesTheRecordBeforeExit)
{
    EXPECT_EXIT(
        {
            setLogCriticalHandler([](const std::string& message, const std::string& channel,
                                      uint64_t id, const std::string&, const std::string& line) {
                std::fprintf(stderr, "hook: %s %s %llu [%s]\n", message.c_str(), channel.c_str(),
                    static_cast<unsigned long long>(id), line.c_str());
            });
            logMessage("boom", LogCritical, "Engine", 42);
        },
        ::testing::ExitedWithCode(1),
        "hook: boom Engine 42 \\[.*\\|CRITICAL\\|Engine        \\|42 \\|boom\\]");
}

TEST_F(LogDeathTest, CriticalRecordBelowNegativeMaximumStillExits)
{
    EXPECT_EXIT(
        {
            RecordingSink sink(true);
            setLogMaxLevel(-1);
            logMessage("hidden", LogCritical, "", 0);
            std::fprintf(stderr, "still running\n");
            std::exit(0);
        },
        ::testing::ExitedWithCode(1), "^$");
}

TEST_F(LogDeathTest, OutOfRangeLevelThatPassesTheGateEndsTheProcess)
{
    EXPECT_EXIT(
        {
            RecordingSink sink(true);
            setLogMaxLevel(6);
            logMessage("six", 6, "", 0);
        },
        ::testing::ExitedWithCode(1),
        "sink: .*\\|CRITICAL\\|              \\|   \\|Assertion \"lvl >= 0 && lvl \\* "
        "sizeof\\(std::string\\) < sizeof\\(logLevelTable\\)\" failed at .*log\\.cpp:[0-9]+; ");
    EXPECT_EXIT(logMessage("negative", -1, "", 0), ::testing::ExitedWithCode(1), "");
}

} // namespace
