// The SIM records' layout proved at compile time (the static_asserts of
// sim-record-layout.h) and their offsets read back at run time; built for the
// host and syntax-checked for 32-bit ARM.
#include <cstdio>
#include <cstring>

#include "sim-record-layout.h"

int main()
{
    std::uint8_t wire[sim_wire::aas::kSize];
    sim_aas_record_t record{7, "mobile 2"};
    sim_layout::write_aas(record, wire);
    sim_aas_record_t back{};
    sim_layout::read_aas(wire, back);
    if (back.index != 7 || std::strcmp(back.text, "mobile 2") != 0 || wire[0] != 7 || wire[1] != 0) {
        std::puts("AAS record does not survive its byte-array form");
        return 1;
    }
    return 0;
}
