// The debug-message library: formats a line, hands it to a capture hook and
// to the program's handler if they are set, and writes it to stderr when its
// level is shown and no handler keeps it.
#include "debug-message.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

debug_message_capture_fn g_capture = nullptr;
void *g_capture_data = nullptr;
debug_message_handler_fn g_handler = nullptr;
void *g_handler_data = nullptr;

bool environment_flag(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr && std::strcmp(value, "0") != 0 && value[0] != '\0';
}

bool level_shown(int level)
{
    if (environment_flag("DEBUG_MESSAGE_QUIET"))
        return false;
    if (level & DEBUG_MESSAGE_LEVEL_ERROR)
        return true;
    return environment_flag("DEBUG_MESSAGE_TRACE");
}

std::string format_text(const char *format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (length < 0)
        return {};
    std::string text(std::size_t(length), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, arguments);
    return text;
}

} // namespace

extern "C" __attribute__((visibility("default"))) int _debug_message(int line, const char *file, int module, int level,
                                                                      const char *format, ...)
{
    if (format == nullptr)
        return 0;
    bool shown = level_shown(level);
    if (!shown && g_capture == nullptr && g_handler == nullptr)
        return 0;

    va_list arguments;
    va_start(arguments, format);
    const std::string text = format_text(format, arguments);
    va_end(arguments);

    if (g_capture != nullptr)
        g_capture(g_capture_data, line, file, module, level, format, text.c_str());
    if (g_handler != nullptr) {
        va_start(arguments, format);
        shown = g_handler(g_handler_data, line, file, module, level, format, text.c_str(), arguments) != 0 && shown;
        va_end(arguments);
    }
    if (shown)
        std::fprintf(stderr, "%s:%d %s", file != nullptr ? file : "?", line, text.c_str());
    return int(text.size());
}

extern "C" __attribute__((visibility("default"))) void debug_message_set_capture(debug_message_capture_fn capture,
                                                                                  void *user_data)
{
    g_capture = capture;
    g_capture_data = user_data;
}

extern "C" __attribute__((visibility("default"))) void debug_message_set_handler(debug_message_handler_fn handler,
                                                                                  void *user_data)
{
    g_handler = handler;
    g_handler_data = user_data;
}
