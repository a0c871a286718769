// The service as the platform runs it: as its own user with only the unit's
// capabilities, under the bus policy; the interface descriptions against it.
#include <gio/gio.h>
#include <sys/stat.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

namespace fs = std::filesystem;

constexpr uid_t kServiceUser = 65534; // nobody: the service's own user in this test

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text, uid_t owner, gid_t group, mode_t mode)
{
    std::ofstream(path) << text;
    ASSERT_EQ(chown(path.c_str(), owner, group), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// The unit's AmbientCapabilities= ("CAP_SETUID CAP_SETGID ...") as setpriv
// writes them ("+setuid,+setgid,...").
std::string unit_capabilities()
{
    std::smatch line;
    const std::string unit = read_file(UNIT_TEMPLATE);
    if (!std::regex_search(unit, line, std::regex("\nAmbientCapabilities=([^\n]*)")))
        return "";
    std::string capabilities;
    std::istringstream names(line[1].str());
    for (std::string name; names >> name;) {
        std::string lower = name.substr(std::strlen("CAP_"));
        for (char &c : lower)
            c = char(std::tolower(c));
        capabilities += ",+" + lower;
    }
    return capabilities;
}

using BusAction = std::function<int(sd_bus *bus, sd_bus_error *error)>;

// Runs `action` as `user` on a connection of its own: "ok" or the D-Bus
// error as "<name>: <message>".
std::string as_user(const User &user, const BusAction &action)
{
    const std::vector<std::string> said = run_as(user, [&](int out) {
        sd_bus *bus = nullptr;
        sd_bus_error error = SD_BUS_ERROR_NULL;
        if (sd_bus_open_system(&bus) < 0)
            say(out, "could not connect");
        else if (action(bus, &error) >= 0)
            say(out, "ok");
        else
            say(out, std::string(error.name ? error.name : "?") + ": " + (error.message ? error.message : ""));
        return 0;
    });
    return said.empty() ? "no answer" : said.front();
}

int call_service(sd_bus *bus, sd_bus_error *error, const char *method, const char *types, auto... arguments)
{
    sd_bus_message *reply = nullptr;
    const int result = sd_bus_call_method(bus, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH,
                                          CONTACT_ENGINE_INTERFACE, method, error, &reply, types, arguments...);
    sd_bus_message_unref(reply);
    return result;
}

// ---- the service as its own user --------------------------------------------------

// The service runs as nobody with the unit's capabilities and no others, on
// the test bus plus a policy letting that user own the name (as contact-engine).
class NonRootServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(SETPRIV_PATH, X_OK) != 0)
            GTEST_SKIP() << SETPRIV_PATH " (util-linux) is not installed";
        const std::string capabilities = unit_capabilities();
        ASSERT_FALSE(capabilities.empty()) << "the unit grants no capabilities";
        // Other users go through the test's directory to their files.
        chmod(dir_.path().c_str(), 0755);
        const std::string config = dir_.path() + "/bus.conf";
        std::ofstream(config) << "<busconfig>\n  <include>" << test_bus_config() << "</include>\n"
                              << "  <policy user=\"" << kServiceUser << "\">\n"
                              << "    <allow own=\"" CONTACT_ENGINE_BUS_NAME "\"/>\n  </policy>\n</busconfig>\n";
        bus_ = std::make_unique<PrivateBus>(config);
        // Another local user: one with an account, as the bus serves no other.
        if (!(caller_ = bus_client_user("daemon")))
            return;

        const std::string state = dir_.path() + "/state";
        fs::create_directory(state);
        ASSERT_EQ(chown(state.c_str(), kServiceUser, kServiceUser), 0);
        service_ = std::make_unique<ServiceProcess>(state + "/contacts.db");
        service_->run_copy_in(dir_.path());
        const std::string user = std::to_string(kServiceUser);
        service_->launcher = {SETPRIV_PATH, "--reuid=" + user, "--regid=" + user, "--clear-groups",
                              "--inh-caps=-all" + capabilities, "--ambient-caps=-all" + capabilities,
                              "--bounding-set=-all" + capabilities, "--no-new-privs", "--"};
        service_->start();
    }
    void TearDown() override
    {
        if (service_) {
            EXPECT_EQ(service_->stop(), 0);
        }
    }

    TempDir dir_;
    std::unique_ptr<PrivateBus> bus_;
    std::unique_ptr<ServiceProcess> service_;
    std::optional<User> caller_;
};

TEST_F(NonRootServiceTest, AnotherUserCallsButNeitherOwnsTheNameNorReadsWhatItMayNot)
{
    const std::string card = "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Whose File\r\nEND:VCARD\r\n";
    const std::string own = dir_.path() + "/own.vcf", services = dir_.path() + "/services.vcf",
                      roots = dir_.path() + "/roots.vcf";
    write_file(own, card, caller_->uid, caller_->gid, 0600);                  // only the caller may read it
    write_file(services, card, kServiceUser, kServiceUser, 0600);            // only the service's user may
    write_file(roots, card, 0, 0, 0600);
    const auto read_as_caller = [](const std::string &path) {
        return [path](sd_bus *bus, sd_bus_error *error) {
            return call_service(bus, error, "contact_convert_vcard_file_to_contact", "s", path.c_str());
        };
    };
    const std::string refused = std::string(contact_engine::kErrorNamePrefix) + "VCardUnreadable: " +
                                std::to_string(contact_engine::kVCardUnreadable);
    const struct { const char *what; BusAction action; std::string outcome; /* its beginning */ } cases[] = {
        {"owning the service's name",
         [](sd_bus *bus, sd_bus_error *error) {
             sd_bus_message *reply = nullptr;
             const int result = sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                   "org.freedesktop.DBus", "RequestName", error, &reply, "su",
                                                   CONTACT_ENGINE_BUS_NAME, 0u);
             sd_bus_message_unref(reply);
             return result;
         },
         "org.freedesktop.DBus.Error.AccessDenied"},
        {"calling the interface",
         [](sd_bus *bus, sd_bus_error *e) { return call_service(bus, e, "contact_get_contact_count", "i", 0); }, "ok"},
        // The service takes the caller's identity (the capabilities at work) ...
        {"a file only the caller may read", read_as_caller(own), "ok"},
        // ... and lends it nothing of its own user's or root's.
        {"a file only the service's user may read", read_as_caller(services), refused},
        {"a file only root may read", read_as_caller(roots), refused},
    };
    for (const auto &each : cases) {
        SCOPED_TRACE(each.what);
        const std::string outcome = as_user(*caller_, each.action);
        EXPECT_TRUE(outcome.starts_with(each.outcome)) << outcome;
    }
}

