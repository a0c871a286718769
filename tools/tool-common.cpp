// The pieces every command of contact-engine-tool shares: the library
// session, the contact holder, the contact printer and the --storage option.
#include "tool-common.h"

#include <cstdlib>

namespace tool {

Session::Session()
{
    int error_code = 0;
    if (!contact_initialize(&error_code))
        throw Failure("cannot reach the system bus (is DBUS_SYSTEM_BUS_ADDRESS set?)");
}

Session::~Session()
{
    contact_finalize(nullptr);
}

Contact::~Contact()
{
    std::free(record.phone_info);
    std::free(record.email_info);
    std::free(record.postal_info);
    std::free(record.note);
    std::free(record.about);
    std::free(record.sns);
    std::free(record.im);
    std::free(record.presence_text);
    std::free(record.contact_id_data);
}

void print_contact(const contact_t &c)
{
    std::printf("#%d (storage %d) %s\n", c.index, c.storage_type, c.display_name);
    if (c.first_name[0] || c.last_name[0])
        std::printf("  name:     %s %s\n", c.first_name, c.last_name);
    if (c.company[0])
        std::printf("  company:  %s\n", c.company);
    for (int i = 0; i < c.phone_info_cnt; ++i)
        std::printf("  phone:    %s%s\n", c.phone_info[i].number, c.phone_info[i].is_primary ? " (primary)" : "");
    for (int i = 0; i < c.email_info_cnt; ++i)
        std::printf("  e-mail:   %s\n", c.email_info[i].address);
    if (c.note_len > 0)
        std::printf("  note:     %s\n", c.note);
    if (c.frequency > 0)
        std::printf("  called:   %d times\n", c.frequency);
}

void add_storage_option(CLI::App *command, int &storage)
{
    command->add_option("--storage", storage, "storage type (0 phone, 1 SIM, 2 SIM2, 3 FDN, 4 SDN)");
}

} // namespace tool
