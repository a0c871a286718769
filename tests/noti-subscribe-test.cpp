// The change-notification converters through the shared library, as an
// application calls them: every converter, every entry of the mapping
// tables, the complete update-type numbering, the update-data layouts, the
// type rules, the traces, the refusal of argument lists that do not fit, and
// the precondition on the four pointers.
//
// The expected values below are written out from the documented tables, not
// taken from the library's own table.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <glib.h>
#include <limits.h>
#include <stddef.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "contact-engine.h"
#include "test-support.h"

namespace contact_test {
namespace {

using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

using ConvertFn = int (*)(GArray *, int *, void *, int *);

constexpr int kTypeInt = 'i';
constexpr int kTypeString = 's';
constexpr int kUntouched = -99;       // what the caller's variables hold before a call
constexpr int kCallerErrorCode = 777; // what *error_code holds before a call

// ---- argument lists -------------------------------------------------------------

noti_property int_arg(int value, int type = kTypeInt)
{
    noti_property property;
    std::memset(&property, 0xa5, sizeof property); // bytes the converters must not read
    property.type = type;
    property.value.i = value;
    return property;
}

// A real GArray whose data is swapped for an allocation that ends exactly
// where its last element ends, so that a read past the element count is a
// heap overflow (reported under AddressSanitizer) rather than a read of
// GLib's spare room.
class Args {
public:
    explicit Args(const std::vector<noti_property> &elements)
        : Args(reinterpret_cast<const unsigned char *>(elements.data()), elements.size() * sizeof(noti_property),
               sizeof(noti_property))
    {
    }
    // Raw bytes in an array of the given element size.
    Args(const unsigned char *bytes, size_t size, guint element_size)
        : array_(g_array_new(FALSE, FALSE, element_size)), original_data_(array_->data)
    {
        if (size > 0) {
            exact_ = static_cast<unsigned char *>(std::malloc(size));
            std::memcpy(exact_, bytes, size);
        }
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

std::vector<noti_property> ints(std::initializer_list<int> values)
{
    std::vector<noti_property> elements;
    for (int value : values)
        elements.push_back(int_arg(value));
    return elements;
}

// ---- the converters, as documented --------------------------------------------

enum class Shape { Int, Index, SimError };

struct Kind {
    const char *function;
    ConvertFn convert;
    int elements_read;
    bool type_i_required;
    int update_type; // for the table-modified kinds: 0, the tables below hold theirs
    Shape data;
};

#define KIND(kind) "contact_convert_" #kind "_noti_to_update_type_and_data", contact_convert_##kind##_noti_to_update_type_and_data

const Kind kSimple[] = {
    {KIND(new_storage_type), 1, true, 0, Shape::Int},
    {KIND(view_storage_type), 1, true, 1, Shape::Int},
    {KIND(display_order), 1, true, 2, Shape::Int},
    {KIND(sort_type), 1, true, 3, Shape::Int},
    {KIND(activated_own_number), 1, true, 4, Shape::Int},
    {KIND(fdn_status_changed), 1, true, 52, Shape::Int},
    {KIND(delete_some_contacts), 1, false, 44, Shape::Int},
    {KIND(copy_some_contacts), 1, false, 45, Shape::Int},
    {KIND(move_some_contacts), 1, false, 46, Shape::Int},
    {KIND(delete_some_groups), 1, false, 47, Shape::Int},
    {KIND(delete_all_group_members), 2, false, 39, Shape::Index},
    {KIND(delete_some_group_members), 2, false, 40, Shape::Index},
    {KIND(add_some_group_members), 2, false, 41, Shape::Index},
    {KIND(add_group_member), 2, false, 42, Shape::Index},
    {KIND(delete_group_member), 2, false, 43, Shape::Index},
    {KIND(sim_error), 4, false, 38, Shape::SimError},
};

const Kind kMainTable = {KIND(contact_main_table_modified), 3, true, 0, Shape::Index};
const Kind kContactTable = {KIND(contact_table_modified), 3, true, 0, Shape::Index};
const Kind kGroupTable = {KIND(group_table_modified), 3, true, 0, Shape::Index};
const Kind kSpeedDialTable = {KIND(speed_dial_table_modified), 2, true, 0, Shape::Int};
const Kind kMyContactTable = {KIND(my_contact_table_modified), 2, true, 0, Shape::Int};
const Kind kTableModified[] = {kMainTable, kContactTable, kGroupTable, kSpeedDialTable, kMyContactTable};

// Rows: storage type; columns: operation code.
const int kMainTableTypes[8][4] = {
    {5, 6, 7, 8}, {9, 10, 11, 12}, {13, 14, 15, 16}, {17, 18, 19, 20},
    {21, 22, 23, 24}, {48, 49, 50, 50}, {5, 6, 7, 8}, {48, 49, 50, 50},
};
const int kGroupTableTypes[2][4] = {{26, 27, 28, 29}, {30, 31, 32, 33}};
const int kSpeedDialTypes[3] = {34, 35, 36};
const int kMyContactTypes[3] = {48, 49, 50};

// Test names and parameters show the converter, not the row's bytes.
void PrintTo(const Kind &kind, std::ostream *out)
{
    *out << kind.function;
}

std::string name_of(const ::testing::TestParamInfo<Kind> &info)
{
    std::string name = info.param.function + std::strlen("contact_convert_");
    return name.substr(0, name.find("_noti_to_update_type_and_data"));
}

// ---- one call -------------------------------------------------------------------

// The caller's variables around a call: update data in a larger buffer, so
// that a write beyond the record is seen too.
struct Conversion {
    int result = -1;
    int update_type = kUntouched;
    int error_code = kCallerErrorCode;
    int data[8];
    LogCapture log;

    Conversion() { std::fill(std::begin(data), std::end(data), kUntouched); }
    void run(const Kind &kind, const Args &args) { result = kind.convert(args.get(), &update_type, data, &error_code); }
    void run(const Kind &kind, const std::vector<noti_property> &elements) { run(kind, Args(elements)); }

    const contact_update_index_t &index_record() const { return *reinterpret_cast<const contact_update_index_t *>(data); }
    const contact_update_sim_error_t &sim_record() const
    {
        return *reinterpret_cast<const contact_update_sim_error_t *>(data);
    }
};

int data_ints(Shape shape)
{
    switch (shape) {
    case Shape::Int:
        return 1;
    case Shape::Index:
        return 2;
    case Shape::SimError:
        return 4;
    }
    return 0;
}

// The update data a simple converter makes of its elements, as ints in
// memory order: index first in both records.
std::vector<int> expected_data(Shape shape, const std::vector<int> &values)
{
    switch (shape) {
    case Shape::Int:
        return {values[0]};
    case Shape::Index:
        return {values[1], values[0]};
    case Shape::SimError:
        return {values[1], values[0], values[2], values[3]};
    }
    return {};
}

std::vector<int> written(const Conversion &call, Shape shape)
{
    return std::vector<int>(call.data, call.data + data_ints(shape));
}

std::vector<int> beyond(const Conversion &call, Shape shape)
{
    return std::vector<int>(call.data + data_ints(shape), std::end(call.data));
}

std::vector<std::string> texts(const std::vector<LogEntry> &entries)
{
    std::vector<std::string> result;
    for (const LogEntry &entry : entries)
        result.push_back(entry.text);
    return result;
}

std::string text(const char *format, const char *function, int value)
{
    std::vector<char> buffer(512);
    g_snprintf(buffer.data(), buffer.size(), format, function, value);
    return buffer.data();
}

constexpr const char *kL1 = "\n[DodazorEdidud]%s: *update_data = %d\n";
constexpr const char *kL2 = "\n[DodazorEdidud]%s: noti_args 0 storage_type= %d\n\n";
constexpr const char *kL3 = "\n[DodazorEdidud]%s: noti_args 1 index= %d\n\n";
constexpr const char *kL4 = "\n[DodazorEdidud]%s: noti_args 2 access_mode= %d\n\n";
constexpr const char *kL5 = "\n[DodazorEdidud]%s: noti_args 3 sim_error_value= %d\n\n";
constexpr const char *kStorageTrace = "\n[DodazorEdidud]%s: storage_type = %d\n";
constexpr const char *kIndexTrace = "\n[DodazorEdidud]%s: index = %d\n";

// A refused call: result 0, code 3, one error line, nothing else written.
void expect_refused(const Conversion &call)
{
    EXPECT_EQ(call.result, 0);
    EXPECT_EQ(call.error_code, CONTACT_ERROR_OUT_OF_RANGE);
    EXPECT_EQ(call.update_type, kUntouched) << "no update type is stored for input that does not fit";
    EXPECT_THAT(call.data, ::testing::Each(kUntouched)) << "no update data is stored either";
    EXPECT_THAT(call.log.traces(), IsEmpty());
    ASSERT_EQ(call.log.errors().size(), 1u);
    EXPECT_EQ(call.log.errors()[0].module, kModule);
    EXPECT_EQ(call.log.errors()[0].format.rfind("\n[DodazorEdidud]%s %d: ", 0), 0u);
}

// A valid argument list of each kind: operation code 1 (valid in every
// table), storage type 1, index 9; the simple kinds take any ints.
std::vector<noti_property> valid_args(const Kind &kind)
{
    if (kind.update_type == 0)
        return kind.elements_read == 3 ? ints({1, 1, 9}) : ints({1, 9});
    std::vector<noti_property> elements = ints({11, 22, 33, 44});
    elements.resize(std::size_t(kind.elements_read));
    return elements;
}

// ---- simple converters ---------------------------------------------------------

class SimpleConverter : public ::testing::TestWithParam<Kind> {};

// The update type, each element copied into its field, nothing beyond the
// record written, and the traces: 'i' kinds trace the one value stored, the
// others each element by position.
TEST_P(SimpleConverter, StoresItsUpdateTypeAndTracesEachElementCopied)
{
    const Kind &kind = GetParam();
    const std::vector<int> values = {-7, 0, 123456, INT_MIN};
    std::vector<noti_property> elements;
    for (int position = 0; position < kind.elements_read; ++position)
        elements.push_back(int_arg(values[position]));

    Conversion call;
    call.run(kind, elements);
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.update_type, kind.update_type);
    EXPECT_EQ(written(call, kind.data), expected_data(kind.data, values));
    EXPECT_THAT(beyond(call, kind.data), ::testing::Each(kUntouched));
    EXPECT_EQ(call.error_code, kCallerErrorCode) << "a converter never writes error_code on valid input";

    const std::vector<const char *> by_position = {kL2, kL3, kL4, kL5};
    std::vector<std::string> expected_texts;
    if (kind.type_i_required)
        expected_texts = {text(kL1, kind.function, values[0])};
    else
        for (int position = 0; position < kind.elements_read; ++position)
            expected_texts.push_back(text(by_position[position], kind.function, values[position]));
    EXPECT_EQ(texts(call.log.entries()), expected_texts) << "traces only, no error line";
    for (const LogEntry &entry : call.log.entries())
        EXPECT_EQ(entry.module, kModule);
}

TEST_P(SimpleConverter, TypeRule)
{
    const Kind &kind = GetParam();
    for (int type : {kTypeString, 0, int('I'), int('u')}) {
        SCOPED_TRACE(type);
        std::vector<noti_property> elements;
        for (int position = 0; position < kind.elements_read; ++position)
            elements.push_back(int_arg(100 + position, type));
        Conversion call;
        call.run(kind, elements);
        if (kind.type_i_required) {
            expect_refused(call);
        } else {
            // The four value bytes are copied whatever the type character says.
            EXPECT_EQ(call.result, 1);
            EXPECT_EQ(call.update_type, kind.update_type);
            EXPECT_EQ(written(call, kind.data), expected_data(kind.data, {100, 101, 102, 103}));
            EXPECT_EQ(call.error_code, kCallerErrorCode);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimpleConverter, ::testing::ValuesIn(kSimple), name_of);

// ---- table-modified converters ---------------------------------------------------

// One row's location: storage type first in the arguments, index first in
// the record.
void expect_located(const Conversion &call, int update_type, int storage_type, int index)
{
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.update_type, update_type);
    EXPECT_EQ(call.index_record().index, index);
    EXPECT_EQ(call.index_record().storage_type, storage_type);
    EXPECT_THAT(beyond(call, Shape::Index), ::testing::Each(kUntouched));
    EXPECT_EQ(call.error_code, kCallerErrorCode);
    EXPECT_THAT(call.log.errors(), IsEmpty());
}

TEST(ContactMainTable, EveryEntry)
{
    for (int storage_type = 0; storage_type < 8; ++storage_type)
        for (int operation = 0; operation < 4; ++operation) {
            SCOPED_TRACE(::testing::Message() << "storage " << storage_type << ", operation " << operation);
            const int index = 1000 + 10 * storage_type + operation;
            Conversion call;
            call.run(kMainTable, ints({operation, storage_type, index}));
            // The storage type is copied as received: 6 stays 6, 7 stays 7.
            expect_located(call, kMainTableTypes[storage_type][operation], storage_type, index);
            EXPECT_EQ(texts(call.log.traces()),
                      (std::vector<std::string>{text(kStorageTrace, kMainTable.function, storage_type),
                                                text(kIndexTrace, kMainTable.function, index)}));
        }
}

TEST(GroupTable, EveryEntry)
{
    for (int storage_type = 0; storage_type < 2; ++storage_type)
        for (int operation = 0; operation < 4; ++operation) {
            SCOPED_TRACE(::testing::Message() << "storage " << storage_type << ", operation " << operation);
            const int index = 200 + operation;
            Conversion call;
            call.run(kGroupTable, ints({operation, storage_type, index}));
            expect_located(call, kGroupTableTypes[storage_type][operation], storage_type, index);
            EXPECT_EQ(texts(call.log.traces()),
                      (std::vector<std::string>{text(kStorageTrace, kGroupTable.function, storage_type),
                                                text(kIndexTrace, kGroupTable.function, index)}));
        }
}

TEST(ContactTable, OperationOneWithAnyStorageType)
{
    for (int storage_type : {0, 1, 7, 42, -5, INT_MAX}) {
        SCOPED_TRACE(storage_type);
        Conversion call;
        call.run(kContactTable, ints({1, storage_type, 31}));
        expect_located(call, 25, storage_type, 31);
        EXPECT_EQ(texts(call.log.traces()),
                  (std::vector<std::string>{text(kStorageTrace, kContactTable.function, storage_type),
                                            text(kIndexTrace, kContactTable.function, 31)}));
    }
}

struct IndexOnlyTable {
    const Kind *kind;
    const int *types; // operation codes 0, 1, 2
};

void PrintTo(const IndexOnlyTable &table, std::ostream *out)
{
    *out << table.kind->function;
}

class IndexOnlyTableTest : public ::testing::TestWithParam<IndexOnlyTable> {};

TEST_P(IndexOnlyTableTest, EveryOperationCodeGivesItsTypeAndTheIndexAlone)
{
    const Kind &kind = *GetParam().kind;
    for (int operation = 0; operation < 3; ++operation) {
        SCOPED_TRACE(operation);
        Conversion call;
        call.run(kind, ints({operation, -17 + operation}));
        EXPECT_EQ(call.result, 1);
        EXPECT_EQ(call.update_type, GetParam().types[operation]);
        EXPECT_EQ(call.data[0], -17 + operation) << "the index is the single int; the code is not copied";
        EXPECT_THAT(beyond(call, Shape::Int), ::testing::Each(kUntouched));
        EXPECT_EQ(call.error_code, kCallerErrorCode);
        EXPECT_EQ(texts(call.log.entries()), std::vector<std::string>{text(kIndexTrace, kind.function, -17 + operation)});
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, IndexOnlyTableTest,
                         ::testing::Values(IndexOnlyTable{&kSpeedDialTable, kSpeedDialTypes},
                                           IndexOnlyTable{&kMyContactTable, kMyContactTypes}),
                         [](const auto &info) { return name_of({*info.param.kind, info.index}); });

// Operation codes and storage types outside each table are refused.
TEST(TableModified, RefusesWhatIsOutsideItsTable)
{
    const std::vector<std::pair<const Kind *, std::vector<int>>> outside = {
        {&kMainTable, {4, 0, 5}},        {&kMainTable, {-1, 0, 5}},     {&kMainTable, {INT_MIN, 1, 5}},
        {&kMainTable, {INT_MAX, 2, 5}},  {&kMainTable, {0, 8, 5}},      {&kMainTable, {0, -1, 5}},
        {&kMainTable, {1, 100, 5}},      {&kMainTable, {3, INT_MIN, 5}}, {&kGroupTable, {4, 0, 5}},
        {&kGroupTable, {-1, 1, 5}},      {&kGroupTable, {0, 2, 5}},     {&kGroupTable, {0, -1, 5}},
        {&kGroupTable, {2, 6, 5}},       {&kContactTable, {0, 0, 31}},  {&kContactTable, {2, 0, 31}},
        {&kContactTable, {3, 0, 31}},    {&kContactTable, {4, 0, 31}},  {&kContactTable, {-1, 0, 31}},
        {&kContactTable, {INT_MIN, 0, 31}}, {&kSpeedDialTable, {3, 7}}, {&kSpeedDialTable, {-1, 7}},
        {&kSpeedDialTable, {INT_MAX, 7}}, {&kMyContactTable, {3, 7}},   {&kMyContactTable, {4, 7}},
    };
    for (const auto &[kind, values] : outside) {
        SCOPED_TRACE(::testing::Message() << kind->function << " " << ::testing::PrintToString(values));
        std::vector<noti_property> elements;
        for (int value : values)
            elements.push_back(int_arg(value));
        Conversion call;
        call.run(*kind, elements);
        expect_refused(call);
    }
}

class TableModifiedConverter : public ::testing::TestWithParam<Kind> {};

TEST_P(TableModifiedConverter, EveryElementReadMustBeInt)
{
    const Kind &kind = GetParam();
    for (int position = 0; position < kind.elements_read; ++position) {
        for (int type : {kTypeString, 0}) {
            SCOPED_TRACE(::testing::Message() << "element " << position << ", type " << type);
            std::vector<noti_property> elements = valid_args(kind);
            elements[position].type = type;
            Conversion call;
            call.run(kind, elements);
            expect_refused(call);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, TableModifiedConverter, ::testing::ValuesIn(kTableModified), name_of);

// ---- the numbering -----------------------------------------------------------------

// Every number of the numbering but 37 and 51 comes out of some converter,
// and nothing else does.
TEST(UpdateTypeNumbering, ConvertersProduceExactlyTheNumbering)
{
    std::set<int> produced;
    auto produce = [&](const Kind &kind, const std::vector<noti_property> &elements) {
        Conversion call;
        call.run(kind, elements);
        if (call.result == 1)
            produced.insert(call.update_type);
    };
    for (const Kind &kind : kSimple)
        produce(kind, ints({1, 2, 3, 4}));
    for (const Kind &kind : kTableModified)
        for (int operation = -1; operation <= 4; ++operation)
            for (int storage_type = -1; storage_type <= 8; ++storage_type)
                produce(kind, kind.elements_read == 3 ? ints({operation, storage_type, 1}) : ints({operation, 1}));

    std::set<int> expected;
    for (int update_type = 0; update_type <= 52; ++update_type)
        if (update_type != 37 && update_type != 51)
            expected.insert(update_type);
    EXPECT_EQ(produced, expected);
}

// ---- update-data layouts --------------------------------------------------------

// The value is the four bytes at offset 8, little-endian; bytes 4 to 7 and
// 12 to 15 are not read.
TEST(UpdateData, ValueIsReadFromBytesEightToEleven)
{
    unsigned char bytes[16];
    std::memset(bytes, 0xee, sizeof bytes);
    const unsigned char type_i[4] = {'i', 0, 0, 0};
    const unsigned char value[4] = {0x78, 0x56, 0x34, 0x12};
    std::memcpy(bytes, type_i, 4);
    std::memcpy(bytes + 8, value, 4);
    Conversion call;
    call.run(kSimple[3], Args(bytes, sizeof bytes, sizeof(noti_property)));
    EXPECT_EQ(call.result, 1);
    EXPECT_EQ(call.data[0], 0x12345678);
}

// ---- the array's extent -------------------------------------------------------------

// The converters count whole 16-byte elements in the array's bytes, so an
// array of another element size cannot lead them past its end.
TEST(ArrayExtent, ByteArrayHoldingTwoElements)
{
    const std::vector<noti_property> elements = ints({1, 17});
    const auto *bytes = reinterpret_cast<const unsigned char *>(elements.data());
    const Kind &add_group_member = kSimple[13];

    Conversion whole;
    whole.run(add_group_member, Args(bytes, 32, 1));
    EXPECT_EQ(whole.result, 1);
    EXPECT_EQ(whole.index_record().index, 17);

    Conversion short_by_one_byte;
    short_by_one_byte.run(add_group_member, Args(bytes, 31, 1));
    expect_refused(short_by_one_byte);
}

// ---- every converter: the element count ------------------------------------------

class EveryConverter : public ::testing::TestWithParam<Kind> {};

TEST_P(EveryConverter, RefusesFewerElementsThanItReadsAndIgnoresMore)
{
    const Kind &kind = GetParam();
    for (int count = 0; count < kind.elements_read; ++count) {
        SCOPED_TRACE(count);
        std::vector<noti_property> elements = valid_args(kind);
        elements.resize(std::size_t(count));
        Conversion call;
        call.run(kind, elements);
        expect_refused(call);
    }
    std::vector<noti_property> elements = valid_args(kind);
    Conversion exact;
    exact.run(kind, elements);
    ASSERT_EQ(exact.result, 1);
    elements.push_back(int_arg(-1, kTypeString));
    elements.push_back(int_arg(-2));
    Conversion longer;
    longer.run(kind, elements);
    EXPECT_EQ(longer.result, 1);
    EXPECT_EQ(longer.update_type, exact.update_type);
    EXPECT_THAT(longer.data, ElementsAreArray(exact.data));
    EXPECT_EQ(texts(longer.log.traces()), texts(exact.log.traces()));
}

// ---- the precondition ------------------------------------------------------------------

constexpr const char *kPreconditionText =
    "(noti_args != ((void *)0)) && (update_type != ((void *)0)) && (update_data != ((void *)0)) && "
    "(error_code != ((void *)0))";

std::string escaped(const std::string &text)
{
    std::string result;
    for (char c : text) {
        if (std::strchr("\\^$.|?*+()[]{}", c) != nullptr)
            result += '\\';
        result += c;
    }
    return result;
}

class Precondition : public ::testing::TestWithParam<Kind> {};

TEST_P(Precondition, EachNullPointerIsAnAssertion)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const Kind &kind = GetParam();
    const Args args(ints({1, 1, 1, 1}));
    int update_type = 0;
    int data[4] = {};
    int error_code = 0;
    const std::string message = escaped(std::string("Assertion `") + kPreconditionText + "' failed");
    EXPECT_DEATH(kind.convert(nullptr, &update_type, data, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), nullptr, data, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), &update_type, nullptr, &error_code), message);
    EXPECT_DEATH(kind.convert(args.get(), &update_type, data, nullptr), message);
}

std::vector<Kind> all_kinds()
{
    std::vector<Kind> kinds(std::begin(kSimple), std::end(kSimple));
    kinds.insert(kinds.end(), std::begin(kTableModified), std::end(kTableModified));
    return kinds;
}

INSTANTIATE_TEST_SUITE_P(Kinds, Precondition, ::testing::ValuesIn(all_kinds()), name_of);
INSTANTIATE_TEST_SUITE_P(Kinds, EveryConverter, ::testing::ValuesIn(all_kinds()), name_of);

} // namespace
} // namespace contact_test
