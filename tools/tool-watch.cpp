// contact-engine-tool's `watch`: the service's change notifications from
// the system bus, each turned into an update type and data by the
// library's converter for it, one line each.  The demo collects them the
// same way and prints them at its end.
#include <gio/gio.h>
#include <glib-unix.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string_view>

#include "contact-engine-bus.h"
#include "contact-engine-signals.h"
#include "tool-families.h"

namespace tool {
namespace {

using Converter = int (*)(GArray *, int *, void *, int *);
enum class UpdateData { Int, Index, SimError };
struct Receiver {
    const char *signal;
    Converter convert;
    UpdateData data;
};

// clang-format off
constexpr Receiver kReceivers[] = {
    {"contact_new_storage_type_noti",          contact_convert_new_storage_type_noti_to_update_type_and_data,            UpdateData::Int},
    {"contact_view_storage_type_noti",         contact_convert_view_storage_type_noti_to_update_type_and_data,           UpdateData::Int},
    {"contact_display_order_noti",             contact_convert_display_order_noti_to_update_type_and_data,               UpdateData::Int},
    {"contact_sort_type_noti",                 contact_convert_sort_type_noti_to_update_type_and_data,                   UpdateData::Int},
    {"contact_activated_own_number_noti",      contact_convert_activated_own_number_noti_to_update_type_and_data,        UpdateData::Int},
    {"contact_fdn_status_changed_noti",        contact_convert_fdn_status_changed_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_delete_some_contacts_noti",      contact_convert_delete_some_contacts_noti_to_update_type_and_data,        UpdateData::Int},
    {"contact_copy_some_contacts_noti",        contact_convert_copy_some_contacts_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_move_some_contacts_noti",        contact_convert_move_some_contacts_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_delete_some_groups_noti",        contact_convert_delete_some_groups_noti_to_update_type_and_data,          UpdateData::Int},
    {"contact_delete_all_group_members_noti",  contact_convert_delete_all_group_members_noti_to_update_type_and_data,    UpdateData::Index},
    {"contact_delete_some_group_members_noti", contact_convert_delete_some_group_members_noti_to_update_type_and_data,   UpdateData::Index},
    {"contact_add_some_group_members_noti",    contact_convert_add_some_group_members_noti_to_update_type_and_data,      UpdateData::Index},
    {"contact_add_group_member_noti",          contact_convert_add_group_member_noti_to_update_type_and_data,            UpdateData::Index},
    {"contact_delete_group_member_noti",       contact_convert_delete_group_member_noti_to_update_type_and_data,         UpdateData::Index},
    {"contact_sim_error_noti",                 contact_convert_sim_error_noti_to_update_type_and_data,                   UpdateData::SimError},
    {"contact_main_table_noti",                contact_convert_contact_main_table_modified_noti_to_update_type_and_data, UpdateData::Index},
    {"contact_table_noti",                     contact_convert_contact_table_modified_noti_to_update_type_and_data,      UpdateData::Index},
    {"contact_group_table_noti",               contact_convert_group_table_modified_noti_to_update_type_and_data,        UpdateData::Index},
    {"contact_speed_dial_table_noti",          contact_convert_speed_dial_table_modified_noti_to_update_type_and_data,   UpdateData::Int},
    {"contact_my_contact_table_noti",          contact_convert_my_contact_table_modified_noti_to_update_type_and_data,   UpdateData::Int},
};
// clang-format on

// The receivers follow the service's list of signals, one for one.
constexpr bool receivers_match_signals()
{
    if (std::size(kReceivers) != std::size(contact_signals::kSignals))
        return false;
    for (std::size_t i = 0; i < std::size(kReceivers); ++i)
        if (std::string_view(kReceivers[i].signal) != contact_signals::kSignals[i].name)
            return false;
    return true;
}
static_assert(receivers_match_signals());

struct Watch {
    GMainLoop *loop;
    int remaining; // lines still to print; negative: until interrupted
};

// One line per signal: its name, the update type and the update data, as the
// library's converter makes them of the signal's arguments.
void on_signal(GDBusConnection *, const char *, const char *, const char *, const char *signal_name,
               GVariant *parameters, gpointer user_data)
{
    auto *watch = static_cast<Watch *>(user_data);
    const Receiver *receiver = nullptr;
    for (const Receiver &candidate : kReceivers)
        if (std::strcmp(candidate.signal, signal_name) == 0)
            receiver = &candidate;
    if (receiver == nullptr)
        return;

    GArray *args = g_array_new(FALSE, TRUE, sizeof(noti_property));
    GVariantIter iter;
    g_variant_iter_init(&iter, parameters);
    while (GVariant *child = g_variant_iter_next_value(&iter)) {
        noti_property property{};
        if (g_variant_is_of_type(child, G_VARIANT_TYPE_INT32)) {
            property.type = CONTACT_NOTI_TYPE_INT;
            const gint32 value = g_variant_get_int32(child);
            std::memcpy(&property.value, &value, sizeof value);
        }
        g_array_append_val(args, property);
        g_variant_unref(child);
    }

    int update_type = -1;
    int error_code = 0;
    union {
        int value;
        contact_update_index_t index;
        contact_update_sim_error_t sim_error;
    } data{};
    if (!receiver->convert(args, &update_type, &data, &error_code))
        std::printf("%s refused by its converter (error code %d)\n", signal_name, error_code);
    else if (receiver->data == UpdateData::Int)
        std::printf("%s update_type=%d value=%d\n", signal_name, update_type, data.value);
    else if (receiver->data == UpdateData::Index)
        std::printf("%s update_type=%d index=%d storage_type=%d\n", signal_name, update_type, data.index.index,
                    data.index.storage_type);
    else
        std::printf("%s update_type=%d index=%d storage_type=%d access_mode=%d sim_error_value=%d\n", signal_name,
                    update_type, data.sim_error.index, data.sim_error.storage_type, data.sim_error.access_mode,
                    data.sim_error.sim_error_value);
    std::fflush(stdout);
    g_array_free(args, TRUE);
    if (watch->loop != nullptr && watch->remaining > 0 && --watch->remaining == 0)
        g_main_loop_quit(watch->loop);
}

gboolean on_stop_signal(gpointer user_data)
{
    g_main_loop_quit(static_cast<Watch *>(user_data)->loop);
    return G_SOURCE_CONTINUE;
}

// The service's signals on the system bus, delivered to on_signal through
// the default main context while it lives.  Once constructed, the
// subscription is in place (a round trip to the bus after the AddMatch).
class Subscription {
public:
    explicit Subscription(Watch *state)
    {
        GError *error = nullptr;
        bus_ = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
        if (bus_ == nullptr) {
            const std::string reason = error->message;
            g_error_free(error);
            throw Failure("cannot reach the system bus: " + reason);
        }
        id_ = g_dbus_connection_signal_subscribe(bus_, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_INTERFACE, nullptr,
                                                 CONTACT_ENGINE_OBJECT_PATH, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                 on_signal, state, nullptr);
        GVariant *id = g_dbus_connection_call_sync(bus_, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                   "org.freedesktop.DBus", "GetId", nullptr, nullptr,
                                                   G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (id != nullptr)
            g_variant_unref(id);
    }
    ~Subscription()
    {
        g_dbus_connection_signal_unsubscribe(bus_, id_);
        g_object_unref(bus_);
    }
    Subscription(const Subscription &) = delete;
    Subscription &operator=(const Subscription &) = delete;

private:
    GDBusConnection *bus_ = nullptr;
    guint id_ = 0;
};

// Prints each signal until SIGINT or SIGTERM, or until `count` lines when
// count > 0.  Says on stderr when it is subscribed.
int watch(int count)
{
    Watch state{g_main_loop_new(nullptr, FALSE), count};
    Subscription subscription(&state);
    const guint on_int = g_unix_signal_add(SIGINT, on_stop_signal, &state);
    const guint on_term = g_unix_signal_add(SIGTERM, on_stop_signal, &state);
    std::fprintf(stderr, "contact-engine-tool: watching %s\n", CONTACT_ENGINE_OBJECT_PATH);
    g_main_loop_run(state.loop);
    g_source_remove(on_int);
    g_source_remove(on_term);
    g_main_loop_unref(state.loop);
    return 0;
}

struct WatchCommand {
    int count = 0;
} commands;

void add_commands(CLI::App &app)
{
    auto *watch_cmd = app.add_subcommand("watch", "print the service's change notifications until interrupted");
    watch_cmd->add_option("--count", commands.count, "stop after this many notifications")->check(CLI::PositiveNumber);
}

int run_command()
{
    return watch(commands.count);
}

} // namespace

// Needs no library session: it listens on a connection of its own.
extern const ToolFamily kWatchCommand{add_commands, run_command, false};

struct Announcements::State {
    Watch announced{nullptr, -1};
    Subscription subscription{&announced};
};

Announcements::Announcements() : state_(std::make_unique<State>()) {}

Announcements::~Announcements() = default;

// Lets the default main context deliver what arrived, for 300 ms.
void Announcements::print()
{
    std::printf("\n== what the service announced (contact-engine-tool watch shows it live)\n");
    const gint64 until = g_get_monotonic_time() + 300 * G_TIME_SPAN_MILLISECOND;
    while (g_get_monotonic_time() < until)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10 * G_TIME_SPAN_MILLISECOND);
}

} // namespace tool
