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

std::vector<std::string> formats(const std::vector<LogEntry> &entries)
{
    std::vector<std::string> result;
    for (const LogEntry &entry : entries)
        result.push_back(entry.format);
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

// ---- simple converters ---------------------------------------------------------

class SimpleConverter : public ::testing::TestWithParam<Kind> {};

TEST_P(SimpleConverter, StoresItsUpdateTypeAndCopiesEachElementIntoItsField)
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
    EXPECT_THAT(call.log.errors(), IsEmpty());
}

TEST_P(SimpleConverter, TracesEachValueCopied)
{
    const Kind &kind = GetParam();
    const std::vector<int> values = {3, -41, 59, 2653};
    std::vector<noti_property> elements;
    for (int position = 0; position < kind.elements_read; ++position)
        elements.push_back(int_arg(values[position]));

    Conversion call;
    call.run(kind, elements);
    // 'i' kinds trace the one value stored; the others each element by position.
    const std::vector<const char *> by_position = {kL2, kL3, kL4, kL5};
    std::vector<std::string> expected_formats;
    std::vector<std::string> expected_texts;
    if (kind.type_i_required) {
        expected_formats = {kL1};
        expected_texts = {text(kL1, kind.function, values[0])};
    } else {
        for (int position = 0; position < kind.elements_read; ++position) {
            expected_formats.push_back(by_position[position]);
            expected_texts.push_back(text(by_position[position], kind.function, values[position]));
        }
    }
    EXPECT_EQ(formats(call.log.traces()), expected_formats);
    EXPECT_EQ(texts(call.log.traces()), expected_texts);
    EXPECT_EQ(call.log.entries().size(), expected_formats.size()) << "traces only, no error line";
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

TEST_P(SimpleConverter, IgnoresElementsBeyondThoseItReads)
{
    const Kind &kind = GetParam();
    std::vector<noti_property> elements = ints({11, 22, 33, 44});
    elements.resize(kind.elements_read);
    Conversion exact;
    exact.run(kind, elements);

    elements.push_back(int_arg(-1, kTypeString));
    elements.push_back(int_arg(-2));
    Conversion longer;
    longer.run(kind, elements);
    EXPECT_EQ(longer.result, 1);
    EXPECT_EQ(longer.update_type, exact.update_type);
    EXPECT_THAT(longer.data, ElementsAreArray(exact.data));
    EXPECT_EQ(texts(longer.log.traces()), texts(exact.log.traces()));
}

TEST_P(SimpleConverter, RefusesFewerElementsThanItReads)
{
    const Kind &kind = GetParam();
    for (int count = 0; count < kind.elements_read; ++count) {
        SCOPED_TRACE(count);
        std::vector<noti_property> elements = ints({1, 2, 3, 4});
        elements.resize(count);
        Conversion call;
        call.run(kind, elements);
        expect_refused(call);
    }
}

TEST_P(SimpleConverter, SameResultEveryTime)
{
    const Kind &kind = GetParam();
    const Args args(ints({5, 6, 7, 8}));
    Conversion first;
    first.run(kind, args);
    Conversion second;
    second.run(kind, args);
    EXPECT_EQ(second.result, 1);
    EXPECT_EQ(second.update_type, first.update_type);
    EXPECT_THAT(second.data, ElementsAreArray(first.data));
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

TEST(ContactMainTable, RefusesOperationOrStorageOutsideItsTable)
{
    const std::vector<std::pair<int, int>> outside = {{4, 0},  {-1, 0}, {INT_MIN, 1}, {INT_MAX, 2},
                                                      {0, 8},  {0, -1}, {1, 100},     {3, INT_MIN}};
    for (const auto &[operation, storage_type] : outside) {
        SCOPED_TRACE(::testing::Message() << "operation " << operation << ", storage " << storage_type);
        Conversion call;
        call.run(kMainTable, ints({operation, storage_type, 5}));
        expect_refused(call);
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

TEST(GroupTable, RefusesOperationOrStorageOutsideItsTable)
{
    for (const auto &[operation, storage_type] :
         std::vector<std::pair<int, int>>{{4, 0}, {-1, 1}, {0, 2}, {0, -1}, {2, 6}}) {
        SCOPED_TRACE(::testing::Message() << "operation " << operation << ", storage " << storage_type);
        Conversion call;
        call.run(kGroupTable, ints({operation, storage_type, 5}));
        expect_refused(call);
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

TEST(ContactTable, RefusesEveryOtherOperationCode)
{
    for (int operation : {0, 2, 3, 4, -1, INT_MIN}) {
        SCOPED_TRACE(operation);
        Conversion call;
        call.run(kContactTable, ints({operation, 0, 31}));
        expect_refused(call);
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

TEST_P(IndexOnlyTableTest, RefusesOperationCodesOutsideItsTable)
{
    for (int operation : {3, 4, -1, INT_MAX}) {
        SCOPED_TRACE(operation);
        Conversion call;
        call.run(*GetParam().kind, ints({operation, 7}));
        expect_refused(call);
    }
}

INSTANTIATE_TEST_SUITE_P(Tables, IndexOnlyTableTest,
                         ::testing::Values(IndexOnlyTable{&kSpeedDialTable, kSpeedDialTypes},
                                           IndexOnlyTable{&kMyContactTable, kMyContactTypes}),
                         [](const auto &info) { return name_of({*info.param.kind, info.index}); });

class TableModifiedConverter : public ::testing::TestWithParam<Kind> {};

// A valid argument list of each kind: operation code 1 (valid for every
// table), storage type 1, index 9.
std::vector<noti_property> valid_table_args(const Kind &kind)
{
    return kind.elements_read == 3 ? ints({1, 1, 9}) : ints({1, 9});
}

TEST_P(TableModifiedConverter, EveryElementReadMustBeInt)
{
    const Kind &kind = GetParam();
    for (int position = 0; position < kind.elements_read; ++position) {
        for (int type : {kTypeString, 0}) {
            SCOPED_TRACE(::testing::Message() << "element " << position << ", type " << type);
            std::vector<noti_property> elements = valid_table_args(kind);
            elements[position].type = type;
            Conversion call;
            call.run(kind, elements);
            expect_refused(call);
        }
    }
}

TEST_P(TableModifiedConverter, RefusesFewerElementsThanItReads)
{
    const Kind &kind = GetParam();
    for (int count = 0; count < kind.elements_read; ++count) {
        SCOPED_TRACE(count);
        std::vector<noti_property> elements = valid_table_args(kind);
        elements.resize(count);
        Conversion call;
        call.run(kind, elements);
        expect_refused(call);
    }
}

TEST_P(TableModifiedConverter, IgnoresElementsBeyondThoseItReads)
{
    const Kind &kind = GetParam();
    std::vector<noti_property> elements = valid_table_args(kind);
    Conversion exact;
    exact.run(kind, elements);
    ASSERT_EQ(exact.result, 1);
    elements.push_back(int_arg(3, kTypeString));
    Conversion longer;
    longer.run(kind, elements);
    EXPECT_EQ(longer.result, 1);
    EXPECT_EQ(longer.update_type, exact.update_type);
    EXPECT_THAT(longer.data, ElementsAreArray(exact.data));
}

INSTANTIATE_TEST_SUITE_P(Kinds, TableModifiedConverter, ::testing::ValuesIn(kTableModified), name_of);

// ---- the numbering -----------------------------------------------------------------

TEST(UpdateTypeNumbering, NamedConstants)
{
    const int numbered[] = {
        CONTACT_UPDATE_NEW_STORAGE_TYPE,          CONTACT_UPDATE_VIEW_STORAGE_TYPE,
        CONTACT_UPDATE_DISPLAY_ORDER,             CONTACT_UPDATE_SORT_TYPE,
        CONTACT_UPDATE_ACTIVATED_OWN_NUMBER,      CONTACT_UPDATE_PHONE_ADD,
        CONTACT_UPDATE_PHONE_UPDATE,              CONTACT_UPDATE_PHONE_DELETE,
        CONTACT_UPDATE_PHONE_DELETE_ALL,          CONTACT_UPDATE_SIM_ADD,
        CONTACT_UPDATE_SIM_UPDATE,                CONTACT_UPDATE_SIM_DELETE,
        CONTACT_UPDATE_SIM_DELETE_ALL,            CONTACT_UPDATE_SIM2_ADD,
        CONTACT_UPDATE_SIM2_UPDATE,               CONTACT_UPDATE_SIM2_DELETE,
        CONTACT_UPDATE_SIM2_DELETE_ALL,           CONTACT_UPDATE_FDN_ADD,
        CONTACT_UPDATE_FDN_UPDATE,                CONTACT_UPDATE_FDN_DELETE,
        CONTACT_UPDATE_FDN_DELETE_ALL,            CONTACT_UPDATE_SDN_ADD,
        CONTACT_UPDATE_SDN_UPDATE,                CONTACT_UPDATE_SDN_DELETE,
        CONTACT_UPDATE_SDN_DELETE_ALL,            CONTACT_UPDATE_CONTACT_TABLE_UPDATE,
        CONTACT_UPDATE_PHONE_GROUP_ADD,           CONTACT_UPDATE_PHONE_GROUP_UPDATE,
        CONTACT_UPDATE_PHONE_GROUP_DELETE,        CONTACT_UPDATE_PHONE_GROUP_DELETE_ALL,
        CONTACT_UPDATE_SIM_GROUP_ADD,             CONTACT_UPDATE_SIM_GROUP_UPDATE,
        CONTACT_UPDATE_SIM_GROUP_DELETE,          CONTACT_UPDATE_SIM_GROUP_DELETE_ALL,
        CONTACT_UPDATE_SPEED_DIAL_ADD,            CONTACT_UPDATE_SPEED_DIAL_UPDATE,
        CONTACT_UPDATE_SPEED_DIAL_DELETE,         CONTACT_UPDATE_SIM_ERROR,
        CONTACT_UPDATE_DELETE_ALL_GROUP_MEMBERS,  CONTACT_UPDATE_DELETE_SOME_GROUP_MEMBERS,
        CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS,    CONTACT_UPDATE_ADD_GROUP_MEMBER,
        CONTACT_UPDATE_DELETE_GROUP_MEMBER,       CONTACT_UPDATE_DELETE_SOME_CONTACTS,
        CONTACT_UPDATE_COPY_SOME_CONTACTS,        CONTACT_UPDATE_MOVE_SOME_CONTACTS,
        CONTACT_UPDATE_DELETE_SOME_GROUPS,        CONTACT_UPDATE_MY_CONTACT_ADD,
        CONTACT_UPDATE_MY_CONTACT_UPDATE,         CONTACT_UPDATE_MY_CONTACT_DELETE,
        CONTACT_UPDATE_FDN_STATUS_CHANGED,
    };
    // In the order of the numbering: 0 to 52 without 37 and 51.
    std::vector<int> expected;
    for (int update_type = 0; update_type <= 52; ++update_type)
        if (update_type != 37 && update_type != 51)
            expected.push_back(update_type);
    EXPECT_THAT(numbered, ElementsAreArray(expected));

    EXPECT_EQ(5 + 4 * CONTACT_STORAGE_FDN + CONTACT_NOTI_OPERATION_DELETE, CONTACT_UPDATE_FDN_DELETE);
    EXPECT_EQ(CONTACT_NOTI_OPERATION_ADD, 0);
    EXPECT_EQ(CONTACT_NOTI_OPERATION_UPDATE, 1);
    EXPECT_EQ(CONTACT_NOTI_OPERATION_DELETE, 2);
    EXPECT_EQ(CONTACT_NOTI_OPERATION_DELETE_ALL, 3);
}

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

TEST(UpdateData, RecordLayoutsPutTheIndexFirst)
{
    EXPECT_EQ(sizeof(contact_update_index_t), 8u);
    EXPECT_EQ(offsetof(contact_update_index_t, index), 0u);
    EXPECT_EQ(offsetof(contact_update_index_t, storage_type), 4u);
    EXPECT_EQ(sizeof(contact_update_sim_error_t), 16u);
    EXPECT_EQ(offsetof(contact_update_sim_error_t, index), 0u);
    EXPECT_EQ(offsetof(contact_update_sim_error_t, storage_type), 4u);
    EXPECT_EQ(offsetof(contact_update_sim_error_t, access_mode), 8u);
    EXPECT_EQ(offsetof(contact_update_sim_error_t, sim_error_value), 12u);
    EXPECT_EQ(sizeof(noti_property), 16u);
    EXPECT_EQ(offsetof(noti_property, type), 0u);
    EXPECT_EQ(offsetof(noti_property, value), 8u);
}

TEST(UpdateData, AddGroupMemberFillsTheIndexFromTheSecondElement)
{
    Conversion call;
    call.run(kSimple[13], ints({1, 17}));
    ASSERT_STREQ(kSimple[13].function, "contact_convert_add_group_member_noti_to_update_type_and_data");
    EXPECT_EQ(call.update_type, 42);
    EXPECT_EQ(call.index_record().index, 17);
    EXPECT_EQ(call.index_record().storage_type, 1);
    EXPECT_EQ(call.data[0], 17) << "the record's first int is the index";
}

TEST(UpdateData, SimErrorRecord)
{
    Conversion call;
    call.run(kSimple[15], ints({2, 9, 1, -3}));
    ASSERT_STREQ(kSimple[15].function, "contact_convert_sim_error_noti_to_update_type_and_data");
    EXPECT_EQ(call.update_type, 38);
    EXPECT_EQ(call.sim_record().index, 9);
    EXPECT_EQ(call.sim_record().storage_type, 2);
    EXPECT_EQ(call.sim_record().access_mode, 1);
    EXPECT_EQ(call.sim_record().sim_error_value, -3);
}

TEST(UpdateData, MainTableMyContactComesWithTheIndexRecord)
{
    Conversion main_table;
    main_table.run(kMainTable, ints({0, 5, 1}));
    EXPECT_EQ(main_table.update_type, 48);
    EXPECT_EQ(main_table.index_record().index, 1);
    EXPECT_EQ(main_table.index_record().storage_type, 5);

    Conversion my_contact;
    my_contact.run(kMyContactTable, ints({0, 1}));
    EXPECT_EQ(my_contact.update_type, 48);
    EXPECT_EQ(my_contact.data[0], 1);
    EXPECT_EQ(my_contact.data[1], kUntouched) << "the my-contact table fills one int only";
}

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

TEST(ArrayExtent, EmptyArrayWithoutData)
{
    GArray *empty = g_array_new(FALSE, FALSE, sizeof(noti_property));
    ASSERT_EQ(empty->len, 0u);
    for (const Kind &kind : kSimple) {
        Conversion call;
        call.result = kind.convert(empty, &call.update_type, call.data, &call.error_code);
        expect_refused(call);
    }
    g_array_free(empty, TRUE);
}

TEST(ArrayExtent, OrdinaryGArray)
{
    GArray *array = g_array_new(FALSE, FALSE, sizeof(noti_property));
    const std::vector<noti_property> elements = ints({2, 4, 12});
    g_array_append_vals(array, elements.data(), guint(elements.size()));
    Conversion call;
    call.result = kMainTable.convert(array, &call.update_type, call.data, &call.error_code);
    g_array_free(array, TRUE);
    expect_located(call, 23, 4, 12); // operation 2 (delete) in storage 4
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

} // namespace
} // namespace contact_test
