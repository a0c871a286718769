// SearchKeys: how names and phone numbers are compared, for sorting and
// searching contacts.
//
// - sort_key(name): the ICU collation key of a display name for the
//   service's locale.  Keys compare as plain bytes (memcmp, as SQLite
//   compares BLOBs), so an index on them gives the locale's order without
//   sorting at query time.
// - name_words(name): the words of a name folded for matching: accents
//   removed and case folded ("José" -> "jose"), so a query word matches a
//   name word it is a prefix of.
// - number_key(number): a phone number in its international form for the
//   service's region ("020 7946 0018", "+44 20 7946 0018" and
//   "00442079460018" are all "+442079460018" in region GB); a text that is
//   no phone number keeps its digits (and a leading '+').
//
// Thread-safe: every function may run on any thread.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <unicode/uversion.h>

U_NAMESPACE_BEGIN
class Collator;
class Normalizer2;
U_NAMESPACE_END

namespace contact_engine {

class SearchKeys {
public:
    // `locale` as ICU or POSIX names it ("en_GB", "de_DE.UTF-8", "sv");
    // `region` a two-letter country code for numbers written without their
    // country code; empty takes the locale's country.
    SearchKeys(const std::string &locale, const std::string &region);
    ~SearchKeys();
    SearchKeys(const SearchKeys &) = delete;
    SearchKeys &operator=(const SearchKeys &) = delete;

    std::string sort_key(const std::string &name) const;
    std::vector<std::string> name_words(const std::string &name) const;
    std::string number_key(const std::string &number) const;

    // Changes whenever stored keys would come out differently (another
    // locale, region or ICU collation version): stored keys are then made
    // again.
    const std::string &signature() const { return signature_; }
    const std::string &region() const { return region_; }

private:
    std::unique_ptr<icu::Collator> collator_;
    const icu::Normalizer2 *decompose_ = nullptr;
    mutable std::mutex collator_mutex_; // a Collator is not safe for concurrent use
    std::string region_;
    std::string signature_;
};

// The smallest text greater than every text that starts with `prefix`
// (byte order), or "" when there is none: `prefix <= text < upper` is a
// prefix search that an index serves.
std::string prefix_upper_bound(std::string prefix);

} // namespace contact_engine
