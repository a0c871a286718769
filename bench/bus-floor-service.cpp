// The bus's own cost, as a floor beside the service's figures: a bare
// sd-bus service that owns the service's name (on a private bus of its own,
// under the same bus rules) and answers three of its methods with replies
// of the same types and sizes, doing no work of its own:
//
//   contact_get_contact_count(i storage)             -> (i count, i code)
//   contact_get_contact(i storage, i size)           -> (ay `size` bytes, i code)
//   contact_result_set_get_contacts(i, i n, i)       -> (ay n fixed parts, i n)
//
// The byte arrays go out as the service's do (one copy, core/bytes.h).
#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <iostream>
#include <tuple>

#include "contact-engine-bus.h"
#include "contact-engine-wire.h"
#include "core/bytes.h"

using contact_engine::Bytes;

int main()
{
    auto connection = sdbus::createSystemBusConnection();
    auto object = sdbus::createObject(*connection, CONTACT_ENGINE_OBJECT_PATH);
    object->registerMethod("contact_get_contact_count")
        .onInterface(CONTACT_ENGINE_INTERFACE)
        .implementedAs([](std::int32_t) { return std::tuple<std::int32_t, std::int32_t>{0, 0}; });
    object->registerMethod("contact_get_contact")
        .onInterface(CONTACT_ENGINE_INTERFACE)
        .implementedAs([](std::int32_t, std::int32_t size) {
            return std::tuple<Bytes, std::int32_t>{Bytes(std::size_t(size), 0), 0};
        });
    object->registerMethod("contact_result_set_get_contacts")
        .onInterface(CONTACT_ENGINE_INTERFACE)
        .implementedAs([](std::int32_t, std::int32_t wanted, std::int32_t) {
            return std::tuple<Bytes, std::int32_t>{Bytes(std::size_t(wanted) * contact_wire::kFixedSize, 0), wanted};
        });
    object->finishRegistration();
    connection->requestName(CONTACT_ENGINE_BUS_NAME);
    std::cout << "contact-engine-service: ready (bus floor)" << std::endl;
    connection->enterEventLoop();
}
