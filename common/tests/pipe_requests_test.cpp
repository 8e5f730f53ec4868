#include "common/pipe_requests.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace tolmark {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::span<const std::uint8_t> span) { return Bytes(span.begin(), span.end()); }

// One request layout: the message an encoder built, the fields expected at their offsets, and
// whether its decoder takes the whole message and refuses it one byte short.
struct LayoutCase {
    const char* name;
    PipeMessage message;
    std::size_t size;
    std::vector<std::pair<std::size_t, Bytes>> fields;
    std::function<bool(std::span<const std::uint8_t>)> decodes;
};

ClientFields sampleFields() {
    ClientFields fields;
    fields.address = makeIpv4(10, 0, 0, 9);
    fields.identity = *parseIdentity("00:11:22:33:44:55");
    fields.profile = "lab";
    return fields;
}

TEST(PipeRequests, LayoutsOfEveryRequestBothProgramsBuild) {
    const ClientFields fields = sampleFields();
    FindClientRequest find{fields.identity, "lab"};
    const std::vector<LayoutCase> cases = {
        {"FindClient",
         encodeFindClient(find),
         97,
         {{0, {3, 0, 0, 0}},                             // code
          {4, {0}},                                      // identity kind in the value's first byte
          {8, {6, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}},  // identity length, then the identity
          {73, {'l', 'a', 'b', 0}}},                     // profile name, 24-byte field
         [&](auto m) { return decodeFindClient(m) == find; }},
        {"AddClient",
         encodeAddClient(fields, true),
         336,
         {{0, {4, 0, 0, 0}},
          {4, {1, 0, 0, 0}},       // skip-address-check flag
          {8 + 8, {10, 0, 0, 9}},  // record image at 8: its address at record offset 8
          {8 + 33, {6}}},          // record identity length
         [&](auto m) {
             auto r = decodeAddClient(m);
             return r && r->skipAddressCheck && r->fields == fields;
         }},
        {"UpdateClient",
         encodeUpdateClient(0x0102030405060708ull, fields, false),
         344,
         {{0, {5, 0, 0, 0}},
          {4, {0, 0, 0, 0}},
          {8, {8, 7, 6, 5, 4, 3, 2, 1}},   // record handle
          {16 + 98, {'l', 'a', 'b', 0}}},  // record image at 16: profile at record offset 98
         [&](auto m) {
             auto r = decodeUpdateClient(m);
             return r && !r->skipAddressCheck && r->handle == 0x0102030405060708ull && r->fields == fields;
         }},
        {"RemoveClient",
         encodeHandleRequest(PipeCode::RemoveClient, kListIgnored, 0x99),
         16,
         {{0, {6, 0, 0, 0}}, {4, {2, 0, 0, 0}}, {8, {0x99, 0, 0, 0, 0, 0, 0, 0}}},
         [](auto m) { return decodeRequestHandle(m) == 0x99u; }},
        {"ListDynamic from a record",
         encodeListRequest(PipeCode::ListDynamic, 0x42),
         16,
         {{0, {8, 0, 0, 0}}, {4, {1, 0, 0, 0}}, {8, {0x42, 0, 0, 0, 0, 0, 0, 0}}},
         [](auto m) { return decodeRequestHandle(m) == 0x42u; }},
        {"GetProfile by name",
         encodeGetProfileByName("lab"),
         32,
         {{0, {20, 0, 0, 0}}, {4, {0xFF, 0xFF, 0xFF, 0xFF}}, {8, {'l', 'a', 'b', 0}}},
         [](auto m) { return decodeProfileName(m) == "lab"; }},
        {"RenameProfile",
         encodeRenameProfile({3, "old", "new"}),
         56,
         {{0, {21, 0, 0, 0}}, {4, {3, 0, 0, 0}}, {8, {'o', 'l', 'd', 0}}, {32, {'n', 'e', 'w', 0}}},
         [](auto m) {
             return decodeRenameProfile(m) == RenameProfileRequest{3, "old", "new"};
         }},
        {"CheckAddressProfile",
         encodeCheckAddressProfile(makeIpv4(192, 0, 2, 1)),
         8,
         {{0, {22, 0, 0, 0}}, {4, {192, 0, 2, 1}}},  // the address in the value, network order
         [](auto m) { return decodeCheckAddressProfile(m) == makeIpv4(192, 0, 2, 1); }},
        {"CheckProfileSelector",
         *encodeCheckSelector({makeIpv4(192, 0, 2, 1), 2, "lab", "ab"}),
         39,
         {{0, {23, 0, 0, 0}},
          {4, {192, 0, 2, 1}},       // relay address
          {8, {2, 0, 0, 0}},         // selector type: RemoteID
          {12, {'l', 'a', 'b', 0}},  // profile name
          {36, {2, 'a', 'b'}}},      // counted selector value
         [](auto m) {
             return decodeCheckSelector(m) == CheckSelectorRequest{makeIpv4(192, 0, 2, 1), 2, "lab", "ab"};
         }},
        {"FileOpen",
         *encodeFileOpen("dhcp.log", "r"),
         19,
         {{0, {44, 0, 0, 0}}, {8, {'d', 'h', 'c', 'p', '.', 'l', 'o', 'g', 0, 'r', 0}}},
         [](auto m) {
             auto r = decodeFileOpen(m);
             return r && r->name == "dhcp.log" && r->mode == "r";
         }},
        {"FileWrite",
         *encodeFileWrite(7, Bytes{'h', 'i'}),
         18,
         {{0, {47, 0, 0, 0}}, {4, {2, 0, 0, 0}}, {8, {7, 0, 0, 0, 0, 0, 0, 0}}, {16, {'h', 'i'}}},
         [](auto m) {
             auto r = decodeFileWrite(m);
             return r && r->handle == 7 && bytesOf(r->data) == Bytes{'h', 'i'};
         }},
        {"WriteSetting",
         *encodeWriteSetting({"lab", std::nullopt, ""}),
         16,
         {{0, {49, 0, 0, 0}},
          {4, {16, 0, 0, 0}},          // value: the message size
          {8, {4, 'l', 'a', 'b', 0}},  // section, counted with its NUL
          {13, {0}},                   // no key
          {14, {1, 0}}},               // an empty text: its NUL alone
         [](auto m) {
             return decodeWriteSetting(m) == WriteSettingRequest{"lab", std::nullopt, ""};
         }},
    };
    for (const LayoutCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.message.size, c.size);
        const Bytes image = bytesOf(c.message.view());
        for (const auto& [offset, expected] : c.fields) {
            ASSERT_LE(offset + expected.size(), image.size());
            EXPECT_EQ(Bytes(image.begin() + offset, image.begin() + offset + expected.size()), expected)
                << "at " << offset;
        }
        EXPECT_TRUE(c.decodes(c.message.view()));
        EXPECT_FALSE(c.decodes(c.message.view().first(c.size - 1)));
    }
}

