// The pieces every command of contact-engine-tool shares: the library's log
// lines and failure reasons, the library session, the contact holder, the
// contact printer, JSON output and the shared options.
#include "tool-common.h"

#include <cstdarg>
#include <cstdlib>
#include <string_view>

#include "debug-message.h"

namespace tool {

namespace library_log {
namespace {

struct State {
    int verbose = 0;
    bool seen = false;        // an error line since forget()
    bool failed_call = false; // text is a failed call's error text, as the service (or the bus) sent it
    std::string text;
} g_log;

// The library names a failed remote call "<method>() failed" in its error
// line and passes the call's error text after the function's name and the
// line, whether the format prints it ("failed(%s)") or not ("failed()",
// "failed").  Its connection failures, named after
// _contact_init_dbus_connection, pass nothing more.
bool names_failed_call(std::string_view format)
{
    return format.find("() failed") != std::string_view::npos &&
           format.find("_contact_init_dbus_connection") == std::string_view::npos;
}

// "\n[DodazorEdidud]<function> <line>: The pContact is NULL.\n" says
// "The pContact is NULL."
std::string own_message(std::string_view text)
{
    const std::size_t start = text.find(": ");
    if (start != std::string_view::npos)
        text.remove_prefix(start + 2);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.remove_suffix(1);
    return std::string(text);
}

int on_line(void *, int, const char *, int, int level, const char *format, const char *text, va_list arguments)
{
    if ((level & DEBUG_MESSAGE_LEVEL_ERROR) != 0 && !g_log.seen) {
        g_log.seen = true;
        g_log.failed_call = names_failed_call(format);
        if (g_log.failed_call) {
            va_arg(arguments, const char *); // the function's name
            va_arg(arguments, int);          // the line
            const char *error_text = va_arg(arguments, const char *);
            g_log.text = error_text != nullptr ? error_text : "";
        } else {
            g_log.text = own_message(text);
        }
    }
    return g_log.verbose > 0;
}

} // namespace

void take(int verbose)
{
    g_log.verbose = verbose;
    if (verbose > 1)
        setenv("DEBUG_MESSAGE_TRACE", "1", 1);
    debug_message_set_handler(on_line, nullptr);
}

void forget()
{
    g_log.seen = g_log.failed_call = false;
    g_log.text.clear();
}

std::string failure(const char *what, const int *code)
{
    std::string reason = g_log.text;
    bool coded = code != nullptr;
    int shown_code = coded ? *code : 0;
    if (g_log.failed_call) {
        // "12: no contact at index 7": the code, then the service's reason.
        char *end = nullptr;
        const long leading = std::strtol(reason.c_str(), &end, 10);
        if (end != reason.c_str() && std::string_view(end).starts_with(": ")) {
            if (!coded) {
                coded = true;
                shown_code = int(leading);
            }
            if (leading == shown_code)
                reason.erase(0, std::size_t(end - reason.c_str()) + 2);
        }
    }
    std::string message = std::string(what) + " failed";
    if (coded)
        message += " with error code " + std::to_string(shown_code);
    if (!reason.empty())
        message += ": " + reason;
    return message;
}

} // namespace library_log

void fail_with_text(const char *what, int code, const std::string &service_text)
{
    library_log::g_log.seen = library_log::g_log.failed_call = true;
    library_log::g_log.text = service_text;
    throw Failure(library_log::failure(what, &code));
}

Session::Session()
{
    int error_code = 0;
    library_log::forget();
    if (!contact_initialize(&error_code))
        throw Failure(library_log::failure("contact_initialize", &error_code) +
                      " (is DBUS_SYSTEM_BUS_ADDRESS the bus's address?)");
}

Session::~Session()
{
    contact_finalize(nullptr);
}

Contact::~Contact()
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

namespace {
bool g_json = false;
} // namespace

void add_json_flag(CLI::App *command)
{
    command->add_flag("--json", g_json, "print one JSON document instead of text");
}

bool json_output()
{
    return g_json;
}

// Indented for people; a text that is not valid UTF-8 has U+FFFD for its
// bad bytes rather than ending the document.
void print_json(const Json &document)
{
    std::printf("%s\n", document.dump(2, ' ', false, Json::error_handler_t::replace).c_str());
}

Json contact_json(const contact_t &c, Sections sections)
{
    Json json{{"index", c.index},
              {"storage", c.storage_type},
              {"display_name", text_of(c.display_name)},
              {"first_name", text_of(c.first_name)},
              {"middle_name", text_of(c.middle_name)},
              {"last_name", text_of(c.last_name)},
              {"nickname", text_of(c.nickname)},
              {"company", text_of(c.company)},
              {"job_title", text_of(c.job_title)},
              {"department", text_of(c.department)},
              {"birthday", text_of(c.birthday)},
              {"anniversary", text_of(c.anniversary)},
              {"website", text_of(c.website)},
              {"frequency", c.frequency},
              {"favourite", c.is_favourite != 0}};
    if (sections == Sections::FixedPartOnly)
        return json;
    Json &phones = json["phones"] = Json::array();
    for (int i = 0; c.phone_info != nullptr && i < c.phone_info_cnt; ++i)
        phones.push_back({{"number", text_of(c.phone_info[i].number)},
                          {"type", c.phone_info[i].type},
                          {"primary", c.phone_info[i].is_primary != 0}});
    Json &emails = json["emails"] = Json::array();
    for (int i = 0; c.email_info != nullptr && i < c.email_info_cnt; ++i)
        emails.push_back({{"address", text_of(c.email_info[i].address)},
                          {"type", c.email_info[i].type},
                          {"primary", c.email_info[i].is_primary != 0}});
    Json &addresses = json["addresses"] = Json::array();
    for (int i = 0; c.postal_info != nullptr && i < c.postal_info_cnt; ++i) {
        const contact_postal_info_t &a = c.postal_info[i];
        addresses.push_back({{"type", a.type},
                             {"pobox", text_of(a.pobox)},
                             {"extended", text_of(a.extended)},
                             {"street", text_of(a.street)},
                             {"city", text_of(a.city)},
                             {"region", text_of(a.region)},
                             {"postcode", text_of(a.postcode)},
                             {"country", text_of(a.country)}});
    }
    json["note"] = c.note != nullptr && c.note_len > 0 ? std::string(c.note, std::size_t(c.note_len)) : "";
    return json;
}

void add_storage_option(CLI::App *command, int &storage)
{
    command->add_option("--storage", storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN)");
}

} // namespace tool
