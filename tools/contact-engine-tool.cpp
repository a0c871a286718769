// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool list [--storage N]
//   contact-engine-tool show INDEX [--storage N]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N]
//   contact-engine-tool fdn NUMBER
//   contact-engine-tool me
//   contact-engine-tool demo
//   contact-engine-tool watch [--count N]
//
// Every command opens the library's connection, makes its calls and closes
// it again.  A failed call prints the operation and its error code on
// stderr and the tool exits 1.
#include <CLI/CLI.hpp>
#include <gio/gio.h>
#include <glib-unix.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "contact-engine-bus.h"
#include "contact-engine-signals.h"
#include "contact-engine.h"

namespace {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Runs one library call; a result of 0 becomes a Failure naming it.
template <class Call> int check(const char *what, Call call)
{
    int error_code = 0;
    if (!call(&error_code))
        throw Failure(std::string(what) + " failed with error code " + std::to_string(error_code));
    return error_code;
}

class Session {
public:
    Session()
    {
        int error_code = 0;
        if (!contact_initialize(&error_code))
            throw Failure("cannot reach the system bus (is DBUS_SYSTEM_BUS_ADDRESS set?)");
    }
    ~Session() { contact_finalize(nullptr); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
};

// A contact received from the library; frees the sections it allocated.
struct Contact {
    contact_t record{};
    Contact() = default;
    Contact(const Contact &) = delete;
    Contact &operator=(const Contact &) = delete;
    ~Contact()
    {
        std::free(record.phone_info);
        std::free(record.email_info);
        std::free(record.postal_info);
        std::free(record.note);
        std::free(record.about);
        std::free(record.sns);
        std::free(record.im);
        std::free(record.presence_text);
        std::free(record.contact_id_data);
    }
};

template <std::size_t N> void copy_text(char (&field)[N], const std::string &value)
{
    std::snprintf(field, N, "%s", value.c_str());
}

void print_contact(const contact_t &c)
{
    std::printf("#%d (storage %d) %s\n", c.index, c.storage_type, c.display_name);
    if (c.first_name[0] || c.last_name[0])
        std::printf("  name:     %s %s\n", c.first_name, c.last_name);
    if (c.company[0])
        std::printf("  company:  %s\n", c.company);
    for (int i = 0; i < c.phone_info_cnt; ++i)
        std::printf("  phone:    %s%s\n", c.phone_info[i].number, c.phone_info[i].is_primary ? " (primary)" : "");
    for (int i = 0; i < c.email_info_cnt; ++i)
        std::printf("  e-mail:   %s\n", c.email_info[i].address);
    if (c.note_len > 0)
        std::printf("  note:     %s\n", c.note);
    if (c.frequency > 0)
        std::printf("  called:   %d times\n", c.frequency);
}

std::vector<int> indices(int storage)
{
    int capacity = 0;
    check("contact_get_max_contact_count",
          [&](int *e) { return contact_get_max_contact_count(storage, &capacity, e); });
    std::vector<int> found(std::size_t(capacity > 0 ? capacity : 1));
    int count = 0;
    check("contact_get_all_contact_indices",
          [&](int *e) { return contact_get_all_contact_indices(storage, found.data(), &count, e); });
    found.resize(std::size_t(count > 0 ? count : 0));
    return found;
}

void list(int storage)
{
    for (int index : indices(storage)) {
        Contact c;
        check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
        print_contact(c.record);
    }
}

void show(int storage, int index)
{
    Contact c;
    check("contact_get_contact", [&](int *e) { return contact_get_contact(storage, index, &c.record, e); });
    print_contact(c.record);
}

int add(int storage, const std::string &name, const std::vector<std::string> &phones,
        const std::vector<std::string> &emails, std::string note)
{
    contact_t record{};
    copy_text(record.display_name, name);
    std::vector<contact_phone_info_t> phone_entries(phones.size());
    for (std::size_t i = 0; i < phones.size(); ++i) {
        phone_entries[i].type = CONTACT_TYPE_MOBILE;
        phone_entries[i].is_primary = i == 0;
        copy_text(phone_entries[i].number, phones[i]);
    }
    std::vector<contact_email_info_t> email_entries(emails.size());
    for (std::size_t i = 0; i < emails.size(); ++i)
        copy_text(email_entries[i].address, emails[i]);
    record.phone_info = phone_entries.empty() ? nullptr : phone_entries.data();
    record.phone_info_cnt = int(phone_entries.size());
    record.email_info = email_entries.empty() ? nullptr : email_entries.data();
    record.email_info_cnt = int(email_entries.size());
    record.note = note.empty() ? nullptr : note.data();
    record.note_len = int(note.size());
    int index = 0;
    check("contact_add_contact", [&](int *e) { return contact_add_contact(storage, &record, &index, e); });
    return index;
}

std::string field(int storage, int index, int field_id)
{
    std::vector<char> value(CONTACT_FIELD_VALUE_MAX);
    check("contact_get_field_value",
          [&](int *e) { return contact_get_field_value(storage, index, field_id, value.data(), e); });
    return value.data();
}

void me()
{
    Contact c;
    int error_code = 0;
    if (!contact_get_my_contact(&c.record, &error_code)) {
        std::printf("no contact of your own stored (error code %d)\n", error_code);
        return;
    }
    print_contact(c.record);
    std::printf("  tracking: %s\n", check("contact_is_contact_track_me_init", contact_is_contact_track_me_init) == 1
                                        ? "active"
                                        : "stopped");
}

// ---- watch: the service's change notifications, through the converters --------

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

// ---- demo ------------------------------------------------------------------------

// A short session: what a phonebook does at start-up and on a few taps.
void demo()
{
    // The service announces each change; they are printed at the end.
    Watch announced{nullptr, -1};
    Subscription subscription(&announced);
    int count = 0;
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    std::printf("== %d contacts in the phone storage\n", count);
    list(CONTACT_STORAGE_PHONE);

    std::printf("\n== adding a contact\n");
    const int index = add(CONTACT_STORAGE_PHONE, "Grace Hopper", {"+1 202 555 0142", "+1 202 555 0199"},
                          {"grace@example.org"}, "Rear admiral; found the first bug.");
    check("contact_change_field_value", [&](int *e) {
        return contact_change_field_value(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_COMPANY, "US Navy", e);
    });
    for (int call = 0; call < 3; ++call)
        check("contact_increase_frequency",
              [&](int *e) { return contact_increase_frequency(CONTACT_STORAGE_PHONE, index, e); });
    show(CONTACT_STORAGE_PHONE, index);
    std::printf("  birthday field: \"%s\", frequency field: %s\n",
                field(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_BIRTHDAY).c_str(),
                field(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_FREQUENCY).c_str());

    std::printf("\n== fixed dialling numbers\n");
    for (const char *number : {"112", "+44 20 7946 0000", "+1 202 555 0142"}) {
        bool allowed = false;
        check("contact_is_fdn_phone_number_exist",
              [&](int *e) { return contact_is_fdn_phone_number_exist(number, &allowed, e); });
        std::printf("  %-18s %s\n", number, allowed ? "allowed" : "not in the FDN list");
    }

    std::printf("\n== my contact\n");
    me();

    std::printf("\n== removing the added contact\n");
    check("contact_delete_contact", [&](int *e) { return contact_delete_contact(CONTACT_STORAGE_PHONE, index, e); });
    check("contact_get_contact_count",
          [&](int *e) { return contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, e); });
    std::printf("  %d contacts again\n", count);

