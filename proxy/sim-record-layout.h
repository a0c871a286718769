// The SIM records read from and written to their byte-array forms, field by
// field through the offsets of contact-engine-sim-wire.h.  The records hold
// only int and char fields, so the native struct is the wire layout on every
// target, 32-bit ARM included; the static_asserts below prove it.  No GLib
// here, so the same header is cross-checked for ARM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "contact-engine-sim-wire.h"
#include "contact-engine-wire.h"
#include "contact-engine.h"

namespace sim_layout {

using contact_wire::read_i32;
using contact_wire::write_i32;

inline void read_status(const std::uint8_t *wire, sim_status_t &record)
{
    namespace at = sim_wire::status;
    sim_status_t decoded{};
    decoded.is_present = read_i32(wire, at::is_present);
    decoded.is_pin_locked = read_i32(wire, at::is_pin_locked);
    decoded.is_enabled = read_i32(wire, at::is_enabled);
    decoded.card_format = read_i32(wire, at::card_format);
    decoded.is_als_supported = read_i32(wire, at::is_als_supported);
    decoded.active_line = read_i32(wire, at::active_line);
    decoded.load_state = read_i32(wire, at::load_state);
    decoded.load_percent = read_i32(wire, at::load_percent);
    decoded.is_open = read_i32(wire, at::is_open);
    std::memcpy(decoded.iccid, wire + at::iccid, sim_wire::kIccidSize);
    decoded.adn_capacity = read_i32(wire, at::adn_capacity);
    decoded.adn_used = read_i32(wire, at::adn_used);
    decoded.fdn_capacity = read_i32(wire, at::fdn_capacity);
    decoded.fdn_used = read_i32(wire, at::fdn_used);
    decoded.sdn_capacity = read_i32(wire, at::sdn_capacity);
    decoded.sdn_used = read_i32(wire, at::sdn_used);
    decoded.name_max_length = read_i32(wire, at::name_max_length);
    decoded.number_max_length = read_i32(wire, at::number_max_length);
    decoded.aas_count = read_i32(wire, at::aas_count);
    std::memcpy(decoded.reserved, wire + at::reserved, at::kReservedSize);
    record = decoded;
}

inline void read_used_status(const std::uint8_t *wire, sim_used_status_t &record)
{
    namespace at = sim_wire::used;
    sim_used_status_t decoded{};
    decoded.adn_total = read_i32(wire, at::adn_total);
    decoded.adn_used = read_i32(wire, at::adn_used);
    decoded.fdn_total = read_i32(wire, at::fdn_total);
    decoded.fdn_used = read_i32(wire, at::fdn_used);
    decoded.sdn_total = read_i32(wire, at::sdn_total);
    decoded.sdn_used = read_i32(wire, at::sdn_used);
    decoded.aas_total = read_i32(wire, at::aas_total);
    decoded.aas_used = read_i32(wire, at::aas_used);
    decoded.name_max_length = read_i32(wire, at::name_max_length);
    decoded.number_max_length = read_i32(wire, at::number_max_length);
    decoded.first_free_adn = read_i32(wire, at::first_free_adn);
    decoded.reserved[0] = read_i32(wire, at::reserved);
    decoded.reserved[1] = read_i32(wire, at::reserved + 4);
    record = decoded;
}

inline void read_aas(const std::uint8_t *wire, sim_aas_record_t &record)
{
    record.index = read_i32(wire, sim_wire::aas::index);
    std::memcpy(record.text, wire + sim_wire::aas::text, sim_wire::kAasTextSize);
}

// Writes one AAS record's sim_wire::aas::kSize bytes at `wire`.
inline void write_aas(const sim_aas_record_t &record, std::uint8_t *wire)
{
    write_i32(wire, sim_wire::aas::index, record.index);
    std::memcpy(wire + sim_wire::aas::text, record.text, sim_wire::kAasTextSize);
}

static_assert(sizeof(sim_status_t) == sim_wire::status::kSize);
static_assert(offsetof(sim_status_t, is_present) == sim_wire::status::is_present);
static_assert(offsetof(sim_status_t, is_pin_locked) == sim_wire::status::is_pin_locked);
static_assert(offsetof(sim_status_t, is_enabled) == sim_wire::status::is_enabled);
static_assert(offsetof(sim_status_t, card_format) == sim_wire::status::card_format);
static_assert(offsetof(sim_status_t, is_als_supported) == sim_wire::status::is_als_supported);
static_assert(offsetof(sim_status_t, active_line) == sim_wire::status::active_line);
static_assert(offsetof(sim_status_t, load_state) == sim_wire::status::load_state);
static_assert(offsetof(sim_status_t, load_percent) == sim_wire::status::load_percent);
static_assert(offsetof(sim_status_t, is_open) == sim_wire::status::is_open);
static_assert(offsetof(sim_status_t, iccid) == sim_wire::status::iccid);
static_assert(sizeof(sim_status_t::iccid) == sim_wire::kIccidSize);
static_assert(offsetof(sim_status_t, adn_capacity) == sim_wire::status::adn_capacity);
static_assert(offsetof(sim_status_t, adn_used) == sim_wire::status::adn_used);
static_assert(offsetof(sim_status_t, fdn_capacity) == sim_wire::status::fdn_capacity);
static_assert(offsetof(sim_status_t, fdn_used) == sim_wire::status::fdn_used);
static_assert(offsetof(sim_status_t, sdn_capacity) == sim_wire::status::sdn_capacity);
static_assert(offsetof(sim_status_t, sdn_used) == sim_wire::status::sdn_used);
static_assert(offsetof(sim_status_t, name_max_length) == sim_wire::status::name_max_length);
static_assert(offsetof(sim_status_t, number_max_length) == sim_wire::status::number_max_length);
static_assert(offsetof(sim_status_t, aas_count) == sim_wire::status::aas_count);
static_assert(offsetof(sim_status_t, reserved) == sim_wire::status::reserved);
static_assert(sizeof(sim_status_t::reserved) == sim_wire::status::kReservedSize);

static_assert(sizeof(sim_used_status_t) == sim_wire::used::kSize);
static_assert(offsetof(sim_used_status_t, adn_total) == sim_wire::used::adn_total);
static_assert(offsetof(sim_used_status_t, adn_used) == sim_wire::used::adn_used);
static_assert(offsetof(sim_used_status_t, fdn_total) == sim_wire::used::fdn_total);
static_assert(offsetof(sim_used_status_t, fdn_used) == sim_wire::used::fdn_used);
static_assert(offsetof(sim_used_status_t, sdn_total) == sim_wire::used::sdn_total);
static_assert(offsetof(sim_used_status_t, sdn_used) == sim_wire::used::sdn_used);
static_assert(offsetof(sim_used_status_t, aas_total) == sim_wire::used::aas_total);
static_assert(offsetof(sim_used_status_t, aas_used) == sim_wire::used::aas_used);
static_assert(offsetof(sim_used_status_t, name_max_length) == sim_wire::used::name_max_length);
static_assert(offsetof(sim_used_status_t, number_max_length) == sim_wire::used::number_max_length);
static_assert(offsetof(sim_used_status_t, first_free_adn) == sim_wire::used::first_free_adn);
static_assert(offsetof(sim_used_status_t, reserved) == sim_wire::used::reserved);
static_assert(sizeof(sim_used_status_t::reserved) == sim_wire::used::kReservedSize);

static_assert(sizeof(sim_aas_record_t) == sim_wire::aas::kSize);
static_assert(offsetof(sim_aas_record_t, index) == sim_wire::aas::index);
static_assert(offsetof(sim_aas_record_t, text) == sim_wire::aas::text);
static_assert(sizeof(sim_aas_record_t::text) == sim_wire::kAasTextSize);
static_assert(CONTACT_SIM_PHONE_TYPE_COUNT_MAX == sim_wire::kAasRecordsMax);
static_assert(CONTACT_SIM_ICCID_MAX == sim_wire::kIccidSize);
static_assert(CONTACT_SIM_AAS_TEXT_MAX == sim_wire::kAasTextSize);

} // namespace sim_layout
