// The request handler driven with crafted messages: frame, permission and size checks, the
// settings blocks, client records and profiles.

#include "server/pipe/request_handler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <tuple>

#include "common/client_record.h"
#include "common/settings_blocks.h"
#include "server/dhcp/dns_removal.h"
#include "server/leases/client_files.h"
#include "server/leases/client_rules.h"
#include "server/pipe/tests/pipe_fixture.h"

namespace tolmark {
namespace {

using testing::PipeFixture;
using testing::putText;
using testing::putU32;
using testing::putU64;
using testing::u64At;

Ipv4 ip(std::uint8_t c, std::uint8_t d) { return makeIpv4(10, 0, c, d); }

ClientRecordImage staticImage(std::uint8_t macByte, Ipv4 address, std::string profile = "Standard") {
    ClientRecordImage image;
    image.fields.identity.length = 6;
    image.fields.identity.bytes = {0x00, 0x0c, 0x29, 0x00, 0x00, macByte};
    image.fields.address = address;
    image.fields.profile = std::move(profile);
    image.fields.remark = "desk";
    return image;
}

std::vector<std::uint8_t> bytesOf(std::span<const std::uint8_t> span) { return {span.begin(), span.end()}; }

class RequestHandlerTest : public ::testing::Test {
protected:
    RequestHandlerTest() {
        fixture.writeProfile("Standard", "10.0.0.100", 50);
        fixture.writeProfile("Lab", "10.0.1.100", 20);
        fixture.loadProfiles();
        admin.mayWrite = true;
    }

    PipeMessage add(const ClientRecordImage& image, std::int32_t skipAddressCheck = 0) {
        return fixture.send(admin, PipeCode::AddClient, skipAddressCheck, encodeClientRecord(image));
    }
    // The handle FindClient gives for the image's identity and profile.
    std::uint64_t find(const ClientRecordImage& image) {
        std::vector<std::uint8_t> payload(89, 0);
        payload[0] = image.fields.identity.length;
        std::copy(image.fields.identity.bytes.begin(), image.fields.identity.bytes.end(), payload.begin() + 1);
        putText(payload, 65, image.fields.profile);
        const PipeMessage reply = fixture.send(admin, PipeCode::FindClient, image.fields.identity.kind, payload);
        EXPECT_EQ(reply.size, 16u);
        return u64At(reply, 8);
    }
    PipeMessage list(PipeCode code, std::uint64_t handle) {
        std::vector<std::uint8_t> payload(8, 0);
        putU64(payload, 0, handle);
        return fixture.send(reader, code, handle == 0 ? 0 : 1, payload);
    }
    std::vector<ClientRecordImage> walk(PipeCode code) {
        std::vector<ClientRecordImage> records;
        std::uint64_t handle = 0;
        do {
            const PipeMessage reply = list(code, handle);
            if (reply.size == 4) break;
            EXPECT_EQ(reply.size, 336u);
            records.push_back(*decodeClientRecord(reply.payload()));
            handle = records.back().nextHandle;
        } while (handle != 0 && records.size() < 100);
        return records;
    }
    PipeMessage remove(std::int32_t list, std::uint64_t handle) {
        std::vector<std::uint8_t> payload(8, 0);
        putU64(payload, 0, handle);
        return fixture.send(admin, PipeCode::RemoveClient, list, payload);
    }
    ClientRecord& lease(Ipv4 address, std::uint8_t macByte, const char* profile = "Standard",
                        std::int64_t expiry = 1700000000) {
        ClientRecord* record = findOrInsertDynamic(fixture.clients, *fixture.profiles.find(profile), address);
        fixture.clients.setIdentity(*record, staticImage(macByte, 0).fields.identity);
        fixture.clients.setExpiry(*record, expiry);
        return *record;
    }

