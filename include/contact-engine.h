/*
 * contact-engine.h - client library of the phone's contact engine service.
 *
 * Every operation is one synchronous call on the system bus to the
 * contact engine service ("com.quorvel.contact.engine"), which owns all
 * contact data.  Each function returns 1 when the service answered without
 * error and 0 otherwise; the reason is left in *error_code.
 *
 * The records below are the service's wire layout: 32-bit little-endian,
 * int and pointer fields 4 bytes wide.  On a 32-bit little-endian target the
 * structs are that layout byte for byte; on a 64-bit host the library packs
 * and unpacks them field by field, so applications use the same structs
 * everywhere.  Fixed-size text fields are UTF-8 and NUL-terminated.
 */
#ifndef CONTACT_ENGINE_H
#define CONTACT_ENGINE_H

#include <glib.h> /* GArray, for the change-notification converters */
#include <stdbool.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define CONTACT_API __attribute__((visibility("default")))
#else
#define CONTACT_API
#endif

/* ------------------------------------------------------------------------
 * Error codes the library sets itself.  Every other value in *error_code
 * comes from the service (see service/contact-engine-errors.h).
 * ---------------------------------------------------------------------- */
#define CONTACT_ERROR_NULL_ARGUMENT   2  /* a needed pointer argument is NULL */
#define CONTACT_ERROR_OUT_OF_RANGE    3  /* an argument value is out of range */
#define CONTACT_ERROR_NOT_CONNECTED   9  /* no connection to the service is open */
#define CONTACT_ERROR_SHORT_BATCH     32 /* a result-set batch brought fewer records than asked */
#define CONTACT_ERROR_MALFORMED_REPLY 33 /* a reply does not hold what it announces (or its
                                         sections could not be allocated); nothing written */

/* ------------------------------------------------------------------------
 * Storages.  A contact is addressed by (storage_type, index).  The numbers
 * follow the change-notification numbering: 6 is another name for the phone
 * storage and 7 another name for my contact.
 * ---------------------------------------------------------------------- */
#define CONTACT_STORAGE_PHONE        0 /* the phone's own memory */
#define CONTACT_STORAGE_SIM          1 /* ADN phonebook of the first SIM */
#define CONTACT_STORAGE_SIM2         2 /* ADN phonebook of the second SIM */
#define CONTACT_STORAGE_FDN          3 /* fixed dialling numbers */
#define CONTACT_STORAGE_SDN          4 /* service dialling numbers */
#define CONTACT_STORAGE_MY_CONTACT   5 /* the user's own contact */
#define CONTACT_STORAGE_PHONE_ALIAS  6 /* same rows as CONTACT_STORAGE_PHONE */
#define CONTACT_STORAGE_MY_CONTACT_ALIAS 7 /* same as CONTACT_STORAGE_MY_CONTACT */

/* Field identifiers for contact_get_field_value / contact_change_field_value. */
#define CONTACT_FIELD_DISPLAY_NAME   0
#define CONTACT_FIELD_FIRST_NAME     1
#define CONTACT_FIELD_LAST_NAME      2
#define CONTACT_FIELD_MIDDLE_NAME    3
#define CONTACT_FIELD_NICKNAME       4
#define CONTACT_FIELD_COMPANY        5
#define CONTACT_FIELD_JOB_TITLE      6
#define CONTACT_FIELD_DEPARTMENT     7
#define CONTACT_FIELD_BIRTHDAY       8  /* "YYYY-MM-DD" */
#define CONTACT_FIELD_RINGTONE_PATH  9
#define CONTACT_FIELD_PHOTO_PATH     10
#define CONTACT_FIELD_WEBSITE        11
#define CONTACT_FIELD_FAVOURITE      12 /* "0" or "1" */
#define CONTACT_FIELD_FREQUENCY      13 /* decimal; read only here, see contact_increase_frequency */
#define CONTACT_FIELD_NOTE           14 /* the note section */
#define CONTACT_FIELD_FIRST_NUMBER   15 /* number of the first phone entry; read only */

/* Phone, e-mail and postal types used in the element records. */
#define CONTACT_TYPE_HOME    0
#define CONTACT_TYPE_WORK    1
#define CONTACT_TYPE_MOBILE  2
#define CONTACT_TYPE_FAX     3
#define CONTACT_TYPE_OTHER   4

/* ------------------------------------------------------------------------
 * Element records of a contact's variable sections.  They hold only int and
 * char fields, so their layout is the same on every target.
 * ---------------------------------------------------------------------- */
