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
    /* A change notification from C: a contact updated at index 12 of the
     * second SIM (update type 5 + 4 * 2 + 1). */
    {
        GArray *noti_args = g_array_new(FALSE, FALSE, sizeof(noti_property));
        noti_property arguments[3] = {{0}};
        contact_update_index_t location = {0, 0};
        int update_type = -1;
        int ok;
        arguments[0].type = CONTACT_NOTI_TYPE_INT;
        arguments[0].value.i = CONTACT_NOTI_OPERATION_UPDATE;
        arguments[1].type = CONTACT_NOTI_TYPE_INT;
        arguments[1].value.i = CONTACT_STORAGE_SIM2;
        arguments[2].type = CONTACT_NOTI_TYPE_INT;
        arguments[2].value.i = 12;
        g_array_append_vals(noti_args, arguments, 3);
        ok = contact_convert_contact_main_table_modified_noti_to_update_type_and_data(noti_args, &update_type,
                                                                                       &location, &error_code);
        g_array_free(noti_args, TRUE);
        if (!ok || update_type != CONTACT_UPDATE_SIM2_UPDATE || location.index != 12 ||
            location.storage_type != CONTACT_STORAGE_SIM2 || error_code != CONTACT_ERROR_NOT_CONNECTED)
            return 1;
    }
    puts("C translation unit: 1 passed, 0 failed");
    return 0;
}
