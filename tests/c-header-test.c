/* The public header from a C99 translation unit: it must compile with
 * pedantic warnings as errors, and its functions must link and run. */
#include <contact-engine.h>
#include <stdio.h>

int main(void)
{
    bool opened = true;
    int error_code = -1;
    contact_t record = {0};
    contact_phone_info_t phone = {0};

    if (sizeof phone != 56 || sizeof(contact_id_data_t) != 5104)
        return 1;
    if (!contact_is_database_opened(&opened, &error_code) || opened || error_code != -1)
        return 1;
    /* No connection: the operation refuses with code 9. */
    if (contact_get_contact(CONTACT_STORAGE_PHONE, 1, &record, &error_code) != 0 ||
        error_code != CONTACT_ERROR_NOT_CONNECTED)
        return 1;
    puts("C translation unit: 1 passed, 0 failed");
    return 0;
}