typedef struct {            /* 56 bytes */
    int type;               /* CONTACT_TYPE_* */
    char number[48];        /* dialable number, UTF-8 */
    int is_primary;         /* 1 for the default number */
} contact_phone_info_t;

typedef struct {            /* 140 bytes */
    int type;
    int is_primary;
    char address[128];
    int reserved;
} contact_email_info_t;

typedef struct {            /* 1208 bytes */
    int type;
    char pobox[64];
    char extended[212];     /* flat, building, c/o */
    char street[512];
    char city[128];
    char region[128];
    char postcode[32];
    char country[128];
} contact_postal_info_t;

typedef struct {            /* 140 bytes: one social-network account */
    int type;
    char service_name[32];
    char account[104];
} contact_sns_t;

typedef struct {            /* 144 bytes: one instant-messaging account */
    int type;
    int status;             /* presence of the account as last reported */
    char service_name[32];
    char account[104];
} contact_im_t;

typedef struct {            /* 5104 bytes: where the contact came from */
    int account_id;
    int revision;
    char uid[256];          /* the source's own identifier */
    unsigned char extra[4840]; /* opaque data of the source, kept as is */
} contact_id_data_t;

/* ------------------------------------------------------------------------
 * contact_t: 4480 bytes on the wire.  Each section pointer is paired with a
 * count or length; a NULL pointer always goes with 0.  Text sections hold
 * length + 1 bytes, the last a NUL.  Sections unpacked by the library are
 * allocated with calloc and belong to the caller, who frees each with free.
 * Offsets (wire layout) are given on the right.
 * ---------------------------------------------------------------------- */
typedef struct {
    int index;                          /*    0 */
    int storage_type;                   /*    4 */
    int frequency;                      /*    8: raised and lowered by the frequency operations */
    int is_favourite;                   /*   12 */
    char first_name[64];                /*   16 */
    char last_name[64];                 /*   80 */
    char name_prefix[20];               /*  144 */
    char name_suffix[20];               /*  164 */
    char birthday[11];                  /*  184: "YYYY-MM-DD" */
    char anniversary[8];                /*  195: "MM-DD" */
    char display_name[128];             /*  203 */
    char nickname[64];                  /*  331 */
    char company[128];                  /*  395 */
    char job_title[64];                 /*  523 */
    char department[64];                /*  587 */
    char ringtone_path[128];            /*  651 */
    char reserved_tone[13];             /*  779 */
    contact_phone_info_t *phone_info;   /*  792 */
    contact_email_info_t *email_info;   /*  796 */
    char photo_path[256];               /*  800 */
    char website[256];                  /* 1056 */
    char phonetic_first_name[64];       /* 1312 */
    char phonetic_last_name[64];        /* 1376 */
    char middle_name[64];               /* 1440 */
    char message_tone_path[256];        /* 1504 */
    char reserved_names[520];           /* 1760 */
    contact_postal_info_t *postal_info; /* 2280 */
    char *note;                         /* 2284 */
    char account_name[64];              /* 2288 */
    char source_uid[64];                /* 2352 */
    int created_time;                   /* 2416: seconds since the epoch */
    int modified_time;                  /* 2420: seconds since the epoch */
    int last_call_time;                 /* 2424 */
    char reserved_account[1820];        /* 2428 */
    char *presence_text;                /* 4248 */
    int presence_status;                /* 4252 */
    char reserved_presence[24];         /* 4256 */
    contact_sns_t *sns;                 /* 4280 */
    contact_im_t *im;                   /* 4284 */
    int is_blocked;                     /* 4288 */
    int is_hidden;                      /* 4292 */
    char reserved_flags[16];            /* 4296 */
    int sns_cnt;                        /* 4312 */
    int im_cnt;                         /* 4316 */
    int presence_text_len;              /* 4320 */
    char custom_label[64];              /* 4324 */
    char reserved_label[56];            /* 4388 */
    char *about;                        /* 4444 */
    int about_len;                      /* 4448 */
    int revision;                       /* 4452: the source's revision of the contact */
    contact_id_data_t *contact_id_data; /* 4456 */
    int phone_info_cnt;                 /* 4460 */
    int email_info_cnt;                 /* 4464 */
    int note_len;                       /* 4468 */
    int postal_info_cnt;                /* 4472 */
    int reserved_tail;                  /* 4476 */
} contact_t;

