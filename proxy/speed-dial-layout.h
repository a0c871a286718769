// speed_dial_t against its wire offsets.  The record holds only 4-byte ints,
// so its native layout is the wire layout on every target with a 4-byte
// int; these asserts prove it wherever the library is built, and the tests
// compile this header with the 32-bit ARM compiler too.
#pragma once

#include <cstddef>

#include "contact-engine-speed-dial-wire.h"
#include "contact-engine.h"

static_assert(sizeof(int) == 4);
static_assert(sizeof(speed_dial_t) == speed_dial_wire::kSize);
static_assert(offsetof(speed_dial_t, index) == speed_dial_wire::offset::index);
static_assert(offsetof(speed_dial_t, storage_type) == speed_dial_wire::offset::storage_type);
static_assert(offsetof(speed_dial_t, contact_index) == speed_dial_wire::offset::contact_index);
static_assert(offsetof(speed_dial_t, phone_position) == speed_dial_wire::offset::phone_position);
