// One client of the soak (`./run soak`): a mix of every family through the
// public library, for as long as the driver lets it run, against a service
// that the driver kills with SIGKILL and restarts at random.
//
//   soak-client --id N --dir RUN_DIR
//
// Until SIGTERM it adds and updates contacts, walks result sets, adds and
// removes members of its own group, sets and clears its own speed dial, and
// by its id also: flips two settings (0), writes SIM entries (1), runs bulk
// imports and exports (2).  Then it checks that every change the service
// acknowledged is there and prints one line:
//
//   SOAK-RESULT id=N ops=... signals=... doubtful_signals=... retried_signals=...
//               lost_calls=... restart_effects=... errors=... missing=...
//
// A call that fails with code 0 never got an answer from the service (it was
// killed, or not back yet): it is counted in lost_calls and retried; the
// signals of such an attempt are doubtful (it may have committed).  The
// signals of a change acknowledged only on a retry are counted in signals
// and again in retried_signals: the lost attempt may have committed and been
// killed before its signals left, and the retry then finds the change made
// and announces nothing.  A code
// that only a restart explains (a result set, bulk job or SIM load of an
// earlier service) counts in restart_effects and the object is made again.
// Any other code the operation did not ask for is an error.  The exit status
// is 0 when there were no errors and nothing is missing.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bulk-client.h"
#include "contact-engine.h"
#include "core/contact-engine-errors.h"

namespace {

using namespace contact_engine;

volatile sig_atomic_t g_stop = 0;
void on_term(int) { g_stop = 1; }

struct Tally {
    long ops = 0, signals = 0, doubtful = 0, retried = 0, lost = 0, restart_effects = 0, errors = 0, missing = 0;
};

class Client {
public:
    Client(int id, std::string dir) : id_(id), dir_(std::move(dir)), random_(unsigned(id) * 7919 + unsigned(getpid())) {}

    void run()
    {
        int code = -1;
        while (contact_initialize(&code) != 1)
            usleep(200 * 1000);
        while (!g_stop) {
            step();
            usleep(20 * 1000); // civil to the other users of the machine
        }
        verify();
        contact_finalize(&code);
    }
    const Tally &tally() const { return tally_; }

private:
    // ---- calls, retried across restarts -------------------------------------
    struct Result {
        int code;      // 0: done
        bool doubted;  // an attempt got no answer first
    };

    // Calls `op` until the service answers; `signals` is what the change
    // announces when it is made.  Returns the service's code (0 on success).
    Result call(int signals, const std::function<int(int *)> &op)
    {
        ++tally_.ops;
        bool doubted = false;
        for (;;) {
            int code = -1;
            if (op(&code) == 1) {
                tally_.signals += signals;
                if (doubted)
                    tally_.retried += signals;
                return {0, doubted};
            }
            if (code != 0)
                return {code, doubted};
            ++tally_.lost;
            if (!doubted)
                tally_.doubtful += signals;
            doubted = true;
            if (g_stop && verifying_)
                return {0, true};
            usleep(250 * 1000);
        }
    }
    void error(const char *what, int code)
    {
        ++tally_.errors;
        std::fprintf(stderr, "soak-client %d: %s failed with code %d\n", id_, what, code);
    }
    // The service's generation as the driver counts its starts: an object
    // made under an earlier one is gone after a restart.
    int generation() const
    {
        int value = 0;
        std::ifstream(dir_ + "/generation") >> value;
        return value;
    }
    // A refusal of an object made in an earlier generation is the restart's doing.
    bool restarted_since(int made) { return generation() != made; }

    // ---- the mix --------------------------------------------------------------
    void step()
    {
        const int pick = int(random_() % 100);
        if (pick < 25 || contacts_.size() < 5)
            add_contact();
        else if (pick < 45)
            update_contact();
        else if (pick < 55)
            change_note();
        else if (pick < 65)
            walk_result_set();
        else if (pick < 75)
            toggle_member();
        else if (pick < 83)
            toggle_speed_dial();
        else if (id_ == 0)
            flip_setting();
        else if (id_ == 1)
            write_sim();
        else if (id_ == 2 && pick < 90)
            bulk_import();
        else if (id_ == 2)
            bulk_export();
        else
            update_contact();
    }

