#include "server/leases/record_fields.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <unordered_map>

#include "server/leases/flat_heads.h"

namespace tolmark {
namespace {

// Texts on both sides of the inline limit keep their value through every copy and move, and
// an assignment from the text's own bytes does not read freed memory.
TEST(StoredText, KeepsEveryLengthThroughCopiesAndMoves) {
    for (std::size_t length : {0u, 1u, 14u, 15u, 16u, 31u, 158u, 300u}) {
        SCOPED_TRACE(length);
        const std::string value(length, 'a');
        std::string other = value;
        if (length != 0) other.back() = 'z';
        StoredText text(value);
        EXPECT_EQ(text.view(), value);
        EXPECT_EQ(text.size(), length);
        EXPECT_EQ(std::string(text.c_str()), value);  // NUL-terminated in both forms
        StoredText copy(text);
        StoredText moved(std::move(copy));
        EXPECT_EQ(moved.view(), value);
        EXPECT_TRUE(copy.empty());  // NOLINT: a moved-from text is empty
        moved = other;
        EXPECT_EQ(moved.view(), other);
        moved = text;
        EXPECT_EQ(moved, text);
        moved = moved.view().substr(length / 2);
        EXPECT_EQ(moved.view(), value.substr(length / 2));
        text = StoredText("short");
        EXPECT_EQ(text.view(), "short");
        text.clear();
        EXPECT_TRUE(text.empty());
    }
}

TEST(StoredIdentity, KeepsKindLengthAndBytesOfEveryLength) {
    for (std::uint8_t length : {0, 6, 7, 14, 15, 64}) {
        SCOPED_TRACE(int(length));
        Identity id;
        id.kind = kIdentityCircuit;
        id.length = length;
        for (std::uint8_t i = 0; i < length; ++i) id.bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
        StoredIdentity stored(id);
        EXPECT_EQ(stored.get(), id);
        EXPECT_TRUE(stored == id);
        StoredIdentity copy(stored);
        EXPECT_EQ(copy.get(), id);
        Identity changed = id;
        if (length != 0) changed.bytes[length - 1] ^= 0xFF;
        changed.kind = length != 0 ? changed.kind : kIdentityHardware;
        EXPECT_FALSE(stored == changed);
        copy = changed;  // heap to heap, heap to inline and back
        EXPECT_EQ(copy.get(), changed);
        copy = stored;
        EXPECT_EQ(copy.get(), id);
        StoredIdentity moved(std::move(copy));
        EXPECT_EQ(moved.get(), id);
        copy = std::move(moved);
        EXPECT_EQ(copy.get(), id);
        copy.setKind(kIdentityFree);
        EXPECT_EQ(copy.kind(), kIdentityFree);
        EXPECT_EQ(copy.length(), length);
    }
}

TEST(StoredProfileName, SharesOneCopyOfEachName) {
    StoredProfileName a("Lab"), b(std::string("Lab")), empty;
    EXPECT_EQ(a.view().data(), b.view().data());
    EXPECT_EQ(a, "Lab");
    EXPECT_TRUE(empty.empty());
    EXPECT_STREQ(empty.c_str(), "");
    a = "";
    EXPECT_TRUE(a.empty());
}

// The flat map against std::unordered_map through a bounded random run over few keys, so that
// probe runs collide, wrap around the end and lose members in the middle.
TEST(FlatHeads, AnswersAsAHashMap) {
    for (std::uint32_t keys : {5u, 40u, 3000u}) {
        FlatHeads<std::uint64_t> flat;
        std::unordered_map<std::uint64_t, std::uint32_t> plain;
        std::mt19937 random(keys);
        for (int step = 0; step < 40000; ++step) {
            const std::uint64_t key = random() % keys * 0x100000001ull;
            switch (random() % 3) {
                case 0: {
                    const std::uint32_t link = random() | 1;
                    flat.slot(key) = link;
                    plain[key] = link;
                    break;
                }
                case 1:
                    flat.erase(key);
                    plain.erase(key);
                    break;
                default: {
                    const std::uint32_t* found = flat.find(key);
                    const auto it = plain.find(key);
                    ASSERT_EQ(found == nullptr, it == plain.end()) << step;
                    if (found != nullptr) {
                        ASSERT_EQ(*found, it->second) << step;
                    }
                }
            }
            ASSERT_EQ(flat.size(), plain.size());
        }
        for (const auto& [key, link] : plain) {
            ASSERT_NE(flat.find(key), nullptr);
            EXPECT_EQ(*flat.find(key), link);
        }
        // Dropping by link keeps the rest findable, runs that wrapped around included.
        flat.eraseIf([](std::uint64_t, std::uint32_t link) { return link % 4 == 1; });
        std::erase_if(plain, [](const auto& entry) { return entry.second % 4 == 1; });
        ASSERT_EQ(flat.size(), plain.size());
        for (const auto& [key, link] : plain) {
            ASSERT_NE(flat.find(key), nullptr);
            EXPECT_EQ(*flat.find(key), link);
        }
        for (std::uint64_t key = 0; key < keys; ++key) {
            const std::uint32_t* found = flat.find(key * 0x100000001ull);
            EXPECT_TRUE(found == nullptr || *found % 4 != 1);
        }
    }
}

}  // namespace
}  // namespace tolmark
