// vCard conversion: a contact to vCard text or to a file the service
// writes, and vCard text or a client's file back to a contact.
//
// Only the contact's 4480-byte fixed part travels, both ways.  A fixed part
// alone names no number, e-mail or note, so a contact-to-vCard conversion
// whose fixed part addresses a stored contact (its index and storage_type,
// or the my-contact storage) writes the fixed part as sent together with
// that contact's stored sections; any other fixed part is written alone.
//
// Files: the service writes into the caller's own directory of its vCard
// directory (ServiceOptions::vcard_directory) under names it makes, each
// file made with the identity of the caller who asked; it reads a client's
// file with the client's own file-system identity (caller-files.h), so no
// client reads through the service what it could not read itself.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "core/caller-files.h"
#include "contacts/contact-record.h"
#include "contacts/contact-store.h"
#include "core/method-registry.h"
#include "core/service-error.h"
#include "core/service-limits.h"
#include "core/service-options.h"
#include "vcard/vcard-reader.h"
#include "vcard/vcard-writer.h"

namespace contact_engine {

namespace {

namespace fs = std::filesystem;
using contact_wire::kFixedSize;

// The my-contact storage and its other number: the index plays no part.
constexpr int kMyContactStorage = 5;
constexpr int kMyContactAlias = 7;

// The longest path a client's 300-byte buffer takes with its terminator.
constexpr std::size_t kMaxPathLength = 299;

struct VCardFiles {
    VCardFiles(ContactStore &store, UserQuotas &counts, fs::path root)
        : contacts(store), quotas(counts), directory(std::move(root)), tmp(directory / "tmp")
    {
    }
    ContactStore &contacts;
    UserQuotas &quotas;
    fs::path directory; // files of contact_convert_contact_to_vcard_file
    fs::path tmp;       // files of contact_convert_contact_to_vcard_file_tmp
};

fs::path vcard_directory(const ServiceOptions &options)
{
    if (!options.vcard_directory.empty())
        return options.vcard_directory;
    const fs::path database(options.database_path);
    return (database.parent_path().empty() ? fs::path(".") : database.parent_path()) / "vcards";
}

// ---- contact to vCard ----------------------------------------------------------

std::optional<Record> stored_contact(ContactStore &contacts, int storage_type, int index)
{
    if (storage_type == kMyContactStorage || storage_type == kMyContactAlias)
        return contacts.load_my_contact();
    if (index < 1)
        return std::nullopt;
    ContactStorage storage{};
    try {
        storage = contact_storage(storage_type);
    } catch (const ServiceError &) {
        return std::nullopt; // no contact table: the fixed part stands alone
    }
    if (index > storage.capacity)
        return std::nullopt;
    return contacts.load(storage.table, index);
}

// The record to write: the client's fixed part, with the sections of the
// stored contact it addresses, or with none.
Record record_to_export(ContactStore &contacts, const Bytes &fixed)
{
    if (fixed.size() != kFixedSize)
        fail(kMalformedRecord, "a vCard conversion takes a contact's 4480-byte fixed part alone, not " +
                                   std::to_string(fixed.size()) + " bytes");
    Bytes combined(fixed);
    const std::int32_t index = contact_wire::read_i32(fixed.data(), contact_wire::offset::index);
    const std::int32_t storage_type = contact_wire::read_i32(fixed.data(), contact_wire::offset::storage_type);
    const std::optional<Record> stored = stored_contact(contacts, storage_type, index);
    const std::uint8_t *source = stored ? stored->bytes().data() : nullptr;
    for (const contact_wire::Section &section : contact_wire::kSections)
        contact_wire::write_i32(combined.data(), section.count_offset,
                                source != nullptr ? contact_wire::read_i32(source, section.count_offset) : 0);
    contact_wire::write_i32(combined.data(), contact_wire::offset::contact_id_data,
                            source != nullptr ? contact_wire::read_i32(source, contact_wire::offset::contact_id_data)
                                              : 0);
    if (stored)
        combined.insert(combined.end(), stored->bytes().begin() + std::ptrdiff_t(kFixedSize), stored->bytes().end());
    return Record::parse(std::move(combined));
}

std::string to_vcard(ContactStore &contacts, const Bytes &fixed, std::int32_t convert_param)
{
    const VCardVersion version = vcard_version_for(convert_param);
    return write_vcard(record_to_export(contacts, fixed), version);
}

void write_all(int fd, const std::string &text, const std::string &path)
{
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            fail(kVCardFileError, "cannot write \"" + path + "\": " + std::strerror(errno));
        written += std::size_t(n);
    }
    if (::fsync(fd) != 0)
        fail(kVCardFileError, "cannot write \"" + path + "\": " + std::strerror(errno));
}

// Writes `text` into a new file of `directory` that belongs to the caller
// and returns its path.  A failure leaves no file behind.
std::string write_caller_file(const fs::path &directory, const std::string &stem, const std::string &text)
{
    const CallerIdentity who = current_caller_identity();
    std::string path;
    FileHandle file = create_for_caller(who, directory.string(), stem, ".vcf", path, kVCardFileError, text.size());
    try {
        if (path.size() > kMaxPathLength)
            fail(kVCardFileError, "the path \"" + path + "\" is longer than the " + std::to_string(kMaxPathLength) +
                                      " bytes a client's buffer takes (choose a shorter --vcard-directory)");
        write_all(file.get(), text, path);
    } catch (...) {
        ::unlink(path.c_str());
        throw;
    }
    return path;
}

std::string convert_contact_to_vcard(VCardFiles &files, Bytes record, std::int32_t convert_param)
{
    return to_vcard(files.contacts, record, convert_param);
}

std::string convert_contact_to_vcard_file(VCardFiles &files, Bytes record, std::int32_t convert_param)
{
    return write_caller_file(files.directory, "contact", to_vcard(files.contacts, record, convert_param));
}

std::string convert_contact_to_vcard_file_tmp(VCardFiles &files, Bytes record, std::int32_t convert_param)
{
    return write_caller_file(files.tmp, "tmp", to_vcard(files.contacts, record, convert_param));
}

// ---- vCard to contact ----------------------------------------------------------

// The fixed part of the first card's contact; its counts tell what the card
// held, its sections stay behind.
Bytes fixed_part(const ImportedContact &contact)
{
    const Bytes &bytes = contact.record.bytes();
    return Bytes(bytes.begin(), bytes.begin() + std::ptrdiff_t(kFixedSize));
}

Bytes convert_vcard_file_to_contact(VCardFiles &files, std::string path)
{
    const CallerIdentity who = current_caller_identity();
    const UserQuotas::Hold held = files.quotas.take(who.uid, Quota::OpenFiles);
    const FileHandle file = open_as_caller(who, path, kVCardUnreadable);
    struct stat status {};
    if (fstat(file.get(), &status) != 0 || std::uint64_t(status.st_size) > limits::kVCardMaxFileBytes)
        fail(kVCardTooLarge, "\"" + path + "\" is larger than the " + std::to_string(limits::kVCardMaxFileBytes >> 20) +
                                 " MiB a vCard file to convert may be");
    // Read no further than that, should the file grow meanwhile.
    VCardReader reader = VCardReader::from_descriptor(file.get(), 0, limits::kVCardMaxFileBytes);
    std::optional<ImportedContact> contact = reader.next_contact();
    if (!contact)
        fail(kVCardSyntax, "\"" + path + "\" holds no vCard");
    return fixed_part(*contact);
}

Bytes convert_vcard_to_contact(VCardFiles &, std::string text)
{
    return fixed_part(read_vcard_contact(text));
}

} // namespace