    std::string name_of(int serial, int version) const
    {
        return "Soak " + std::to_string(id_) + "-" + std::to_string(serial) + " v" + std::to_string(version);
    }
    static void fill(contact_t &record, const std::string &name, contact_phone_info_t &phone, const std::string &number)
    {
        std::memset(&record, 0, sizeof record);
        std::snprintf(record.display_name, sizeof record.display_name, "%s", name.c_str());
        std::memset(&phone, 0, sizeof phone);
        phone.type = CONTACT_TYPE_MOBILE;
        phone.is_primary = 1;
        std::snprintf(phone.number, sizeof phone.number, "%s", number.c_str());
        record.phone_info = &phone;
        record.phone_info_cnt = 1;
    }
    std::string number_of(int serial) const
    {
        return "+4420" + std::to_string(1000000 + id_ * 100000 + serial % 100000);
    }

    void add_contact()
    {
        if (contacts_.size() >= 300)
            return update_contact();
        const int serial = next_serial_++;
        contact_t record;
        contact_phone_info_t phone;
        fill(record, name_of(serial, 0), phone, number_of(serial));
        int index = -1;
        const Result r = call(1, [&](int *e) { return contact_add_contact(CONTACT_STORAGE_PHONE, &record, &index, e); });
        if (r.code != 0)
            return error("contact_add_contact", r.code);
        contacts_[index] = {serial, 0};
    }
    int some_contact()
    {
        auto at = contacts_.begin();
        std::advance(at, long(random_() % contacts_.size()));
        return at->first;
    }
    void update_contact()
    {
        const int index = some_contact();
        auto &[serial, version] = contacts_[index];
        contact_t record;
        contact_phone_info_t phone;
        fill(record, name_of(serial, version + 1), phone, number_of(serial));
        const Result r =
            call(1, [&](int *e) { return contact_update_contact(CONTACT_STORAGE_PHONE, index, &record, e); });
        if (r.code != 0)
            return error("contact_update_contact", r.code);
        ++version;
    }
    void change_note()
    {
        const int index = some_contact();
        const std::string note = "note " + std::to_string(random_());
        const Result r = call(1, [&](int *e) {
            return contact_change_field_value(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_NOTE, note.c_str(), e);
        });
        if (r.code != 0)
            error("contact_change_field_value", r.code);
    }

    void walk_result_set()
    {
        const int made = generation();
        int set = -1;
        Result r = call(0, [&](int *e) { return contact_result_set_create(CONTACT_STORAGE_PHONE, "Soak", 0, &set, e); });
        if (r.code != 0)
            return error("contact_result_set_create", r.code);
        std::vector<contact_t> batch(20);
        int count = 0;
        r = call(0, [&](int *e) {
            count = int(batch.size());
            return contact_result_set_get_contacts(set, int(batch.size()), 0, batch.data(), &count, e);
        });
        // A short last batch is code 32; a set of an earlier service is gone.
        if (r.code != 0 && r.code != 32 && !(r.code == kNoResultSet && restarted_since(made)))
            error("contact_result_set_get_contacts", r.code);
        if (r.code == kNoResultSet)
            ++tally_.restart_effects;
        r = call(0, [&](int *e) { return contact_result_set_destory(set, e); });
        if (r.code == kNoResultSet && (r.doubted || restarted_since(made)))
            ++tally_.restart_effects;
        else if (r.code != 0)
            error("contact_result_set_destory", r.code);
    }

    // One group of this client's own; its members are some of its contacts.
    void toggle_member()
    {
        if (group_ < 0) {
            group_t group{};
            std::snprintf(group.name, sizeof group.name, "Soak group %d.%d", id_, group_serial_++);
            int index = -1;
            const Result r = call(1, [&](int *e) { return contact_add_group(0, &group, &index, e); });
            if (r.code == kGroupNameInUse && r.doubted)
                return; // made by the attempt that lost its reply; another name next time
            if (r.code != 0)
                return error("contact_add_group", r.code);
            group_ = index;
            return;
        }
        const int contact = some_contact();
        if (members_.count(contact)) {
            const Result r = call(1, [&](int *e) { return contact_delete_group_member(0, group_, contact, e); });
            if (r.code != 0 && !(r.code == kNotGroupMember && r.doubted))
                return error("contact_delete_group_member", r.code);
            members_.erase(contact);
        } else {
            const Result r = call(1, [&](int *e) { return contact_add_group_member(0, group_, contact, e); });
            if (r.code != 0)
                return error("contact_add_group_member", r.code);
            members_.insert(contact);
        }
    }

