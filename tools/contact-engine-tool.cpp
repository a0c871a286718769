// contact-engine-tool: the contact library from the command line.
//
//   contact-engine-tool list [--storage N]
//   contact-engine-tool show INDEX [--storage N]
//   contact-engine-tool add NAME [--phone NUMBER]... [--email ADDRESS]... [--note TEXT] [--storage N]
//   contact-engine-tool delete INDEX [--storage N]
//   contact-engine-tool field INDEX FIELD_ID [VALUE] [--storage N]
//   contact-engine-tool fdn NUMBER
//   contact-engine-tool me
//   contact-engine-tool sim status|load|open|close|list
//   contact-engine-tool demo
//
// Every command opens the library's connection, makes its calls and closes
// it again.  A failed call prints the operation and its error code on
// stderr and the tool exits 1.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <stdexcept>
#include <string>
#include <vector>

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

// ---- the SIM phonebook -----------------------------------------------------------

const char *sim_load_state(int state)
{
    switch (state) {
    case CONTACT_SIM_LOAD_NOT_STARTED:
        return "not loaded";
    case CONTACT_SIM_LOAD_LOADING:
        return "loading";
    case CONTACT_SIM_LOAD_DONE:
        return "loaded";
    default:
        return "?";
    }
}

void sim_status()
{
    sim_status_t status{};
    check("contact_get_sim_status", [&](int *e) { return contact_get_sim_status(&status, e); });
    if (!status.is_present) {
        std::printf("no SIM card\n");
        return;
    }
    std::printf("SIM card %s (%s)%s%s\n", status.iccid,
                status.card_format == CONTACT_SIM_CARD_FORMAT_SIM ? "SIM" : "USIM",
                status.is_pin_locked ? ", waiting for its PIN" : "", status.is_enabled ? "" : ", disabled");
    std::printf("  phonebook: %s (%d%%), %s\n", sim_load_state(status.load_state), status.load_percent,
                status.is_open ? "open" : "closed");
    std::printf("  ADN %d of %d, FDN %d of %d, SDN %d of %d, AAS %d\n", status.adn_used, status.adn_capacity,
                status.fdn_used, status.fdn_capacity, status.sdn_used, status.sdn_capacity, status.aas_count);
    std::printf("  names up to %d bytes, numbers up to %d digits\n", status.name_max_length,
                status.number_max_length);
    std::printf("  line %d active%s\n", status.active_line + 1, status.is_als_supported ? " (ALS: two lines)" : "");
}

// Starts the load and prints its progress as it climbs.
void sim_load()
{
    check("contact_initialize_sim", contact_initialize_sim);
    bool loaded = false;
    int percent = 0;
    int shown = -1;
    while (!loaded) {
        check("contact_is_sim_initialized", [&](int *e) { return contact_is_sim_initialized(&loaded, &percent, e); });
        if (percent != shown) {
            std::printf("  loading the SIM phonebook: %3d%%\n", percent);
            std::fflush(stdout);
            shown = percent;
        }
        if (!loaded)
            usleep(20 * 1000);
    }
}

void sim_list()
{
    const std::pair<const char *, int> books[] = {
        {"ADN", CONTACT_STORAGE_SIM}, {"FDN", CONTACT_STORAGE_FDN}, {"SDN", CONTACT_STORAGE_SDN}};
    for (const auto &[name, storage] : books) {
        std::printf("-- %s (storage %d)\n", name, storage);
        list(storage);
    }
    sim_aas_record_t aas[CONTACT_SIM_PHONE_TYPE_COUNT_MAX]{};
    int count = 0;
    check("contact_get_sim_aas_records", [&](int *e) { return contact_get_sim_aas_records(aas, &count, e); });
    std::printf("-- AAS\n");
    for (int i = 0; i < count; ++i)
        std::printf("  %d: %s\n", aas[i].index, aas[i].text);
}

// A short session: what a phonebook does at start-up and on a few taps.
void demo()
{
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

    std::printf("\n== the SIM card\n");
    sim_load();
    check("contact_open_sim", contact_open_sim);
    sim_status();
    sim_list();
    const int sim_index = add(CONTACT_STORAGE_SIM, "Ada L", {"+44 20 7946 0018"}, {}, "");
    std::printf("  added \"Ada L\" to the SIM at %d (written back to the card file)\n", sim_index);
    {
        Contact too_long;
        std::snprintf(too_long.record.display_name, sizeof too_long.record.display_name, "%s",
                      "Augusta Ada King, Countess of Lovelace");
        int error_code = 0, refused_index = 0;
        if (!contact_add_contact(CONTACT_STORAGE_SIM, &too_long.record, &refused_index, &error_code))
            std::printf("  a 38-byte name is refused by the SIM: error code %d\n", error_code);
    }

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
    auto *sim_cmd = app.add_subcommand("sim", "the SIM card and its phonebook");
    std::string sim_action;
    sim_cmd->add_option("action", sim_action, "status, load (shows the progress), open, close or list")
        ->required()
        ->check(CLI::IsMember({"status", "load", "open", "close", "list"}));
    auto *demo_cmd = app.add_subcommand("demo", "a short session through the library");
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
        else if (sim_cmd->parsed() && sim_action == "status")
            sim_status();
        else if (sim_cmd->parsed() && sim_action == "load")
            sim_load();
        else if (sim_cmd->parsed() && sim_action == "open")
            check("contact_open_sim", contact_open_sim);
        else if (sim_cmd->parsed() && sim_action == "close")
            check("contact_close_sim", contact_close_sim);
        else if (sim_cmd->parsed() && sim_action == "list")
            sim_list();
        else if (demo_cmd->parsed())
            demo();
    } catch (const Failure &failure) {
        std::fprintf(stderr, "contact-engine-tool: %s\n", failure.what());
        return 1;
    }
    return 0;
}
