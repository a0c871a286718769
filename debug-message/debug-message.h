/*
 * debug-message.h - the platform's debug-message library.
 *
 * _debug_message() is a printf-style logger.  Lines go to stderr as
 * "file:line" followed by the formatted text.  Errors (level 0x2000000) are
 * always shown; traces (level 0x4000000) only when the process sets
 * DEBUG_MESSAGE_TRACE=1 in its environment.  DEBUG_MESSAGE_QUIET=1 hides
 * everything (for benchmarks).
 *
 * A program takes the lines itself with debug_message_set_handler(): the
 * handler sees every call, shown or not, and the library writes a line to
 * stderr only when the handler asks for it.  contact-engine-tool uses it to
 * keep the lines off the terminal and to show a failed call's reason.
 *
 * A process can also watch every call, shown or not, with
 * debug_message_set_capture(), which changes nothing of what is written;
 * tests use it to check exact messages.
 */
#ifndef DEBUG_MESSAGE_H
#define DEBUG_MESSAGE_H

#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DEBUG_MESSAGE_LEVEL_ERROR 0x2000000
#define DEBUG_MESSAGE_LEVEL_TRACE 0x4000000

int _debug_message(int line, const char *file, int module, int level, const char *format, ...)
    __attribute__((format(printf, 5, 6)));

/* Called once per _debug_message call with its arguments and the formatted
 * text.  NULL removes the capture. */
typedef void (*debug_message_capture_fn)(void *user_data, int line, const char *file, int module, int level,
                                         const char *format, const char *text);
void debug_message_set_capture(debug_message_capture_fn capture, void *user_data);

/* Called once per _debug_message call, shown or not (after the capture),
 * with the call's arguments, the formatted text and, in `arguments`, the
 * values that followed the format, as the caller passed them: those the
 * format uses, then any further ones the caller knows it passed.  The
 * handler may read them with va_arg; it reads only values it knows are
 * there.  The line then goes to stderr only if the handler returns nonzero
 * and its level is shown.  NULL removes the handler: every shown line goes
 * to stderr again. */
typedef int (*debug_message_handler_fn)(void *user_data, int line, const char *file, int module, int level,
                                        const char *format, const char *text, va_list arguments);
void debug_message_set_handler(debug_message_handler_fn handler, void *user_data);

#ifdef __cplusplus
}
#endif

#endif