#define CONTACT_RECORD_WIRE_SIZE 4480
#define CONTACT_FIELD_VALUE_MAX  2048 /* room contact_get_field_value needs */

/* ------------------------------------------------------------------------
 * Connection.  contact_initialize / contact_open_database count up and open
 * the one connection; contact_finalize / contact_close_database count down
 * and release it when the count reaches 0.
 * ---------------------------------------------------------------------- */
CONTACT_API int contact_initialize(int *error_code);
CONTACT_API int contact_finalize(int *error_code);
CONTACT_API int contact_open_database(int *error_code);
CONTACT_API int contact_close_database(int *error_code);
CONTACT_API int contact_is_database_opened(bool *opened, int *error_code);

/* ------------------------------------------------------------------------
 * Contacts.
 * ---------------------------------------------------------------------- */
CONTACT_API int contact_add_contact(int storage_type, contact_t *contact_record, int *index, int *error_code);
CONTACT_API int contact_insert_contact(int storage_type, int index, contact_t *contact_record, int *error_code);
CONTACT_API int contact_update_contact(int storage_type, int index, contact_t *contact_record, int *error_code);
CONTACT_API int contact_get_contact(int storage_type, int index, contact_t *contact_record, int *error_code);
CONTACT_API int contact_delete_contact(int storage_type, int index, int *error_code);
CONTACT_API int contact_delete_all_contacts(int storage_type, int *error_code);
CONTACT_API int contact_is_contact_exist(int storage_type, int index, bool *is_exist, int *error_code);
CONTACT_API int contact_get_contact_count(int storage_type, int *record_count, int *error_code);
CONTACT_API int contact_get_max_contact_count(int storage_type, int *max_record_count, int *error_code);
CONTACT_API int contact_get_empty_contact_index(int storage_type, int *empty_index, int *error_code);
CONTACT_API int contact_get_all_contact_indices(int storage_type, int *contact_index_array, int *contact_count, int *error_code);
CONTACT_API int contact_get_field_value(int storage_type, int index, int field_id, char *field_value, int *error_code);
CONTACT_API int contact_change_field_value(int storage_type, int index, int field_id, const char *field_value, int *error_code);
CONTACT_API int contact_increase_frequency(int storage_type, int index, int *error_code);
CONTACT_API int contact_decrease_frequency(int storage_type, int index, int *error_code);
CONTACT_API int contact_is_fdn_phone_number_exist(const char *sznumber, bool *is_exist, int *error_code);

/* ------------------------------------------------------------------------
 * My contact and status queries.  The five status operations answer only
 * through *error_code (see the README for their meaning).
 * ---------------------------------------------------------------------- */
CONTACT_API int contact_get_my_contact(contact_t *my_contact, int *error_code);
CONTACT_API int contact_insert_my_contact(contact_t *my_contact, int *error_code);
CONTACT_API int contact_update_my_contact(contact_t *my_contact, int *error_code);
CONTACT_API int contact_delete_my_contact(int *error_code);
CONTACT_API int contact_set_lbs_position(int *error_code);
CONTACT_API int contact_is_contact_track_me_stop(int *error_code);
CONTACT_API int contact_is_contact_track_me_init(int *error_code);
CONTACT_API int contact_is_contact_me_im_account_setting(int value1, int value2, int *error_code);
CONTACT_API int contact_drm_expired(int value1, const char *text, int *error_code);

/* ------------------------------------------------------------------------
 * vCard conversion, performed by the service.  Only the contact's 4480-byte
 * fixed part travels, never its sections; a contact whose index and
 * storage_type name a stored contact is exported with its stored sections
 * (numbers, e-mails, addresses, note ...).  These take no error_code: they
 * return 1 or 0 and log the reason.  convert_param selects the version
 * written: 0 (3.0), 21, 30 or 40.  A received contact's section pointers
 * are NULL and its counts tell what the card held.
 * ---------------------------------------------------------------------- */
#define CONTACT_VCARD_DEFAULT 0  /* vCard 3.0 */
#define CONTACT_VCARD_21      21 /* vCard 2.1 */
#define CONTACT_VCARD_30      30 /* vCard 3.0 */
#define CONTACT_VCARD_40      40 /* vCard 4.0 */
#define CONTACT_VCARD_PATH_MAX 300 /* size of full_file_path */

/* *vcard: the text, released with contact_free_vcard. */
CONTACT_API int contact_convert_contact_to_vcard(const contact_t *pContact, char **vcard, int convert_param);
/* full_file_path: 300 bytes; receives the path of the file the service wrote
 * (readable by the caller); the _tmp variant's file is removed by the
 * service after a while (see the README). */
