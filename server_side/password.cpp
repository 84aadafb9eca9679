#include "password.hpp"

#include <crypt.h>

#include <algorithm>
#include <array>
#include <memory>

namespace {

constexpr std::array<std::string_view, 6> HASH_PREFIXES = {"$y$",  "$gy$", "$7$",
                                                           "$2b$", "$6$",  "$5$"};

// Equal in a time that depends only on the lengths, not on where they differ.
bool same_bytes(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const std::size_t n = std::max(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const char x = i < a.size() ? a[i] : '\0';
        const char y = i < b.size() ? b[i] : '\0';
        diff |= static_cast<unsigned char>(x ^ y);
    }
    return diff == 0;
}

// crypt_r on `setting`; empty when it failed ("*0", "*1" or NULL).
std::string crypt_string(std::string_view phrase, const std::string& setting) {
    const std::string text(phrase);
    // crypt_data is large (about 32 KiB): not on the stack.
    const auto data = std::make_unique<crypt_data>();
    const char* out = ::crypt_r(text.c_str(), setting.c_str(), data.get());
    if (out == nullptr || out[0] == '*') return {};
    return out;
}

}  // namespace

bool is_hash(std::string_view field) {
    bool known = false;
    for (const std::string_view prefix : HASH_PREFIXES)
        known = known || field.substr(0, prefix.size()) == prefix;
    if (!known) return false;
    const std::string setting(field);
    return ::crypt_checksalt(setting.c_str()) == CRYPT_SALT_OK;
}

std::string hash_password(std::string_view password) {
    std::array<char, CRYPT_GENSALT_OUTPUT_SIZE> setting{};
    if (::crypt_gensalt_rn(HASH_METHOD, HASH_COST, nullptr, 0, setting.data(),
                           static_cast<int>(setting.size())) == nullptr)
        return {};
    return crypt_string(password, setting.data());
}

bool password_matches(std::string_view stored, std::string_view given) {
    if (!is_hash(stored)) return same_bytes(stored, given);
    const std::string result = crypt_string(given, std::string(stored));
    return !result.empty() && same_bytes(result, stored);
}

void check_unknown_id(std::string_view given) {
    // One hash of the default cost, made once, against which every unknown
    // ID's password is checked.
    static const std::string dummy = hash_password("no such account");
    if (!dummy.empty()) crypt_string(given, dummy);
}
