// The call frame that every operation of the library runs in.
//
// An operation states only what is its own: its checks in order, its method
// and IN/OUT arguments, its messages and what it does with the reply:
//
//     contact_frame::Operation op(CONTACT_OPERATION, error_code);
//     return op.connected(__LINE__, "...The dbus connection hasn't been opened.\n")
//         .not_null(__LINE__, record_count, "...The record_count is NULL.\n")
//         .call(__LINE__, "contact_get_contact_count", "...failed(%s).\n",
//               ins(storage_type), outs(record_count, error_code))
//         .result();
//
// The first failing check decides the code and skips everything after it.
// Log lines carry the operation's own function name, file and line.
// Everything the call produces (error, byte arrays, reply strings) is owned
// by a holder and released when the operation returns.
#pragma once

#include <assert.h>
#include <dbus/dbus-glib.h>
#include <glib.h>

#include <tuple>
#include <type_traits>
#include <utility>

#include "contact-engine-bus.h"
#include "contact-engine-internal.h"
#include "debug-message.h"

namespace contact_frame {

inline constexpr const char *kBusName = CONTACT_ENGINE_BUS_NAME;
inline constexpr const char *kObjectPath = CONTACT_ENGINE_OBJECT_PATH;
inline constexpr const char *kInterface = CONTACT_ENGINE_INTERFACE;

inline constexpr int kModule = 0x14000000;
inline constexpr int kLevelError = 0x2000000;
inline constexpr int kLevelTrace = 0x4000000;

struct Site {
    const char *function;
    const char *file;
    int line;
};

// Errors take the function name and the line; traces the function name only.
template <class... Args> void log_error(Site site, const char *format, Args... args)
{
    _debug_message(site.line, site.file, kModule, kLevelError, format, site.function, site.line, args...);
}

template <class... Args> void log_trace(Site site, const char *format, Args... args)
{
    _debug_message(site.line, site.file, kModule, kLevelTrace, format, site.function, args...);
}

// ---- holders for what a call produces -------------------------------------

class ErrorHolder {
public:
    ErrorHolder() = default;
    ErrorHolder(const ErrorHolder &) = delete;
    ErrorHolder &operator=(const ErrorHolder &) = delete;
    ~ErrorHolder() { reset(); }
    GError **out() { return &error_; }
    GError *get() const { return error_; }
    void reset()
    {
        if (error_ != nullptr)
            g_error_free(error_);
        error_ = nullptr;
    }

private:
    GError *error_ = nullptr;
};

class ByteArray {
public:
    ByteArray() = default;
    ByteArray(const ByteArray &) = delete;
    ByteArray &operator=(const ByteArray &) = delete;
    ~ByteArray()
    {
        if (array_ != nullptr)
            g_array_free(array_, TRUE);
    }
    // A new record array: not zero-terminated, not cleared, 1-byte elements.
    void create()
    {
        if (array_ == nullptr)
            array_ = g_array_new(FALSE, FALSE, 1);
    }
    GArray *get() const { return array_; }
    GArray **out() { return &array_; }
    const guint8 *data() const { return reinterpret_cast<const guint8 *>(array_->data); }
    guint length() const { return array_ != nullptr ? array_->len : 0; }

private:
    GArray *array_ = nullptr;
};

class ReplyString {
public:
    ReplyString() = default;
    ReplyString(const ReplyString &) = delete;
    ReplyString &operator=(const ReplyString &) = delete;
    ~ReplyString() { g_free(text_); }
    char **out() { return &text_; }
    const char *get() const { return text_; }

private:
    char *text_ = nullptr;
};

// An OUT "b" lands here; the operation then stores 1 or 0 in the caller's byte.
struct ReplyBool {
    gboolean value = FALSE;
};

// An IN "b".
struct Flag {
    gboolean value;
};

// The record that the operation's pack() step built, sent as an IN "ay".
struct PackedRecord {};
inline constexpr PackedRecord kPackedRecord{};

inline GType byte_array_type()
{
    return dbus_g_type_get_collection("GArray", G_TYPE_UCHAR);
}

// ---- IN and OUT pairs ------------------------------------------------------

inline auto in_pair(int value) { return std::make_tuple(G_TYPE_INT, value); }
inline auto in_pair(const char *value) { return std::make_tuple(G_TYPE_STRING, value); }
inline auto in_pair(Flag flag) { return std::make_tuple(G_TYPE_BOOLEAN, flag.value); }
inline auto in_pair(GArray *array) { return std::make_tuple(byte_array_type(), array); }

inline auto out_pair(int *value) { return std::make_tuple(G_TYPE_INT, value); }
inline auto out_pair(ReplyBool &reply) { return std::make_tuple(G_TYPE_BOOLEAN, &reply.value); }
inline auto out_pair(ReplyString &reply) { return std::make_tuple(G_TYPE_STRING, reply.out()); }
inline auto out_pair(ByteArray &reply) { return std::make_tuple(byte_array_type(), reply.out()); }

template <class... Args> struct Ins {
    std::tuple<Args...> values;
};
template <class... Args> struct Outs {
    std::tuple<Args &...> targets;
};

template <class... Args> Ins<std::decay_t<Args>...> ins(Args &&...args)
{
    return {{std::forward<Args>(args)...}};
}
template <class... Args> Outs<Args...> outs(Args &...args)
{
    return {{args...}};
}

// ---- the frame -------------------------------------------------------------

#define CONTACT_OPERATION (::contact_frame::Site{__func__, __FILE__, __LINE__})

// Precondition of every operation with an error_code; a NULL here is the
// caller's programming error.
#define CONTACT_REQUIRE_ERROR_CODE(error_code) assert(error_code != ((void *)0))

class Operation {
public:
    // error_code may be NULL only for the reduced form (vCard conversions),
    // which maps no error.
    Operation(Site operation, int *error_code) : operation_(operation), error_code_(error_code) {}
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
    ~Operation() { close_temporary_connection(); }

