#include "sim/sim-card.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace contact_engine {

using nlohmann::json;

// ---- books -------------------------------------------------------------------

const SimEntry *SimBook::find(int index) const
{
    for (const SimEntry &entry : entries)
        if (entry.index == index)
            return &entry;
    return nullptr;
}

void SimBook::put(SimEntry entry)
{
    auto at = std::lower_bound(entries.begin(), entries.end(), entry.index,
                               [](const SimEntry &held, int index) { return held.index < index; });
    if (at != entries.end() && at->index == entry.index)
        *at = std::move(entry);
    else
        entries.insert(at, std::move(entry));
}

bool SimBook::erase(int index)
{
    const auto before = entries.size();
    std::erase_if(entries, [&](const SimEntry &entry) { return entry.index == index; });
    return entries.size() != before;
}

int SimBook::first_free() const
{
    int expected = 1;
    for (const SimEntry &entry : entries) {
        if (entry.index != expected)
            break;
        ++expected;
    }
    return expected <= capacity ? expected : 0;
}

// ---- limits --------------------------------------------------------------------

namespace {

bool is_dialable(char c)
{
    return (c >= '0' && c <= '9') || c == '*' || c == '#' || c == 'p' || c == 'w' || c == 'P' || c == 'W';
}

bool is_separator(char c)
{
    return c == ' ' || c == '-' || c == '(' || c == ')' || c == '.';
}

} // namespace

int dialable_length(const std::string &number)
{
    return int(std::count_if(number.begin(), number.end(), is_dialable));
}

std::string name_problem(const SimCard &card, const std::string &name)
{
    if (int(name.size()) > card.name_max_length)
        return "the name \"" + name + "\" has " + std::to_string(name.size()) + " bytes; the card holds " +
               std::to_string(card.name_max_length);
    return {};
}

std::string number_problem(const SimCard &card, const std::string &number)
{
    for (std::size_t i = 0; i < number.size(); ++i) {
        const char c = number[i];
        if (!is_dialable(c) && !is_separator(c) && !(c == '+' && i == 0))
            return "the number \"" + number + "\" has a character a SIM cannot store: '" + std::string(1, c) + "'";
    }
    if (dialable_length(number) > card.number_max_length)
        return "the number \"" + number + "\" has " + std::to_string(dialable_length(number)) +
               " digits; the card holds " + std::to_string(card.number_max_length);
    return {};
}

// ---- the default card ------------------------------------------------------------

SimCard default_card()
{
    SimCard card;
    card.iccid = "8944110068512345678";
    card.als_supported = true;
    card.adn.entries = {
        {1, "Voicemail", "+447700900123"},
        {2, "Ada Lovelace", "+447700900456"},
        {3, "Charles B", "02079460000"},
    };
    card.fdn.entries = {
        {1, "Emergency", "112"},
        {2, "Home", "+441632960001"},
    };
    card.sdn.entries = {
        {1, "Customer care", "150"},
    };
    card.aas = {{1, "Work"}, {2, "Home 2"}, {3, "Car"}};
    return card;
}

// ---- reading a card file -------------------------------------------------------

namespace {

class Reader {
public:
    explicit Reader(std::string origin) : origin_(std::move(origin)) {}

    [[noreturn]] void refuse(const std::string &where, const std::string &why) const
    {
        throw CardFileError(origin_ + ": " + where + ": " + why);
    }

    void only_keys(const json &object, const std::string &where, std::initializer_list<const char *> keys) const
    {
        if (!object.is_object())
            refuse(where, "must be an object");
        for (const auto &[key, value] : object.items()) {
            (void)value;
            if (std::none_of(keys.begin(), keys.end(), [&](const char *known) { return key == known; }))
                refuse(where, "unknown field \"" + key + "\"");
        }
    }

    bool boolean(const json &object, const char *key, bool fallback) const
    {
        if (!object.contains(key))
            return fallback;
        if (!object[key].is_boolean())
            refuse(key, "must be true or false");
        return object[key].get<bool>();
    }

