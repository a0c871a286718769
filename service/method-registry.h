// Registration of the service's methods, one family per source file.  Each
// family adds its methods with one line each; every handler runs guarded.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <utility>

#include "contact-engine-bus.h"
#include "service-error.h"

namespace contact_engine {

inline constexpr const char *kBusName = CONTACT_ENGINE_BUS_NAME;
inline constexpr const char *kObjectPath = CONTACT_ENGINE_OBJECT_PATH;
inline constexpr const char *kInterface = CONTACT_ENGINE_INTERFACE;

class Database;

class MethodRegistry {
public:
    explicit MethodRegistry(sdbus::IObject &object) : object_(object) {}
    template <class Handler> MethodRegistry &add(const char *method, Handler handler)
    {
        object_.registerMethod(method).onInterface(kInterface).implementedAs(guarded(std::move(handler)));
        return *this;
    }

private:
    sdbus::IObject &object_;
};

// The families.
void register_contact_methods(MethodRegistry &registry, Database &database);

} // namespace contact_engine
