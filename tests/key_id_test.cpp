// Key ids: a fingerprint of every bit of the key material.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <set>

#include "key_file.h"

namespace {

// Every bit of every field flipped, one at a time, gives an id of its own.
// The fields lie one after the other, words first, with no gap before the
// last byte, stamp_mask.
TEST(KeyId, EveryBitOfEveryFieldCounts) {
    constexpr std::size_t field_bytes = offsetof(KeyMaterial, stamp_mask) + 1;
    static_assert(field_bytes == 82 * 4 + 7, "the fields are packed");
    std::set<std::string> ids = {key_id(build_key)};
    for (std::size_t bit = 0; bit < 8 * field_bytes; ++bit) {
        unsigned char bytes[sizeof(KeyMaterial)];
        std::memcpy(bytes, &build_key, sizeof bytes);
        bytes[bit / 8] ^= static_cast<unsigned char>(1u << (bit % 8));
        KeyMaterial key;
        std::memcpy(&key, bytes, sizeof key);
        EXPECT_TRUE(ids.insert(key_id(key)).second) << "byte " << bit / 8 << " bit " << bit % 8;
    }
    EXPECT_EQ(ids.size(), 8 * field_bytes + 1);
}

// The id is 8 code symbols of the MD5 of the canonical text, which is the
// text keygen writes: a stored key's id does not drift.
TEST(KeyId, IsTheDigestOfTheCanonicalText) {
    std::string text = key_text(build_key);
    EXPECT_EQ(text.compare(0, 11, "sum_starts "), 0);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 7);
    std::string id = key_id(build_key);
    ASSERT_EQ(id.size(), 8u);
    for (char c : id)
        EXPECT_NE(std::string(code_symbols).find(c), std::string::npos);
}

} // namespace