CONTACT_API int contact_convert_contact_to_vcard_file(const contact_t *pContact, char *full_file_path,
    int convert_param);
CONTACT_API int contact_convert_contact_to_vcard_file_tmp(const contact_t *pContact, char *full_file_path,
    int convert_param);
/* pFile: an absolute path the service opens with the caller's own identity;
 * the first card of the file (or of pObject) becomes *pContact. */
CONTACT_API int contact_convert_vcard_file_to_contact(const char *pFile, contact_t *pContact);
CONTACT_API int contact_convert_vcard_to_contact(const char *pObject, contact_t *pContact);
CONTACT_API int contact_free_vcard(char *vcard);

/* ------------------------------------------------------------------------
 * Change notifications.  The service announces changes with short lists of
 * typed arguments; how an application receives them is its own business.
 * The converters below turn such a list into an update type (what changed,
 * CONTACT_UPDATE_*) and update data (where).  They call nothing, need no
 * connection, keep no state and allocate nothing.
 *
 * noti_args: a GArray of noti_property elements, element n at byte 16 * n
 * of its data (g_array_new(FALSE, FALSE, sizeof(noti_property))).  The
 * converters count the whole 16-byte elements in len * element size bytes,
 * read elements only by position and never change, free or keep the array.
 * ---------------------------------------------------------------------- */
typedef struct {            /* 16 bytes on every target */
    int type;               /*  0: the argument's type character; 'i' is a 32-bit int */
    int reserved;           /*  4: not read */
    union {                 /*  8 */
        int i;              /* the value of an 'i' argument (bytes 8 to 11) */
        long long wide;     /* room for the service's wider values; not read */
    } value;
} noti_property;

#define CONTACT_NOTI_TYPE_INT 'i'

/* The location of one row.  The index comes first, as in contact_t and
 * group_t, although notifications carry the storage type first. */
typedef struct {            /* 8 bytes */
    int index;              /* 0 */
    int storage_type;       /* 4 */
} contact_update_index_t;

typedef struct {            /* 16 bytes; starts like contact_update_index_t */
    int index;              /*  0 */
    int storage_type;       /*  4 */
    int access_mode;        /*  8 */
    int sim_error_value;    /* 12 */
} contact_update_sim_error_t;

/* Operation codes of the table-modified notifications (element 0). */
#define CONTACT_NOTI_OPERATION_ADD        0 /* a row was added (or inserted) */
#define CONTACT_NOTI_OPERATION_UPDATE     1 /* a row was changed */
#define CONTACT_NOTI_OPERATION_DELETE     2 /* a row was deleted */
#define CONTACT_NOTI_OPERATION_DELETE_ALL 3 /* every row of the storage was deleted */

/* Update types, the complete numbering, with the update data that comes
 * with each.  Contacts (5 to 24): 5 + 4 * storage + operation code, storage
 * 0 to 4; groups (26 to 33): 26 + 4 * storage + operation code, storage 0
 * or 1.  37 and 51 are produced by no converter; nothing is above 52. */
