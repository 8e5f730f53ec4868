#include "server/leasedb/lease_row.h"

#include <gtest/gtest.h>

namespace tolmark::leasedb {
namespace {

RowTexts goodRow() {
    return RowTexts{.address = "10.0.0.5",
                    .identityKind = "0",
                    .identity = "\\x001122334455",
                    .profile = "\\x6c616e",
                    .hostName = "\\x",
                    .remark = "\\x",
                    .seenVia = nullptr,
                    .lastAccess = "1700000000",
                    .expiry = "4294967295",
                    .removed = "f",
                    .seq = "7",
                    .origin = nullptr};
}

TEST(LeaseRow, DecodesAGoodRowAndRefusesEachBrokenColumn) {
    const DecodedRow good = decodeRow(goodRow());
    ASSERT_TRUE(good.row);
    EXPECT_EQ(good.row->fields.address, makeIpv4(10, 0, 0, 5));
    EXPECT_EQ(good.row->fields.identity.length, 6);
    EXPECT_EQ(good.row->fields.identity.bytes[5], 0x55);
    EXPECT_EQ(good.row->fields.profile, "lan");
    EXPECT_EQ(good.row->fields.expiry, kExpiryReserved);
    EXPECT_EQ(good.row->seq, 7);
    EXPECT_FALSE(good.row->removed);
    // An infinite lease (BOOTP, or a lease time of -1) expires 2^32 - 1 seconds after it was given.
    RowTexts infinite = goodRow();
    infinite.expiry = "5994967295";
    ASSERT_TRUE(decodeRow(infinite).row);
    EXPECT_EQ(decodeRow(infinite).row->fields.expiry, 1700000000 + kExpiryReserved);

    const std::string longIdentity = "\\x" + std::string(65 * 2, 'a');
    const std::string longProfile = "\\x" + std::string(24 * 2, '6');
    const std::string longHost = "\\x" + std::string(159 * 2, '6');
    struct Case {
        const char* problem;
        void (*edit)(RowTexts&, const std::string&, const std::string&, const std::string&);
    };
    const Case cases[] = {
        {"address", [](RowTexts& t, auto&, auto&, auto&) { t.address = "10.0.0.0/24"; }},
        {"address", [](RowTexts& t, auto&, auto&, auto&) { t.address = "0.0.0.0"; }},
        {"address", [](RowTexts& t, auto&, auto&, auto&) { t.address = "::1"; }},
        {"identity kind", [](RowTexts& t, auto&, auto&, auto&) { t.identityKind = "5"; }},
        {"identity kind", [](RowTexts& t, auto&, auto&, auto&) { t.identityKind = "-1"; }},
        {"identity", [](RowTexts& t, auto& id, auto&, auto&) { t.identity = id.c_str(); }},
        {"identity", [](RowTexts& t, auto&, auto&, auto&) { t.identity = "\\x0"; }},
        {"identity", [](RowTexts& t, auto&, auto&, auto&) { t.identity = "\\xzz"; }},
        {"profile", [](RowTexts& t, auto&, auto& p, auto&) { t.profile = p.c_str(); }},
        {"host name", [](RowTexts& t, auto&, auto&, auto& h) { t.hostName = h.c_str(); }},
        {"host name", [](RowTexts& t, auto&, auto&, auto&) { t.hostName = "\\x610062"; }},
        {"remark", [](RowTexts& t, auto&, auto&, auto&) { t.remark = nullptr; }},
        {"seen_via", [](RowTexts& t, auto&, auto&, auto&) { t.seenVia = "x"; }},
        {"last_access", [](RowTexts& t, auto&, auto&, auto&) { t.lastAccess = "12x"; }},
        {"expiry", [](RowTexts& t, auto&, auto&, auto&) { t.expiry = "-1"; }},
        {"expiry", [](RowTexts& t, auto&, auto&, auto&) { t.expiry = "99999999999999999999"; }},
        {"removed", [](RowTexts& t, auto&, auto&, auto&) { t.removed = "true"; }},
        {"seq", [](RowTexts& t, auto&, auto&, auto&) { t.seq = "0"; }},
    };
    for (const Case& c : cases) {
        RowTexts texts = goodRow();
        c.edit(texts, longIdentity, longProfile, longHost);
        const DecodedRow decoded = decodeRow(texts);
        EXPECT_FALSE(decoded.row) << c.problem;
        EXPECT_STREQ(decoded.problem, c.problem);
        // Only a row that still says until when its address is taken holds it, for no client.
        const std::string_view problem(c.problem);
        const bool held = problem != "address" && problem != "expiry" && problem != "removed" && problem != "seq";
        ASSERT_EQ(decoded.held.has_value(), held) << c.problem;
        if (held) {
            EXPECT_EQ(decoded.held->fields.identity.length, 0) << c.problem;
        }
    }
    RowTexts removed = goodRow();
    removed.identityKind = "7";
    removed.removed = "t";
    EXPECT_FALSE(decodeRow(removed).held);
}

TEST(LeaseRow, FieldsKeepTheirLimitsWhenQueued) {
    ClientFields f;
    f.address = makeIpv4(10, 0, 0, 9);
    f.identity.length = 2;
    f.profile = std::string(40, 'p');
    f.hostName = "host";
    f.remark = std::string(40, 'r');
    const ClientFields back = LeaseFields::from(f).toClientFields();
    EXPECT_EQ(back.profile.size(), kProfileNameField - 1);
    EXPECT_EQ(back.remark.size(), kRemarkChars);
    EXPECT_EQ(back.hostName, "host");
    EXPECT_EQ(back.address, f.address);
}

}  // namespace
}  // namespace tolmark::leasedb
