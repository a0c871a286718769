// The service as the platform runs it: as its own user with only the unit's
// capabilities, under the bus policy; the interface descriptions against it.
#include <gio/gio.h>
#include <sdbus-c++/sdbus-c++.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>

#include "contact-engine-bus.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"
#include "test-support.h"

namespace contact_test {
namespace {

namespace fs = std::filesystem;
using namespace contact_engine;

constexpr uid_t kServiceUser = 65534; // nobody: the service's own user in this test

std::string read_file(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// The unit's AmbientCapabilities= ("CAP_SETUID CAP_SETGID ...") as setpriv
// writes them ("+setuid,+setgid,...").
std::string unit_capabilities()
{
    std::smatch line;
    const std::string unit = read_file(UNIT_TEMPLATE);
    if (!std::regex_search(unit, line, std::regex("\nAmbientCapabilities=([^\n]*)")))
        return "";
    std::string capabilities = std::regex_replace(line[1].str(), std::regex(" *CAP_(\\w+)"), ",+$1");
    std::transform(capabilities.begin(), capabilities.end(), capabilities.begin(), ::tolower);
    return capabilities;
}

// ---- the service as its own user --------------------------------------------------

// The service runs as nobody with the unit's capabilities and no others, on
// the test bus plus a policy letting that user own the name (as
// contact-engine); each step as another user on a connection of its own:
// "ok" or the D-Bus error's name.
TEST(NonRootServiceTest, AnotherUserCallsButNeitherOwnsTheNameNorReadsWhatItMayNot)
{
    if (access(SETPRIV_PATH, X_OK) != 0)
        GTEST_SKIP() << SETPRIV_PATH " (util-linux) is not installed";
    const std::string capabilities = unit_capabilities();
    ASSERT_FALSE(capabilities.empty()) << "the unit grants no capabilities";
    TempDir dir;
    chmod(dir.path().c_str(), 0755); // other users go through it to their files
    const std::string config = dir.path() + "/bus.conf", state = dir.path() + "/state";
    std::ofstream(config) << "<busconfig>\n  <include>" << test_bus_config() << "</include>\n"
                          << "  <policy user=\"" << kServiceUser << "\">\n"
                          << "    <allow own=\"" CONTACT_ENGINE_BUS_NAME "\"/>\n  </policy>\n</busconfig>\n";
    PrivateBus bus(config);
    const std::optional<User> caller = bus_client_user("daemon"); // one with an account, as the bus serves no other
    if (!caller)
        return;
    fs::create_directory(state);
    ASSERT_EQ(chown(state.c_str(), kServiceUser, kServiceUser), 0);
    ServiceProcess service(state + "/contacts.db");
    service.run_copy_in(dir.path());
    const std::string user = std::to_string(kServiceUser);
    service.launcher = {SETPRIV_PATH, "--reuid=" + user, "--regid=" + user, "--clear-groups",
                        "--inh-caps=-all" + capabilities, "--ambient-caps=-all" + capabilities,
                        "--bounding-set=-all" + capabilities, "--no-new-privs", "--"};
    service.start();

    const auto card = [&](const char *name, uid_t owner) {
        const std::string path = dir.path() + "/" + name;
        std::ofstream(path) << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Whose File\r\nEND:VCARD\r\n";
        EXPECT_EQ(chown(path.c_str(), owner, gid_t(-1)), 0);
        chmod(path.c_str(), 0600); // only its owner may read it
        return path;
    };
    const std::string own = card("own.vcf", caller->uid), services = card("services.vcf", kServiceUser),
                      roots = card("roots.vcf", 0), shared = dir.path() + "/shared", link = shared + "/link.vcf";
    fs::create_directory(shared);
    chmod(shared.c_str(), 01777);
    fs::create_symlink(roots, link);
    using Step = std::function<void(sdbus::IProxy &)>;
    const auto read_card = [](const std::string &path) -> Step {
        return [path](sdbus::IProxy &proxy) {
            proxy.callMethod("contact_convert_vcard_file_to_contact")
                .onInterface(CONTACT_ENGINE_INTERFACE).withArguments(path);
        };
    };
    const auto import_from = [](const std::string &path) -> Step {
        return [path](sdbus::IProxy &proxy) {
            std::int32_t handle = -1;
            proxy.callMethod("contact_bulk_operation_open").onInterface(CONTACT_ENGINE_INTERFACE)
                .withArguments(std::int32_t(CONTACT_BULK_IMPORT), std::int32_t(CONTACT_STORAGE_PHONE))
                .storeResultsTo(handle);
            proxy.callMethod("set_source").onInterface("com.quorvel.contact.engine.Bulk").withArguments(handle, path);
        };
    };
    const auto refused = [](ErrorCode code) { return std::string(kErrorNamePrefix) + error_name(code); };
    const struct {
        const char *what;
        Step step;
        std::string outcome;
    } steps[] = {
        {"owning the service's name",
         [](sdbus::IProxy &proxy) {
             sdbus::createProxy(proxy.getConnection(), "org.freedesktop.DBus", "/org/freedesktop/DBus")
                 ->callMethod("RequestName").onInterface("org.freedesktop.DBus")
                 .withArguments(CONTACT_ENGINE_BUS_NAME, 0u);
         },
         "org.freedesktop.DBus.Error.AccessDenied"},
        // The service takes the caller's identity (the capabilities at work) ...
        {"a file only the caller may read", read_card(own), "ok"},
        {"an import of it", import_from(own), "ok"},
        // ... and lends it nothing of its own user's or root's, directly or through a link.
        {"a file only the service's user may read", read_card(services), refused(kVCardUnreadable)},
        {"a file only root may read", read_card(roots), refused(kVCardUnreadable)},
        {"a link to it in a shared directory", read_card(link), refused(kVCardUnreadable)},
        {"an import of it", import_from(roots), refused(kBulkFileRefused)},
    };
    const std::vector<std::string> said = run_as(*caller, [&](int out) {
        auto proxy = sdbus::createProxy(CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH);
        for (const auto &each : steps) {
            try {
                each.step(*proxy);
                say(out, "ok");
            } catch (const sdbus::Error &error) {
                say(out, error.getName());
            }
        }
        return 0;
    });
    ASSERT_EQ(said.size(), std::size(steps));
    for (std::size_t i = 0; i < said.size(); ++i)
        EXPECT_EQ(said[i], steps[i].outcome) << steps[i].what;
    EXPECT_EQ(service.stop(), 0);
}

// ---- the interface descriptions ------------------------------------------------------

using NodeInfo = std::unique_ptr<GDBusNodeInfo, decltype(&g_dbus_node_info_unref)>;

NodeInfo parse_node(const std::string &xml)
{
    GError *error = nullptr;
    NodeInfo node(g_dbus_node_info_new_for_xml(xml.c_str(), &error), g_dbus_node_info_unref);
    EXPECT_EQ(error, nullptr) << error->message;
    g_clear_error(&error);
    return node;
}

std::string describe_args(GDBusArgInfo **args, const char *direction)
{
    std::string text;
    for (; args != nullptr && *args != nullptr; ++args)
        text += std::string(" ") + direction + " " + (*args)->signature + " " +
                ((*args)->name ? (*args)->name : "(none)");
    return text;
}

// Each interface but the bus's own, as one line per method and signal:
// "method NAME in TYPE NAME ... out TYPE NAME".
std::map<std::string, std::set<std::string>> interfaces(const GDBusNodeInfo &node)
{
    std::map<std::string, std::set<std::string>> result;
    for (GDBusInterfaceInfo **interface = node.interfaces; *interface != nullptr; ++interface) {
        if (std::string_view((*interface)->name).starts_with("org.freedesktop.DBus."))
            continue;
        std::set<std::string> &lines = result[(*interface)->name];
        for (GDBusMethodInfo **method = (*interface)->methods; method && *method; ++method)
            lines.insert("method " + std::string((*method)->name) + describe_args((*method)->in_args, "in") +
                         describe_args((*method)->out_args, "out"));
        for (GDBusSignalInfo **signal = (*interface)->signals; signal && *signal; ++signal)
            lines.insert("signal " + std::string((*signal)->name) + describe_args((*signal)->args, "arg"));
        EXPECT_TRUE(!(*interface)->properties || !*(*interface)->properties) << "a property: none is served";
    }
    return result;
}

// Every interface of the service but the bus's own has its file in
// data/interfaces, saying what the service serves: the same members, argument
// types, directions and names.
TEST(InterfaceDescriptions, EachFileIsWhatTheServiceServes)
{
    (void)bus();
    TempDir dir;
    ServiceProcess service(dir.path() + "/contacts.db");
    service.start();
    std::string xml;
    sdbus::createProxy(CONTACT_ENGINE_BUS_NAME, CONTACT_ENGINE_OBJECT_PATH)
        ->callMethod("Introspect").onInterface("org.freedesktop.DBus.Introspectable").storeResultsTo(xml);
    const NodeInfo live = parse_node(xml);
    ASSERT_TRUE(live);
    const auto served = interfaces(*live);
    std::map<std::string, std::set<std::string>> described;
    for (const auto &file : fs::directory_iterator(INTERFACES_DIR)) {
        const NodeInfo node = parse_node(read_file(file.path()));
        ASSERT_TRUE(node && node->interfaces[0] && !node->interfaces[1]) << file.path() << ": one interface per file";
        EXPECT_EQ(file.path().filename().string(), std::string(node->interfaces[0]->name) + ".xml");
        described.merge(interfaces(*node));
    }
    for (const auto &[name, lines] : served) {
        std::vector<std::string> missing, stale;
        std::ranges::set_difference(lines, described[name], std::back_inserter(missing));
        std::ranges::set_difference(described[name], lines, std::back_inserter(stale));
        EXPECT_EQ(missing, std::vector<std::string>{}) << name << ": served but not described";
        EXPECT_EQ(stale, std::vector<std::string>{}) << name << ": described but not served";
    }
    EXPECT_EQ(described.size(), served.size()) << "a description of an interface the service does not serve";
    EXPECT_EQ(service.stop(), 0);
}

} // namespace
} // namespace contact_test