#define CONTACT_UPDATE_NEW_STORAGE_TYPE         0  /* int: the storage type */
#define CONTACT_UPDATE_VIEW_STORAGE_TYPE        1  /* int: the storage type */
#define CONTACT_UPDATE_DISPLAY_ORDER            2  /* int: the display order */
#define CONTACT_UPDATE_SORT_TYPE                3  /* int: the sort type */
#define CONTACT_UPDATE_ACTIVATED_OWN_NUMBER     4  /* int: the own number's position */
#define CONTACT_UPDATE_PHONE_ADD                5  /* contact_update_index_t, 5 to 25 */
#define CONTACT_UPDATE_PHONE_UPDATE             6
#define CONTACT_UPDATE_PHONE_DELETE             7
#define CONTACT_UPDATE_PHONE_DELETE_ALL         8
#define CONTACT_UPDATE_SIM_ADD                  9
#define CONTACT_UPDATE_SIM_UPDATE               10
#define CONTACT_UPDATE_SIM_DELETE               11
#define CONTACT_UPDATE_SIM_DELETE_ALL           12
#define CONTACT_UPDATE_SIM2_ADD                 13
#define CONTACT_UPDATE_SIM2_UPDATE              14
#define CONTACT_UPDATE_SIM2_DELETE              15
#define CONTACT_UPDATE_SIM2_DELETE_ALL          16
#define CONTACT_UPDATE_FDN_ADD                  17
#define CONTACT_UPDATE_FDN_UPDATE               18
#define CONTACT_UPDATE_FDN_DELETE               19
#define CONTACT_UPDATE_FDN_DELETE_ALL           20
#define CONTACT_UPDATE_SDN_ADD                  21
#define CONTACT_UPDATE_SDN_UPDATE               22
#define CONTACT_UPDATE_SDN_DELETE               23
#define CONTACT_UPDATE_SDN_DELETE_ALL           24
#define CONTACT_UPDATE_CONTACT_TABLE_UPDATE     25
#define CONTACT_UPDATE_PHONE_GROUP_ADD          26 /* contact_update_index_t, 26 to 33 */
#define CONTACT_UPDATE_PHONE_GROUP_UPDATE       27
#define CONTACT_UPDATE_PHONE_GROUP_DELETE       28
#define CONTACT_UPDATE_PHONE_GROUP_DELETE_ALL   29
#define CONTACT_UPDATE_SIM_GROUP_ADD            30
#define CONTACT_UPDATE_SIM_GROUP_UPDATE         31
#define CONTACT_UPDATE_SIM_GROUP_DELETE         32
#define CONTACT_UPDATE_SIM_GROUP_DELETE_ALL     33
#define CONTACT_UPDATE_SPEED_DIAL_ADD           34 /* int: the speed-dial index, 34 to 36 */
#define CONTACT_UPDATE_SPEED_DIAL_UPDATE        35
#define CONTACT_UPDATE_SPEED_DIAL_DELETE        36
/*                                              37    not produced */
#define CONTACT_UPDATE_SIM_ERROR                38 /* contact_update_sim_error_t */
#define CONTACT_UPDATE_DELETE_ALL_GROUP_MEMBERS 39 /* contact_update_index_t: the group, 39 to 43 */
#define CONTACT_UPDATE_DELETE_SOME_GROUP_MEMBERS 40
#define CONTACT_UPDATE_ADD_SOME_GROUP_MEMBERS   41
#define CONTACT_UPDATE_ADD_GROUP_MEMBER         42
#define CONTACT_UPDATE_DELETE_GROUP_MEMBER      43
#define CONTACT_UPDATE_DELETE_SOME_CONTACTS     44 /* int: the storage type, 44 to 47 */
#define CONTACT_UPDATE_COPY_SOME_CONTACTS       45
#define CONTACT_UPDATE_MOVE_SOME_CONTACTS       46
#define CONTACT_UPDATE_DELETE_SOME_GROUPS       47
#define CONTACT_UPDATE_MY_CONTACT_ADD           48 /* int: the index from the my-contact table; */
#define CONTACT_UPDATE_MY_CONTACT_UPDATE        49 /* contact_update_index_t from the contact main */
#define CONTACT_UPDATE_MY_CONTACT_DELETE        50 /* table (storage 5 or 7; delete all gives 50) */
/*                                              51    not produced */
#define CONTACT_UPDATE_FDN_STATUS_CHANGED       52 /* int: the FDN status */

/* Every converter takes the argument list, where to store the update type,
 * where to store the update data (an int or the record named above) and
 * error_code; all four must be non-NULL (asserted).  It returns 1 with
 * *update_type and the update data set, leaving *error_code alone.  An
 * argument list that does not fit the converter (fewer elements than it
 * reads, a type other than 'i' where 'i' is required, an operation code or
 * storage type outside its table) gives 0 and CONTACT_ERROR_OUT_OF_RANGE,
 * with *update_type and the update data untouched.  The README lists the
 * element positions each converter reads. */
/* Settings and FDN status: element 0, type 'i', into one int. */
CONTACT_API int contact_convert_new_storage_type_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_view_storage_type_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_display_order_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_sort_type_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_activated_own_number_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_fdn_status_changed_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
/* Moves, copies and deletes of several rows: element 0 (storage_type), any
 * type, into one int. */
CONTACT_API int contact_convert_delete_some_contacts_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_copy_some_contacts_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_move_some_contacts_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_delete_some_groups_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
/* Membership: element 0 storage_type and element 1 index of the group, any
 * type, into a contact_update_index_t. */
CONTACT_API int contact_convert_delete_all_group_members_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_delete_some_group_members_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_add_some_group_members_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_add_group_member_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_delete_group_member_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
/* SIM error: elements 0 storage_type, 1 index, 2 access_mode,
 * 3 sim_error_value, any type, into a contact_update_sim_error_t. */
