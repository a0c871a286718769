// How the service fails: a handler throws ServiceError, and the one wrapper
// that every method runs in turns it into a D-Bus error whose message
// starts with the decimal code ("12: no contact at index 7").
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <SQLiteCpp/SQLiteCpp.h>

#include <functional>
#include <string>
#include <utility>

#include "contact-engine-errors.h"

namespace contact_engine {

struct ServiceError {
    ErrorCode code;
    std::string reason;
};

[[noreturn]] inline void fail(ErrorCode code, std::string reason)
{
    throw ServiceError{code, std::move(reason)};
}

// The D-Bus error name of each code; clients read only the message.
const char *error_name(ErrorCode code);

inline sdbus::Error to_bus_error(ErrorCode code, const std::string &reason)
{
    return sdbus::Error(std::string("com.quorvel.contact.engine.Error.") + error_name(code),
                        std::to_string(int(code)) + ": " + reason);
}

// Wraps a handler so that every failure leaves as a coded D-Bus error.  A
// database exception is code 23; the transaction it broke was rolled back.
template <class R, class... Args> auto guard(std::function<R(Args...)> handler)
{
    return [handler = std::move(handler)](Args... args) -> R {
        try {
            return handler(std::forward<Args>(args)...);
        } catch (const ServiceError &error) {
            throw to_bus_error(error.code, error.reason);
        } catch (const SQLite::Exception &error) {
            throw to_bus_error(kDatabaseError, std::string("database error: ") + error.what());
        }
    };
}

template <class Handler> auto guarded(Handler handler)
{
    return guard(std::function{std::move(handler)});
}

} // namespace contact_engine