    int integer(const json &object, const char *key, int fallback, int low, int high, const std::string &where) const
    {
        if (!object.contains(key))
            return fallback;
        const json &value = object[key];
        if (!value.is_number_integer() || value.get<long long>() < low || value.get<long long>() > high)
            refuse(where + key, "must be a whole number from " + std::to_string(low) + " to " + std::to_string(high));
        return value.get<int>();
    }

    std::string text(const json &object, const char *key, const std::string &where) const
    {
        if (!object.contains(key) || !object[key].is_string())
            refuse(where + key, "must be a string");
        return object[key].get<std::string>();
    }

    void book(const json &card, const char *key, SimBook &book, const SimCard &limits) const
    {
        if (!card.contains(key))
            return;
        if (!card[key].is_array())
            refuse(key, "must be a list of entries");
        book.entries.clear();
        int position = 0;
        for (const json &item : card[key]) {
            const std::string where = std::string(key) + "[" + std::to_string(position++) + "].";
            only_keys(item, where, {"index", "name", "number"});
            SimEntry entry;
            if (!item.contains("index"))
                refuse(where + "index", "is missing");
            entry.index = integer(item, "index", 0, 1, book.capacity, where);
            entry.name = text(item, "name", where);
            entry.number = text(item, "number", where);
            if (book.find(entry.index) != nullptr)
                refuse(where + "index", "index " + std::to_string(entry.index) + " is used twice");
            if (const std::string problem = name_problem(limits, entry.name); !problem.empty())
                refuse(where + "name", problem);
            if (const std::string problem = number_problem(limits, entry.number); !problem.empty())
                refuse(where + "number", problem);
            book.put(std::move(entry));
        }
    }

private:
    std::string origin_;
};

} // namespace

SimCard card_from_text(const std::string &text, const std::string &origin)
{
    const Reader reader(origin);
    json card;
    try {
        card = json::parse(text);
    } catch (const json::exception &error) { // not JSON, or a number out of range ("1e99999")
        reader.refuse("JSON", error.what());
    }
    reader.only_keys(card, "card", {"present", "pin_locked", "enabled", "als_supported", "iccid", "card_format",
                                    "name_max_length", "number_max_length", "capacity", "adn", "fdn", "sdn", "aas"});
    SimCard result;
    result.present = reader.boolean(card, "present", true);
    result.pin_locked = reader.boolean(card, "pin_locked", false);
    result.enabled = reader.boolean(card, "enabled", true);
    result.als_supported = reader.boolean(card, "als_supported", false);
    if (card.contains("iccid")) {
        result.iccid = reader.text(card, "iccid", "");
        if (result.iccid.size() > sim_limits::kIccidDigitsMax ||
            !std::all_of(result.iccid.begin(), result.iccid.end(), [](char c) { return c >= '0' && c <= '9'; }))
            reader.refuse("iccid", "must be up to " + std::to_string(sim_limits::kIccidDigitsMax) + " digits");
    }
    if (card.contains("card_format")) {
        const std::string format = reader.text(card, "card_format", "");
        if (format == "sim")
            result.format = CardFormat::Sim;
        else if (format == "usim")
            result.format = CardFormat::Usim;
        else
            reader.refuse("card_format", "must be \"sim\" or \"usim\"");
    }
    result.name_max_length =
        reader.integer(card, "name_max_length", sim_limits::kNameMaxLength, 1, sim_limits::kNameMaxLengthMax, "");
    result.number_max_length = reader.integer(card, "number_max_length", sim_limits::kNumberMaxLength, 1,
                                              sim_limits::kNumberMaxLengthMax, "");
    if (card.contains("capacity")) {
        const json &capacity = card["capacity"];
        reader.only_keys(capacity, "capacity", {"adn", "fdn", "sdn", "aas"});
        result.adn.capacity = reader.integer(capacity, "adn", sim_limits::kAdnCapacityMax, 0,
                                             sim_limits::kAdnCapacityMax, "capacity.");
        result.fdn.capacity = reader.integer(capacity, "fdn", sim_limits::kFdnCapacityMax, 0,
                                             sim_limits::kFdnCapacityMax, "capacity.");
        result.sdn.capacity = reader.integer(capacity, "sdn", sim_limits::kSdnCapacityMax, 0,
                                             sim_limits::kSdnCapacityMax, "capacity.");
        result.aas_capacity = reader.integer(capacity, "aas", sim_limits::kAasCapacityMax, 0,
                                             sim_limits::kAasCapacityMax, "capacity.");
    }
    reader.book(card, "adn", result.adn, result);
    reader.book(card, "fdn", result.fdn, result);
    reader.book(card, "sdn", result.sdn, result);
    if (card.contains("aas")) {
        if (!card["aas"].is_array())
            reader.refuse("aas", "must be a list of records");
        int position = 0;
        for (const json &item : card["aas"]) {
            const std::string where = "aas[" + std::to_string(position++) + "].";
            reader.only_keys(item, where, {"index", "text"});
            if (!item.contains("index"))
                reader.refuse(where + "index", "is missing");
            SimAas aas{reader.integer(item, "index", 0, 1, result.aas_capacity, where), reader.text(item, "text", where)};
            if (aas.text.size() > sim_limits::kAasTextMax)
                reader.refuse(where + "text", "has more than " + std::to_string(sim_limits::kAasTextMax) + " bytes");
            if (std::any_of(result.aas.begin(), result.aas.end(), [&](const SimAas &held) { return held.index == aas.index; }))
                reader.refuse(where + "index", "index " + std::to_string(aas.index) + " is used twice");
            result.aas.push_back(std::move(aas));
        }
        std::sort(result.aas.begin(), result.aas.end(),
                  [](const SimAas &a, const SimAas &b) { return a.index < b.index; });
    }
    return result;
}

