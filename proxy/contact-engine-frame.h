// The call frame that every operation of the library runs in.
//
// An operation states only what is its own: its checks in order, its method
// and IN/OUT arguments, its messages and what it does with the reply:
//
//     contact_frame::Operation op(__func__, error_code);
//     return op.connected("...The dbus connection hasn't been opened.\n")
//         .not_null(record_count, "...The record_count is NULL.\n")
//         .call("contact_get_contact_count", "...failed(%s).\n",
//               ins(storage_type), outs(record_count, error_code))
//         .result();
//
// The first failing check decides the code and skips everything after it.
// Log lines carry the operation's own function name and file, and the line
// of the step that logs: every message is a Text, which takes the line of the
// call it is passed to (the line of `.not_null(`, `.call(`, `.fail(` ...).
// Everything the call produces (error, byte arrays, reply strings) is owned
// by a holder and released when the operation returns.
#pragma once

#include <assert.h>
#include <dbus/dbus-glib.h>
#include <glib.h>

#include <cstddef>
#include <source_location>
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

// A log format and the line it is logged from.  Built implicitly from a
// string literal; the default argument is evaluated where the conversion
// happens, so the line is that of the call that receives the text (GCC
// gives the line of the member call in a chain: `.not_null(`).
struct Text {
    Text(const char *text, std::source_location where = std::source_location::current())
        : format(text), file(where.file_name()), line(int(where.line()))
    {
    }
    const char *format;
    const char *file;
    int line;
};

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

// The same outside an operation: `function` is the caller's __func__, the
// file and line those of the call.
template <class... Args> void log_error(const char *function, Text format, Args... args)
{
    log_error(Site{function, format.file, format.line}, format.format, args...);
}

template <class... Args> void log_trace(const char *function, Text format, Args... args)
{
    log_trace(Site{function, format.file, format.line}, format.format, args...);
}

// ---- the one owning holder -------------------------------------------------

// Owns a C resource and hands it to Release when it goes (or is reset).
// Non-copyable: exactly one holder frees a resource.  out() gives the
// T** that a C API fills in, after releasing whatever was held.
template <class T, auto Release> class Owned {
public:
    Owned() = default;
    explicit Owned(T *held) : held_(held) {}
    Owned(const Owned &) = delete;
    Owned &operator=(const Owned &) = delete;
    ~Owned() { reset(); }
    T *get() const { return held_; }
    // Hands the resource over: the holder no longer frees it.
    T *release()
    {
        T *held = held_;
        held_ = nullptr;
        return held;
    }
    T **out()
    {
        reset();
        return &held_;
    }
    void reset(T *held = nullptr)
    {
        if (held_ != nullptr)
            Release(held_);
        held_ = held;
    }

private:
    T *held_ = nullptr;
};

inline void free_byte_array(GArray *array)
{
    g_array_free(array, TRUE);
}

using ErrorHolder = Owned<GError, g_error_free>;
using ByteArray = Owned<GArray, free_byte_array>;
using ReplyString = Owned<char, g_free>;

// A new record array: not zero-terminated, not cleared, 1-byte elements.
inline GArray *new_byte_array()
{
    return g_array_new(FALSE, FALSE, 1);
}
inline const guint8 *bytes(const ByteArray &array)
{
    return reinterpret_cast<const guint8 *>(array.get()->data);
}
inline guint length(const ByteArray &array)
{
    return array.get() != nullptr ? array.get()->len : 0;
}

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

// Precondition of every operation with an error_code; a NULL here is the
// caller's programming error.
#define CONTACT_REQUIRE_ERROR_CODE(error_code) assert(error_code != ((void *)0))

class Operation {
public:
    // `function` is the operation's __func__; the file is the one the
    // operation is written in.  error_code may be NULL only for the reduced
    // form (vCard conversions), which maps no error.
    Operation(const char *function, int *error_code, std::source_location where = std::source_location::current())
        : function_(function), file_(where.file_name()), error_code_(error_code)
    {
    }
    Operation(const Operation &) = delete;
    Operation &operator=(const Operation &) = delete;
    ~Operation() { close_temporary_connection(); }

    // Required connection: code 9 without one.
    Operation &connected(Text message)
    {
        return check(g_contact_engine_proxy != nullptr, CONTACT_ERROR_NOT_CONNECTED, message);
    }

    // Temporary connection: use the open one, or open one for this call only.
    Operation &temporary_connection(Text connect_failed_message)
    {
        if (!ok_ || g_contact_engine_proxy != nullptr)
            return *this;
        if (_contact_init_dbus_connection(error_code_))
            opened_here_ = true;
        else
            fail(CONTACT_ERROR_NOT_CONNECTED, connect_failed_message);
        return *this;
    }

    // For the few operations whose failed call leaves *error_code as the
    // caller had it: the call's error is logged and freed, not mapped.
    // The checks before the call still set their codes.
    Operation &without_error_mapping()
    {
        map_call_error_ = false;
        return *this;
    }

    template <class Pointer> Operation &not_null(const Pointer *pointer, Text message)
    {
        return check(pointer != nullptr, CONTACT_ERROR_NULL_ARGUMENT, message);
    }

