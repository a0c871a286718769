#include "debug-message.h"
#include "test-support.h"

namespace contact_test {

LogCapture::LogCapture()
{
    debug_message_set_capture(&LogCapture::record, this);
}

LogCapture::~LogCapture()
{
    debug_message_set_capture(nullptr, nullptr);
}

void LogCapture::record(void *self, int line, const char *file, int module, int level, const char *format,
                        const char *text)
{
    static_cast<LogCapture *>(self)->entries_.push_back({line, file, module, level, format, text});
}

std::vector<LogEntry> LogCapture::at_level(int level) const
{
    std::vector<LogEntry> selected;
    for (const LogEntry &entry : entries_)
        if (entry.level == level)
            selected.push_back(entry);
    return selected;
}

std::vector<std::string> LogCapture::error_formats() const
{
    std::vector<std::string> formats;
    for (const LogEntry &entry : errors())
        formats.push_back(entry.format);
    return formats;
}

} // namespace contact_test
