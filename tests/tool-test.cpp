// contact-engine-tool as a child process against the real service: --json
// documents, exit statuses and messages, the bash completion.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>

#include "bulk-cards.h"
#include "sample-contact.h"
#include "test-support.h"

namespace contact_test {
namespace {

using Json = nlohmann::json;

struct ToolRun {
    int status = -1;
    std::string out, err;
};

std::string read_file(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The tool with `arguments`, its output in files in `dir`; a sanitizer report fails the test.
ToolRun run_tool(const std::string &dir, std::vector<std::string> arguments)
{
    const SanitizerReports reports(dir + "/tool.sanitizer");
    std::vector<std::string> environment = reports.child_environment();
    arguments.insert(arguments.begin(), CONTACT_ENGINE_TOOL_PATH);
    std::vector<char *> args, envp;
    for (auto [strings, pointers] : {std::pair{&arguments, &args}, {&environment, &envp}}) {
        for (std::string &text : *strings)
            pointers->push_back(text.data());
        pointers->push_back(nullptr);
    }
    const std::string out = dir + "/tool.out", err = dir + "/tool.err";
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        execve(args[0], args.data(), envp.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    reports.expect_none();
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), read_file(out), read_file(err)};
}


using ToolTest = ServiceTest;

// Each command that prints records or states prints one JSON document with
// --json, holding what was stored through the library: the value at each JSON
// pointer (null: nothing there). Exit status 0 is success (nothing on
// stderr), 1 a failed operation (its code and reason on stderr), 2 usage; the
// library's log lines reach stderr only with -v.
TEST_F(ToolTest, JsonDocumentsExitStatusesAndMessages)
{
    const auto add = [&](const char *name, const char *number, int storage = CONTACT_STORAGE_PHONE) {
        SampleContact contact(name);
        contact.phone(number);
        int index = -1;
        EXPECT_EQ(contact_add_contact(storage, &contact.record, &index, &error_code_), 1) << error_code_;
        return index;
    };
    const auto write = [&](const char *name, const std::string &text) {
        std::ofstream(dir_.path() + "/" + name) << text;
        return dir_.path() + "/" + name;
    };
    use_sim_card(kEmptySimCard);
    ready_sim_phonebook();
    const int ada = add("Ada Lovelace", "+44 20 7946 0018");
    const int alan = add("Alan Turing", "+44 161 496 0000");
    add("Mum", "+447700900123", CONTACT_STORAGE_SIM);
    group_t team{};
    std::snprintf(team.name, sizeof team.name, "Team");
    int group = -1;
    ASSERT_EQ(contact_add_group(CONTACT_GROUP_STORAGE_PHONE, &team, &group, &error_code_), 1);
    ASSERT_EQ(contact_add_group_member(CONTACT_GROUP_STORAGE_PHONE, group, ada, &error_code_), 1);
    speed_dial_t dial{2, CONTACT_STORAGE_PHONE, ada, 0};
    ASSERT_EQ(contact_set_speed_dial(2, &dial, &error_code_), 1);
    ASSERT_EQ(contact_set_sort_type(CONTACT_SORT_BY_LAST_NAME, &error_code_), 1);
    const std::string card = write("card.vcf", "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Grace Hopper\r\nN:Hopper;Grace;;;\r\nEND:VCARD\r\n");
    const std::string book = dir_.path() + "/book.vcf";
    ASSERT_TRUE(bulk_cards::write(book, 3));
    const std::string bad_card = write("bad.vcf", "BEGIN:VCARD\r\nVERSION:9.9\r\nFN:Nobody\r\nEND:VCARD\r\n");
    const std::string members = R"([{"index": )" + std::to_string(ada) + R"(, "display_name": "Ada Lovelace"}])";

    const struct {
        std::vector<std::string> arguments;
        std::vector<std::pair<const char *, Json>> holds;
        int status = 0;
        std::string says = ""; // on stderr
        bool logged = false;
    } cases[] = {
        {{"list", "--json"},
         {{"/storage", 0}, {"/contacts/0/index", ada}, {"/contacts/0/phones/0/number", "+44 20 7946 0018"},
          {"/contacts/1/display_name", "Alan Turing"}, {"/contacts/2", nullptr}}},
        {{"show", std::to_string(alan), "--json"}, {{"/index", alan}, {"/phones/0/number", "+44 161 496 0000"}}},
        {{"query", "Turing", "--search", "name", "--json"}, {{"/count", 1}, {"/contacts/0/index", alan}}},
        {{"group", "list", "--json"},
         {{"/groups/0/name", "Team"}, {"/groups/0/member_count", 1}, {"/groups/1", nullptr}}},
        {{"group", "show", std::to_string(group), "--json"}, {{"/members", Json::parse(members)}}},
        {{"speed-dial", "list", "--json"}, {{"/speed_dials/0/contact", ada}, {"/speed_dials/1", nullptr}}},
        {{"setting", "get", "sort-type", "--json"},
         {{"", Json::parse(R"({"sort-type": {"value": 1, "name": "last-name"}})")}}},
        {{"sim", "status", "--json"}, {{"/phonebook", "loaded"}, {"/adn/used", 1}}},
        {{"sim", "list", "--json"}, {{"/adn/0/display_name", "Mum"}, {"/fdn", Json::array()}}},
        {{"fdn", "112", "--json"}, {{"/allowed", false}}},
        {{"vcard", "show", card, "--json"}, {{"/last_name", "Hopper"}}},
        {{"bulk", "import", book, "--json"}, {{"/state", "done"}, {"/done", 3}}},
        {{"show", "7"}, {}, 1, "contact_get_contact failed with error code 12: no contact at"},
        // The library's line for these failures does not print the service's text.
        {{"setting", "set", "sort-type", "7"}, {}, 1, "sort-type failed with error code 70: 7 is not a value of"},
        {{"vcard", "show", bad_card}, {}, 1,
         "contact_convert_vcard_to_contact failed with error code 84: line 1: VERSION"},
        {{"bulk", "status", "999"}, {}, 1, "adopt failed with error code 91: no interrupted bulk job 999"},
        {{"show", "7", "-v"}, {}, 1, "contact_get_contact failed with error code 12: no contact at", true},
        {{"frobnicate"}, {}, 2, "A subcommand is required"},
        {{"list", "--storage"}, {}, 2, "--storage"},
        {{"delete", "1", "--json"}, {}, 2, "--json"},
        {{"setting", "get", "colour"}, {}, 2, "no setting named colour"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.arguments));
        const ToolRun run = run_tool(dir_.path(), c.arguments);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_TRUE(c.status == 0 ? run.err.empty() : run.err.find(c.says) != std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("[DodazorEdidud]") != std::string::npos, c.logged) << run.err; // the library's tag
        if (c.holds.empty())
            continue;
        const Json document = Json::parse(run.out, nullptr, false); // one document, nothing after it
        ASSERT_FALSE(document.is_discarded()) << run.out;
        for (const auto &[pointer, value] : c.holds)
            EXPECT_EQ(document.value(Json::json_pointer(pointer), Json()), value) << pointer;
    }
}

// The script `completion bash` writes completes commands, subcommands and options in bash.
TEST(ToolCompletionTest, BashCompletesCommandsSubcommandsAndOptions)
{
    TempDir dir;
    const ToolRun script = run_tool(dir.path(), {"completion", "bash"});
    ASSERT_EQ(script.status, 0) << script.err;
    std::ofstream(dir.path() + "/completion.bash") << script.out;
    const struct {
        std::string typed; // after the tool's name; the last word is completed
        std::string offered;
    } cases[] = {
        {"gr", "group"}, {"group ", "add list show rename delete"}, {"-v group sh", "show"},
        {"sim ", "status load open close list"}, {"completion ", "bash"}, {"list --js", "--json"},
        {"speed-dial list --b", "--by"}, {"bulk status --verb", "--verbose"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        const std::string command = "bash -c 'source " + dir.path() + "/completion.bash; read -ra COMP_WORDS <<< \"" +
                                    "contact-engine-tool " + c.typed + "\"; " + (c.typed.back() == ' ' ? "COMP_WORDS+=(\"\"); " : "") +
                                    "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _contact_engine_tool; echo \"${COMPREPLY[*]}\"' > " +
                                    dir.path() + "/offered";
        ASSERT_EQ(std::system(command.c_str()), 0);
        EXPECT_EQ(read_file(dir.path() + "/offered"), c.offered + "\n");
    }
}

} // namespace
} // namespace contact_test