    PipeFixture fixture;
    PipeSession admin;
    PipeSession reader;
};

// ---- Frame, permission and size checks -----------------------------------------------------------

TEST_F(RequestHandlerTest, UnknownCodesAndFragmentsGetStatusOne) {
    for (std::uint32_t code : {0u, 11u, 24u, 40u, 48u, 50u, 0xFFFFFFFFu}) {
        const auto request = PipeMessage::make(code, 0);
        const PipeMessage reply = fixture.sendRaw(admin, request->view());
        EXPECT_EQ(reply.size, 4u) << code;
        EXPECT_EQ(reply.word(), kPipeUnknownCode) << code;
    }
    const std::uint8_t fragment[3] = {1, 0, 0};
    EXPECT_EQ(fixture.sendRaw(admin, fragment).word(), kPipeUnknownCode);
}

TEST_F(RequestHandlerTest, WriteRequestsAreRefusedWithoutPermissionAndChangeNothing) {
    fixture.store.writeText("Lab", "Lease", std::string_view("600"));
    const std::string iniBefore = fixture.iniText();
    std::vector<std::uint8_t> big(1900, 0);
    std::vector<std::uint8_t> openForWrite;
    putText(openForWrite, 0, std::string("new.log\0w\0", 10));
    const struct {
        PipeCode code;
        std::int32_t value;
        std::size_t payloadSize;
    } writes[] = {{PipeCode::SetSettings, 152, 152},   {PipeCode::AddClient, 0, 328},
                  {PipeCode::UpdateClient, 0, 336},    {PipeCode::RemoveClient, 0, 8},
                  {PipeCode::SetInterfaces, 832, 832}, {PipeCode::SetTftpSettings, 1860, 1860},
                  {PipeCode::SetMulticast, 16, 16},    {PipeCode::RenameProfile, 1, 48},
                  {PipeCode::FileWrite, 4, 12},        {PipeCode::WriteSetting, 12, 4}};
    for (const auto& w : writes) {
        const PipeMessage reply = fixture.send(reader, w.code, w.value, std::span(big.data(), w.payloadSize));
        EXPECT_EQ(reply.size, 4u) << toWire(w.code);
        EXPECT_EQ(reply.word(), kPipeRefused) << toWire(w.code);
    }
    for (const char* mode : {"w", "a", "a+", "x"}) {
        std::vector<std::uint8_t> payload;
        putText(payload, 0, std::string("new.log") + '\0' + mode + '\0');
        EXPECT_EQ(fixture.send(reader, PipeCode::FileOpen, 0, payload).word(), kPipeRefused) << mode;
    }
    EXPECT_EQ(fixture.iniText(), iniBefore);
    EXPECT_EQ(fixture.clients.first(ClientList::Static), nullptr);
    EXPECT_TRUE(fixture.tftpRestarts.empty());

    // Reads work for the same client.
    EXPECT_EQ(fixture.send(reader, PipeCode::GetSettings, 0).size, 160u);
    EXPECT_EQ(fixture.send(reader, PipeCode::GetStatus, 0).size, 840u);
    EXPECT_EQ(fixture.send(reader, PipeCode::GetTftpSettings, 0).size, 1868u);
    EXPECT_EQ(fixture.send(reader, PipeCode::GetMulticast, 0).size, 24u);
    EXPECT_EQ(fixture.send(reader, PipeCode::ReloadProfiles, 0).value(), 2);
}

// Each request one byte short of what it needs: the code comes back, nothing changes.
TEST_F(RequestHandlerTest, ShortRequestsGetTheirCodeBack) {
    add(staticImage(1, ip(0, 5)));
    const std::string iniBefore = fixture.iniText();
    const std::vector<std::uint8_t> zeros(2040, 0);
    const struct {
        PipeCode code;
        std::int32_t value;
        std::size_t payloadSize;
    } shortRequests[] = {{PipeCode::FindClient, 0, 88},       {PipeCode::AddClient, 0, 327},
                         {PipeCode::UpdateClient, 0, 335},    {PipeCode::RemoveClient, 0, 7},
                         {PipeCode::ListStatic, 1, 7},        {PipeCode::ListIgnored, 1, 0},
                         {PipeCode::PurgeDynamic, 0, 23},     {PipeCode::GetProfile, 0, 23},
                         {PipeCode::RenameProfile, 0, 47},    {PipeCode::CheckProfileSelector, 0, 28},
                         {PipeCode::FileFindNext, 8, 7},      {PipeCode::FileClose, 0, 7},
                         {PipeCode::FileReadLine, 0, 7},      {PipeCode::FileWrite, 0, 7},
                         {PipeCode::FileWrite, 5, 12},        {PipeCode::SetSettings, 152, 151},
                         {PipeCode::SetInterfaces, 832, 831}, {PipeCode::SetTftpSettings, 1860, 1859},
                         {PipeCode::SetMulticast, 16, 15}};
    for (const auto& s : shortRequests) {
        const PipeMessage reply = fixture.send(admin, s.code, s.value, std::span(zeros.data(), s.payloadSize));
        EXPECT_EQ(reply.size, 4u) << toWire(s.code);
        EXPECT_EQ(reply.word(), toWire(s.code)) << toWire(s.code);
    }
    // Whole messages that still lack a part: a selector value running past the end, texts
    // without their NUL, counted texts running past the end.
    std::vector<std::uint8_t> selector(29, 0);
    selector[28] = 5;
    putText(selector, 29, "abcd");
    EXPECT_EQ(fixture.send(admin, PipeCode::CheckProfileSelector, 0, selector).word(), 23u);
    EXPECT_EQ(fixture
                  .send(admin, PipeCode::FileFindFirst, 0,
                        bytesOf(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>("*.log"), 5)))
                  .word(),
              41u);
    std::vector<std::uint8_t> openNoMode;
    putText(openNoMode, 0, std::string("x.log\0r", 7));
    EXPECT_EQ(fixture.send(admin, PipeCode::FileOpen, 0, openNoMode).word(), 44u);
    const std::vector<std::uint8_t> setting = {8, 'D', 'o', 'r', 'v', 'a', 'n', 'e', 0, 5, 'U', 's'};
    EXPECT_EQ(fixture.send(admin, PipeCode::WriteSetting, 20, setting).word(), 49u);
    EXPECT_EQ(fixture.send(admin, PipeCode::WriteSetting, 19, setting).word(), 49u);  // value is not the size

