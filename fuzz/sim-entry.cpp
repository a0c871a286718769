// The service's readers of what a client writes to the SIM card: a contact
// stored in a SIM storage becomes the card's entry (a name and one number
// within the card's lengths), and an AAS update is a count of 28-byte
// records.  The first byte chooses which; AAS takes a count next.
#include "contacts/contact-record.h"
#include "core/service-error.h"
#include "fuzz-input.h"
#include "sim/sim-store.h"

using namespace contact_engine;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const SimCard card = default_card();
    fuzz::Input input(data, size);
    try {
        if (input.byte() % 2 == 0) {
            const std::int32_t count = input.i32();
            const std::vector<SimAas> records = aas_records_of(Bytes(input.rest()), count, card.aas_capacity);
            fuzz::require(records.size() == std::size_t(count));
            for (const SimAas &record : records)
                fuzz::require(record.index >= 1 && record.index <= card.aas_capacity && record.text.size() < 24);
        } else {
            const Record record = Record::parse(Bytes(input.rest()));
            const SimEntry entry = entry_of(card, 1, record);
            fuzz::require(int(entry.name.size()) <= card.name_max_length);
        }
    } catch (const ServiceError &) {
    }
    return 0;
}
