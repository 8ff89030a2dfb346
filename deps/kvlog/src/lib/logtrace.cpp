#include "log.h"

#include <boost/format.hpp>

#include <cstdlib>
#include <cxxabi.h>
#include <execinfo.h>

namespace {

const int kMaxTraceFrames = 15;
const std::string kUnknown = "<unknown>";

std::string demangledFunction(const std::string& name)
{
    int status = 0;
    char* demangled = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    if (status == 0 && demangled) {
        std::string result(demangled);
        std::free(demangled);
        return result;
    }
    std::free(demangled);
    // -2: not a mangled name, e.g. a C function.
    if (status == -2)
        return name + "(...)";
    return kUnknown;
}

} // namespace

std::string formatLogTraceFrame(int index, const std::string& symbol)
{
    // Symbol texts look like "module(function+0xoffset) [0xaddress]".
    std::string function = kUnknown;
    std::string module;
    bool hasFunction = false;
    const size_t open = symbol.find('(');
    if (open != std::string::npos) {
        const size_t plus = symbol.find("+0x", open + 1);
        if (plus != std::string::npos) {
            hasFunction = true;
            function = demangledFunction(symbol.substr(open + 1, plus - open - 1));
            module = symbol.substr(0, open);
        }
    }
    const size_t bracket = symbol.find('[');
    if (!hasFunction)
        module = bracket != std::string::npos ? symbol.substr(0, bracket) : kUnknown;

    std::string address = kUnknown;
    if (bracket != std::string::npos) {
        const size_t close = symbol.find(']', bracket + 1);
        if (close != std::string::npos)
            address = symbol.substr(bracket + 1, close - bracket - 1);
    }
    return str(boost::format("%4s%s in %s from %s") % ("#" + std::to_string(index)) % address
        % function % module);
}

void printLogTrace()
{
    void* frames[kMaxTraceFrames];
    const int count = backtrace(frames, kMaxTraceFrames);
    logMessage("Printing Trace:", LogDevelop, std::string(), 0);
    if (count <= 0)
        return;
    char** symbols = backtrace_symbols(frames, count);
    if (!symbols)
        return;
    for (int i = 0; i < count; ++i) {
        const std::string line = formatLogTraceFrame(i, symbols[i]);
        for (LogBase* sink : logSinkList())
            sink->write(line, LogDevelop, std::string(), 0, std::string(), line);
    }
    std::free(symbols);
}
