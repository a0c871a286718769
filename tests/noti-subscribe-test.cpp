// The change-notification converters through the shared library, as an
// application calls them: each converter's update type, data and traces,
// every entry of the mapping tables (written out from the documented tables,
// not taken from the library's), and the refusal of lists that do not fit.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <glib.h>
#include <limits.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

using ::testing::Each;
using ::testing::IsEmpty;
using ConvertFn = int (*)(GArray *, int *, void *, int *);
constexpr int kUntouched = -99;       // what the caller's variables hold before a call
constexpr int kCallerErrorCode = 777; // what *error_code holds before a call

noti_property int_arg(int value, int type = CONTACT_NOTI_TYPE_INT)
{
    noti_property property;
    std::memset(&property, 0xa5, sizeof property); // bytes the converters must not read
    property.type = type;
    property.value.i = value;
    return property;
}

std::vector<noti_property> ints(const std::vector<int> &values, int type = CONTACT_NOTI_TYPE_INT)
{
    std::vector<noti_property> elements;
    for (int value : values)
        elements.push_back(int_arg(value, type));
    return elements;
}

// A GArray whose data is an allocation that ends exactly where its last
// element ends: a read past the count is a heap overflow under AddressSanitizer.
class Args {
public:
    explicit Args(const std::vector<noti_property> &elements)
        : Args(reinterpret_cast<const unsigned char *>(elements.data()), elements.size() * sizeof(noti_property),
               sizeof(noti_property))
    {
    }
    Args(const unsigned char *bytes, size_t size, guint element_size)
        : array_(g_array_new(FALSE, FALSE, element_size)), original_data_(array_->data)
    {
        if (size > 0)
            exact_ = static_cast<unsigned char *>(std::memcpy(std::malloc(size), bytes, size));
        array_->data = reinterpret_cast<gchar *>(exact_);
        array_->len = guint(size / element_size);
    }
    ~Args()
    {
        array_->data = original_data_;
        array_->len = 0;
        g_array_free(array_, TRUE);
        std::free(exact_);
    }
    Args(const Args &) = delete;
    Args &operator=(const Args &) = delete;
    GArray *get() const { return array_; }

private:
    GArray *array_;
    gchar *original_data_;
    unsigned char *exact_ = nullptr;
};

enum class Shape { Int = 1, Index = 2, SimError = 4 }; // the ints of the update data
using Row = std::vector<int>;                          // update type by operation code 0..3; -1: refused

struct Kind {
    const char *function;
    ConvertFn convert;
    int elements_read;
    bool type_i_required;
    Shape data;
    int update_type;          // the simple kinds
    std::vector<Row> table{}; // the table kinds: rows by storage type, or one row for any
};

#define KIND(kind) "contact_convert_" #kind "_noti_to_update_type_and_data", contact_convert_##kind##_noti_to_update_type_and_data

const std::vector<Kind> kSimple = {
    {KIND(new_storage_type), 1, true, Shape::Int, 0},           {KIND(view_storage_type), 1, true, Shape::Int, 1},
    {KIND(display_order), 1, true, Shape::Int, 2},              {KIND(sort_type), 1, true, Shape::Int, 3},
    {KIND(activated_own_number), 1, true, Shape::Int, 4},       {KIND(fdn_status_changed), 1, true, Shape::Int, 52},
    {KIND(delete_some_contacts), 1, false, Shape::Int, 44},     {KIND(copy_some_contacts), 1, false, Shape::Int, 45},
    {KIND(move_some_contacts), 1, false, Shape::Int, 46},       {KIND(delete_some_groups), 1, false, Shape::Int, 47},
    {KIND(delete_all_group_members), 2, false, Shape::Index, 39}, {KIND(delete_some_group_members), 2, false, Shape::Index, 40},
    {KIND(add_some_group_members), 2, false, Shape::Index, 41}, {KIND(add_group_member), 2, false, Shape::Index, 42},
    {KIND(delete_group_member), 2, false, Shape::Index, 43},    {KIND(sim_error), 4, false, Shape::SimError, 38},
};

// Rows of the main and group tables by storage type; the others take any.
const std::vector<Kind> kTables = {
    {KIND(contact_main_table_modified), 3, true, Shape::Index, 0,
     {{5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}, {17, 18, 19, 20}, {21, 22, 23, 24}, {48, 49, 50, 50},
      {5, 6, 7, 8}, {48, 49, 50, 50}}},
    {KIND(contact_table_modified), 3, true, Shape::Index, 0, {{-1, 25, -1, -1}}},
    {KIND(group_table_modified), 3, true, Shape::Index, 0, {{26, 27, 28, 29}, {30, 31, 32, 33}}},
    {KIND(speed_dial_table_modified), 2, true, Shape::Int, 0, {{34, 35, 36, -1}}},
    {KIND(my_contact_table_modified), 2, true, Shape::Int, 0, {{48, 49, 50, -1}}},
};

