// contact-engine-tool's result sets: `query` creates one, prints it a page
// at a time and destroys it; the demo runs three of them.
#include <algorithm>
#include <cstdio>

#include "tool-families.h"

namespace tool {
namespace {

struct QueryOptions {
    int storage = CONTACT_STORAGE_PHONE;
    int order = 0;        // 0 name, 1 most called, 2 index
    int search_type = -1; // -1: contact_result_set_create (names); 0 name, 1 number
    std::string text;
    int group_storage = 0;
    int group_index = 0; // 0: no group filter
    int page = 10;
    int pages = 0; // 0: every page
};

int create_result_set(const QueryOptions &q)
{
    int id = 0;
    if (q.group_index > 0)
        check("contact_result_set_create_by_group", [&](int *e) {
            return contact_result_set_create_by_group(q.storage, q.group_storage, q.group_index, q.text.c_str(), q.order,
                                                      &id, e);
        });
    else if (q.search_type >= 0)
        check("contact_result_set_create_by_search_type", [&](int *e) {
            return contact_result_set_create_by_search_type(q.storage, q.search_type, q.text.c_str(), q.order, &id, e);
        });
    else
        check("contact_result_set_create",
              [&](int *e) { return contact_result_set_create(q.storage, q.text.c_str(), q.order, &id, e); });
    return id;
}

// Creates the set, prints it a page at a time (each page one batch fetch)
// and destroys it.  As JSON: the set's id, its count and the contacts
// fetched (their fixed parts), in one document.
void query(const QueryOptions &q)
{
    const int id = create_result_set(q);
    int count = 0;
    check("contact_result_set_get_contact_count",
          [&](int *e) { return contact_result_set_get_contact_count(id, &count, e); });
    Json fetched = Json::array();
    if (!json_output())
        std::printf("result set %d: %d contacts\n", id, count);
    std::vector<contact_t> page(std::size_t(std::max(q.page, 1)));
    for (int number = 1;; ++number) {
        int got = 0;
        int error_code = 0;
        library_log::forget();
        const int ok = contact_result_set_get_contacts(id, int(page.size()), 0, page.data(), &got, &error_code);
        if (!ok && error_code != CONTACT_ERROR_SHORT_BATCH) {
            const std::string failure = library_log::failure("contact_result_set_get_contacts", &error_code);
            contact_result_set_destory(id, &error_code);
            throw Failure(failure);
        }
        if (got > 0 && !json_output())
            std::printf("-- page %d\n", number);
        for (int i = 0; i < got; ++i) {
            const contact_t &c = page[std::size_t(i)];
            if (json_output()) {
                fetched.push_back(contact_json(c, Sections::FixedPartOnly));
                continue;
            }
            std::printf("  %6d  %-32s %s\n", c.index, c.display_name, c.frequency > 0 ? std::to_string(c.frequency).c_str() : "");
        }
        if (!ok || (q.pages > 0 && number >= q.pages))
            break;
    }
    check("contact_result_set_destory", [&](int *e) { return contact_result_set_destory(id, e); });
    if (json_output())
        print_json({{"result_set", id}, {"count", count}, {"contacts", fetched}});
}

struct QueryCommand {
    QueryOptions q;
    std::string search;
    std::vector<int> group;
} commands;

void add_commands(CLI::App &app)
{
    auto &c = commands;
    auto *query_cmd = app.add_subcommand("query", "create a result set and print it a page at a time");
    query_cmd->add_option("text", c.q.text, "names to search for (every word begins a name word), or a number");
    query_cmd->add_option("--storage", c.q.storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN, -1 all)");
    query_cmd->add_option("--order", c.q.order, "0 by name, 1 most called, 2 by index")->capture_default_str();
    query_cmd->add_option("--search", c.search, "what TEXT is: name or number")
        ->check(CLI::IsMember({"name", "number"}));
    query_cmd->add_option("--group", c.group, "only members of the group at STORAGE INDEX")->expected(2);
    query_cmd->add_option("--page", c.q.page, "contacts per page (one batch fetch each)")->capture_default_str();
    query_cmd->add_option("--pages", c.q.pages, "stop after this many pages (0: all)")->capture_default_str();
    add_json_flag(query_cmd);
}

int run_command()
{
    auto &c = commands;
    if (!c.search.empty())
        c.q.search_type = c.search == "number" ? 1 : 0;
    if (c.group.size() == 2) {
        c.q.group_storage = c.group[0];
        c.q.group_index = c.group[1];
    }
    query(c.q);
    return 0;
}

} // namespace

extern const ToolFamily kQueryCommands{add_commands, run_command, true};

void result_sets_demo()
{
    QueryOptions sorted;
    sorted.page = 4;
    std::printf("\n== result set: the phone storage sorted by name, 4 to a page\n");
    query(sorted);
    QueryOptions by_name;
    by_name.search_type = 0;
    by_name.text = "al";
    std::printf("\n== result set: names with a word starting \"al\"\n");
    query(by_name);
    QueryOptions by_number;
    by_number.search_type = 1;
    by_number.text = "+44 20 7946";
    std::printf("\n== result set: numbers starting +44 20 7946, in any format\n");
    query(by_number);
}

} // namespace tool
