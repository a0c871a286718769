/*
 * debug-message.h - the platform's debug-message library.
 *
 * _debug_message() is a printf-style logger.  Lines go to stderr as
 * "file:line" followed by the formatted text.  Errors (level 0x2000000) are
 * always shown; traces (level 0x4000000) only when the process sets
 * DEBUG_MESSAGE_TRACE=1 in its environment.  DEBUG_MESSAGE_QUIET=1 hides
 * everything (for benchmarks).
 *
 * A process can also capture every call, shown or not, with
 * debug_message_set_capture(); tests use it to check exact messages.
 */
#ifndef DEBUG_MESSAGE_H
#define DEBUG_MESSAGE_H

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

#ifdef __cplusplus
}
#endif

#endif
