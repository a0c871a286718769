// contact-engine-tool's SIM card commands: `sim status|load|open|close|list`,
// and the demo's look at the card.
#include <unistd.h>

#include <cstdio>
#include <utility>

#include "tool-families.h"

namespace tool {
namespace {

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

Json sim_status_json(const sim_status_t &status)
{
    if (!status.is_present)
        return {{"present", false}};
    const auto book = [](int used, int capacity) { return Json{{"used", used}, {"capacity", capacity}}; };
    return {{"present", true},
            {"iccid", text_of(status.iccid)},
            {"format", status.card_format == CONTACT_SIM_CARD_FORMAT_SIM ? "SIM" : "USIM"},
            {"pin_locked", status.is_pin_locked != 0},
            {"enabled", status.is_enabled != 0},
            {"phonebook", sim_load_state(status.load_state)},
            {"percent", status.load_percent},
            {"open", status.is_open != 0},
            {"adn", book(status.adn_used, status.adn_capacity)},
            {"fdn", book(status.fdn_used, status.fdn_capacity)},
            {"sdn", book(status.sdn_used, status.sdn_capacity)},
            {"aas_count", status.aas_count},
            {"name_max_length", status.name_max_length},
            {"number_max_length", status.number_max_length},
            {"active_line", status.active_line + 1},
            {"als_supported", status.is_als_supported != 0}};
}

void sim_status()
{
    sim_status_t status{};
    check("contact_get_sim_status", [&](int *e) { return contact_get_sim_status(&status, e); });
    if (json_output()) {
        print_json(sim_status_json(status));
        return;
    }
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

// Starts the load and prints its progress as it climbs (with --json, only
// the end).
void sim_load()
{
    check("contact_initialize_sim", contact_initialize_sim);
    bool loaded = false;
    int percent = 0;
    int shown = -1;
    while (!loaded) {
        check("contact_is_sim_initialized", [&](int *e) { return contact_is_sim_initialized(&loaded, &percent, e); });
        if (percent != shown && !json_output()) {
            std::printf("  loading the SIM phonebook: %3d%%\n", percent);
            std::fflush(stdout);
            shown = percent;
        }
        if (!loaded)
            usleep(20 * 1000);
    }
    if (json_output())
        print_json({{"loaded", loaded}, {"percent", percent}});
}

// The card's three phonebooks and its AAS labels; as JSON, an object with
// "adn", "fdn", "sdn" (contacts) and "aas".
void sim_list()
{
    struct Book {
        const char *name, *key;
        int storage;
    };
    const Book books[] = {
        {"ADN", "adn", CONTACT_STORAGE_SIM}, {"FDN", "fdn", CONTACT_STORAGE_FDN}, {"SDN", "sdn", CONTACT_STORAGE_SDN}};
    Json document = Json::object();
    for (const auto &[name, key, storage] : books) {
        if (json_output()) {
            document[key] = list_json(storage);
            continue;
        }
        std::printf("-- %s (storage %d)\n", name, storage);
        list(storage);
    }
    sim_aas_record_t aas[CONTACT_SIM_PHONE_TYPE_COUNT_MAX]{};
    int count = 0;
    check("contact_get_sim_aas_records", [&](int *e) { return contact_get_sim_aas_records(aas, &count, e); });
    if (json_output()) {
        Json &labels = document["aas"] = Json::array();
        for (int i = 0; i < count; ++i)
            labels.push_back({{"index", aas[i].index}, {"text", text_of(aas[i].text)}});
        print_json(document);
        return;
    }
    std::printf("-- AAS\n");
    for (int i = 0; i < count; ++i)
        std::printf("  %d: %s\n", aas[i].index, aas[i].text);
}

struct SimCommands {
    CLI::App *sim_cmd = nullptr;
    std::string action;
} commands;

void add_commands(CLI::App &app)
{
    commands.sim_cmd = app.add_subcommand("sim", "the SIM card and its phonebook");
    commands.sim_cmd->add_option("action", commands.action, "status, load (shows the progress), open, close or list")
        ->required()
        ->check(CLI::IsMember({"status", "load", "open", "close", "list"}));
    add_json_flag(commands.sim_cmd);
}

int run_command()
{
    const std::string &action = commands.action;
    if (action == "status")
        sim_status();
    else if (action == "load")
        sim_load();
    else if (action == "open")
        check("contact_open_sim", contact_open_sim);
    else if (action == "close")
        check("contact_close_sim", contact_close_sim);
    else
        sim_list();
    return 0;
}

} // namespace

extern const ToolFamily kSimCommands{add_commands, run_command, true};

// The card loaded and opened, its phonebooks, a contact added to it and one
// whose name is too long for it.
void sim_demo()
{
    std::printf("\n== the SIM card\n");
    sim_load();
    check("contact_open_sim", contact_open_sim);
    sim_status();
    sim_list();
    const int sim_index = add(CONTACT_STORAGE_SIM, "Ada L", {"+44 20 7946 0018"}, {}, "");
    std::printf("  added \"Ada L\" to the SIM at %d (written back to the card file)\n", sim_index);
    Contact too_long;
    std::snprintf(too_long.record.display_name, sizeof too_long.record.display_name, "%s",
                  "Augusta Ada King, Countess of Lovelace");
    int error_code = 0, refused_index = 0;
    library_log::forget();
    if (!contact_add_contact(CONTACT_STORAGE_SIM, &too_long.record, &refused_index, &error_code))
        std::printf("  a 38-byte name is refused by the SIM:\n    %s\n",
                    library_log::failure("contact_add_contact", &error_code).c_str());
}

} // namespace tool
