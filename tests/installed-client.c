/* A third party's program, built against an installed prefix with nothing
 * but `pkg-config --cflags --libs contact-engine`: it adds a contact through
 * the service and reads it back. */
#include <contact-engine.h>
#include <stdio.h>
#include <string.h>

static int fail(const char *operation, int error_code)
{
    fprintf(stderr, "installed client: %s failed with code %d\n", operation, error_code);
    return 1;
}

int main(void)
{
    int error_code = -1;
    int index = 0;
    contact_t record;

    if (!contact_initialize(&error_code))
        return fail("contact_initialize", error_code);
    memset(&record, 0, sizeof record);
    strcpy(record.display_name, "Installed Client");
    if (!contact_add_contact(CONTACT_STORAGE_PHONE, &record, &index, &error_code))
        return fail("contact_add_contact", error_code);
    memset(&record, 0, sizeof record);
    if (!contact_get_contact(CONTACT_STORAGE_PHONE, index, &record, &error_code))
        return fail("contact_get_contact", error_code);
    if (record.index != index || strcmp(record.display_name, "Installed Client") != 0) {
        fprintf(stderr, "installed client: read back index %d \"%s\"\n", record.index, record.display_name);
        return 1;
    }
    if (!contact_finalize(&error_code))
        return fail("contact_finalize", error_code);
    printf("installed client: contact %d added and read back\n", index);
    return 0;
}
