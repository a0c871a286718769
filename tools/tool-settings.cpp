// contact-engine-tool's settings and speed dials: `setting get|set` and
// `speed-dial set|get|list|delete`, and the demo's speed dial and settings.
#include <cstdio>
#include <stdexcept>
#include <utility>

#include "tool-families.h"

namespace tool {
namespace {

// One int setting: its command-line name, its two operations and the names
// of the values it takes.
struct IntSetting {
    const char *name;
    int (*get)(int *, int *);
    int (*set)(int, int *);
    std::vector<std::pair<int, const char *>> values;
};

const std::vector<IntSetting> &int_settings()
{
    static const std::vector<IntSetting> settings{
        {"sync-status", contact_get_contact_module_sync_status, contact_set_contact_module_sync_status,
         {{CONTACT_SYNC_STATUS_OFF, "off"}, {CONTACT_SYNC_STATUS_IDLE, "idle"}, {CONTACT_SYNC_STATUS_RUNNING, "running"}}},
        {"view-storage", contact_get_view_storage_preference, contact_set_view_storage_preference,
         {{CONTACT_STORAGE_PHONE, "phone"}, {CONTACT_STORAGE_SIM, "sim"}, {CONTACT_STORAGE_SIM2, "sim2"},
          {CONTACT_VIEW_STORAGE_ALL, "all"}}},
        {"storage", contact_get_storage_preference, contact_set_storage_preference,
         {{CONTACT_STORAGE_PHONE, "phone"}, {CONTACT_STORAGE_SIM, "sim"}, {CONTACT_STORAGE_SIM2, "sim2"}}},
        {"msisdn-index", contact_get_current_activated_msisdn_index, contact_set_current_activated_msisdn_index, {}},
        {"copy-flag", contact_get_copy_flag_for_sim_change, contact_set_copy_flag_for_sim_change,
         {{CONTACT_SIM_CHANGE_KEEP, "keep"}, {CONTACT_SIM_CHANGE_COPY, "copy"}}},
        {"sort-type", contact_get_sort_type, contact_set_sort_type,
         {{CONTACT_SORT_BY_FIRST_NAME, "first-name"}, {CONTACT_SORT_BY_LAST_NAME, "last-name"}}},
        {"display-order", contact_get_display_order, contact_set_display_order,
         {{CONTACT_DISPLAY_FIRST_NAME_FIRST, "first-name-first"}, {CONTACT_DISPLAY_LAST_NAME_FIRST, "last-name-first"}}},
    };
    return settings;
}

const IntSetting *find_setting(const std::string &name)
{
    for (const IntSetting &setting : int_settings())
        if (name == setting.name)
            return &setting;
    throw UsageError("no setting named " + name);
}

// {"value": 1, "name": "last-name"}; no "name" for a value without one.
Json setting_json(const IntSetting &setting)
{
    int value = 0;
    check(setting.name, [&](int *e) { return setting.get(&value, e); });
    Json json{{"value", value}};
    for (const auto &[number, meaning] : setting.values)
        if (number == value)
            json["name"] = meaning;
    return json;
}

Json own_number_json()
{
    char name[CONTACT_OWN_NAME_MAX + 1] = "";
    char number[CONTACT_OWN_NUMBER_MAX + 1] = "";
    check("contact_get_own_number", [&](int *e) { return contact_get_own_number(name, number, e); });
    return {{"name", text_of(name)}, {"number", text_of(number)}};
}

// `setting get [NAME]`: one setting, or every one; as JSON, an object with
// a member per setting.
void setting_get(const std::string &name)
{
    Json settings = Json::object();
    if (name.empty())
        for (const IntSetting &setting : int_settings())
            settings[setting.name] = setting_json(setting);
    else if (name != "own-number")
        settings[name] = setting_json(*find_setting(name));
    if (name.empty() || name == "own-number")
        settings["own-number"] = own_number_json();
    if (json_output()) {
        print_json(settings);
        return;
    }
    for (const auto &item : settings.items()) {
        const std::string &setting = item.key();
        const Json &value = item.value();
        if (setting == "own-number") {
            std::printf("%-14s \"%s\" %s\n", setting.c_str(), value["name"].get<std::string>().c_str(),
                        value["number"].get<std::string>().c_str());
            continue;
        }
        std::printf("%-14s %d", setting.c_str(), value["value"].get<int>());
        if (value.contains("name"))
            std::printf(" (%s)", value["name"].get<std::string>().c_str());
        std::printf("\n");
    }
}

// `setting set NAME VALUE`: a value's number or its name; the own number
// takes a name and a number.  Prints the setting as `setting get` does.
void setting_set(const std::string &name, const std::vector<std::string> &values)
{
    if (name == "own-number") {
        if (values.size() != 2)
            throw UsageError("own-number takes a name and a number");
        check("contact_set_own_number",
              [&](int *e) { return contact_set_own_number(values[0].c_str(), values[1].c_str(), e); });
        setting_get(name);
        return;
    }
    const IntSetting *setting = find_setting(name);
    if (values.size() != 1)
        throw UsageError(name + " takes one value");
    int value = 0;
    bool named = false;
    for (const auto &[number, meaning] : setting->values)
        if (values[0] == meaning) {
            value = number;
            named = true;
        }
    if (!named) {
        try {
            std::size_t used = 0;
            value = std::stoi(values[0], &used);
            if (used != values[0].size())
                throw std::invalid_argument(values[0]);
        } catch (const std::logic_error &) {
            throw UsageError("not a value of " + name + ": " + values[0]);
        }
    }
    check(setting->name, [&](int *e) { return setting->set(value, e); });
    setting_get(name);
}

// A dial with the name and number it calls (null when its contact cannot
// be read).
Json speed_dial_json(const speed_dial_t &dial)
{
    Contact c;
    int error_code = 0;
    const bool found = contact_get_contact(dial.storage_type, dial.contact_index, &c.record, &error_code) == 1;
    const bool numbered = found && dial.phone_position >= 0 && dial.phone_position < c.record.phone_info_cnt;
    return {{"dial", dial.index},
            {"storage", dial.storage_type},
            {"contact", dial.contact_index},
            {"position", dial.phone_position},
            {"name", found ? Json(text_of(c.record.display_name)) : Json(nullptr)},
            {"number", numbered ? Json(text_of(c.record.phone_info[dial.phone_position].number)) : Json(nullptr)}};
}

void print_speed_dial(const speed_dial_t &dial)
{
    const Json json = speed_dial_json(dial);
    if (json_output()) {
        print_json(json);
        return;
    }
    const auto or_unknown = [](const Json &text) { return text.is_null() ? std::string("?") : text.get<std::string>(); };
    std::printf("%d: %s %s (storage %d, contact %d, number %d)\n", dial.index, or_unknown(json["name"]).c_str(),
                or_unknown(json["number"]).c_str(), dial.storage_type, dial.contact_index, dial.phone_position);
}

void speed_dial_set(int dial, int storage, int contact_index, int position)
{
    speed_dial_t record{dial, storage, contact_index, position};
    check("contact_set_speed_dial", [&](int *e) { return contact_set_speed_dial(dial, &record, e); });
    print_speed_dial(record);
}

void speed_dial_get(int dial)
{
    speed_dial_t record{};
    check("contact_get_speed_dial", [&](int *e) { return contact_get_speed_dial(dial, &record, e); });
    print_speed_dial(record);
}

void speed_dial_list(const std::string &query, int by, int storage)
{
    speed_dial_t found[CONTACT_SPEED_DIAL_COUNT_MAX];
    int count = 0;
    check("contact_search_speed_dials",
          [&](int *e) { return contact_search_speed_dials(query.c_str(), by, storage, found, &count, e); });
    if (json_output()) {
        Json dials = Json::array();
        for (int i = 0; i < count; ++i)
            dials.push_back(speed_dial_json(found[i]));
        print_json({{"speed_dials", dials}});
        return;
    }
    for (int i = 0; i < count; ++i)
        print_speed_dial(found[i]);
    if (count == 0)
        std::printf("no speed dials\n");
}

// The command-line block of these two families.
struct SettingsCommands {
    CLI::App *setting_get_cmd = nullptr;
    CLI::App *setting_set_cmd = nullptr;
    CLI::App *dial_set_cmd = nullptr;
    CLI::App *dial_get_cmd = nullptr;
    CLI::App *dial_list_cmd = nullptr;
    CLI::App *dial_delete_cmd = nullptr;
    std::string name;
    std::vector<std::string> values;
    int dial = 0;
    int contact_index = 0;
    int position = 0;
    int storage = CONTACT_STORAGE_PHONE;
    int search_storage = CONTACT_SPEED_DIAL_SEARCH_ALL_STORAGES;
    std::string query;
    std::string by = "any";
    bool all = false;

