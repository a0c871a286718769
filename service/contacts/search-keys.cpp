#include "contacts/search-keys.h"

#include <phonenumbers/phonenumberutil.h>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <stdexcept>

namespace contact_engine {

namespace {

using i18n::phonenumbers::PhoneNumber;
using i18n::phonenumbers::PhoneNumberUtil;

std::string to_utf8(const icu::UnicodeString &text)
{
    std::string out;
    text.toUTF8String(out);
    return out;
}

// "de_DE.UTF-8@euro" -> "de_DE"
std::string icu_locale_name(std::string name)
{
    const auto cut = name.find_first_of(".@");
    if (cut != std::string::npos)
        name.resize(cut);
    return name;
}

std::string region_of(const std::string &locale, const std::string &region)
{
    if (!region.empty())
        return region;
    const std::string country = icu::Locale(locale.c_str()).getCountry();
    return country.empty() ? "ZZ" : country;
}

} // namespace

std::string prefix_upper_bound(std::string prefix)
{
    while (!prefix.empty()) {
        auto &last = reinterpret_cast<unsigned char &>(prefix.back());
        if (last != 0xff) {
            ++last;
            return prefix;
        }
        prefix.pop_back();
    }
    return prefix;
}

SearchKeys::SearchKeys(const std::string &locale, const std::string &region)
    : region_(region_of(icu_locale_name(locale), region))
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Locale icu_locale(icu_locale_name(locale).c_str());
    collator_.reset(icu::Collator::createInstance(icu_locale, status));
    if (U_FAILURE(status) || !collator_)
        throw std::runtime_error("no collation for locale " + locale + ": " + u_errorName(status));
    decompose_ = icu::Normalizer2::getNFDInstance(status);
    if (U_FAILURE(status))
        throw std::runtime_error(std::string("no Unicode decomposition: ") + u_errorName(status));

    UVersionInfo version;
    collator_->getVersion(version);
    char version_text[U_MAX_VERSION_STRING_LENGTH];
    u_versionToString(version, version_text);
    signature_ = icu_locale_name(locale) + "/" + version_text + "/" + region_;
}

SearchKeys::~SearchKeys() = default;

std::string SearchKeys::sort_key(const std::string &name) const
{
    const icu::UnicodeString text = icu::UnicodeString::fromUTF8(name);
    std::lock_guard lock(collator_mutex_);
    std::string key(64, '\0');
    int32_t length = collator_->getSortKey(text, reinterpret_cast<uint8_t *>(key.data()), int32_t(key.size()));
    if (length > int32_t(key.size())) {
        key.resize(std::size_t(length));
        length = collator_->getSortKey(text, reinterpret_cast<uint8_t *>(key.data()), int32_t(key.size()));
    }
    // The key ends in a NUL byte that carries no order.
    key.resize(length > 0 ? std::size_t(length - 1) : 0);
    return key;
}

std::vector<std::string> SearchKeys::name_words(const std::string &name) const
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::UnicodeString decomposed = decompose_->normalize(icu::UnicodeString::fromUTF8(name), status);
    if (U_FAILURE(status))
        return {};
    std::vector<std::string> words;
    icu::UnicodeString word;
    auto finish = [&] {
        if (!word.isEmpty())
            words.push_back(to_utf8(word.foldCase()));
        word.remove();
    };
    for (int32_t i = 0; i < decomposed.length();) {
        const UChar32 c = decomposed.char32At(i);
        i += U16_LENGTH(c);
        if (u_getCombiningClass(c) != 0 || u_charType(c) == U_NON_SPACING_MARK)
            continue; // accents go
        if (u_isalnum(c))
            word.append(c);
        else
            finish();
    }
    finish();
    return words;
}

std::string SearchKeys::number_key(const std::string &number) const
{
    const PhoneNumberUtil &util = *PhoneNumberUtil::GetInstance();
    PhoneNumber parsed;
    if (util.Parse(number, region_, &parsed) == PhoneNumberUtil::NO_PARSING_ERROR) {
        // A partial number ("020 7946") is too short for libphonenumber to
        // drop the national prefix; drop it here, so a beginning of a number
        // is the beginning of its key.
        std::string national_prefix;
        util.GetNddPrefixForRegion(region_, true, &national_prefix);
        if (parsed.italian_leading_zero() && national_prefix == "0" &&
            parsed.country_code() == util.GetCountryCodeForRegion(region_) && !util.IsValidNumber(parsed))
            parsed.set_italian_leading_zero(false);
        std::string key;
        util.Format(parsed, PhoneNumberUtil::E164, &key);
        return key;
    }
    std::string digits;
    for (char c : number)
        if ((c >= '0' && c <= '9') || (c == '+' && digits.empty()))
            digits += c;
    return digits;
}

} // namespace contact_engine