    // Dial id + 1 is this client's own.
    void toggle_speed_dial()
    {
        const int dial = id_ + 1;
        if (dial_contact_ > 0) {
            const Result r = call(1, [&](int *e) { return contact_delete_speed_dial(dial, e); });
            if (r.code != 0 && !(r.code == kNoSpeedDial && r.doubted))
                return error("contact_delete_speed_dial", r.code);
            dial_contact_ = 0;
        } else {
            speed_dial_t record{dial, CONTACT_STORAGE_PHONE, some_contact(), 0};
            const Result r = call(1, [&](int *e) { return contact_set_speed_dial(dial, &record, e); });
            if (r.code != 0)
                return error("contact_set_speed_dial", r.code);
            dial_contact_ = record.contact_index;
        }
    }

    // Only client 0 changes these two settings, so it knows their values
    // (after a retry too: the retry makes the value so, or finds it made).
    void flip_setting()
    {
        const bool sort = random_() % 2 == 0;
        int &value = sort ? sort_type_ : display_order_;
        if (value < 0) {
            const Result r = call(0, [&](int *e) {
                return sort ? contact_get_sort_type(&value, e) : contact_get_display_order(&value, e);
            });
            if (r.code != 0)
                return error("reading a setting", r.code);
        }
        const int next = 1 - value;
        const Result r = call(1, [&](int *e) {
            return sort ? contact_set_sort_type(next, e) : contact_set_display_order(next, e);
        });
        if (r.code != 0)
            return error("setting a setting", r.code);
        value = next;
    }

    // Client 1 keeps up to 20 entries of its own in the SIM storage.  A
    // restarted service has to load the SIM phonebook again.
    bool sim_ready()
    {
        if (sim_generation_ == generation())
            return true;
        const int made = generation();
        Result r = call(0, [](int *e) { return contact_initialize_sim(e); });
        if (r.code != 0) {
            error("contact_initialize_sim", r.code);
            return false;
        }
        bool loaded = false;
        int percent = 0;
        for (int tries = 0; !loaded && tries < 3000 && !g_stop; ++tries) {
            r = call(0, [&](int *e) { return contact_is_sim_initialized(&loaded, &percent, e); });
            if (r.code != 0 || r.doubted)
                return false; // the service went meanwhile: load again next time
            if (!loaded)
                usleep(50 * 1000);
        }
        r = call(0, [](int *e) { return contact_open_sim(e); });
        if (!loaded || r.code != 0 || r.doubted)
            return false;
        sim_generation_ = made;
        return true;
    }
    // A SIM phonebook loaded by an earlier service is not there any more.
    bool sim_gone(const Result &r)
    {
        if ((r.code != kSimNotLoaded && r.code != kSimNotOpen) || !restarted_since(sim_generation_))
            return false;
        ++tally_.restart_effects;
        sim_generation_ = -2;
        return true;
    }
    void write_sim()
    {
        if (!sim_ready())
            return;
        if (sim_.size() >= 20) {
            const int index = sim_.begin()->first;
            const Result r = call(1, [&](int *e) { return contact_delete_contact(CONTACT_STORAGE_SIM, index, e); });
            if (sim_gone(r))
                return;
            if (r.code != 0 && !(r.code == kNoContact && r.doubted))
                return error("deleting a SIM entry", r.code);
            sim_.erase(index);
            return;
        }
        const int serial = next_serial_++;
        const std::string name = "S" + std::to_string(id_) + "-" + std::to_string(serial);
        contact_t record;
        contact_phone_info_t phone;
        fill(record, name, phone, "0790" + std::to_string(1000000 + serial));
        int index = -1;
        const Result r = call(1, [&](int *e) { return contact_add_contact(CONTACT_STORAGE_SIM, &record, &index, e); });
        if (sim_gone(r))
            return;
        if (r.code != 0)
            return error("adding a SIM entry", r.code);
        sim_[index] = name;
    }

