// The SIM phonebook: the card's state, the active call line, the
// phonebook's lifecycle, its status records and AAS records.  The card is
// simulated (sim-card.h); its entries live in the contact storages 1, 3 and
// 4 once loaded, and changes made there through the contact methods go back
// to the card (sim-store.h).
#include <chrono>
#include <iostream>

#include "contacts/contact-store.h"
#include "core/method-registry.h"
#include "core/service-options.h"
#include "sim/sim-store.h"

namespace contact_engine {

namespace {

using Flag = std::tuple<bool, std::int32_t>; // an answer, then the result code

Flag is_sim_present(SimPhonebook &sim)
{
    return {sim.present(), kOk};
}

std::tuple<bool, std::int32_t, std::int32_t> is_sim_initialized(SimPhonebook &sim)
{
    return sim.initialized();
}

Flag is_sim_enabled(SimPhonebook &sim, std::int32_t sim_param)
{
    return {sim.enabled(sim_param), kOk};
}

Answer get_sim_card_format(SimPhonebook &sim)
{
    return {sim.card_format(), kOk};
}

Answer is_sim_iccid_check(SimPhonebook &sim)
{
    return {sim.iccid_check(), kOk};
}

Answer is_als_set_check(SimPhonebook &sim)
{
    return {sim.als_supported() ? 1 : 0, kOk};
}

void call_set_active_line(SimPhonebook &sim, std::int32_t active_line)
{
    sim.set_active_line(active_line);
}

std::int32_t call_get_active_line(SimPhonebook &sim)
{
    return sim.active_line();
}

std::int32_t initialize_sim(SimPhonebook &sim)
{
    sim.start_load();
    return kOk;
}

std::int32_t open_sim(SimPhonebook &sim)
{
    sim.open();
    return kOk;
}

std::int32_t close_sim(SimPhonebook &sim)
{
    sim.close();
    return kOk;
}

Reply get_sim_status(SimPhonebook &sim)
{
    return {sim.status_record(), kOk};
}

std::int32_t get_sim_adn(SimPhonebook &sim)
{
    sim.check_adn_readable();
    return kOk;
}

Reply get_sim_used_status(SimPhonebook &sim)
{
    return {sim.used_status_record(), kOk};
}

std::tuple<Bytes, std::int32_t, std::int32_t> get_sim_aas_records(SimPhonebook &sim)
{
    auto [records, count] = sim.aas_records();
    return {std::move(records), count, kOk};
}

std::int32_t update_all_aas_records(SimPhonebook &sim, Bytes records, std::int32_t count)
{
    sim.replace_aas(records, count);
    return kOk;
}

SimCard card_of(const ServiceOptions &options)
{
    return options.sim_card_path.empty() ? default_card() : read_card_file(options.sim_card_path);
}

} // namespace

RegisterFamily register_sim_methods;
void register_sim_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    ContactStore &contacts = contact_store(registry, database, options);
    SimPhonebook &sim = registry.own<SimPhonebook>(database, contacts, registry.workers(), card_of(options),
                                                   options.sim_card_path,
                                                   std::chrono::milliseconds(options.sim_load_delay_ms));
    contacts.add_hook([&sim](int storage, int index, ContactChange change) { sim.contact_changed(storage, index, change); });
    registry
        .add("contact_is_sim_present", is_sim_present, sim, In{}, Out{"is_present", "error_code"})
        .add("contact_is_sim_initialized", is_sim_initialized, sim, In{}, Out{"initialized", "percent", "error_code"})
        .add("contact_is_sim_enabled", is_sim_enabled, sim, In{"sim_param"}, Out{"is_enabled", "error_code"})
        .add("contact_get_sim_card_format", get_sim_card_format, sim, In{}, Out{"sim_card_format", "error_code"})
        .add("contact_is_sim_iccid_check", is_sim_iccid_check, sim, In{}, Out{"iccid_check_result", "error_code"})
        .add("contact_is_als_set_check", is_als_set_check, sim, In{}, Out{"is_als_set", "error_code"})
        .add("contact_call_set_active_line", call_set_active_line, sim, In{"active_line"}, Out{})
        .add("contact_call_get_active_line", call_get_active_line, sim, In{}, Out{"ptr_active_line"})
        .add("contact_initialize_sim", initialize_sim, sim, In{}, Out{"error_code"})
        .add("contact_open_sim", open_sim, sim, In{}, Out{"error_code"})
        .add("contact_close_sim", close_sim, sim, In{}, Out{"error_code"})
        .add("contact_get_sim_status", get_sim_status, sim, In{}, Out{"sim_status", "error_code"})
        .add("contact_get_sim_adn", get_sim_adn, sim, In{}, Out{"error_code"})
        .add("contact_get_sim_used_status", get_sim_used_status, sim, In{}, Out{"sim_used_status", "error_code"})
        .add("contact_get_sim_aas_records", get_sim_aas_records, sim, In{}, Out{"all_sim_aas_records", "count", "error_code"})
        .add("contact_update_all_aas_records", update_all_aas_records, sim, In{"all_sim_aas_records", "count"},
             Out{"error_code"});
}

} // namespace contact_engine