TEST(PipeRequests, DecodersRefuseWhatTheBytesDoNotHold) {
    // A counted selector value longer than the bytes received.
    PipeMessage selector = *encodeCheckSelector({0, 1, "lab", "abc"});
    selector.bytes[kSelectorValueAt] = 4;
    EXPECT_FALSE(decodeCheckSelector(selector.view()));
    // A write count above the bytes that follow, and a negative one.
    PipeMessage write = *encodeFileWrite(1, Bytes{'x'});
    ByteWriter(write.bytes).i32le(4, 2);
    EXPECT_FALSE(decodeFileWrite(write.view()));
    ByteWriter(write.bytes).i32le(4, -1);
    EXPECT_FALSE(decodeFileWrite(write.view()));
    // WriteSetting whose value is not its size, or whose text runs past the end.
    PipeMessage setting = *encodeWriteSetting({"a", "b", "c"});
    ByteWriter(setting.bytes).i32le(4, static_cast<std::int32_t>(setting.size + 1));
    EXPECT_FALSE(decodeWriteSetting(setting.view()));
    ByteWriter(setting.bytes).i32le(4, static_cast<std::int32_t>(setting.size));
    setting.bytes[setting.size - 3] = 3;  // the text's length byte
    EXPECT_FALSE(decodeWriteSetting(setting.view()));
    // A block whose value is not the block's size.
    const Bytes block(16, 0xAB);
    PipeMessage blockMessage = encodeBlockMessage(toWire(PipeCode::SetMulticast), block);
    EXPECT_TRUE(decodeBlockMessage(blockMessage.view(), 16));
    EXPECT_FALSE(decodeBlockMessage(blockMessage.view(), 15));
    // FileOpen needs both NULs; a name filling the field of a FindClient keeps all 24 bytes.
    EXPECT_FALSE(decodeFileOpen(Bytes{44, 0, 0, 0, 0, 0, 0, 0, 'a', 0, 'r'}));
    PipeMessage full = encodeFindClient({});
    std::fill_n(full.bytes.begin() + kFindProfileAt, kProfileNameField, 'p');
    EXPECT_EQ(decodeFindClient(full.view())->profile, std::string(24, 'p'));
    // Texts that cannot fit a message are refused when building.
    EXPECT_FALSE(encodeFileOpen(std::string(kPipePayloadMax, 'n'), "r"));
    EXPECT_FALSE(encodeCheckSelector({0, 1, "", std::string(256, 'v')}));
}