// ---- the interface descriptions ------------------------------------------------------

using NodeInfo = std::unique_ptr<GDBusNodeInfo, decltype(&g_dbus_node_info_unref)>;

NodeInfo parse_node(const std::string &xml)
{
    GError *error = nullptr;
    NodeInfo node(g_dbus_node_info_new_for_xml(xml.c_str(), &error), g_dbus_node_info_unref);
    if (error != nullptr) {
        ADD_FAILURE() << error->message;
        g_error_free(error);
    }
    return node;
}

std::string describe_args(GDBusArgInfo **args, const char *direction)
{
    std::string text;
    for (; args != nullptr && *args != nullptr; ++args)
        text += std::string(" ") + direction + " " + (*args)->signature + " " +
                ((*args)->name != nullptr ? (*args)->name : "(none)");
    return text;
}

// One line per method and signal: "method NAME in TYPE NAME ... out TYPE NAME".
std::set<std::string> members(const GDBusInterfaceInfo &interface)
{
    std::set<std::string> lines;
    for (GDBusMethodInfo **method = interface.methods; method != nullptr && *method != nullptr; ++method)
        lines.insert("method " + std::string((*method)->name) + describe_args((*method)->in_args, "in") +
                     describe_args((*method)->out_args, "out"));
    for (GDBusSignalInfo **signal = interface.signals; signal != nullptr && *signal != nullptr; ++signal)
        lines.insert("signal " + std::string((*signal)->name) + describe_args((*signal)->args, "arg"));
    for (GDBusPropertyInfo **property = interface.properties; property != nullptr && *property != nullptr;
         ++property)
        lines.insert("property " + std::string((*property)->name) + " " + (*property)->signature);
    return lines;
}

std::string service_introspection()
{
    sd_bus *bus = nullptr;
    if (sd_bus_open_system(&bus) < 0)
        return "";
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message *reply = nullptr;
    std::string xml;
    const char *text = nullptr;
    if (sd_bus_call_method(bus, CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH,
                           "org.freedesktop.DBus.Introspectable", "Introspect", &error, &reply, "") >= 0 &&
        sd_bus_message_read(reply, "s", &text) >= 0)
        xml = text;
    EXPECT_FALSE(sd_bus_error_is_set(&error)) << error.message;
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_flush_close_unref(bus);
    return xml;
}

// Every interface of the service but the bus's own has its file in
// data/interfaces, saying what the service serves: the same members, argument
// types, directions and names (the method's own words, never placeholders).
TEST(InterfaceDescriptions, EachFileIsWhatTheServiceServes)
{
    (void)bus();
    TempDir dir;
    ServiceProcess service(dir.path() + "/contacts.db");
    service.start();
    const NodeInfo live = parse_node(service_introspection());
    ASSERT_TRUE(live);

    std::map<std::string, std::set<std::string>> served;
    for (GDBusInterfaceInfo **interface = live->interfaces; *interface != nullptr; ++interface)
        if (!std::string((*interface)->name).starts_with("org.freedesktop.DBus."))
            served[(*interface)->name] = members(**interface);
    std::map<std::string, std::set<std::string>> described;
    for (const auto &file : fs::directory_iterator(INTERFACES_DIR)) {
        SCOPED_TRACE(file.path().string());
        const NodeInfo node = parse_node(read_file(file.path()));
        ASSERT_TRUE(node);
        ASSERT_NE(node->interfaces[0], nullptr);
        ASSERT_EQ(node->interfaces[1], nullptr) << "one interface per file";
        EXPECT_EQ(file.path().filename().string(), std::string(node->interfaces[0]->name) + ".xml");
        described[node->interfaces[0]->name] = members(*node->interfaces[0]);
    }

    EXPECT_EQ(served.size(), 2u) << "org.yora.contact and the Bulk interface";
    for (const auto &[name, lines] : served) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(described.contains(name)) << "no description in " INTERFACES_DIR;
        std::vector<std::string> missing, stale;
        std::ranges::set_difference(lines, described[name], std::back_inserter(missing));
        std::ranges::set_difference(described[name], lines, std::back_inserter(stale));
        EXPECT_EQ(missing, std::vector<std::string>{}) << "served but not described";
        EXPECT_EQ(stale, std::vector<std::string>{}) << "described but not served";
        const std::regex placeholder(" (in|out|arg) \\S+ (\\(none\\)|arg_?[0-9]+)\\b");
        for (const std::string &line : lines)
            EXPECT_FALSE(std::regex_search(line, placeholder)) << "an argument without its name: " << line;
    }
    EXPECT_EQ(described.size(), served.size()) << "a description of an interface the service does not serve";
    EXPECT_EQ(service.stop(), 0);
}

} // namespace
} // namespace contact_test
