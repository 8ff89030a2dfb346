#pragma once

#include <boost/date_time/posix_time/ptime.hpp>

#include <string>

// The time column for a given moment in the given style (see
// formatLogTimestamp, which passes the current time).
std::string formatLogTime(int style, const boost::posix_time::ptime& time);