CONTACT_API int contact_convert_sim_error_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
/* Tables modified: element 0 the operation code, then 1 storage_type and
 * 2 index into a contact_update_index_t (contact main, contact and group
 * tables), or 1 index into one int (speed-dial and my-contact tables).
 * Every element read must be 'i'. */
CONTACT_API int contact_convert_contact_main_table_modified_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_contact_table_modified_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_group_table_modified_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_speed_dial_table_modified_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);
CONTACT_API int contact_convert_my_contact_table_modified_noti_to_update_type_and_data(GArray *noti_args, int *update_type,
    void *update_data, int *error_code);

/* ------------------------------------------------------------------------
 * Bulk operations: long jobs that the service runs on its own threads,
 * named by a handle that belongs to the client that opened it.
 *
 * contact_bulk_operation_open(kind, target, ...): open_param1 is the kind,
 * open_param2 the storages it works on:
 *   IMPORT  a vCard file into storage open_param2 (file named on the Bulk
 *           interface, see the README; no thumbs)
 *   EXPORT  contacts of storage open_param2 into a new vCard file of the
 *           service's (thumbs: the indices; none: the whole storage)
 *   COPY    contacts from one storage to another:
 *   MOVE    open_param2 = CONTACT_BULK_STORAGES(source, target);
 *           thumbs: indices in the source; none: the whole source
 *   DELETE  the thumbs' contacts of storage open_param2 (thumbs required)
 * Thumb records are contact indices (ints).
 * ---------------------------------------------------------------------- */
#define CONTACT_BULK_IMPORT  1
#define CONTACT_BULK_EXPORT  2
#define CONTACT_BULK_COPY    3
#define CONTACT_BULK_MOVE    4
#define CONTACT_BULK_DELETE  5
#define CONTACT_BULK_STORAGES(source, target) (((source) << 8) | (target))

/* bulk_operation_status_t.state, and the operation_state of exec. */
#define CONTACT_BULK_STATE_OPENED  0 /* opened, not executed yet */
#define CONTACT_BULK_STATE_RUNNING 1 /* working (a stop takes effect after the current chunk) */
#define CONTACT_BULK_STATE_STOPPED 2 /* paused after a whole chunk; resume goes on */
#define CONTACT_BULK_STATE_DONE    3 /* finished; failed items counted in `failed` */
#define CONTACT_BULK_STATE_FAILED  4 /* ended early; `last_error` says why, stored chunks stay */

/* The status of a job, 24 bytes on the wire: six 4-byte ints at offsets
 * 0, 4, 8, 12, 16, 20 (asserted in the library for 32-bit builds). */
typedef struct {
    int state;      /* CONTACT_BULK_STATE_* */
    int done;       /* contacts imported, exported, copied, moved or deleted so far */
    int total;      /* contacts the job works on; -1 while an import has not read its whole file */
    int failed;     /* cards or indices that could not be handled (skipped) */
    int progress;   /* per mille of the work done, 0..1000 (an import counts bytes of its file) */
    int last_error; /* service code of the last skipped item or of what ended the job; 0 if none */
} bulk_operation_status_t;

CONTACT_API int contact_bulk_operation_open(int open_param1, int open_param2, int *bulk_op_handle, int *error_code);
CONTACT_API int contact_bulk_operation_exec(int bulk_op_handle, int *operation_state, int *error_code);
CONTACT_API int contact_bulk_operation_close(int bulk_op_handle, int *error_code);
CONTACT_API int contact_bulk_operation_set_thumb(int bulk_op_handle, const int *thumb_record, int count, int *error_code);
CONTACT_API int contact_bulk_operation_get_info(int bulk_op_handle, bulk_operation_status_t *operation_status,
    int *error_code);
CONTACT_API int contact_bulk_operation_resume(int bulk_op_handle, int *error_code);
CONTACT_API int contact_bulk_operation_stop(int bulk_op_handle, int *error_code);
CONTACT_API int contact_bulk_operation_stop_all(int *error_code);
CONTACT_API int contact_bulk_operation_close_all(int *error_code);
/* *is_bulk_operation: 1 while any job of any client is running, else 0;
 * *error_code: the service's result code (0). */
CONTACT_API int contact_is_bulk_operation_check(int *is_bulk_operation, int *error_code);

#ifdef __cplusplus
}
#endif

#endif /* CONTACT_ENGINE_H */