    std::printf("\n== what the service announced (contact-engine-tool watch shows it live)\n");
    const gint64 until = g_get_monotonic_time() + 300 * G_TIME_SPAN_MILLISECOND;
    while (g_get_monotonic_time() < until)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(10 * G_TIME_SPAN_MILLISECOND);
}

} // namespace

int main(int argc, char **argv)
{
    CLI::App app{"Reads and changes contacts through the contact engine library"};
    app.require_subcommand(1);
    int storage = CONTACT_STORAGE_PHONE;
    int index = 0;
    int field_id = 0;
    std::string name, value, note, number;
    std::vector<std::string> phones, emails;

    auto *list_cmd = app.add_subcommand("list", "list the contacts of a storage");
    auto *show_cmd = app.add_subcommand("show", "show one contact");
    auto *add_cmd = app.add_subcommand("add", "add a contact and print its index");
    auto *delete_cmd = app.add_subcommand("delete", "delete one contact");
    auto *field_cmd = app.add_subcommand("field", "read a field, or change it when a value is given");
    auto *fdn_cmd = app.add_subcommand("fdn", "is a number allowed by the fixed-dialling list?");
    auto *me_cmd = app.add_subcommand("me", "show my contact");
    auto *demo_cmd = app.add_subcommand("demo", "a short session through the library");
    int watch_count = 0;
    auto *watch_cmd = app.add_subcommand("watch", "print the service's change notifications until interrupted");
    watch_cmd->add_option("--count", watch_count, "stop after this many notifications")->check(CLI::PositiveNumber);
    for (auto *cmd : {list_cmd, show_cmd, add_cmd, delete_cmd, field_cmd})
        cmd->add_option("--storage", storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN)");
    for (auto *cmd : {show_cmd, delete_cmd, field_cmd})
        cmd->add_option("index", index, "contact index")->required();
    field_cmd->add_option("field_id", field_id, "field id (see contact-engine.h)")->required();
    field_cmd->add_option("value", value, "new value");
    add_cmd->add_option("name", name, "display name")->required();
    add_cmd->add_option("--phone", phones, "phone number (repeatable)");
    add_cmd->add_option("--email", emails, "e-mail address (repeatable)");
    add_cmd->add_option("--note", note, "note text");
    fdn_cmd->add_option("number", number, "phone number")->required();
    CLI11_PARSE(app, argc, argv);
    if (watch_cmd->parsed())
        return watch(watch_count);

    try {
        Session session;
        if (list_cmd->parsed())
            list(storage);
        else if (show_cmd->parsed())
            show(storage, index);
        else if (add_cmd->parsed())
            std::printf("%d\n", add(storage, name, phones, emails, note));
        else if (delete_cmd->parsed())
            check("contact_delete_contact", [&](int *e) { return contact_delete_contact(storage, index, e); });
        else if (field_cmd->parsed() && field_cmd->count("value") > 0)
            check("contact_change_field_value",
                  [&](int *e) { return contact_change_field_value(storage, index, field_id, value.c_str(), e); });
        else if (field_cmd->parsed())
            std::printf("%s\n", field(storage, index, field_id).c_str());
        else if (fdn_cmd->parsed()) {
            bool allowed = false;
            check("contact_is_fdn_phone_number_exist",
                  [&](int *e) { return contact_is_fdn_phone_number_exist(number.c_str(), &allowed, e); });
            std::printf("%s\n", allowed ? "allowed" : "not allowed");
        } else if (me_cmd->parsed())
            me();
        else if (demo_cmd->parsed())
            demo();
    } catch (const Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
    return 0;
}