// One call with the caller's variables around it; the update data in a
// larger buffer, so that a write beyond the record is seen too.
struct Conversion {
    int result = -1;
    int update_type = kUntouched;
    int error_code = kCallerErrorCode;
    int data[8];
    LogCapture log;

    Conversion(const Kind &kind, const Args &args)
    {
        std::fill(std::begin(data), std::end(data), kUntouched);
        result = kind.convert(args.get(), &update_type, data, &error_code);
    }
    Conversion(const Kind &kind, const std::vector<noti_property> &elements) : Conversion(kind, Args(elements)) {}
    std::vector<int> written(Shape shape) const { return {data, data + int(shape)}; }
    std::vector<int> beyond(Shape shape) const { return {data + int(shape), std::end(data)}; }
    std::vector<std::string> texts() const
    {
        std::vector<std::string> result;
        for (const LogEntry &entry : log.entries()) {
            EXPECT_EQ(entry.module, kModule);
            result.push_back(entry.text);
        }
        return result;
    }
};

std::string text(const char *format, const Kind &kind, int value)
{
    char buffer[512];
    g_snprintf(buffer, sizeof buffer, format, kind.function, value);
    return buffer;
}

// A refused call: result 0, code 3, one error line, nothing else written.
void expect_refused(const Conversion &call)
{
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.error_code, CONTACT_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.update_type, kUntouched);
    EXPECT_THAT(call.data, Each(kUntouched));
    EXPECT_THAT(call.log.traces(), IsEmpty());
    ASSERT_EQ(call.log.errors().size(), 1u);
    EXPECT_EQ(call.log.errors()[0].format.rfind("\n[DodazorEdidud]%s %d: ", 0), 0u);
}

// A valid list of each kind: operation code 1 (in every table), storage 1, index 9.
std::vector<noti_property> valid_args(const Kind &kind)
{
    if (!kind.table.empty())
        return kind.elements_read == 3 ? ints({1, 1, 9}) : ints({1, 9});
    std::vector<noti_property> elements = ints({11, 22, 33, 44});
    elements.resize(std::size_t(kind.elements_read));
    return elements;
}

// Each element copied into its field (index first in both records), nothing
// beyond; 'i' kinds trace the value stored, the others each element by
// position.  The others copy the value bytes whatever the type says.
TEST(SimpleConverter, StoresItsUpdateTypeAndTracesEachElementCopied)
{
    const char *by_position[] = {"\n[DodazorEdidud]%s: noti_args 0 storage_type= %d\n\n",
                                 "\n[DodazorEdidud]%s: noti_args 1 index= %d\n\n",
                                 "\n[DodazorEdidud]%s: noti_args 2 access_mode= %d\n\n",
                                 "\n[DodazorEdidud]%s: noti_args 3 sim_error_value= %d\n\n"};
    const std::vector<int> values = {-7, 0, 123456, INT_MIN};
    for (const Kind &kind : kSimple) {
        SCOPED_TRACE(kind.function);
        const std::vector<int> used(values.begin(), values.begin() + kind.elements_read);
        const Conversion call(kind, ints(used));
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.update_type, kind.update_type);
        const std::vector<int> expected_data = kind.data == Shape::Int     ? std::vector<int>{values[0]}
                                               : kind.data == Shape::Index ? std::vector<int>{values[1], values[0]}
                                                                           : std::vector<int>{values[1], values[0], values[2], values[3]};
        EXPECT_EQ(call.written(kind.data), expected_data);
        EXPECT_THAT(call.beyond(kind.data), Each(kUntouched));
        EXPECT_EQ(call.error_code, kCallerErrorCode) << "a converter never writes error_code on valid input";
        std::vector<std::string> traces;
        if (kind.type_i_required)
            traces = {text("\n[DodazorEdidud]%s: *update_data = %d\n", kind, values[0])};
        else
            for (int position = 0; position < kind.elements_read; ++position)
                traces.push_back(text(by_position[position], kind, values[position]));
        EXPECT_EQ(call.texts(), traces) << "traces only, no error line";

        const Conversion typed_s(kind, ints(used, 's'));
        if (kind.type_i_required) {
            expect_refused(typed_s);
        } else {
            EXPECT_EQ(typed_s.result, 1);
            EXPECT_EQ(typed_s.written(kind.data), call.written(kind.data));
        }
    }
}

