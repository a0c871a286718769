// The SIM phonebook: the card's state, the active call line, the phonebook's
// lifecycle, its status records and its AAS records.  One remote call each;
// the service decides when the SIM may be opened, read or closed.
#include <vector>

#include "contact-engine-frame.h"
#include "sim-record-layout.h"

using contact_frame::ByteArray;
using contact_frame::ins;
using contact_frame::Operation;
using contact_frame::outs;
using contact_frame::ReplyBool;

namespace {

constexpr const char *kNotConnected = "\n[DodazorEdidud]%s %d: The dbus connection hasn't been connected.\n";

void store_bool(bool *target, const ReplyBool &reply)
{
    *target = reply.value ? 1 : 0;
}

} // namespace

extern "C" {

// ---- SIM card state and lifecycle ------------------------------------------

CONTACT_API int contact_is_sim_present(bool *is_present, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected(kNotConnected)
        .not_null(is_present, "\n[DodazorEdidud]%s %d: contact_is_sim_present: The is_present is NULL.\n")
        .without_error_mapping()
        .call("contact_is_sim_present",
              "\n[DodazorEdidud]%s %d: contact_is_sim_present: org_yora_contact_contact_is_sim_present() failed(%s).\n",
              ins(), outs(reply, error_code))
        .on_success([&] { store_bool(is_present, reply); })
        .result();
}

CONTACT_API int contact_is_sim_initialized(bool *initialized, int *percent, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected(kNotConnected)
        .not_null(initialized, "\n[DodazorEdidud]%s %d: contact_is_sim_initialized: The initialized is NULL.\n")
        .not_null(percent, "\n[DodazorEdidud]%s %d: contact_is_sim_initialized: The percent is NULL.\n")
        .call("contact_is_sim_initialized",
              "\n[DodazorEdidud]%s %d: contact_is_sim_initialized: org_yora_contact_contact_is_sim_initialized() "
              "failed(%s).\n",
              ins(), outs(reply, percent, error_code))
        .trace("\n[DodazorEdidud]%s: is_initialized = %d\n", int(reply.value))
        .on_success([&] { store_bool(initialized, reply); })
        .result();
}

CONTACT_API int contact_is_sim_enabled(int sim_param, bool *is_enabled, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ReplyBool reply;
    return op.connected(kNotConnected)
        .not_null(is_enabled, "\n[DodazorEdidud]%s %d: contact_is_sim_enabled: The is_enabled is NULL.\n")
        .without_error_mapping()
        .call("contact_is_sim_enabled",
              "\n[DodazorEdidud]%s %d: contact_is_sim_enabled: org_yora_contact_contact_is_sim_enabled() failed(%s).\n",
              ins(sim_param), outs(reply, error_code))
        .on_success([&] { store_bool(is_enabled, reply); })
        .result();
}

CONTACT_API int contact_get_sim_card_format(int *sim_card_format, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .not_null(sim_card_format,
                  "\n[DodazorEdidud]%s %d: contact_get_sim_card_format: The sim_card_format is NULL.\n")
        .call("contact_get_sim_card_format",
              "\n[DodazorEdidud]%s %d: contact_get_sim_card_format: org_yora_contact_contact_get_sim_card_format() "
              "failed(%s).\n",
              ins(), outs(sim_card_format, error_code))
        .result();
}

// The answer pointer is not a documented check of these two; a NULL one is
// still refused (after the connection test) rather than handed to the bus
// library to write through.
CONTACT_API int contact_is_sim_iccid_check(int *iccid_check_result, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .not_null(iccid_check_result,
                  "\n[DodazorEdidud]%s %d: contact_is_sim_iccid_check: The iccid_check_result is NULL.\n")
        .call("contact_is_sim_iccid_check",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_sim_iccid_check() failed(%s).\n", ins(),
              outs(iccid_check_result, error_code))
        .result();
}

CONTACT_API int contact_is_als_set_check(int *is_als_set, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .not_null(is_als_set, "\n[DodazorEdidud]%s %d: contact_is_als_set_check: The is_als_set is NULL.\n")
        .call("contact_is_als_set_check",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_is_als_set_check() failed(%s).\n", ins(),
              outs(is_als_set, error_code))
        .result();
}

CONTACT_API int contact_call_set_active_line(int active_line, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .in_range(active_line >= CONTACT_CALL_ACTIVE_LINE1 && active_line <= CONTACT_CALL_ACTIVE_LINE2,
                  "\n[DodazorEdidud]%s %d: active_line >= CONTACT_CALL_ACTIVE_LINE1 && active_line <= "
                  "CONTACT_CALL_ACTIVE_LINE2.")
        .call("contact_call_set_active_line",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_call_set_active_line() failed(%s).\n",
              ins(active_line), outs())
        .result();
}

CONTACT_API int contact_call_get_active_line(int *ptr_active_line, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .not_null(ptr_active_line, "\n[DodazorEdidud]%s %d: The ptr_active_line is NULL.\n")
        .call("contact_call_get_active_line",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_call_get_active_line() failed(%s).\n", ins(),
              outs(ptr_active_line))
        .result();
}

CONTACT_API int contact_initialize_sim(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .call("contact_initialize_sim",
              "\n[DodazorEdidud]%s %d: contact_initialize_sim: org_yora_contact_contact_initialize_sim() failed(%s).\n",
              ins(), outs(error_code))
        .result();
}

CONTACT_API int contact_open_sim(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.trace("\n[DodazorEdidud]%s:  begin.\n")
        .connected(kNotConnected)
        .call("contact_open_sim",
              "\n[DodazorEdidud]%s %d: contact_open_sim: org_yora_contact_contact_open_sim() failed(%s).\n", ins(),
              outs(error_code))
        .trace("\n[DodazorEdidud]%s:  end.\n")
        .result();
}

CONTACT_API int contact_close_sim(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    return op.connected(kNotConnected)
        .call("contact_close_sim",
              "\n[DodazorEdidud]%s %d: contact_close_sim: org_yora_contact_contact_close_sim() failed(%s).\n", ins(),
              outs(error_code))
        .result();
}

CONTACT_API int contact_get_sim_status(sim_status_t *sim_status, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected(kNotConnected)
        .not_null(sim_status, "\n[DodazorEdidud]%s %d: The parameter sim_status is NULL.\n")
        .call("contact_get_sim_status",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_sim_status() failed(%s).\n", ins(),
              outs(reply, error_code))
        .on_success([&](Operation &self) {
            self.records(reply, 1, sim_wire::status::kSize,
                         "\n[DodazorEdidud]%s %d: contact_get_sim_status: The reply of %u bytes is shorter than %d "
                         "SIM status record.\n",
                         [&](int, const guint8 *record) { sim_layout::read_status(record, *sim_status); });
        })
        .result();
}

// ---- SIM records -----------------------------------------------------------

CONTACT_API int contact_get_sim_adn(int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    op.trace("\n[DodazorEdidud]%s:  begin.\n").connected(kNotConnected);
    if (!op.result())
        return 0;
    const int code_before = *error_code;
    op.call("contact_get_sim_adn", "\n[DodazorEdidud]%s %d: contact_get_sim_adn: contact_get_sim_adn() failed(%s).\n",
            ins(), outs(error_code));
    if (!op.result()) {
        // The call's failure is already logged and its code stored.
        contact_frame::log_trace(__func__, "\n[DodazorEdidud]%s: *error_code = %d, proxy_error_code = %d\n",
                                 code_before, *error_code);
        return 0;
    }
    return op.trace("\n[DodazorEdidud]%s:  end.\n").result();
}

CONTACT_API int contact_get_sim_used_status(sim_used_status_t *sim_used_status, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    return op.connected(kNotConnected)
        .not_null(sim_used_status, "\n[DodazorEdidud]%s %d: The parameter sim_used_status is NULL.\n")
        .call("contact_get_sim_used_status",
              "\n[DodazorEdidud]%s %d: org_yora_contact_contact_get_sim_used_status() failed(%s).\n", ins(),
              outs(reply, error_code))
        .trace("\n[DodazorEdidud]%s: sim_used_status = %p\n", static_cast<void *>(sim_used_status))
        .on_success([&](Operation &self) {
            self.records(reply, 1, sim_wire::used::kSize,
                         "\n[DodazorEdidud]%s %d: contact_get_sim_used_status: The reply of %u bytes is shorter than "
                         "%d SIM used-status record.\n",
                         [&](int, const guint8 *record) { sim_layout::read_used_status(record, *sim_used_status); });
        })
        .result();
}

CONTACT_API int contact_get_sim_aas_records(sim_aas_record_t *all_sim_aas_records, int *count, int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    ByteArray reply;
    int received = 0;
    int *received_count = &received;
    return op
        .not_null(all_sim_aas_records,
                  "\n[DodazorEdidud]%s %d: contact_get_sim_aas_records: The parameter all_sim_aas_records is NULL.\n")
        .not_null(count, "\n[DodazorEdidud]%s %d: contact_get_sim_aas_records: The parameter count is NULL.\n")
        .connected(kNotConnected)
        .call("contact_get_sim_aas_records",
              "\n[DodazorEdidud]%s %d: contact_get_sim_aas_records: org_yora_contact_contact_get_sim_aas_records() "
              "failed(%s).\n",
              ins(), outs(reply, received_count, error_code))
        .trace("\n[DodazorEdidud]%s: count1 = %d\n", received)
        .on_success([&](Operation &self) {
            // The caller's array has room for CONTACT_SIM_PHONE_TYPE_COUNT_MAX
            // records; any beyond are dropped.
            const int delivered = received > CONTACT_SIM_PHONE_TYPE_COUNT_MAX ? CONTACT_SIM_PHONE_TYPE_COUNT_MAX
                                                                               : received;
            // Decoded aside first, so a short reply leaves the caller's array
            // and count as they were.
            std::vector<sim_aas_record_t> decoded(delivered > 0 ? std::size_t(delivered) : 0);
            self.records(reply, delivered, sim_wire::aas::kSize,
                         "\n[DodazorEdidud]%s %d: contact_get_sim_aas_records: The reply of %u bytes is shorter than "
                         "%d AAS records.\n",
                         [&](int i, const guint8 *record) { sim_layout::read_aas(record, decoded[std::size_t(i)]); });
            if (!self.result())
                return;
            for (std::size_t i = 0; i < decoded.size(); ++i)
                all_sim_aas_records[i] = decoded[i];
            *count = delivered;
        })
        .result();
}

CONTACT_API int contact_update_all_aas_records(const sim_aas_record_t *all_sim_aas_records, int count,
                                               int *error_code)
{
    CONTACT_REQUIRE_ERROR_CODE(error_code);
    Operation op(__func__, error_code);
    op.not_null(all_sim_aas_records,
                "\n[DodazorEdidud]%s %d: contact_update_all_aas_records: The parameter all_sim_aas_records is "
                "NULL.\n")
        .connected(kNotConnected)
        .in_range(count > 0 && count <= CONTACT_SIM_PHONE_TYPE_COUNT_MAX,
                  "\n[DodazorEdidud]%s %d: count > 0 && count <= CONTACT_SIM_PHONE_TYPE_COUNT_MAX.\n");
    if (!op.result())
        return 0;
    ByteArray packed(contact_frame::new_byte_array());
    std::vector<std::uint8_t> wire(std::size_t(count) * sim_wire::aas::kSize);
    for (int i = 0; i < count; ++i)
        sim_layout::write_aas(all_sim_aas_records[i], wire.data() + std::size_t(i) * sim_wire::aas::kSize);
    g_array_append_vals(packed.get(), wire.data(), guint(wire.size()));
    return op.without_error_mapping()
        .call("contact_update_all_aas_records",
              "\n[DodazorEdidud]%s %d: contact_update_all_aas_records: "
              "org_yora_contact_contact_update_all_aas_records() failed(%s).\n",
              ins(packed.get(), count), outs(error_code))
        .result();
}

} // extern "C"