    EXPECT_EQ(fixture.iniText(), iniBefore);
    EXPECT_TRUE(fixture.tftpRestarts.empty());
    EXPECT_EQ(walk(PipeCode::ListStatic).size(), 1u);
}

// ---- Settings blocks ------------------------------------------------------------------------------

// A block of the wrong size, or with a path the configuration file cannot hold, is not taken.
TEST_F(RequestHandlerTest, TftpBlocksThatCannotBeTakenWholeAreAnsweredWithTheirCode) {
    const std::string iniBefore = fixture.iniText();
    const struct {
        std::int32_t value;
        const char* prefix;
        const char* directory;
    } refused[] = {{1859, "", ""}, {1860, "/srv/a\nLog=0", ""}, {1860, "", "/srv/tftp\r"}};
    for (const auto& r : refused) {
        TftpSettings tftp;
        tftp.port = 1069;
        tftp.prefix = r.prefix;
        tftp.directory = r.directory;
        const PipeMessage reply = fixture.send(admin, PipeCode::SetTftpSettings, r.value, encodeTftpSettings(tftp));
        EXPECT_EQ(reply.size, 4u);
        EXPECT_EQ(reply.word(), 15u) << r.prefix << r.directory;
    }
    EXPECT_EQ(fixture.settings.tftp(), TftpSettings{});
    EXPECT_EQ(fixture.iniText(), iniBefore);
    EXPECT_TRUE(fixture.tftpRestarts.empty());
}

TEST_F(RequestHandlerTest, SetBlocksApplyStoreAndRestart) {
    GeneralSettings general;
    general.lookup = 0;
    general.log = 2;
    general.pausedState = 7;  // run-time state: the client's copy is not taken
    EXPECT_EQ(fixture.send(admin, PipeCode::SetSettings, 152, encodeGeneralSettings(general)).size, 4u);
    EXPECT_EQ(fixture.settings.general().log, 2);
    EXPECT_EQ(fixture.settings.general().pausedState, 0);
    EXPECT_EQ(fixture.nameLookups, 1);
    EXPECT_NE(fixture.iniText().find("Lookup=0"), std::string::npos);

    // MAC range tables: taken only when the next start reads back the ranges answered now.
    const struct {
        MacRangeTable table;
        bool taken;
    } ranges[] = {{{7, 2, 0x00, 0x11, 3, 0x08, 0x00, 0x27}, true},
                  {{40, 2, 0x00, 0x11}, false},          // its zero bytes after it: an empty entry
                  {{5, 2, 0x00, 0x11, 3, 0xaa}, false},  // the last entry runs past the length
                  {{4, 1, 0xaa, 0, 1}, false},           // an empty entry answers every client
                  {{3, 2, 0x00, 0x11, 1, 0xbb}, true}};  // bytes past the length are not read
    for (const auto& range : ranges) {
        GeneralSettings sent = general;
        sent.macRange = range.table;
        const std::string iniBefore = fixture.iniText();
        const PipeMessage reply = fixture.send(admin, PipeCode::SetSettings, 152, encodeGeneralSettings(sent));
        EXPECT_EQ(reply.word(), range.taken ? 0u : 2u) << int(range.table[0]);
        DhcpSettings readBack;
        readGeneralSettings(fixture.store, kGeneralSection, "/tmp/", readBack);
        EXPECT_EQ(fixture.settings.general().macRange, readBack.general.macRange) << int(range.table[0]);
        if (!range.taken) {
            EXPECT_EQ(fixture.iniText(), iniBefore);
        }
    }

    fixture.paused = 1;
    const PipeMessage got = fixture.send(reader, PipeCode::GetSettings, 0);
    ASSERT_EQ(got.size, 160u);
    EXPECT_EQ(got.value(), 152);
    EXPECT_EQ(decodeGeneralSettings(got.payload())->pausedState, 1);

    TftpSettings tftp = fixture.settings.tftp();
    tftp.directory = "/srv/tftp/";
    EXPECT_EQ(fixture.send(admin, PipeCode::SetTftpSettings, 1860, encodeTftpSettings(tftp)).word(), 0u);
    tftp.port = 1069;
    EXPECT_EQ(fixture.send(admin, PipeCode::SetTftpSettings, 1860, encodeTftpSettings(tftp)).word(), 0u);
    MulticastSettings multicast;
    multicast.port = 2000;
    EXPECT_EQ(fixture.send(admin, PipeCode::SetMulticast, 16, encodeMulticastSettings(multicast)).word(), 0u);
    EXPECT_EQ(fixture.tftpRestarts, (std::vector<bool>{false, true, false}));
    EXPECT_EQ(fixture.settings.tftp().port, 1069);
    const std::string ini = fixture.iniText();
    EXPECT_NE(ini.find("TFTPDirectory=/srv/tftp/"), std::string::npos);
    EXPECT_NE(ini.find("MulticastPort=2000"), std::string::npos);
    EXPECT_EQ(decodeMulticastSettings(fixture.send(reader, PipeCode::GetMulticast, 0).payload())->port, 2000);
}

TEST_F(RequestHandlerTest, ChangesTheConfigurationDoesNotTakeHoldAndAreLogged) {
    fixture.context.settings.log = &fixture.log;
    // A configuration that cannot be read cannot be written over either.
    std::filesystem::remove(fixture.store.iniPath());
    std::filesystem::create_directory(fixture.store.iniPath());
    GeneralSettings general;
    general.log = 2;
    EXPECT_EQ(fixture.send(admin, PipeCode::SetSettings, 152, encodeGeneralSettings(general)).word(), 0u);
    EXPECT_EQ(fixture.settings.general().log, 2);
    TftpSettings tftp;
    tftp.clients = 33;
    EXPECT_EQ(fixture.send(admin, PipeCode::SetTftpSettings, 1860, encodeTftpSettings(tftp)).word(), 0u);
    EXPECT_EQ(fixture.settings.tftp().clients, 33);
    const auto unsaved = std::count_if(fixture.log.lines.begin(), fixture.log.lines.end(), [&](const std::string& l) {
        return l.find("DHCP  Error   configuration " + fixture.store.iniPath() + " not written") != std::string::npos;
    });
    EXPECT_EQ(unsaved, 2);
    // Saved again once the file can be written.
    std::filesystem::remove(fixture.store.iniPath());
    fixture.log.lines.clear();
    EXPECT_EQ(fixture.send(admin, PipeCode::SetSettings, 152, encodeGeneralSettings(general)).word(), 0u);
    EXPECT_TRUE(fixture.log.lines.empty());
    EXPECT_NE(fixture.iniText().find("Log=2"), std::string::npos);
}

TEST_F(RequestHandlerTest, GetStatusRecountsAndTellsEveryConnectionOfEachChange) {
    add(staticImage(1, ip(0, 5)));
    add(staticImage(2, ip(0, 6)));
    fixture.counters.staticCount = 40;  // stale
    fixture.statusChanged = 1;
    PipeMessage reply = fixture.send(reader, PipeCode::GetStatus, 0);
    ASSERT_EQ(reply.size, 840u);
    EXPECT_EQ(reply.value(), 832);
    ServerStatus status = *decodeServerStatus(reply.payload());
    EXPECT_EQ(status.staticCount, 2);
    EXPECT_EQ(status.statusChanged, 1);
    EXPECT_EQ(status.tftpTransfers, -1);
    EXPECT_GT(status.staticChanges, 0);
    EXPECT_EQ(fixture.statusChanged, 0);

    fixture.counters.staticCount = 40;
    status = *decodeServerStatus(fixture.send(reader, PipeCode::GetStatus, 1).payload());
    EXPECT_EQ(status.staticCount, 40);  // the dynamic list was recounted, not the static one
    EXPECT_EQ(status.statusChanged, 0);

    // A count that held the engine lock long makes the next of that list wait 99 times as long
    // (2 s at most); the other lists are counted as before.
    RecountGate& gate = fixture.context.settings.recounts;
    const auto now = RecountGate::Clock::now();
    gate.counted(0, now - std::chrono::milliseconds(5), now);
    EXPECT_EQ(decodeServerStatus(fixture.send(reader, PipeCode::GetStatus, 0).payload())->staticCount, 40);
    const struct {
        std::chrono::microseconds held, after;
        bool due;
    } waits[] = {{std::chrono::microseconds(10), std::chrono::microseconds(980), false},
                 {std::chrono::microseconds(10), std::chrono::microseconds(990), true},
                 {std::chrono::microseconds(100'000), std::chrono::microseconds(1'999'000), false},
                 {std::chrono::microseconds(100'000), std::chrono::microseconds(2'000'000), true}};
    for (const auto& w : waits) {
        RecountGate rows;
        EXPECT_TRUE(rows.due(2, now));
        rows.counted(2, now - w.held, now);
        EXPECT_EQ(rows.due(2, now + w.after), w.due) << w.held.count() << " " << w.after.count();
        EXPECT_TRUE(rows.due(1, now));
    }

    // Each connection learns of every change once, whichever polls first: a read-only user's
    // or a remote peer's poll takes nothing from the administrator's.
    PipeSession remote;
    remote.remote = true;
    const struct {
        int set;
        PipeSession* poller;
        std::int32_t told;
    } polls[] = {{0, &admin, 0},  {0, &remote, 0}, {1, &reader, 1}, {0, &admin, 1},  {0, &remote, 1}, {0, &admin, 0},
                 {2, &remote, 2}, {1, &remote, 1}, {0, &admin, 3},  {0, &reader, 3}, {0, &reader, 0}};
    for (std::size_t i = 0; i < std::size(polls); ++i) {
        fixture.statusChanged |= polls[i].set;
        const PipeMessage polled = fixture.send(*polls[i].poller, PipeCode::GetStatus, -1);
        EXPECT_EQ(decodeServerStatus(polled.payload())->statusChanged, polls[i].told) << i;
    }
}

TEST_F(RequestHandlerTest, SetInterfacesChangesFlagsOfMatchingEntriesAndWritesKeys) {
    testing::FakeHostAddresses host;
    host.rows = {{makeIpv4(10, 0, 0, 1), makeIpv4(255, 255, 255, 0), 2},
                 {makeIpv4(10, 0, 9, 1), makeIpv4(255, 255, 255, 0), 3}};
    ASSERT_TRUE(fixture.interfaces.build(fixture.store, kGeneralSection, host, 0, fixture.log));
    ServerStatus image;
    image.interfaceCount = 1;
    image.interfaces[0].address = makeIpv4(10, 0, 9, 1);
    image.interfaces[0].flags = kIfTrusted;               // not served, trusted
    image.interfaces[1].address = makeIpv4(10, 0, 0, 1);  // beyond the count: ignored
    EXPECT_EQ(fixture.send(admin, PipeCode::SetInterfaces, 832, encodeServerStatus(image)).word(), 0u);
    EXPECT_EQ(fixture.interfaces.entry(1)->flags, kIfPresent | kIfTrusted);
    EXPECT_EQ(fixture.interfaces.entry(0)->flags, kIfPresent | kIfServed);
    EXPECT_EQ(fixture.reloadRequest & 2, 2);
    const std::string ini = fixture.iniText();
    EXPECT_NE(ini.find("Exclude=10.0.9.1"), std::string::npos);
    EXPECT_NE(ini.find("Trusted=10.0.9.1"), std::string::npos);
}

TEST_F(RequestHandlerTest, SelectionModeChangedBySetSettingsRulesNewAddressesAndTheWrittenList) {
    testing::FakeHostAddresses host;
    host.rows = {{makeIpv4(10, 0, 0, 1), makeIpv4(255, 255, 255, 0), 2},
                 {makeIpv4(10, 0, 9, 1), makeIpv4(255, 255, 255, 0), 3}};
    ASSERT_TRUE(fixture.interfaces.build(fixture.store, kGeneralSection, host, 0, fixture.log));
    ASSERT_EQ(fixture.interfaces.selectionMode(), 0);
    auto setMode = [&](int mode) {
        GeneralSettings general = *decodeGeneralSettings(fixture.send(reader, PipeCode::GetSettings, 0).payload());
        general.selectionMode = mode;
        EXPECT_EQ(fixture.send(admin, PipeCode::SetSettings, 152, encodeGeneralSettings(general)).word(), 0u);
        return decodeGeneralSettings(fixture.send(reader, PipeCode::GetSettings, 0).payload())->selectionMode;
    };
    auto key = [&](const char* name) { return fixture.store.readText(kGeneralSection, name, "-", 256); };

    EXPECT_EQ(setMode(5), 1);  // any non-zero value is the include mode
    EXPECT_EQ(key("Include"), "10.0.0.1,10.0.9.1");
    EXPECT_EQ(key("Exclude"), "-");
    ServerStatus image;
    image.interfaceCount = 1;
    image.interfaces[0].address = makeIpv4(10, 0, 9, 1);
    EXPECT_EQ(fixture.send(admin, PipeCode::SetInterfaces, 832, encodeServerStatus(image)).word(), 0u);
    EXPECT_EQ(key("Include"), "10.0.0.1");
    // In the include mode an address that appears later is listed but not served ...
    host.rows.push_back({makeIpv4(10, 0, 7, 1), makeIpv4(255, 255, 255, 0), 4});
    ASSERT_TRUE(fixture.interfaces.reload(host, 1, fixture.log));
    EXPECT_EQ(fixture.interfaces.entry(2)->flags, kIfPresent);
    // ... and in the exclude mode it is served; the entries keep their flags across the change.
    EXPECT_EQ(setMode(0), 0);
    EXPECT_EQ(key("Include"), "-");
    EXPECT_EQ(key("Exclude"), "10.0.9.1,10.0.7.1");
    host.rows.push_back({makeIpv4(10, 0, 8, 1), makeIpv4(255, 255, 255, 0), 5});
    ASSERT_TRUE(fixture.interfaces.reload(host, 2, fixture.log));
    EXPECT_EQ(fixture.interfaces.entry(3)->flags, kIfPresent | kIfServed);
    EXPECT_EQ(fixture.interfaces.entry(0)->flags, kIfPresent | kIfServed);
    // A start reads the mode back from the keys.
    InterfaceTable restarted;
    ASSERT_TRUE(restarted.build(fixture.store, kGeneralSection, host, 3, fixture.log));
    EXPECT_EQ(restarted.selectionMode(), 0);
}

TEST_F(RequestHandlerTest, WriteSettingWritesDeletesKeysAndSections) {
    auto counted = [](std::vector<std::uint8_t>& out, const char* text) {
        if (text == nullptr) {
            out.push_back(0);
            return;
        }
        out.push_back(static_cast<std::uint8_t>(std::strlen(text) + 1));
        out.insert(out.end(), text, text + std::strlen(text) + 1);
    };
    auto writeSetting = [&](const char* section, const char* key, const char* text) {
        std::vector<std::uint8_t> payload;
        counted(payload, section);
        counted(payload, key);
        counted(payload, text);
        return fixture.send(admin, PipeCode::WriteSetting, static_cast<std::int32_t>(8 + payload.size()), payload);
    };
    PipeMessage reply = writeSetting("Lab", "Lease", "7200");
    EXPECT_EQ(reply.size, 8u);
    EXPECT_NE(reply.value(), 0);
    EXPECT_EQ(fixture.store.readText("Lab", "Lease", "", 64), "7200");
    EXPECT_NE(writeSetting("Lab", "Lease", nullptr).value(), 0);
    EXPECT_EQ(fixture.store.readText("Lab", "Lease", "none", 64), "none");
    // A key that is not there is deleted all the same: the manager takes 0 for a write not stored.
    EXPECT_NE(writeSetting("Lab", "Lease", nullptr).value(), 0);
    EXPECT_EQ(fixture.store.readText("Lab", "BaseIP", "", 64), "10.0.1.100");
    EXPECT_NE(writeSetting("Lab", nullptr, nullptr).value(), 0);
    EXPECT_FALSE(fixture.store.openSection("Lab").has_value());
    EXPECT_EQ(fixture.store.readText("Standard", "BaseIP", "", 64), "10.0.0.100");
    // No section, or a section the store refuses: value 0, nothing written.
    const std::string before = fixture.iniText();
    EXPECT_EQ(writeSetting(nullptr, "Lease", "1").value(), 0);
    EXPECT_EQ(writeSetting("Lab]\n[X", "Lease", "1").value(), 0);
    EXPECT_EQ(fixture.iniText(), before);
}

// ---- Client records --------------------------------------------------------------------------------

TEST_F(RequestHandlerTest, AddClientDuplicateRules) {
    PipeMessage reply = add(staticImage(1, ip(0, 5)));
    EXPECT_EQ(reply.size, 8u);
    EXPECT_EQ(reply.value(), 1);
    EXPECT_EQ(add(staticImage(1, ip(0, 7))).value(), 0);         // same identity, same profile
    EXPECT_EQ(add(staticImage(1, ip(1, 7), "lab")).value(), 1);  // same identity, another profile
    EXPECT_EQ(add(staticImage(2, ip(0, 5))).value(), 0);         // address taken
    EXPECT_EQ(add(staticImage(2, ip(0, 5)), 1).value(), 1);      // address check skipped
    EXPECT_EQ(add(staticImage(3, 0)).value(), 1);                // address 0 never collides
    EXPECT_EQ(add(staticImage(4, 0)).value(), 1);
    EXPECT_EQ(add(staticImage(5, ip(0, 9), "Nowhere")).value(), 0);
    // Addresses no client can use, also with the address check skipped.
    // (255.255.255.255 is taken: it marks a client that is never served.)
    for (const Ipv4 unusable : {makeIpv4(224, 0, 0, 1), makeIpv4(240, 0, 0, 1), makeIpv4(255, 255, 255, 254),
                                makeIpv4(127, 0, 0, 1), makeIpv4(0, 0, 0, 7)}) {
        EXPECT_EQ(add(staticImage(7, unusable)).value(), 0) << formatIpv4(unusable).c_str();
        EXPECT_EQ(add(staticImage(7, unusable), 1).value(), 0) << formatIpv4(unusable).c_str();
    }
    ClientRecordImage tooLong = staticImage(6, 0);
    auto bytes = encodeClientRecord(tooLong);
    bytes[33] = 65;  // identity length above 64
    EXPECT_EQ(fixture.send(admin, PipeCode::AddClient, 0, bytes).value(), 0);

    const auto records = walk(PipeCode::ListStatic);
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[0].fields.remark, "desk");
    EXPECT_EQ(records[0].handle, find(staticImage(1, 0)));
    EXPECT_EQ(records[1].handle, find(staticImage(1, 0, "LAB")));
    EXPECT_EQ(find(staticImage(9, 0)), 0u);
    EXPECT_EQ(fixture.counters.staticCount, 5);
}

// A static entry is taken (and changed, see UpdateClient) only with an identity that the client
// file holds: every entry taken comes back as itself when the file is written and read.
TEST_F(RequestHandlerTest, StaticEntriesTakeOnlyIdentitiesTheClientFileHolds) {
    const struct {
        std::uint8_t kind, length;
        bool taken;
    } cases[] = {{0, 6, true},   {0, 0, false},   {0, 1, false},  {0, 2, true},  {0, 16, true},
                 {0, 17, false}, {1, 0, false},   {2, 5, true},   {3, 64, true}, {4, 1, true},
                 {7, 3, false},  {128, 6, false}, {255, 2, false}};
    std::uint8_t n = 0;
    for (const auto& c : cases) {
        ++n;
        ClientRecordImage image = staticImage(n, ip(9, n));
        image.fields.identity.kind = c.kind;
        image.fields.identity.length = c.length;
        EXPECT_EQ(add(image).value(), c.taken ? 1 : 0) << int(c.kind) << "/" << int(c.length);
    }
    ListFile ethers;
    ethers.path = fixture.dataDirectory + "ethers";
    ASSERT_TRUE(saveList(fixture.clients, ClientList::Static, ethers, GeneralSettings{}, fixture.log));
    EngineState restarted(fixture.log);
    Hold hold(restarted.lock);
    loadList(restarted.clients, ClientList::Static, fixture.profiles, ethers, GeneralSettings{}, fixture.log, 0);
    std::vector<Identity> saved, read;
    for (const auto& record : walk(PipeCode::ListStatic)) saved.push_back(record.fields.identity);
    for (const ClientRecord* r = restarted.clients.first(ClientList::Static); r; r = restarted.clients.next(*r))
        read.push_back(restarted.clients.image(*r).fields.identity);
    EXPECT_EQ(saved.size(), 6u);
    EXPECT_EQ(read, saved);
}

TEST_F(RequestHandlerTest, WalkSurvivesRemovalOfTheRecordJustReceived) {
    for (std::uint8_t i = 1; i <= 4; ++i) add(staticImage(i, ip(0, i)));
    std::vector<Ipv4> seen;
    std::uint64_t handle = 0;
    for (;;) {
        const PipeMessage reply = list(PipeCode::ListStatic, handle);
        if (reply.size == 4) break;
        const ClientRecordImage image = *decodeClientRecord(reply.payload());
        seen.push_back(image.fields.address);
        if (image.fields.address != ip(0, 4)) {
            EXPECT_EQ(remove(0, image.handle).value(), 0);
        }
        handle = image.nextHandle;
        if (handle == 0) break;
    }
    EXPECT_EQ(seen, (std::vector<Ipv4>{ip(0, 1), ip(0, 2), ip(0, 3), ip(0, 4)}));
    const auto left = walk(PipeCode::ListStatic);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].fields.address, ip(0, 4));
}

// A removed lease that was still running takes the names it registered with it; one that ran
// out had its removal from the expiry pass, and a profile without a DNS server registered none.
TEST_F(RequestHandlerTest, RemovedDynamicEntryStaysAsAFreeSlot) {
    EXPECT_EQ(list(PipeCode::ListDynamic, 0).size, 4u);
    fixture.store.writeText("Standard", "DNS1IP", std::string_view("10.0.0.1"));
    fixture.store.writeInt("Standard", "DNSAccept", 1, 0);
    fixture.store.writeText("Standard", "DNSName", std::string_view("lab.test"));
    fixture.loadProfiles();
    const std::int64_t now = fixture.clock.now();
    lease(ip(0, 120), 7, "Standard", now + 600).hostName = "pc7";
    const auto before = walk(PipeCode::ListDynamic);
    ASSERT_EQ(before.size(), 1u);
    const PipeMessage reply = remove(1, before[0].handle);
    EXPECT_EQ(reply.size, 8u);
    EXPECT_EQ(reply.value(), 1);
    const auto after = walk(PipeCode::ListDynamic);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_EQ(after[0].fields.identity.kind, kIdentityFree);
    EXPECT_EQ(after[0].fields.identity.length, 0);
    EXPECT_EQ(after[0].fields.expiry, 0);
    EXPECT_EQ(after[0].fields.address, ip(0, 120));
    EXPECT_GT(fixture.clients.changes(ClientList::Dynamic), 0);
    const std::vector<dhcp::DnsUpdate> queued = fixture.dnsQueue.takeAll();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_TRUE(queued[0].removal);
    EXPECT_EQ(std::tie(queued[0].hostName, queued[0].domain, queued[0].address, queued[0].dnsServer),
              std::make_tuple(std::string("pc7"), std::string("lab.test"), ip(0, 120), ip(0, 1)));
    EXPECT_EQ(queued[0].clientIdentity, dhcp::recordDhcidIdentifier(staticImage(7, 0).fields.identity));

    const struct {
        Ipv4 address;
        const char* profile;
        std::int64_t expiry;
    } kept[] = {{ip(0, 121), "Standard", now}, {ip(1, 100), "Lab", now + 600}};
    for (const auto& row : kept) {
        ClientRecord& record = lease(row.address, 8, row.profile, row.expiry);
        record.hostName = "pc8";
        EXPECT_EQ(remove(1, fixture.clients.handleOf(record)).value(), 1);
    }
    remove(1, after[0].handle);  // the free slot
    EXPECT_EQ(fixture.dnsQueue.size(), 0u);
}

TEST_F(RequestHandlerTest, UpdateClientChangesTheNamedRecordOnly) {
    add(staticImage(1, ip(0, 5)));
    add(staticImage(2, ip(0, 6)));
    const std::uint64_t handle = find(staticImage(1, 0));
    auto update = [&](std::uint64_t h, const ClientRecordImage& image, std::int32_t skip = 0) {
        std::vector<std::uint8_t> payload(8, 0);
        putU64(payload, 0, h);
        const auto bytes = encodeClientRecord(image);
        payload.insert(payload.end(), bytes.begin(), bytes.end());
        return fixture.send(admin, PipeCode::UpdateClient, skip, payload);
    };
    ClientRecordImage changed = staticImage(1, ip(0, 8));
    changed.fields.hostName = "printer";
    changed.fields.lastAccess = 99;  // the server keeps its own
    EXPECT_EQ(update(handle, changed).value(), 1);
    EXPECT_EQ(walk(PipeCode::ListStatic)[0].fields.hostName, "printer");
    EXPECT_EQ(update(handle, staticImage(2, ip(0, 8))).value(), 0);  // identity of the other entry
    EXPECT_EQ(update(handle, staticImage(1, ip(0, 6))).value(), 0);  // address of the other entry
    ClientRecordImage unstorable = staticImage(1, ip(0, 8));
    unstorable.fields.identity.kind = kIdentityFree;
    EXPECT_EQ(update(handle, unstorable).value(), 0);  // an identity the client file cannot hold
    EXPECT_EQ(update(handle, staticImage(1, makeIpv4(239, 1, 2, 3)), 1).value(), 0);  // no client's address
    EXPECT_EQ(update(handle, staticImage(1, ip(0, 6)), 1).value(), 1);
    const auto records = walk(PipeCode::ListStatic);
    EXPECT_EQ(records[0].fields.address, ip(0, 6));
    EXPECT_EQ(records[0].fields.lastAccess, 0);
}

// A static entry's names go when the entry changes so that its records would be others, or
// when it is removed; a change that keeps them (the case of the name, a domain after it, the
// remark) removes nothing.
TEST_F(RequestHandlerTest, StaticEntryChangedOrRemovedTakesItsNamesAlong) {
    fixture.store.writeText("Standard", "DNS1IP", std::string_view("10.0.0.1"));
    fixture.store.writeInt("Standard", "DNSSend", 1, 0);
    fixture.store.writeText("Standard", "DNSName", std::string_view("lab.test"));
    fixture.loadProfiles();
    ClientRecordImage entry = staticImage(1, ip(0, 8));
    entry.fields.hostName = "printer";
    add(entry);
    const std::uint64_t handle = find(staticImage(1, 0));
    const struct {
        const char* hostName;
        Ipv4 address;
        std::uint8_t macByte;
        const char* removed;  // the name whose records go; nullptr: none
    } rows[] = {
        {"PRINTER", ip(0, 8), 1, nullptr},   {"printer.lab.test", ip(0, 8), 1, nullptr},
        {"scanner", ip(0, 8), 1, "printer"}, {"scanner", ip(0, 9), 1, "scanner"},
        {"scanner", ip(0, 9), 3, "scanner"}, {"scanner", ip(0, 9), 3, nullptr},
    };
    Ipv4 before = ip(0, 8);
    std::uint8_t owner = 1;
    for (const auto& row : rows) {
        ClientRecordImage changed = staticImage(row.macByte, row.address);
        changed.fields.hostName = row.hostName;
        changed.fields.remark = row.hostName;
        std::vector<std::uint8_t> payload(8, 0);
        putU64(payload, 0, handle);
        const auto bytes = encodeClientRecord(changed);
        payload.insert(payload.end(), bytes.begin(), bytes.end());
        ASSERT_EQ(fixture.send(admin, PipeCode::UpdateClient, 0, payload).value(), 1) << row.hostName;
        const std::vector<dhcp::DnsUpdate> queued = fixture.dnsQueue.takeAll();
        ASSERT_EQ(queued.size(), row.removed != nullptr ? 1u : 0u) << row.hostName;
        if (row.removed != nullptr) {
            EXPECT_TRUE(queued[0].removal);
            EXPECT_EQ(std::tie(queued[0].hostName, queued[0].domain, queued[0].address, queued[0].dnsServer),
                      std::make_tuple(std::string(row.removed), std::string("lab.test"), before, ip(0, 1)));
            EXPECT_EQ(queued[0].clientIdentity, dhcp::recordDhcidIdentifier(staticImage(owner, 0).fields.identity));
        }
        before = row.address;
        owner = row.macByte;
    }
    EXPECT_EQ(remove(0, handle).value(), 0);
    const std::vector<dhcp::DnsUpdate> queued = fixture.dnsQueue.takeAll();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_EQ(std::tie(queued[0].hostName, queued[0].address), std::make_tuple(std::string("scanner"), ip(0, 9)));
}

TEST_F(RequestHandlerTest, HandlesThatNameNothing) {
    add(staticImage(1, ip(0, 5)));
    lease(ip(0, 120), 2);
    const std::uint64_t handle = find(staticImage(1, 0));
    ASSERT_NE(handle, 0u);
    const std::uint64_t forged[] = {0xDEADBEEFull, handle + 1, handle ^ (1ull << 32), handle | 0xFFFFFFFFull, ~0ull};
    for (std::uint64_t h : forged) {
        EXPECT_EQ(list(PipeCode::ListStatic, h).size, 4u) << h;
        const PipeMessage removed = remove(0, h);
        EXPECT_EQ(removed.size, 8u);
        EXPECT_EQ(removed.value(), 0);
    }
    // 0 is "no record": never the head of a list, nor any record.
    for (std::int32_t in : {0, 1, 2}) EXPECT_EQ(remove(in, 0).value(), 0) << in;
    EXPECT_EQ(walk(PipeCode::ListStatic).size(), 1u);
    EXPECT_EQ(walk(PipeCode::ListDynamic).at(0).fields.identity.kind, kIdentityHardware);
    // A handle of the static list names nothing in the others, and nothing once removed.
    EXPECT_EQ(list(PipeCode::ListIgnored, handle).size, 4u);
    EXPECT_EQ(remove(2, handle).value(), 0);
    EXPECT_EQ(remove(0, handle).value(), 0);
    EXPECT_EQ(list(PipeCode::ListStatic, handle).size, 4u);
    EXPECT_EQ(remove(0, handle).value(), 0);
    EXPECT_EQ(remove(7, handle).value(), 7);  // another list number: nothing, value unchanged
    // The record's slot is reused by the next entry; the old handle still names nothing.
    add(staticImage(2, ip(0, 6)));
    EXPECT_EQ(list(PipeCode::ListStatic, handle).size, 4u);
    EXPECT_EQ(walk(PipeCode::ListStatic).size(), 1u);
}

// ---- Profiles --------------------------------------------------------------------------------------

TEST_F(RequestHandlerTest, GetProfileByIndexAndNameWithItsUse) {
    add(staticImage(1, ip(0, 5)));
    auto get = [&](std::int32_t index, const std::string& name = "") {
        std::vector<std::uint8_t> payload(24, 0);
        putText(payload, 0, name);
        return fixture.send(reader, PipeCode::GetProfile, index, payload);
    };
    PipeMessage reply = get(0);
    ASSERT_EQ(reply.size, 1824u);
    EXPECT_EQ(reply.value(), 2);
    EXPECT_EQ(decodeProfileRecord(reply.payload())->name, "Standard");
    reply = get(-1, "lab");
    ASSERT_EQ(reply.size, 1824u);
    EXPECT_EQ(reply.value(), 1);
    EXPECT_EQ(decodeProfileRecord(reply.payload())->name, "Lab");
    EXPECT_EQ(get(2).size, 4u);  // index equal to the number of profiles
    EXPECT_EQ(get(2).word(), 0u);
    EXPECT_EQ(get(-1, "Nowhere").size, 4u);
}

TEST_F(RequestHandlerTest, RenameProfileMovesSectionAndRenamesRecords) {
    add(staticImage(1, ip(1, 5), "Lab"));
    auto rename = [&](std::int32_t n, const std::string& from, const std::string& to) {
        std::vector<std::uint8_t> payload(48, 0);
        putText(payload, 0, from);
        putText(payload, 24, to);
        return fixture.send(admin, PipeCode::RenameProfile, n, payload);
    };
    EXPECT_EQ(rename(1, "Lab", "Workshop").value(), 1);
    EXPECT_EQ(fixture.store.readText("Workshop", "BaseIP", "", 64), "10.0.1.100");
    EXPECT_FALSE(fixture.store.openSection("Lab").has_value());
    EXPECT_EQ(fixture.store.readText(kGeneralSection, "Profile1", "", 64), "Workshop");
    EXPECT_EQ(walk(PipeCode::ListStatic)[0].fields.profile, "Workshop");
    EXPECT_EQ(fixture.send(reader, PipeCode::ReloadProfiles, 0).value(), 2);
    EXPECT_NE(fixture.profiles.find("Workshop"), nullptr);

    EXPECT_EQ(rename(1, "Missing", "Other").value(), 0);
    EXPECT_EQ(rename(0, "Dorvane", "Other").value(), 0);  // the general section is not a profile
    EXPECT_EQ(rename(1, "Workshop", "").value(), 1);      // no new name: the section goes
    EXPECT_FALSE(fixture.store.openSection("Workshop").has_value());
}

// A rename that would overwrite another section or list key, or that names the wrong list key,
// changes nothing; one whose list key cannot be written moves the section back.
TEST_F(RequestHandlerTest, RenameProfileRefusesWhatWouldLoseAProfile) {
    fixture.store.writeText("Orphan", "Lease", std::string_view("60"));  // a section of no listed profile
    auto rename = [&](std::int32_t n, const std::string& from, const std::string& to) {
        std::vector<std::uint8_t> payload(48, 0);
        putText(payload, 0, from);
        putText(payload, 24, to);
        return fixture.send(admin, PipeCode::RenameProfile, n, payload).value();
    };
    const std::string before = fixture.iniText();
    const struct {
        std::int32_t number;
        const char* to;
    } refused[] = {{1, "Standard"},
                   {1, "STANDARD"},
                   {1, "Orphan"},
                   {0, "Workshop"},
                   {2, "Workshop"},
                   // The whole 24-byte field without its NUL: read back, the list would name a
                   // profile of its first 23 characters, which has no section.
                   {1, "Lab-Building7-Floor3-ABC"},
                   // Names a client file's line would read back as another: its entries would
                   // come back at the next start in another profile.
                   {1, "Lab #2"},
                   {1, ":Lab"},
                   {1, "=Lab"}};
    for (const auto& r : refused) {
        EXPECT_EQ(rename(r.number, "Lab", r.to), 0) << r.number << " " << r.to;
        EXPECT_EQ(fixture.iniText(), before) << r.to;
    }
    EXPECT_EQ(rename(1, "Lab", "LAB"), 1);  // its own name in other letters
    EXPECT_EQ(fixture.store.readText(kGeneralSection, "Profile1", "", 64), "LAB");
    EXPECT_EQ(fixture.store.readText("LAB", "BaseIP", "", 64), "10.0.1.100");

    // The section and the list key move in one rewrite, which grows the file by the longer name
    // twice: the disk takes only once, so neither moves and the file stays as it was.
    const std::string moved = fixture.iniText();
    {
        testing::FileSizeLimit full(moved.size() + std::string("Workshop").size() - std::string("LAB").size());
        EXPECT_EQ(rename(1, "LAB", "Workshop"), 0);
    }
    EXPECT_EQ(fixture.iniText(), moved);
    EXPECT_EQ(fixture.store.readText("LAB", "BaseIP", "", 64), "10.0.1.100");
    EXPECT_FALSE(fixture.store.openSection("Workshop").has_value());
    EXPECT_EQ(fixture.store.readText(kGeneralSection, "Profile1", "", 64), "LAB");
}

// Leases a profile change leaves outside their pool are freed; a running one takes its DNS names
// with it, as a removal through the pipe does, and so does a running lease whose address a new
// static entry reserves.
TEST_F(RequestHandlerTest, PurgeDynamicDropsEntriesOutsideTheirPools) {
    fixture.store.writeText("Standard", "DNS1IP", std::string_view("10.0.0.1"));
    fixture.store.writeInt("Standard", "DNSAccept", 1, 0);
    fixture.store.writeText("Standard", "DNSName", std::string_view("lab.test"));
    const std::int64_t now = fixture.clock.now();
    lease(ip(0, 120), 1);
    lease(ip(0, 140), 2, "Standard", now + 600).hostName = "pc2";
    lease(ip(0, 149), 3).hostName = "pc3";        // ran out: the expiry pass had it
    lease(ip(0, 145), 4, "Standard", now + 600);  // never named
    // The Standard pool shrinks to 10.0.0.100 .. 10.0.0.139.
    fixture.store.writeInt("Standard", "Range", 40, 0);
    EXPECT_EQ(fixture.send(reader, PipeCode::ReloadProfiles, 0).value(), 2);
    const std::vector<std::uint8_t> name(24, 0);
    const PipeMessage reply = fixture.send(reader, PipeCode::PurgeDynamic, 0, name);
    EXPECT_EQ(reply.size, 8u);
    EXPECT_EQ(reply.value(), 60);
    EXPECT_EQ(fixture.counters.poolTotal, 60);
    const auto left = walk(PipeCode::ListDynamic);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].fields.address, ip(0, 120));

    lease(ip(0, 130), 5, "Standard", now + 600).hostName = "pc5";
    EXPECT_EQ(add(staticImage(6, ip(0, 130))).value(), 1);
    const std::vector<dhcp::DnsUpdate> queued = fixture.dnsQueue.takeAll();
    ASSERT_EQ(queued.size(), 2u);
    const std::tuple<std::string, Ipv4, std::uint8_t> removed[] = {{"pc2", ip(0, 140), 2}, {"pc5", ip(0, 130), 5}};
    for (std::size_t i = 0; i < queued.size(); ++i) {
        const auto& [host, address, macByte] = removed[i];
        EXPECT_TRUE(queued[i].removal);
        EXPECT_EQ(std::tie(queued[i].hostName, queued[i].domain, queued[i].address),
                  std::make_tuple(host, std::string("lab.test"), address));
        EXPECT_EQ(queued[i].clientIdentity, dhcp::recordDhcidIdentifier(staticImage(macByte, 0).fields.identity));
    }
}

TEST_F(RequestHandlerTest, ProfileChecks) {
    Profile interfaceBound;
    interfaceBound.name = "If";
    interfaceBound.selectorKind = SelectorKind::Interface;
    interfaceBound.selectorAddress = makeIpv4(10, 0, 0, 1);
    Profile catchAll;
    catchAll.name = "AnyRelay";
    catchAll.selectorKind = SelectorKind::Relay;
    catchAll.selectorAddress = 0xFFFFFFFFu;
    Profile plain = catchAll;
    plain.name = "Relay1";
    plain.selectorAddress = makeIpv4(10, 9, 0, 1);
    Profile circuit = plain;
    circuit.name = "Circuit7";
    circuit.relaySelectorType = RelaySelectorType::CircuitId;
    circuit.selectorValue.length = 1;
    circuit.selectorValue.bytes[0] = 7;
    fixture.profiles.assign({interfaceBound, catchAll, circuit, plain});

    auto checkAddress = [&](Ipv4 address) {
        return fixture.send(reader, PipeCode::CheckAddressProfile, static_cast<std::int32_t>(address)).value();
    };
    EXPECT_EQ(checkAddress(makeIpv4(10, 0, 0, 1)), 1);
    EXPECT_EQ(checkAddress(makeIpv4(10, 0, 0, 2)), 0);
    EXPECT_EQ(checkAddress(0), 0);

    auto checkSelector = [&](Ipv4 relay, std::uint32_t type, const std::string& name, std::vector<std::uint8_t> value) {
        std::vector<std::uint8_t> payload(29, 0);
        putU32(payload, 0, type);
        putText(payload, 4, name);
        payload[28] = static_cast<std::uint8_t>(value.size());
        payload.insert(payload.end(), value.begin(), value.end());
        const PipeMessage reply =
            fixture.send(reader, PipeCode::CheckProfileSelector, static_cast<std::int32_t>(relay), payload);
        EXPECT_EQ(reply.size, 8u);
        return reply.value();
    };
    const Ipv4 relay = makeIpv4(10, 9, 0, 1);
    EXPECT_EQ(checkSelector(relay, 1, "New", {7}), 1);                 // Circuit7 takes it
    EXPECT_EQ(checkSelector(relay, 1, "circuit7", {7}), 0);            // ... but that is the profile itself
    EXPECT_EQ(checkSelector(relay, 0, "New", {}), 1);                  // no type: the first with a selector
    EXPECT_EQ(checkSelector(relay, 1, "Relay1", {8}), 0);              // falls to Relay1, the same name
    EXPECT_EQ(checkSelector(makeIpv4(10, 9, 0, 2), 0, "New", {}), 0);  // only the catch-all
}

}  // namespace
}  // namespace tolmark