    // Client 2: an import of 40 cards of its own into the phone storage (one
    // chunk: one "copy some contacts" signal), waited for; an export of the
    // phone storage, whose file must hold a card for each contact exported.
    bool run_job(int kind, const std::string &source, bulk_operation_status_t &status, int &handle)
    {
        const int made = generation();
        Result r = call(0, [&](int *e) { return contact_bulk_operation_open(kind, CONTACT_STORAGE_PHONE, &handle, e); });
        if (r.code != 0)
            return error("contact_bulk_operation_open", r.code), false;
        const auto gone = [&](const Result &result) {
            if ((result.code == kBulkNoJob && (result.doubted || restarted_since(made))) || result.doubted) {
                ++tally_.restart_effects;
                return true;
            }
            return false;
        };
        if (!source.empty()) {
            int code = -1;
            while (bulk_client::set_source(handle, source, &code) != 1) {
                if (code != 0 || g_stop)
                    return code == kBulkNoJob && restarted_since(made) ? (++tally_.restart_effects, false)
                                                                        : (error("set_source", code), false);
                ++tally_.lost;
                usleep(250 * 1000);
            }
        }
        int state = -1;
        r = call(0, [&](int *e) { return contact_bulk_operation_exec(handle, &state, e); });
        if (gone(r))
            return false;
        if (r.code != 0)
            return error("contact_bulk_operation_exec", r.code), false;
        for (;;) {
            r = call(0, [&](int *e) { return contact_bulk_operation_get_info(handle, &status, e); });
            if (gone(r))
                return false;
            if (r.code != 0)
                return error("contact_bulk_operation_get_info", r.code), false;
            if (status.state == CONTACT_BULK_STATE_DONE || status.state == CONTACT_BULK_STATE_FAILED)
                return true;
            usleep(50 * 1000);
        }
    }
    void close_job(int handle)
    {
        const Result r = call(0, [&](int *e) { return contact_bulk_operation_close(handle, e); });
        if (r.code == kBulkNoJob)
            ++tally_.restart_effects;
        else if (r.code != 0)
            error("contact_bulk_operation_close", r.code);
    }
    void bulk_import()
    {
        const int batch = import_serial_++;
        const std::string path = dir_ + "/import-" + std::to_string(id_) + "-" + std::to_string(batch) + ".vcf";
        std::vector<std::string> names;
        {
            std::ofstream out(path);
            for (int i = 0; i < 40; ++i) {
                names.push_back("Imported " + std::to_string(id_) + "-" + std::to_string(batch) + "-" + std::to_string(i));
                out << "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:" << names.back() << "\r\nTEL;TYPE=CELL:+4930"
                    << 1000000 + batch * 40 + i << "\r\nEND:VCARD\r\n";
            }
        }
        ++tally_.ops;
        tally_.doubtful += 1; // until it is known whether its one chunk was stored
        bulk_operation_status_t status{};
        int handle = -1;
        if (run_job(CONTACT_BULK_IMPORT, path, status, handle)) {
            if (status.state != CONTACT_BULK_STATE_DONE || status.done != 40)
                error("the import's end state", status.state * 1000 + status.done);
            else {
                tally_.doubtful -= 1;
                tally_.signals += 1;
                imported_.insert(names.begin(), names.end());
            }
            close_job(handle);
        }
        std::remove(path.c_str());
    }
    // Exports the phone storage; the names of the cards it wrote.
    bool export_names(std::set<std::string> &names)
    {
        const int made = generation();
        bulk_operation_status_t status{};
        int handle = -1;
        if (!run_job(CONTACT_BULK_EXPORT, "", status, handle))
            return false;
        if (status.state != CONTACT_BULK_STATE_DONE) {
            error("the export", status.last_error);
            close_job(handle);
            return false;
        }
        std::string path;
        int code = -1;
        if (bulk_client::target_file(handle, path, &code) != 1) {
            // The service went between the job's end and this call: its job went with it.
            if (code == 0 || (code == kBulkNoJob && restarted_since(made)))
                ++tally_.restart_effects;
            else
                error("target_file", code);
            close_job(handle);
            return false;
        }
        std::ifstream file(path);
        std::string line;
        int cards = 0;
        while (std::getline(file, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.rfind("FN:", 0) == 0)
                names.insert(line.substr(3));
            cards += line == "END:VCARD";
        }
        if (cards != status.done)
            error("the export's file", cards);
        close_job(handle);
        std::remove(path.c_str());
        return true;
    }
    void bulk_export()
    {
        std::set<std::string> names;
        export_names(names);
    }