RegisterFamily register_vcard_methods;
void register_vcard_methods(MethodRegistry &registry, Database &database, const ServiceOptions &options)
{
    ContactStore &contacts = contact_store(registry, database, options);
    auto &files = registry.own<VCardFiles>(contacts, registry.quotas(), vcard_directory(options));
    add_export_directory(files.directory.string(), std::chrono::seconds(limits::kExportLifetimeSeconds));
    add_export_directory(files.tmp.string(), std::chrono::seconds(limits::kVCardTmpLifetimeSeconds));
    // Temporary files of an earlier run are no one's any more.
    remove_expired_exports(files.tmp.string(), std::chrono::seconds(0));

    registry
        .add("contact_convert_contact_to_vcard", convert_contact_to_vcard, files, In{"contact", "convert_param"},
             Out{"vcard"})
        .add_long("contact_convert_contact_to_vcard_file", convert_contact_to_vcard_file, files,
             In{"contact", "convert_param"}, Out{"full_file_path"})
        .add_long("contact_convert_contact_to_vcard_file_tmp", convert_contact_to_vcard_file_tmp, files,
             In{"contact", "convert_param"}, Out{"full_file_path"})
        .add_long("contact_convert_vcard_file_to_contact", convert_vcard_file_to_contact, files, In{"file"},
             Out{"contact"})
        .add_long("contact_convert_vcard_to_contact", convert_vcard_to_contact, files, In{"vcard"}, Out{"contact"});
}

} // namespace contact_engine