namespace tolmark {
namespace {

// Transfers are listed by index; without a TFTP server there are none.
TEST_F(RequestHandlerTest, GetTransferByIndex) {
    EXPECT_EQ(fixture.send(reader, PipeCode::GetTransfer, 0).size, 4u);
    std::array<std::uint8_t, kTransferRecordSize> image{};
    image[0] = 1;  // a read request
    fixture.context.settings.transferRecord =
        [&](std::int32_t n) -> std::optional<std::array<std::uint8_t, kTransferRecordSize>> {
        if (n != 0) return std::nullopt;
        return image;
    };
    fixture.context.settings.tftpTransfers = [] { return std::int32_t{3}; };
    const PipeMessage reply = fixture.send(reader, PipeCode::GetTransfer, 0);
    ASSERT_EQ(reply.size, 8 + kTransferRecordSize);
    EXPECT_EQ(reply.word(), kPipeDone);
    EXPECT_EQ(reply.value(), 3);
    EXPECT_EQ(reply.payload()[0], 1);
    EXPECT_EQ(fixture.send(reader, PipeCode::GetTransfer, 1).size, 4u);
    EXPECT_EQ(fixture.send(reader, PipeCode::GetTransfer, -1).size, 4u);
}

}  // namespace
}  // namespace tolmark
