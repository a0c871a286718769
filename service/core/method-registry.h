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
//
// A method whose work can grow with the storage or with its input (deleting
// many contacts, a query over every contact, a vCard, a caller's file) is
// added with add_long() instead, same handler, same line: its handler runs
// on a worker and its reply is sent from there, while the bus thread goes
// on answering everyone else.  The caller's name and identity are taken on
// the bus thread and go with the call (current_caller(),
// current_caller_identity() work as on the bus thread).
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
#include "core/caller-files.h"
#include "contact-engine-bus.h"
#include "core/service-error.h"
#include "core/user-quotas.h"
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
// In a long call's handler: the caller's identity as the bus thread learnt
// it before handing the call over; nullptr elsewhere.
const CallerIdentity *current_call_identity();

// The deferred reply of a handler that returns R.
template <class R> struct ResultOf {
    using type = sdbus::Result<R>;
};
template <> struct ResultOf<void> {
    using type = sdbus::Result<>;
};
template <class... T> struct ResultOf<std::tuple<T...>> {
    using type = sdbus::Result<T...>;
};

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

    // A long call (see the top of this file): the handler runs on a worker.
    // Each user has at most limits::per_user::kLongCalls of them waiting or
    // running; more are refused with kTooManyLongCalls.
    template <class R, class Context, class... Args>
    MethodRegistry &add_long(const char *method, R (*handler)(Context &, Args...), Context &context, In in, Out out)
    {
        return add_long_to(kInterface, method, handler, context, std::move(in), std::move(out));
    }
    template <class R, class Context, class... Args>
    MethodRegistry &add_long_to(const char *interface, const char *method, R (*handler)(Context &, Args...),
                                Context &context, In in, Out out)
    {
        check_names<R, sizeof...(Args)>(method, in, out);
        using Result = typename ResultOf<R>::type;
        register_method(method, in, out,
                        [this, method, handler, &context](Result &&result, std::decay_t<Args>... args) {
                            auto call = std::make_shared<LongCall<Result, std::decay_t<Args>...>>(
                                std::move(result), std::move(args)...);
                            hand_over(method, [method, handler, &context, call](UserQuotas::Hold &hold) {
                                finish<R>(method, call->result, hold, [&]() -> R {
                                    return std::apply([&](auto &...a) { return handler(context, std::move(a)...); },
                                                      call->args);
                                });
                            }, [call](const sdbus::Error &error) { call->result.returnError(error); });
                        },
                        interface);
        return *this;
    }

    // The per-user counts (user-quotas.h) the families keep their holds in.
    UserQuotas &quotas() { return quotas_; }

    // For tests: every long call waits on its worker, before its handler,
    // until the file `path` exists (at most a minute), so a test can hold
    // a worker inside a call for as long as it needs.
    void hold_long_calls_until(std::string path) { hold_path_ = std::move(path); }

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
    // Who made a call, as the bus thread knew it: what a long call takes
    // to its worker.
    struct CallContext {
        std::string caller;
        CallerIdentity identity;
    };
    // Sets current_caller() (and for a long call its identity) for the
    // length of one handler call.
    struct CallScope {
        explicit CallScope(const sdbus::IObject &object);
        explicit CallScope(const CallContext &context);
        ~CallScope();
        CallScope(const CallScope &) = delete;
        CallScope &operator=(const CallScope &) = delete;
    };

    // A long call's reply and arguments, shared by the bus thread's part
    // and the worker's (sdbus::Result moves only; a worker job is copied).
    template <class Result, class... Args> struct LongCall {
        LongCall(Result &&r, Args &&...a) : result(std::move(r)), args(std::move(a)...) {}
        Result result;
        std::tuple<Args...> args;
    };

    // On the bus thread: learns who calls, takes the user's long-call
    // count and queues `run` for a worker, or refuses the call at once.
    void hand_over(const char *method, std::function<void(UserQuotas::Hold &)> run,
                   std::function<void(const sdbus::Error &)> refuse);
    void wait_while_held() const;

    // On the worker: runs the handler in the guard, gives the long-call
    // count back (before the reply, so the caller's next call finds it
    // free) and sends the reply or the coded error.
    template <class R, class Result, class Call>
    static void finish(const char *method, const Result &result, UserQuotas::Hold &hold, Call &&call)
    {
        try {
            if constexpr (std::is_void_v<R>) {
                guard(method, call);
                hold.release();
                result.returnResults();
            } else {
                R value = guard(method, call);
                hold.release();
                if constexpr (requires { std::tuple_size<R>::value; })
                    std::apply([&](const auto &...v) { result.returnResults(v...); }, value);
                else
                    result.returnResults(value);
            }
        } catch (const sdbus::Error &error) {
            hold.release();
            result.returnError(error);
        }
    }

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
    std::string hold_path_;
    UserQuotas quotas_; // before owned_: the holds kept in the families' objects go first
    std::vector<std::shared_ptr<void>> owned_;
    std::map<std::type_index, std::shared_ptr<void>> shared_;
    Workers workers_; // last: destroyed first, while the stores its jobs use are still there
};

} // namespace contact_engine
