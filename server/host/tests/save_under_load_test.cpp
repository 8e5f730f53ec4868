// The periodic save lets go of the engine lock between runs of records. While a save runs, the
// request path renews leases and links and frees records; every save must still hold each
// record that stayed linked throughout, once, and load back whole.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>

#include "server/leases/client_files.h"
#include "server/leases/client_table.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

namespace fs = std::filesystem;

constexpr std::int64_t kNow = 1700000000;
constexpr std::uint32_t kStable = 20000;

Identity identityOf(std::uint32_t n) {
    Identity id;
    id.length = 6;
    id.bytes[0] = 0x02;
    for (int i = 0; i < 4; ++i) id.bytes[2 + i] = static_cast<std::uint8_t>(n >> (8 * i));
    return id;
}

Ipv4 addressOf(std::uint32_t n) { return ipv4FromHostOrder(ipv4ToHostOrder(makeIpv4(10, 0, 0, 0)) + n); }

TEST(SaveUnderLoad, EverySaveHoldsTheRecordsLinkedThroughout) {
    std::string pattern = (fs::temp_directory_path() / "save_under_load_XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path directory = pattern;
    testing::CapturingLog log{0};
    ClientTable table{log};
    ProfileList profiles;
    Profile lab;
    lab.name = "Lab";
    lab.baseIp = makeIpv4(10, 0, 0, 0);
    lab.range = 1 << 20;
    profiles.assign({lab});
    GeneralSettings settings;
    ClientFiles files;
    files.dynamic.path = (directory / "dynamic").string();
    Mutex engineLock;

    auto add = [&](std::uint32_t n) {
        ClientRecord* r = table.take();
        table.setIdentity(*r, identityOf(n));
        table.setAddress(*r, addressOf(n));
        table.setProfile(*r, "Lab");
        r->hostName = n % 3 == 0 ? "a-host-name-longer-than-fourteen" : "pc";
        table.setExpiry(*r, kNow + n);
        table.insertDynamicAfter(table.last(ClientList::Dynamic), *r);
        return r;
    };
    for (std::uint32_t n = 0; n < kStable; ++n) add(n);

    // The request path: renews stable leases, links new records after them and frees some of
    // those again, for as long as the saves run (and at most a bounded number of steps).
    std::atomic<bool> saving{true};
    std::thread requests([&] {
        std::mt19937 random(5);
        std::vector<ClientRecord*> added;
        for (std::uint32_t step = 0; saving && step < 2000000; ++step) {
            Hold hold(engineLock);
            ClientRecord* stable = table.findIdentity(ClientList::Dynamic, identityOf(random() % kStable), nullptr);
            if (stable != nullptr) table.setExpiry(*stable, kNow + 86400 + step);
            if (step % 4 == 0) added.push_back(add(kStable + step));
            if (step % 8 == 0 && !added.empty()) {
                ClientRecord* gone = added[random() % added.size()];
                std::erase(added, gone);
                table.unlink(*gone);
                table.release(*gone);
            }
            table.markChanged(ClientList::Dynamic);
        }
    });

    for (int save = 0; save < 5; ++save) {
        table.markChanged(ClientList::Dynamic);
        ASSERT_TRUE(saveChangedLists(table, files, settings, log, &engineLock));
        testing::CapturingLog loadLog{0};
        ClientTable loaded{loadLog};
        ListFile file = files.dynamic;
        loadList(loaded, ClientList::Dynamic, profiles, file, settings, loadLog, kNow);
        EXPECT_TRUE(file.keptTail.empty()) << "save " << save << ": a line did not read back";
        for (std::uint32_t n = 0; n < kStable; ++n) {
            const ClientRecord* r = loaded.findIdentity(ClientList::Dynamic, identityOf(n), nullptr);
            ASSERT_NE(r, nullptr) << "save " << save << " lost client " << n;
            EXPECT_EQ(r->address, addressOf(n));
            EXPECT_EQ(loaded.findIdentity(ClientList::Dynamic, identityOf(n), r), nullptr) << "written twice: " << n;
        }
    }
    saving = false;
    requests.join();
    fs::remove_all(directory);
}

}  // namespace
}  // namespace tolmark
