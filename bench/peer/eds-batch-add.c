/* The peer's batch add: reads a vCard file, makes one EContact per card and
 * stores them all with one e_book_client_add_contacts_sync() in the
 * built-in address book of Evolution Data Server.  Run it inside a private
 * session bus with HOME and the XDG directories in a fresh directory
 * (bench/peer/run-peer.sh does), so it starts from an empty book.
 *
 * Prints one line: "peer batch add: <contacts/s> (<contacts> contacts, <s> s)",
 * timed from the first card parsed to the add's return, as the service's
 * import is timed from the file named to the job's end. */
#include <libebook/libebook.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* The cards of `text` as EContacts, in order. */
static GSList *contacts_of(const char *text)
{
    GSList *contacts = NULL;
    const char *card = text;
    while ((card = strstr(card, "BEGIN:VCARD")) != NULL) {
        const char *end = strstr(card, "END:VCARD");
        if (end == NULL)
            break;
        end += strlen("END:VCARD");
        gchar *one = g_strndup(card, (gsize)(end - card));
        contacts = g_slist_prepend(contacts, e_contact_new_from_vcard(one));
        g_free(one);
        card = end;
    }
    return g_slist_reverse(contacts);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CARDS.vcf\n", argv[0]);
        return 2;
    }
    gchar *text = NULL;
    GError *error = NULL;
    if (!g_file_get_contents(argv[1], &text, NULL, &error)) {
        fprintf(stderr, "eds-batch-add: %s\n", error->message);
        return 1;
    }
    ESourceRegistry *registry = e_source_registry_new_sync(NULL, &error);
    if (registry == NULL) {
        fprintf(stderr, "eds-batch-add: no source registry: %s\n", error->message);
        return 1;
    }
    ESource *source = e_source_registry_ref_builtin_address_book(registry);
    EClient *client = e_book_client_connect_sync(source, 30, NULL, &error);
    if (client == NULL) {
        fprintf(stderr, "eds-batch-add: cannot open the address book: %s\n", error->message);
        return 1;
    }

    const double start = now();
    GSList *contacts = contacts_of(text);
    GSList *uids = NULL;
    const gboolean added =
        e_book_client_add_contacts_sync(E_BOOK_CLIENT(client), contacts, E_BOOK_OPERATION_FLAG_NONE, &uids, NULL, &error);
    const double seconds = now() - start;
    if (!added) {
        fprintf(stderr, "eds-batch-add: the batch add failed: %s\n", error->message);
        return 1;
    }
    const guint count = g_slist_length(uids);
    printf("peer batch add: %.0f contacts/s (%u contacts, %.3f s)\n", count / seconds, count, seconds);

    g_slist_free_full(uids, g_free);
    g_slist_free_full(contacts, g_object_unref);
    g_object_unref(client);
    g_object_unref(source);
    g_object_unref(registry);
    g_free(text);
    return 0;
}