    // Required connection: code 9 without one.
    Operation &connected(int line, const char *message)
    {
        return check(line, g_contact_engine_proxy != nullptr, CONTACT_ERROR_NOT_CONNECTED, message);
    }

    // Temporary connection: use the open one, or open one for this call only.
    Operation &temporary_connection(int line, const char *connect_failed_message)
    {
        if (!ok_ || g_contact_engine_proxy != nullptr)
            return *this;
        if (_contact_init_dbus_connection(error_code_))
            opened_here_ = true;
        else
            fail(line, CONTACT_ERROR_NOT_CONNECTED, connect_failed_message);
        return *this;
    }

    template <class Pointer> Operation &not_null(int line, const Pointer *pointer, const char *message)
    {
        return check(line, pointer != nullptr, CONTACT_ERROR_NULL_ARGUMENT, message);
    }

    Operation &in_range(int line, bool within, const char *message)
    {
        return check(line, within, CONTACT_ERROR_OUT_OF_RANGE, message);
    }

    template <class... Args> Operation &trace(int line, const char *format, Args... args)
    {
        if (ok_)
            log_trace(site(line), format, args...);
        return *this;
    }

    // Packs a contact into the byte array that kPackedRecord stands for.
    Operation &pack(const contact_t *record)
    {
        if (ok_) {
            packed_.create();
            contact_serialize(packed_.get(), record);
        }
        return *this;
    }
    guint packed_length() const { return packed_.length(); }

    // The one remote call.  A failure logs `failed_message` (its "(%s)", if
    // any, takes the error text), closes a temporary connection, maps the
    // error text to *error_code and frees the error.
    template <class... InArgs, class... OutArgs>
    Operation &call(int line, const char *method, const char *failed_message, Ins<InArgs...> in, Outs<OutArgs...> out)
    {
        if (!ok_)
            return *this;
        // libdbus aborts the process on a string that is not UTF-8, so such
        // an argument is refused here, before anything is sent.
        const bool strings_valid =
            std::apply([](const auto &...values) { return (valid_string(values) && ...); }, in.values);
        if (!strings_valid) {
            fail(line, CONTACT_ERROR_OUT_OF_RANGE,
                 "\n[DodazorEdidud]%s %d: %s: a string argument is not valid UTF-8; nothing was sent.\n", method);
            return *this;
        }
        ErrorHolder error;
        auto arguments = std::tuple_cat(
            std::apply([this](auto &...values) { return std::tuple_cat(in_pair(resolve(values))...); }, in.values),
            std::make_tuple(G_TYPE_INVALID),
            std::apply([](auto &...targets) { return std::tuple_cat(out_pair(targets)...); }, out.targets),
            std::make_tuple(G_TYPE_INVALID));
        const gboolean sent = std::apply(
            [&](auto... flat) { return dbus_g_proxy_call(g_contact_engine_proxy, method, error.out(), flat...); },
            arguments);
        if (!sent) {
            ok_ = false;
            const char *text = error.get() != nullptr ? error.get()->message : "";
            log_error(site(line), failed_message, text);
        }
        close_temporary_connection();
        if (!sent && error_code_ != nullptr && error.get() != nullptr)
            *error_code_ = _get_error_code_by_gerror(error.get());
        return *this;
    }

    // Reply handling after a successful call.  A handler that takes the
    // operation may reject the reply with fail().
    template <class Handler> Operation &on_success(Handler handler)
    {
        if (!ok_)
            return *this;
        if constexpr (std::is_invocable_v<Handler, Operation &>)
            handler(*this);
        else
            handler();
        return *this;
    }

    template <class... Args> void fail(int line, int code, const char *message, Args... args)
    {
        ok_ = false;
        if (error_code_ != nullptr)
            *error_code_ = code;
        log_error(site(line), message, args...);
    }

    int result() const { return ok_ ? 1 : 0; }

private:
    Site site(int line) const { return {operation_.function, operation_.file, line}; }

    Operation &check(int line, bool passed, int code, const char *message)
    {
        if (ok_ && !passed)
            fail(line, code, message);
        return *this;
    }

    template <class Value> static bool valid_string(const Value &value)
    {
        if constexpr (std::is_same_v<Value, const char *>)
            return value == nullptr || g_utf8_validate(value, -1, nullptr);
        else
            return true;
    }

    template <class Value> auto resolve(Value &value)
    {
        if constexpr (std::is_same_v<Value, PackedRecord>)
            return packed_.get();
        else
            return value;
    }

    void close_temporary_connection()
    {
        if (opened_here_) {
            opened_here_ = false;
            _contact_close_dbus_connection(error_code_);
        }
    }

    Site operation_;
    int *error_code_;
    bool ok_ = true;
    bool opened_here_ = false;
    ByteArray packed_;
};

} // namespace contact_frame
