// Registration of the service's methods, one family per source file.
//
// A family's handlers are named functions taking the family's store (or
// other context) first, then the method's IN arguments; they return the OUT
// arguments (one value, a std::tuple of several, or void).  Its register
// function adds each with one line that also names the arguments, so
// introspection documents the interface:
//
//   Reply get_contact(ContactStore &store, std::int32_t storage_type, std::int32_t index);
//   registry.add("contact_get_contact", get_contact, store, In{"storage_type", "index"}, Out{"record", "result"});
//
// Every handler runs inside guard(): whatever it throws leaves as a coded
// D-Bus error.  A name count that does not match the handler's arguments
// stops the service at start-up.
#pragma once

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <typeindex>
#include <typeinfo>
#include <utility>
#include <vector>

#include "core/bytes.h"
#include "contact-engine-bus.h"
#include "core/service-error.h"
#include "core/workers.h"

namespace contact_engine {

inline constexpr const char *kBusName = CONTACT_ENGINE_BUS_NAME;
inline constexpr const char *kObjectPath = CONTACT_ENGINE_OBJECT_PATH;
inline constexpr const char *kInterface = CONTACT_ENGINE_INTERFACE;

// Replies shared by the families.
using Reply = std::tuple<Bytes, std::int32_t>;         // a record or array, then the result code
using Answer = std::tuple<std::int32_t, std::int32_t>; // a number, then the result code

// The names of a method's IN and OUT arguments, in order.
struct In {
    In(std::initializer_list<const char *> list) : names(list.begin(), list.end()) {}
    std::vector<std::string> names;
};
struct Out {
    Out() = default;
    Out(std::initializer_list<const char *> list) : names(list.begin(), list.end()) {}
    std::vector<std::string> names;
};

// The unique bus name (":1.42") of the client whose call the current thread
// is handling; empty outside a handler.  Server-side objects record it as
// their owner.  Workers take it with them: they run outside the call.
const std::string &current_caller();

class ClientWatch;
class MethodRegistry;
class Database;
struct ServiceOptions;

// A family's register function: adds its methods, makes its store (which
// brings its tables forward) and keeps what it needs with own().
using RegisterFamily = void(MethodRegistry &registry, Database &database, const ServiceOptions &options);

class MethodRegistry {
public:
    // Starts `worker_threads` workers; they finish their queued jobs and stop
    // before the stores kept with own() go.
    MethodRegistry(sdbus::IObject &object, ClientWatch &clients, std::size_t worker_threads)
        : object_(object), clients_(clients), workers_(worker_threads)
    {
    }
    MethodRegistry(const MethodRegistry &) = delete;
    MethodRegistry &operator=(const MethodRegistry &) = delete;

    // A handler with its context: R handler(Context &, IN arguments...).
    template <class R, class Context, class... Args>
    MethodRegistry &add(const char *method, R (*handler)(Context &, Args...), Context &context, In in, Out out)
    {
        check_names<R, sizeof...(Args)>(method, in, out);
        register_method(method, in, out, [this, method, handler, &context](std::decay_t<Args>... args) -> R {
            const CallScope scope(object_);
            return guard(method, [&]() -> R { return handler(context, std::move(args)...); });
        });
        return *this;
    }

    // The same on another interface of the service's object: a family's own
    // methods beside the fixed ones of kInterface.
    template <class R, class Context, class... Args>
    MethodRegistry &add_to(const char *interface, const char *method, R (*handler)(Context &, Args...),
                           Context &context, In in, Out out)
    {
        check_names<R, sizeof...(Args)>(method, in, out);
        register_method(method, in, out,
                        [this, method, handler, &context](std::decay_t<Args>... args) -> R {
                            const CallScope scope(object_);
                            return guard(method, [&]() -> R { return handler(context, std::move(args)...); });
                        },
                        interface);
        return *this;
    }

    // A handler that needs nothing but its arguments.
    template <class R, class... Args>
    MethodRegistry &add(const char *method, R (*handler)(Args...), In in, Out out)
    {
        check_names<R, sizeof...(Args)>(method, in, out);
        register_method(method, in, out, [this, method, handler](std::decay_t<Args>... args) -> R {
            const CallScope scope(object_);
            return guard(method, [&]() -> R { return handler(std::move(args)...); });
        });
        return *this;
    }

    // Keeps a family's store or state for the life of the service.
    template <class T, class... Args> T &own(Args &&...args)
    {
        auto owned = std::make_shared<T>(std::forward<Args>(args)...);
        T &ref = *owned;
        owned_.push_back(std::move(owned));
        return ref;
    }

    // The one T of the service, made by the first family that asks and
    // handed to every other: families that watch another's store share it
    // (the contacts' store, whose hooks the speed dials use).  The
    // arguments are used only the first time.
    template <class T, class... Args> T &shared(Args &&...args)
    {
        std::shared_ptr<void> &slot = shared_[std::type_index(typeid(T))];
        if (!slot) {
            slot = std::make_shared<T>(std::forward<Args>(args)...);
            owned_.push_back(slot);
        }
        return *static_cast<T *>(slot.get());
    }

    // Long work (see workers.h).
    Workers &workers() { return workers_; }
    // The service's object, for what is declared on it beside the methods
    // (the change-notification signals, signal-emitter.cpp).
    sdbus::IObject &object() { return object_; }
    // Calls `callback` with the unique name of every client that leaves the
    // bus, on the bus thread: the owner's result sets and jobs go with it.
    void on_client_vanished(std::function<void(const std::string &unique_name)> callback);

private:
    // Sets current_caller() for the length of one handler call.
    struct CallScope {
        explicit CallScope(const sdbus::IObject &object);
        ~CallScope();
        CallScope(const CallScope &) = delete;
        CallScope &operator=(const CallScope &) = delete;
    };

    template <class R> static constexpr std::size_t out_count()
    {
        if constexpr (std::is_void_v<R>)
            return 0;
        else if constexpr (requires { std::tuple_size<R>::value; })
            return std::tuple_size_v<R>;
        else
            return 1;
    }
    template <class R, std::size_t InCount> static void check_names(const char *method, const In &in, const Out &out)
    {
        if (in.names.size() != InCount || out.names.size() != out_count<R>())
            throw std::logic_error(std::string(method) + ": the argument names do not match the handler's arguments");
    }
    template <class Call>
    void register_method(const char *method, const In &in, const Out &out, Call call,
                         const char *interface = kInterface)
    {
        object_.registerMethod(method)
            .onInterface(interface)
            .withInputParamNames(in.names)
            .withOutputParamNames(out.names)
            .implementedAs(std::move(call));
    }

    sdbus::IObject &object_;
    ClientWatch &clients_;
    std::vector<std::shared_ptr<void>> owned_;
    std::map<std::type_index, std::shared_ptr<void>> shared_;
    Workers workers_; // last: destroyed first, while the stores its jobs use are still there
};

} // namespace contact_engine
