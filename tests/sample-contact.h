// Contacts for tests: a record that owns the memory its sections point to,
// and a received record that frees the sections the library allocated.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "contact-engine.h"

namespace contact_test {

template <std::size_t N> void set_text(char (&field)[N], const std::string &value)
{
    std::memset(field, 0, N);
    std::memcpy(field, value.data(), value.size() < N - 1 ? value.size() : N - 1);
}

// Each setter re-points the record at the member that now holds the data.
class SampleContact {
public:
    explicit SampleContact(const std::string &display_name = "")
    {
        std::memset(&record, 0, sizeof record);
        set_text(record.display_name, display_name);
    }
    SampleContact(const SampleContact &) = delete;
    SampleContact &operator=(const SampleContact &) = delete;

    SampleContact &phone(const std::string &number, int type = CONTACT_TYPE_MOBILE)
    {
        contact_phone_info_t &entry = append(phones_, record.phone_info, record.phone_info_cnt);
        entry.type = type;
        entry.is_primary = phones_.size() == 1 ? 1 : 0;
        set_text(entry.number, number);
        return *this;
    }
    SampleContact &email(const std::string &address)
    {
        set_text(append(emails_, record.email_info, record.email_info_cnt).address, address);
        return *this;
    }
    SampleContact &postal(const std::string &street, const std::string &city)
    {
        contact_postal_info_t &entry = append(postals_, record.postal_info, record.postal_info_cnt);
        set_text(entry.street, street);
        set_text(entry.city, city);
        return *this;
    }
    SampleContact &sns(const std::string &service, const std::string &account)
    {
        contact_sns_t &entry = append(sns_, record.sns, record.sns_cnt);
        set_text(entry.service_name, service);
        set_text(entry.account, account);
        return *this;
    }
    SampleContact &im(int type, int status, const std::string &account)
    {
        contact_im_t &entry = append(ims_, record.im, record.im_cnt);
        entry.type = type;
        entry.status = status;
        set_text(entry.account, account);
        return *this;
    }
    SampleContact &note(const std::string &text) { return text_section(note_, text, record.note, record.note_len); }
    // Every named field and every section, and the opaque bytes too.
    SampleContact &everything()
    {
        set_text(record.first_name, "Ada");
        set_text(record.last_name, "Lovelace");
        set_text(record.nickname, "Countess");
        set_text(record.company, "Analytical Engines Ltd");
        set_text(record.job_title, "Programmer");
        set_text(record.birthday, "1815-12-10");
        set_text(record.ringtone_path, "/opt/sounds/bell.ogg");
        set_text(record.photo_path, "/home/user/photos/ada.jpg");
        set_text(record.website, "https://example.org/ada");
        set_text(record.middle_name, "King");
        record.is_favourite = 1;
        record.created_time = 1700000000;
        for (std::size_t i = 0; i < sizeof record.reserved_account; ++i)
            record.reserved_account[i] = static_cast<char>(i * 31 + 1);
        for (std::size_t i = 0; i < sizeof record.reserved_names; ++i)
            record.reserved_names[i] = static_cast<char>(255 - i);
        record.reserved_tail = 0x11223344;
        phone("+44 20 7946 0000").phone("020-7946-0001", CONTACT_TYPE_WORK);
        email("ada@example.org").email("countess@example.org");
        postal("12 St James's Square", "London");
        note("Wrote the first program.\nLikes poetry: \xc3\xa9t\xc3\xa9");
        text_section(about_, "Mathematician", record.about, record.about_len);
        sns("mastodon", "@ada").sns("blog", "ada.example.org");
        im(1, 2, "ada@im.example.org");
        text_section(presence_, "Computing", record.presence_text, record.presence_text_len);
        auto *id = reinterpret_cast<unsigned char *>(&id_);
        for (std::size_t i = 0; i < sizeof id_; ++i)
            id[i] = static_cast<unsigned char>(3 + i * 13);
        record.contact_id_data = &id_;
        return *this;
    }

    contact_t record;

private:
    // A new zeroed entry at the end of `entries`, the record pointing at them all.
    template <class T> T &append(std::vector<T> &entries, T *&pointer, int &count)
    {
        entries.push_back(T{});
        pointer = entries.data();
        count = int(entries.size());
        return entries.back();
    }
    SampleContact &text_section(std::string &storage, const std::string &text, char *&pointer, int &length)
    {
        storage = text;
        pointer = storage.empty() ? nullptr : storage.data();
        length = int(storage.size());
        return *this;
    }

    std::vector<contact_phone_info_t> phones_;
    std::vector<contact_email_info_t> emails_;
    std::vector<contact_postal_info_t> postals_;
    std::vector<contact_sns_t> sns_;
    std::vector<contact_im_t> ims_;
    std::string note_, about_, presence_;
    contact_id_data_t id_{};
};

// Frees every section of a record that the library unpacked.
inline void free_contact_sections(contact_t &record)
{
    for (void *section : std::initializer_list<void *>{record.phone_info, record.email_info, record.postal_info,
                                                        record.note, record.about, record.sns, record.im,
                                                        record.presence_text, record.contact_id_data})
        std::free(section);
}

// A record filled by the library; frees what the library allocated.
struct ReceivedContact {
    ReceivedContact() { std::memset(&record, 0, sizeof record); }
    ReceivedContact(const ReceivedContact &) = delete;
    ReceivedContact &operator=(const ReceivedContact &) = delete;
    ~ReceivedContact() { release(); }
    void release()
    {
        free_contact_sections(record);
        std::memset(&record, 0, sizeof record);
    }
    contact_t record;
};

} // namespace contact_test