    void add_to(CLI::App &app)
    {
        auto *setting = app.add_subcommand("setting", "read or change a phonebook setting");
        setting->require_subcommand(1);
        setting_get_cmd = setting->add_subcommand("get", "show one setting, or all of them");
        setting_get_cmd->add_option("name", name,
                                "sync-status, view-storage, storage, own-number, msisdn-index, copy-flag, "
                                "sort-type or display-order");
        setting_set_cmd = setting->add_subcommand("set", "change a setting (a value's number or name)");
        setting_set_cmd->add_option("name", name, "the setting")->required();
        setting_set_cmd->add_option("value", values, "its value; own-number takes a name and a number")->required();

        auto *speed_dial = app.add_subcommand("speed-dial", "the speed-dial table");
        speed_dial->require_subcommand(1);
        dial_set_cmd = speed_dial->add_subcommand("set", "point a dial at one number of a contact");
        dial_set_cmd->add_option("dial", dial, "dial number, 1 to 9")->required();
        dial_set_cmd->add_option("contact", contact_index, "the contact's index")->required();
        dial_set_cmd->add_option("--position", position, "which of its numbers, from 0 (default 0)");
        dial_set_cmd->add_option("--storage", storage, "the contact's storage (0 phone, 1 SIM, 2 SIM2)");
        dial_get_cmd = speed_dial->add_subcommand("get", "show one dial");
        dial_get_cmd->add_option("dial", dial, "dial number")->required();
        dial_list_cmd = speed_dial->add_subcommand("list", "list the dials, or search them");
        dial_list_cmd->add_option("query", query, "text in the name or number (default: every dial)");
        dial_list_cmd->add_option("--by", by, "what the query matches: any, name or number")
            ->check(CLI::IsMember({"any", "name", "number"}));
        dial_list_cmd->add_option("--storage", search_storage, "only contacts of this storage");
        dial_delete_cmd = speed_dial->add_subcommand("delete", "clear one dial, or all");
        auto *dial_option = dial_delete_cmd->add_option("dial", dial, "dial number");
        auto *all_option = dial_delete_cmd->add_flag("--all", all, "clear every dial");
        dial_option->excludes(all_option);
        dial_delete_cmd->require_option(1);
        for (auto *cmd : {setting_get_cmd, setting_set_cmd, dial_set_cmd, dial_get_cmd, dial_list_cmd})
            add_json_flag(cmd);
    }