TEST(PipeRequests, StructuredRepliesRoundTrip) {
    const PipeMessage handle = encodeHandleReply(0x1122334455667788ull);
    EXPECT_EQ(bytesOf(handle.view()), (Bytes{0, 0, 0, 0, 8, 0, 0, 0, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(decodeHandleReply(handle), 0x1122334455667788ull);
    EXPECT_FALSE(decodeHandleReply(PipeMessage::statusOnly(kPipeRefused)));

    FileSearchEntry entry;
    entry.name = "dhcp2412.log";
    const PipeMessage search = encodeSearchReply(1, 5, entry);
    EXPECT_EQ(search.size, 336u);
    const auto decodedSearch = decodeSearchReply(search);
    ASSERT_TRUE(decodedSearch);
    EXPECT_EQ(decodedSearch->handle, 5u);
    EXPECT_EQ(decodedSearch->entry, entry);
    EXPECT_FALSE(decodeSearchReply(*PipeMessage::make(kPipeDone, 0)));  // nothing matched

    // A line that fills the message keeps its NUL inside it.
    const PipeMessage line = encodeLineReply(std::string(kPipeLineMax + 5, 'x'));
    EXPECT_EQ(line.size, kPipeMessageMax);
    EXPECT_EQ(line.value(), static_cast<std::int32_t>(kPipeLineMax));
    EXPECT_EQ(decodeLineReply(line), std::string(kPipeLineMax, 'x'));

    const auto record = encodeClientRecord({9, 0, sampleFields()});
    const PipeMessage list = *PipeMessage::make(kPipeDone, 3, record);
    const auto decodedRecord = decodeRecordReply(list, kClientRecordSize);
    ASSERT_TRUE(decodedRecord);
    EXPECT_EQ(decodedRecord->value, 3);
    EXPECT_FALSE(decodeRecordReply(PipeMessage::statusOnly(kPipeDone), kClientRecordSize));  // end of the list

    // Where the leases are kept: store in the value, writes waiting at 8, the text from 12.
    const PipeMessage store = encodeLeaseStoreReply({kLeaseStoreDatabase, 0x0102, "PostgreSQL dbname=t"});
    EXPECT_EQ(bytesOf(store.view()).size(), 12u + 19u + 1u);
    EXPECT_EQ(bytesOf(store.view().first(14)), (Bytes{0, 0, 0, 0, 1, 0, 0, 0, 0x02, 0x01, 0, 0, 'P', 'o'}));
    EXPECT_EQ(decodeLeaseStoreReply(store), (LeaseStoreReply{kLeaseStoreDatabase, 0x0102, "PostgreSQL dbname=t"}));
    EXPECT_EQ(decodeLeaseStoreReply(encodeLeaseStoreReply({kLeaseStoreFiles, 0, std::string(400, 'x')}))->description,
              std::string(kLeaseStoreTextMax - 1, 'x'));
    EXPECT_FALSE(decodeLeaseStoreReply(*PipeMessage::make(kPipeDone, 7, Bytes{0, 0, 0, 0, 0})));    // store 7
    EXPECT_FALSE(decodeLeaseStoreReply(*PipeMessage::make(kPipeDone, 0, Bytes{0, 0, 0, 0, 'x'})));  // no NUL
}

TEST(StreamFrame, LengthPrefixBeforeEachMessage) {
    StreamFrame frame;
    const PipeMessage message = PipeMessage::statusOnly(kPipeRefused);
    ASSERT_EQ(frameForStream(message, frame), 8u);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 8), (Bytes{4, 0, 0, 0, 2, 0, 0, 0}));
    using Prefix = std::array<std::uint8_t, kStreamPrefixSize>;
    EXPECT_EQ(streamMessageLength(Prefix{0x00, 0x08, 0, 0}), 2048u);
    EXPECT_FALSE(streamMessageLength(Prefix{0x01, 0x08, 0, 0}));  // more than a message holds
    EXPECT_FALSE(streamMessageLength(Prefix{0, 0, 0, 0}));
}

}  // namespace
}  // namespace tolmark