    // ---- the end: every acknowledged change is there --------------------------
    void lost(const std::string &what)
    {
        ++tally_.missing;
        std::fprintf(stderr, "soak-client %d: missing: %s\n", id_, what.c_str());
    }
    void verify()
    {
        verifying_ = true;
        g_stop = 0; // calls in the check wait for the service as the mix did
        for (const auto &[index, version] : contacts_) {
            contact_t record{};
            const Result r = call(0, [&](int *e) { return contact_get_contact(CONTACT_STORAGE_PHONE, index, &record, e); });
            if (r.code != 0 || record.display_name != name_of(version.first, version.second))
                lost("contact " + std::to_string(index) + " as " + name_of(version.first, version.second));
            std::free(record.phone_info), std::free(record.email_info), std::free(record.postal_info);
            std::free(record.note), std::free(record.about), std::free(record.sns), std::free(record.im);
            std::free(record.presence_text), std::free(record.contact_id_data);
        }
        for (int member : members_) {
            bool is = false;
            const Result r = call(0, [&](int *e) { return contact_is_group_member_exist(0, group_, member, &is, e); });
            if (r.code != 0 || !is)
                lost("member " + std::to_string(member) + " of group " + std::to_string(group_));
        }
        if (dial_contact_ > 0) {
            speed_dial_t record{};
            const Result r = call(0, [&](int *e) { return contact_get_speed_dial(id_ + 1, &record, e); });
            if (r.code != 0 || record.contact_index != dial_contact_)
                lost("speed dial " + std::to_string(id_ + 1));
        }
        if (sort_type_ >= 0) {
            int value = -1;
            call(0, [&](int *e) { return contact_get_sort_type(&value, e); });
            if (value != sort_type_)
                lost("sort type " + std::to_string(sort_type_));
        }
        if (display_order_ >= 0) {
            int value = -1;
            call(0, [&](int *e) { return contact_get_display_order(&value, e); });
            if (value != display_order_)
                lost("display order " + std::to_string(display_order_));
        }
        if (!sim_.empty() && sim_ready()) {
            for (const auto &[index, name] : sim_) {
                contact_t record{};
                const Result r =
                    call(0, [&](int *e) { return contact_get_contact(CONTACT_STORAGE_SIM, index, &record, e); });
                if (r.code != 0 || record.display_name != name)
                    lost("SIM entry " + std::to_string(index) + " " + name);
                std::free(record.phone_info);
            }
        }
        if (!imported_.empty()) {
            std::set<std::string> names;
            if (!export_names(names))
                lost("the final export");
            for (const std::string &name : imported_)
                if (!names.count(name))
                    lost("imported card " + name);
        }
    }

    int id_;
    std::string dir_;
    std::mt19937 random_;
    bool verifying_ = false;
    int next_serial_ = 0;
    std::map<int, std::pair<int, int>> contacts_; // index -> serial, version
    int group_ = -1, group_serial_ = 0;
    std::set<int> members_;
    int dial_contact_ = 0;
    int sort_type_ = -1, display_order_ = -1;
    int sim_generation_ = -1;
    std::map<int, std::string> sim_;
    int import_serial_ = 0;
    std::set<std::string> imported_;
    Tally tally_;
};

} // namespace

int main(int argc, char **argv)
{
    int id = -1;
    std::string dir;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--id") == 0)
            id = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--dir") == 0)
            dir = argv[i + 1];
    }
    if (id < 0 || id > 7 || dir.empty()) {
        std::fprintf(stderr, "usage: soak-client --id 0..7 --dir RUN_DIR\n");
        return 2;
    }
    signal(SIGTERM, on_term);
    signal(SIGINT, on_term);
    Client client(id, dir);
    client.run();
    const Tally &t = client.tally();
    std::printf("SOAK-RESULT id=%d ops=%ld signals=%ld doubtful_signals=%ld retried_signals=%ld lost_calls=%ld "
                "restart_effects=%ld errors=%ld missing=%ld\n",
                id, t.ops, t.signals, t.doubtful, t.retried, t.lost, t.restart_effects, t.errors, t.missing);
    return t.errors == 0 && t.missing == 0 ? 0 : 1;
}