    Operation &in_range(bool within, Text message) { return check(within, CONTACT_ERROR_OUT_OF_RANGE, message); }

    template <class... Args> Operation &trace(Text format, Args... args)
    {
        if (ok_)
            log_trace(site(format.line), format.format, args...);
        return *this;
    }

    // Packs a contact into the byte array that kPackedRecord stands for.
    Operation &pack(const contact_t *record)
    {
        if (ok_) {
            if (packed_.get() == nullptr)
                packed_.reset(new_byte_array());
            contact_serialize(packed_.get(), record);
        }
        return *this;
    }
    // Packs with the operation's own packer: packer(array) appends to the
    // byte array that kPackedRecord stands for (the vCard conversions send a
    // contact's fixed part alone).
    template <class Packer> Operation &pack_with(Packer packer)
    {
        if (ok_) {
            if (packed_.get() == nullptr)
                packed_.reset(new_byte_array());
            packer(packed_.get());
        }
        return *this;
    }
    guint packed_length() const { return length(packed_); }

    // The one remote call.  The method's name gives the line (that of
    // `.call(`).  A failure logs `failed_message` (its "(%s)", if any, takes
    // the error text), closes a temporary connection, maps the error text to
    // *error_code and frees the error.
    template <class... InArgs, class... OutArgs>
    Operation &call(Text method, const char *failed_message, Ins<InArgs...> in, Outs<OutArgs...> out)
    {
        if (!ok_)
            return *this;
        // libdbus aborts the process on a string that is not UTF-8, so such
        // an argument is refused here, before anything is sent.
        const bool strings_valid =
            std::apply([](const auto &...values) { return (valid_string(values) && ...); }, in.values);
        if (!strings_valid) {
            fail_at(method.line, CONTACT_ERROR_OUT_OF_RANGE,
                    "\n[DodazorEdidud]%s %d: %s: a string argument is not valid UTF-8; nothing was sent.\n",
                    method.format);
            return *this;
        }
        ErrorHolder error;
        auto arguments = std::tuple_cat(
            std::apply([this](auto &...values) { return std::tuple_cat(in_pair(resolve(values))...); }, in.values),
            std::make_tuple(G_TYPE_INVALID),
            std::apply([](auto &...targets) { return std::tuple_cat(out_pair(targets)...); }, out.targets),
            std::make_tuple(G_TYPE_INVALID));
        const gboolean sent = std::apply(
            [&](auto... flat) { return dbus_g_proxy_call(g_contact_engine_proxy, method.format, error.out(), flat...); },
            arguments);
        if (!sent) {
            ok_ = false;
            const char *text = error.get() != nullptr ? error.get()->message : "";
            log_error(site(method.line), failed_message, text);
        }
        close_temporary_connection();
        if (!sent && map_call_error_ && error_code_ != nullptr && error.get() != nullptr)
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

    // A reply of `count` fixed-size records back to back (the group,
    // result-set, speed-dial and bulk lists).  A reply shorter than
    // count * record_size bytes is refused with code 33 before anything is
    // written to the caller: `malformed_message` is logged with the reply's
    // length (%u) and the count (%d).  Otherwise decode(i, record) is called
    // for each record in order, `record` pointing at its first byte, to be
    // read by the record's offset table.  A count of 0 or less decodes
    // nothing (the operations hand such a count on as the service sent it).
    template <class Decode>
    Operation &records(const ByteArray &reply, int count, std::size_t record_size, Text malformed_message,
                       Decode decode)
    {
        if (!ok_ || count <= 0)
            return *this;
        // Divided rather than multiplied: count * record_size can overflow
        // a 32-bit size_t.
        if (record_size == 0 || std::size_t(length(reply)) / record_size < std::size_t(count)) {
            fail(CONTACT_ERROR_MALFORMED_REPLY, malformed_message, length(reply), count);
            return *this;
        }
        for (int i = 0; i < count; ++i)
            decode(i, bytes(reply) + std::size_t(i) * record_size);
        return *this;
    }

    // A reply that announces more records than the caller's array has room
    // for (the room the operation documents) is refused with 33:
    // `message` is logged with the count and the room (%d %d).
    Operation &at_most(int count, int room, Text message)
    {
        if (ok_ && count > room)
            fail(CONTACT_ERROR_MALFORMED_REPLY, message, count, room);
        return *this;
    }

    template <class... Args> void fail(int code, Text message, Args... args)
    {
        fail_at(message.line, code, message.format, args...);
    }

    int result() const { return ok_ ? 1 : 0; }

private:
    Site site(int line) const { return {function_, file_, line}; }

    template <class... Args> void fail_at(int line, int code, const char *format, Args... args)
    {
        ok_ = false;
        if (error_code_ != nullptr)
            *error_code_ = code;
        log_error(site(line), format, args...);
    }

    Operation &check(bool passed, int code, Text message)
    {
        if (ok_ && !passed)
            fail(code, message);
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

    const char *function_;
    const char *file_;
    int *error_code_;
    bool ok_ = true;
    bool opened_here_ = false;
    bool map_call_error_ = true;
    ByteArray packed_;
};

} // namespace contact_frame
