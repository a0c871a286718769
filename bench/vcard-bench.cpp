// The service's vCard reader and writer alone, without bus or database:
// cards per second over the same 10 000 generated cards (fixed seed) that
// the bulk-import benchmark uses, or over the file CONTACT_BENCH_VCARDS names.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/service-error.h"
#include "vcard/vcard-reader.h"
#include "vcard-sample-cards.h"
#include "vcard/vcard-writer.h"

namespace {

using namespace contact_engine;

const std::string &address_book()
{
    static const std::string text = [] {
        if (const char *path = std::getenv("CONTACT_BENCH_VCARDS")) {
            std::ifstream file(path, std::ios::binary);
            std::ostringstream content;
            content << file.rdbuf();
            return content.str();
        }
        return vcard_sample::to_vcard30(vcard_sample::generate(10000));
    }();
    return text;
}

// Text to contact records, card by card, as an import reads its file.
void VCardReadContacts(benchmark::State &state)
{
    const std::string &text = address_book();
    std::int64_t cards = 0;
    for (auto _ : state) {
        VCardReader reader = VCardReader::from_text(text);
        while (true) {
            try {
                std::optional<ImportedContact> contact = reader.next_contact();
                if (!contact)
                    break;
                benchmark::DoNotOptimize(contact->record.bytes().data());
            } catch (const ServiceError &) {
                // A malformed card of a real address book is counted and skipped.
            }
            ++cards;
        }
    }
    state.SetItemsProcessed(cards);
    state.counters["cards/s"] = benchmark::Counter(double(cards), benchmark::Counter::kIsRate);
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(text.size()));
}
BENCHMARK(VCardReadContacts)->Unit(benchmark::kMillisecond);

// Contact records to vCard 3.0, as an export writes its file.
void VCardWriteContacts(benchmark::State &state)
{
    std::vector<Record> records;
    VCardReader reader = VCardReader::from_text(address_book());
    while (true) {
        try {
            std::optional<ImportedContact> contact = reader.next_contact();
            if (!contact)
                break;
            records.push_back(std::move(contact->record));
        } catch (const ServiceError &) {
        }
    }
    std::int64_t cards = 0;
    for (auto _ : state) {
        std::string out;
        for (const Record &record : records)
            append_vcard(out, record, VCardVersion::V30);
        benchmark::DoNotOptimize(out.data());
        cards += std::int64_t(records.size());
    }
    state.SetItemsProcessed(cards);
    state.counters["cards/s"] = benchmark::Counter(double(cards), benchmark::Counter::kIsRate);
}
BENCHMARK(VCardWriteContacts)->Unit(benchmark::kMillisecond);

} // namespace