SimCard read_card_file(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw CardFileError(path + ": cannot be read: " + std::strerror(errno));
    file.seekg(0, std::ios::end);
    if (file.tellg() > sim_limits::kCardFileMax)
        throw CardFileError(path + ": larger than " + std::to_string(sim_limits::kCardFileMax) + " bytes");
    file.seekg(0);
    std::ostringstream text;
    text << file.rdbuf();
    return card_from_text(text.str(), path);
}

// ---- writing it back -------------------------------------------------------------

std::string card_to_text(const SimCard &card)
{
    const auto book = [](const SimBook &held) {
        json list = json::array();
        for (const SimEntry &entry : held.entries)
            list.push_back({{"index", entry.index}, {"name", entry.name}, {"number", entry.number}});
        return list;
    };
    json aas = json::array();
    for (const SimAas &record : card.aas)
        aas.push_back({{"index", record.index}, {"text", record.text}});
    const json text = {
        {"present", card.present},
        {"pin_locked", card.pin_locked},
        {"enabled", card.enabled},
        {"als_supported", card.als_supported},
        {"iccid", card.iccid},
        {"card_format", card.format == CardFormat::Sim ? "sim" : "usim"},
        {"name_max_length", card.name_max_length},
        {"number_max_length", card.number_max_length},
        {"capacity", {{"adn", card.adn.capacity}, {"fdn", card.fdn.capacity}, {"sdn", card.sdn.capacity},
                      {"aas", card.aas_capacity}}},
        {"adn", book(card.adn)},
        {"fdn", book(card.fdn)},
        {"sdn", book(card.sdn)},
        {"aas", aas},
    };
    return text.dump(2) + "\n";
}

void write_card_file(const std::string &path, const SimCard &card)
{
    const std::string text = card_to_text(card);
    const std::string fresh = path + ".new";
    const int fd = ::open(fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        throw CardFileError(fresh + ": cannot be created: " + std::strerror(errno));
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t step = ::write(fd, text.data() + written, text.size() - written);
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(fresh.c_str());
            throw CardFileError(fresh + ": cannot be written: " + std::strerror(error));
        }
        written += std::size_t(step);
    }
    const bool synced = ::fsync(fd) == 0;
    const int sync_error = errno;
    if (::close(fd) != 0 || !synced) {
        const int error = synced ? errno : sync_error;
        ::unlink(fresh.c_str());
        throw CardFileError(fresh + ": cannot be flushed: " + std::strerror(error));
    }
    if (std::rename(fresh.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(fresh.c_str());
        throw CardFileError(path + ": cannot be replaced: " + std::strerror(error));
    }
}

} // namespace contact_engine
