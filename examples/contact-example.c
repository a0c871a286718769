/* A program of a third party that uses the contact engine: it adds a contact
 * through the service and reads it back.  Built against an installed
 * contact engine, either with pkg-config alone:
 *
 *     cc contact-example.c $(pkg-config --cflags --libs contact-engine) -o contact-example
 *
 * or with CMake alone (CMakeLists.txt beside this file):
 *
 *     cmake -S . -B build -DCMAKE_PREFIX_PATH=<prefix> && cmake --build build
 */
#include <contact-engine.h>
#include <stdio.h>
#include <string.h>

static int fail(const char *operation, int error_code)
{
    fprintf(stderr, "contact-example: %s failed with code %d\n", operation, error_code);
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
    strcpy(record.display_name, "Example Contact");
    if (!contact_add_contact(CONTACT_STORAGE_PHONE, &record, &index, &error_code))
        return fail("contact_add_contact", error_code);
    memset(&record, 0, sizeof record);
    if (!contact_get_contact(CONTACT_STORAGE_PHONE, index, &record, &error_code))
        return fail("contact_get_contact", error_code);
    if (record.index != index || strcmp(record.display_name, "Example Contact") != 0) {
        fprintf(stderr, "contact-example: read back index %d \"%s\"\n", record.index, record.display_name);
        return 1;
    }
    if (!contact_finalize(&error_code))
        return fail("contact_finalize", error_code);
    printf("contact-example: contact %d added and read back\n", index);
    return 0;
}
