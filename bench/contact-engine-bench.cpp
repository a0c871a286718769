// Costs of the library and the service: one round trip with nothing in it,
// a full contact written and read, a field read, and the packer alone.
// Needs a running service on DBUS_SYSTEM_BUS_ADDRESS (`./run bench`).
#include <benchmark/benchmark.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "contact-engine-bus.h"

#include "contact-engine-internal.h"
#include "contact-wire.h"
#include "service-process.h"
#include "sample-contact.h"

namespace {

using contact_test::ReceivedContact;
using contact_test::SampleContact;

class Connected : public benchmark::Fixture {
public:
    void SetUp(const benchmark::State &) override { contact_initialize(nullptr); }
    void TearDown(const benchmark::State &) override
    {
        int error_code = 0;
        contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code);
        contact_finalize(nullptr);
    }
};

// The floor: one method call that touches one row count.
BENCHMARK_F(Connected, CountRoundTrip)(benchmark::State &state)
{
    int count = 0;
    int error_code = 0;
    for (auto _ : state)
        if (!contact_get_contact_count(CONTACT_STORAGE_PHONE, &count, &error_code))
            state.SkipWithError("contact_get_contact_count failed");
}

BENCHMARK_F(Connected, AddFullContact)(benchmark::State &state)
{
    SampleContact contact("Bench Mark");
    contact.everything();
    int index = 0;
    int error_code = 0;
    for (auto _ : state) {
        if (!contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code))
            state.SkipWithError("contact_add_contact failed");
        if (index >= 2000) {
            state.PauseTiming();
            contact_delete_all_contacts(CONTACT_STORAGE_PHONE, &error_code);
            state.ResumeTiming();
        }
    }
}

// Range 0: a contact of the fixed part alone; 1: every section and the id block.
BENCHMARK_DEFINE_F(Connected, GetContact)(benchmark::State &state)
{
    SampleContact contact("Bench Mark");
    if (state.range(0) != 0)
        contact.everything();
    int index = 0;
    int error_code = 0;
    contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code);
    for (auto _ : state) {
        ReceivedContact got;
        if (!contact_get_contact(CONTACT_STORAGE_PHONE, index, &got.record, &error_code))
            state.SkipWithError("contact_get_contact failed");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(contact_test::wire_form(contact.record).size()));
}
BENCHMARK_REGISTER_F(Connected, GetContact)->Arg(0)->Arg(1);

// The service's own CPU time spent per get of a full contact: serialising
// the reply is most of it.
BENCHMARK_DEFINE_F(Connected, ServiceCpuPerFullGet)(benchmark::State &state)
{
    SampleContact contact("Bench Mark");
    contact.everything();
    int index = 0;
    int error_code = 0;
    contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code);
    const pid_t pid = bench::service_pid();
    const double before = bench::cpu_seconds(pid);
    for (auto _ : state) {
        ReceivedContact got;
        if (!contact_get_contact(CONTACT_STORAGE_PHONE, index, &got.record, &error_code))
            state.SkipWithError("contact_get_contact failed");
    }
    const double spent = bench::cpu_seconds(pid) - before;
    state.counters["service_cpu_us_per_get"] = spent * 1e6 / double(state.iterations());
    state.counters["record_bytes"] = double(contact_test::wire_form(contact.record).size());
}
BENCHMARK_REGISTER_F(Connected, ServiceCpuPerFullGet)->Iterations(5000);

BENCHMARK_F(Connected, ReadOneField)(benchmark::State &state)
{
    SampleContact contact("Bench Mark");
    int index = 0;
    int error_code = 0;
    contact_add_contact(CONTACT_STORAGE_PHONE, &contact.record, &index, &error_code);
    char value[CONTACT_FIELD_VALUE_MAX];
    for (auto _ : state)
        if (!contact_get_field_value(CONTACT_STORAGE_PHONE, index, CONTACT_FIELD_DISPLAY_NAME, value, &error_code))
            state.SkipWithError("contact_get_field_value failed");
}

// The packer on its own, without the bus.
void PackFullContact(benchmark::State &state)
{
    SampleContact contact("Bench Mark");
    contact.everything();
    for (auto _ : state) {
        GArray *array = g_array_new(FALSE, FALSE, 1);
        contact_serialize(array, &contact.record);
        benchmark::DoNotOptimize(array->data);
        g_array_free(array, TRUE);
    }
}
BENCHMARK(PackFullContact);

} // namespace

BENCHMARK_MAIN();
