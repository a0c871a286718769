// How the service fails: a handler throws ServiceError (through fail()),
// and the one guard that every method runs in turns it, and every other
// exception, into a D-Bus error whose message starts with the decimal code
// ("12: no contact at index 7").  Nothing a handler throws ends the service.
#pragma once

#include <sdbus-c++/sdbus-c++.h>
#include <SQLiteCpp/SQLiteCpp.h>

#include <iostream>
#include <new>
#include <string>
#include <utility>

#include "core/contact-engine-errors.h"

namespace contact_engine {

struct ServiceError {
    ErrorCode code;
    std::string reason;
};

[[noreturn]] inline void fail(ErrorCode code, std::string reason)
{
    throw ServiceError{code, std::move(reason)};
}

inline sdbus::Error to_bus_error(ErrorCode code, const std::string &reason)
{
    return sdbus::Error(std::string(kErrorNamePrefix) + error_name(code), std::to_string(int(code)) + ": " + reason);
}

// A failure the service did not foresee: logged on stderr, since the client
// sees only the code and the reason.
inline sdbus::Error unexpected(const char *method, const std::string &reason)
{
    std::cerr << "contact-engine-service: " << method << ": " << reason << std::endl;
    return to_bus_error(kInternalError, reason);
}

// Runs `call` (one method's handler) so that every failure leaves as a
// coded D-Bus error.  A database exception is kDatabaseError; the
// transaction it broke was rolled back.
template <class Call> auto guard(const char *method, Call &&call) -> decltype(call())
{
    try {
        return call();
    } catch (const ServiceError &error) {
        throw to_bus_error(error.code, error.reason);
    } catch (const SQLite::Exception &error) {
        throw to_bus_error(kDatabaseError, std::string("database error: ") + error.what());
    } catch (const std::bad_alloc &) {
        throw unexpected(method, "out of memory");
    } catch (const sdbus::Error &error) {
        throw unexpected(method, error.getName() + ": " + error.getMessage());
    } catch (const std::exception &error) {
        throw unexpected(method, std::string("internal error: ") + error.what());
    } catch (...) {
        throw unexpected(method, "internal error: an unknown exception");
    }
}

} // namespace contact_engine
