#include "logline.h"

namespace kvpatch {

LogLine::~LogLine()
{
    logMessage(m_stream.str(), m_level, m_channel, m_id);
}

} // namespace kvpatch