    int run()
    {
        if (setting_get_cmd->parsed())
            setting_get(name);
        else if (setting_set_cmd->parsed())
            setting_set(name, values);
        else if (dial_set_cmd->parsed())
            speed_dial_set(dial, storage, contact_index, position);
        else if (dial_get_cmd->parsed())
            speed_dial_get(dial);
        else if (dial_list_cmd->parsed())
            speed_dial_list(query,
                            by == "name"     ? CONTACT_SPEED_DIAL_SEARCH_NAME
                            : by == "number" ? CONTACT_SPEED_DIAL_SEARCH_NUMBER
                                             : CONTACT_SPEED_DIAL_SEARCH_ANY,
                            search_storage);
        else if (dial_delete_cmd->parsed() && all)
            check("contact_delete_all_speed_dials", contact_delete_all_speed_dials);
        else
            check("contact_delete_speed_dial", [&](int *e) { return contact_delete_speed_dial(dial, e); });
        return 0;
    }
} commands;

} // namespace

extern const ToolFamily kSettingsCommands{
    [](CLI::App &app) { commands.add_to(app); }, [] { return commands.run(); }, true};

void settings_demo(int contact_index)
{
    std::printf("\n== a speed dial for her work number, and the settings\n");
    int dial = 0;
    check("contact_get_empty_speed_dial_index", [&](int *e) { return contact_get_empty_speed_dial_index(&dial, e); });
    speed_dial_set(dial, CONTACT_STORAGE_PHONE, contact_index, 1);
    setting_set("sort-type", {"last-name"});
    setting_get("");
}

} // namespace tool