// Every operation code and storage type, in and around each table: the
// documented update type with the row located (storage type copied as
// received), or a refusal.
TEST(TableConverter, EveryEntryGivesItsTypeAndEverythingOutsideIsRefused)
{
    const std::vector<int> around = {INT_MIN, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 100, INT_MAX};
    int index = 1000; // a new one for each call
    for (const Kind &kind : kTables)
        for (int operation : around)
            for (int storage : kind.elements_read == 3 ? around : std::vector<int>{0}) {
                SCOPED_TRACE(::testing::Message() << kind.function << " operation " << operation << " storage " << storage);
                ++index;
                const Conversion call(kind, kind.elements_read == 3 ? ints({operation, storage, index})
                                                                    : ints({operation, index}));
                const unsigned row = kind.table.size() == 1 ? 0u : unsigned(storage);
                const int expected = row < kind.table.size() && unsigned(operation) < 4u ? kind.table[row][operation] : -1;
                if (expected < 0) {
                    expect_refused(call);
                    continue;
                }
                EXPECT_EQ(call.result, 1);
                EXPECT_EQ(call.update_type, expected);
                EXPECT_EQ(call.error_code, kCallerErrorCode);
                EXPECT_THAT(call.beyond(kind.data), Each(kUntouched));
                const std::string index_trace = text("\n[DodazorEdidud]%s: index = %d\n", kind, index);
                if (kind.data == Shape::Index) {
                    EXPECT_EQ(call.written(kind.data), (std::vector<int>{index, storage}));
                    EXPECT_EQ(call.texts(), (std::vector<std::string>{
                                                text("\n[DodazorEdidud]%s: storage_type = %d\n", kind, storage),
                                                index_trace}));
                } else {
                    EXPECT_EQ(call.written(kind.data), std::vector<int>{index}) << "the code is not copied";
                    EXPECT_EQ(call.texts(), std::vector<std::string>{index_trace});
                }
            }
}

// Fewer elements than read are refused, more are ignored; a table kind
// refuses any element it reads that is not 'i'.
TEST(EveryConverter, RefusesShortOrMistypedListsAndIgnoresMore)
{
    std::vector<Kind> kinds = kSimple;
    kinds.insert(kinds.end(), kTables.begin(), kTables.end());
    for (const Kind &kind : kinds) {
        SCOPED_TRACE(kind.function);
        for (int count = 0; count < kind.elements_read; ++count) {
            std::vector<noti_property> elements = valid_args(kind);
            elements.resize(std::size_t(count));
            expect_refused(Conversion(kind, elements));
        }
        if (!kind.table.empty())
            for (int position = 0; position < kind.elements_read; ++position) {
                std::vector<noti_property> elements = valid_args(kind);
                elements[std::size_t(position)].type = 's';
                expect_refused(Conversion(kind, elements));
            }
        std::vector<noti_property> elements = valid_args(kind);
        const Conversion exact(kind, elements);
        ASSERT_EQ(exact.result, 1);
        elements.push_back(int_arg(-1, 's'));
        const Conversion longer(kind, elements);
        EXPECT_EQ(longer.result, 1);
        EXPECT_EQ(longer.update_type, exact.update_type);
        EXPECT_THAT(longer.data, ::testing::ElementsAreArray(exact.data));
        EXPECT_EQ(longer.texts(), exact.texts());
    }
}

// Whole 16-byte elements are counted in the array's bytes, so an array of
// another element size cannot lead a converter past its end.
TEST(EveryConverter, CountsWholeElementsInTheArraysBytes)
{
    const std::vector<noti_property> elements = ints({1, 17});
    const auto *bytes = reinterpret_cast<const unsigned char *>(elements.data());
    const Kind &add_group_member = kSimple[13];
    const Conversion whole(add_group_member, Args(bytes, 32, 1));
    EXPECT_EQ(whole.result, 1);
    EXPECT_EQ(whole.data[0], 17);
    expect_refused(Conversion(add_group_member, Args(bytes, 31, 1)));
}

// One precondition, shared by every converter.
TEST(EveryConverter, EachNullPointerIsAnAssertion)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Kind &kind = kTables[0];
    const Args args(ints({1, 1, 1}));
    int update_type = 0, data[4] = {}, error_code = 0;
    const char *message = "Assertion `\\(noti_args != \\(\\(void \\*\\)0\\)\\) && \\(update_type != \\(\\(void \\*\\)0\\)\\) && "
                          "\\(update_data != \\(\\(void \\*\\)0\\)\\) && \\(error_code != \\(\\(void \\*\\)0\\)\\)' failed";
    EXPECT_DEATH(kind.convert(nullptr, &update_type, data, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), nullptr, data, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), &update_type, nullptr, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), &update_type, data, nullptr), message);
}

} // namespace
} // namespace contact_test
