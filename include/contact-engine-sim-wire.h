// contact-engine-sim-wire.h - the SIM records' byte-array forms, as tables.
//
// sim_status_t (140 bytes), sim_used_status_t (52) and sim_aas_record_t (28)
// travel as 32-bit little-endian records.  The service writes them and the
// library reads them through these offsets, never by copying a host struct.
// C++ only (library and service internals, tests).
#pragma once

#include <cstddef>

namespace sim_wire {

inline constexpr std::size_t kIccidSize = 24;
inline constexpr std::size_t kAasTextSize = 24;
inline constexpr int kAasRecordsMax = 10;

namespace status {
inline constexpr std::size_t kSize = 140;
inline constexpr std::size_t is_present = 0;
inline constexpr std::size_t is_pin_locked = 4;
inline constexpr std::size_t is_enabled = 8;
inline constexpr std::size_t card_format = 12;
inline constexpr std::size_t is_als_supported = 16;
inline constexpr std::size_t active_line = 20;
inline constexpr std::size_t load_state = 24;
inline constexpr std::size_t load_percent = 28;
inline constexpr std::size_t is_open = 32;
inline constexpr std::size_t iccid = 36;
inline constexpr std::size_t adn_capacity = 60;
inline constexpr std::size_t adn_used = 64;
inline constexpr std::size_t fdn_capacity = 68;
inline constexpr std::size_t fdn_used = 72;
inline constexpr std::size_t sdn_capacity = 76;
inline constexpr std::size_t sdn_used = 80;
inline constexpr std::size_t name_max_length = 84;
inline constexpr std::size_t number_max_length = 88;
inline constexpr std::size_t aas_count = 92;
inline constexpr std::size_t reserved = 96;
inline constexpr std::size_t kReservedSize = 44;
} // namespace status

namespace used {
inline constexpr std::size_t kSize = 52;
inline constexpr std::size_t adn_total = 0;
inline constexpr std::size_t adn_used = 4;
inline constexpr std::size_t fdn_total = 8;
inline constexpr std::size_t fdn_used = 12;
inline constexpr std::size_t sdn_total = 16;
inline constexpr std::size_t sdn_used = 20;
inline constexpr std::size_t aas_total = 24;
inline constexpr std::size_t aas_used = 28;
inline constexpr std::size_t name_max_length = 32;
inline constexpr std::size_t number_max_length = 36;
inline constexpr std::size_t first_free_adn = 40;
inline constexpr std::size_t reserved = 44;
inline constexpr std::size_t kReservedSize = 8;
} // namespace used

namespace aas {
inline constexpr std::size_t kSize = 28;
inline constexpr std::size_t index = 0;
inline constexpr std::size_t text = 4;
} // namespace aas

} // namespace sim_wire
