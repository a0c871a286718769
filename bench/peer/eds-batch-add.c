/* The peer's batch add: reads a vCard file, makes one EContact per card and
 * stores them all with one e_book_client_add_contacts_sync() in the
 * built-in address book of Evolution Data Server.  Run it inside a private
 * session bus with HOME and the XDG directories in a fresh directory
 * (bench/peer/run-peer.sh does), so it starts from an empty book.
 *
 * Prints one line: "peer batch add: <contacts/s> (<contacts> contacts, <s> s,
 * <s> of the peer's CPU)", timed from the first card parsed to the add's
 * return, as the service's import is timed from the file named to the job's
 * end.  The peer's CPU time is this client's own (it parses the cards)
 * and that of every process in the process group PEER_GROUP names (the
 * private bus and the factories it started), taken before and after. */
#include <dirent.h>
#include <sys/resource.h>
#include <libebook/libebook.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* CPU seconds (user + system) of the processes in process group `group`. */
static double group_cpu(long group)
{
    double ticks = 0;
    DIR *proc = opendir("/proc");
    struct dirent *entry;
    while (group > 0 && proc != NULL && (entry = readdir(proc)) != NULL) {
        char path[300], line[1024];
        snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        FILE *stat = fopen(path, "r");
        if (stat == NULL)
            continue;
        const char *fields = fgets(line, sizeof line, stat) != NULL ? strrchr(line, ')') : NULL;
        fclose(stat);
        long pgrp = 0;
        unsigned long utime = 0, stime = 0;
        /* After the name: state, ppid, pgrp, ..., utime (14th field), stime. */
        if (fields != NULL && sscanf(fields + 2, "%*c %*d %ld %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &pgrp,
                                     &utime, &stime) == 3 && pgrp == group)
            ticks += (double)(utime + stime);
    }
    if (proc != NULL)
        closedir(proc);
    return ticks / (double)sysconf(_SC_CLK_TCK);
}

static double own_cpu(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
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

    const long group = getenv("PEER_GROUP") != NULL ? atol(getenv("PEER_GROUP")) : 0;
    const double cpu_before = group_cpu(group) + own_cpu();
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
    const double cpu = group_cpu(group) + own_cpu() - cpu_before;
    const guint count = g_slist_length(uids);
    printf("peer batch add: %.0f contacts/s (%u contacts, %.3f s, %.3f s of the peer's CPU)\n", count / seconds, count,
           seconds, cpu);

    g_slist_free_full(uids, g_free);
    g_slist_free_full(contacts, g_object_unref);
    g_object_unref(client);
    g_object_unref(source);
    g_object_unref(registry);
    g_free(text);
    return 0;
}
