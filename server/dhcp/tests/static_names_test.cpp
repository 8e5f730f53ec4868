// Host names of static entries from the name service: addresses of entries known by name,
// names of entries known by address, and the pass the control pipe asks for.

#include "server/dhcp/static_names.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <map>
#include <tuple>

#include "server/dhcp/tests/engine_fixture.h"
#include "server/leases/client_rules.h"

namespace tolmark::dhcp::testing {
namespace {

// Answers from its tables; with hold set, every lookup waits until released.
class FakeNames final : public platform::NameService {
public:
    std::optional<Ipv4> addressOf(const std::string& name) override {
        pause();
        std::lock_guard<std::mutex> g(lock_);
        ++calls;
        auto it = addresses.find(name);
        return it == addresses.end() ? std::nullopt : std::optional<Ipv4>(it->second);
    }
    std::optional<std::string> nameOf(Ipv4 address) override {
        pause();
        std::lock_guard<std::mutex> g(lock_);
        ++calls;
        auto it = names.find(address);
        return it == names.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    void hold() { held_ = true; }
    void release() {
        {
            std::lock_guard<std::mutex> g(lock_);
            held_ = false;
        }
        changed_.notify_all();
    }
    bool waiting() {
        std::lock_guard<std::mutex> g(lock_);
        return waiting_ > 0;
    }

    std::map<std::string, Ipv4> addresses;
    std::map<Ipv4, std::string> names;
    int calls = 0;

private:
    void pause() {
        std::unique_lock<std::mutex> g(lock_);
        ++waiting_;
        changed_.wait(g, [this] { return !held_; });
        --waiting_;
    }
    std::mutex lock_;
    std::condition_variable changed_;
    bool held_ = false;
    int waiting_ = 0;
};

class StaticNamesTest : public EngineTest {
protected:
    StaticNamesTest() { useProfiles({lanProfile()}); }

    void waitUntilHeld() {
        for (int i = 0; i < 500 && !names_.waiting(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_TRUE(names_.waiting());
    }

    FakeNames names_;
    std::atomic<int> statusChanged_{0};
    std::atomic<bool> autoExclude_{true};
    DnsUpdateQueue queue_;
    StaticNames statics_{StaticNamesContext{.engine = state_,
                                            .names = names_,
                                            .statusChanged = statusChanged_,
                                            .log = log_,
                                            .autoExclude = [this] { return autoExclude_.load(); },
                                            .dnsQueue = &queue_,
                                            .clock = &clock_}};
};

TEST_F(StaticNamesTest, AnAddressFoundByNameIsReservedOnlyWithAutoExclude) {
    autoExclude_ = false;
    ClientRecord& printer = addStatic(mac(1), 0, "LAN");
    printer.hostName = "printer";
    names_.addresses = {{"printer", lan(120)}};
    statics_.startAtLoad(false);
    statics_.wait();
    EXPECT_EQ(printer.address, lan(120));
    EXPECT_EQ(dynamicAt(lan(120)), nullptr);
}

TEST_F(StaticNamesTest, EntriesGetTheAddressOfTheirNameAndTheNameOfTheirAddress) {
    Profile accepting = lanProfile();
    accepting.dnsAccept = 1;
    useProfiles({accepting});
    // A client leases the address the name gives: the reservation ends the lease and its names.
    addDynamic(mac(9), lan(120), clock_.now() + 600).hostName = "pc9";
    ClientRecord& printer = addStatic(mac(1), 0, "LAN");
    printer.hostName = "printer";
    ClientRecord& known = addStatic(mac(2), lan(5), "LAN");
    ClientRecord& unknown = addStatic(mac(3), 0, "LAN");
    unknown.hostName = "nowhere";
    ClientRecord& never = addStatic(mac(4), kNeverServe, "LAN");
    ClientRecord& named = addStatic(mac(5), lan(6), "LAN");
    named.hostName = "keeps-its-name";
    names_.addresses = {{"printer", lan(120)}};
    names_.names = {{lan(5), std::string(200, 'n')}, {lan(6), "other"}, {kNeverServe, "broadcast"}};

    statics_.startAtLoad(false);
    statics_.wait();
    EXPECT_EQ(printer.address, lan(120));
    EXPECT_EQ(known.hostName, "") << "reverse lookups are off";
    EXPECT_EQ(statusChanged_.load() & 1, 1);
    // The address is held in its pool for the entry, and the client is served with it.
    ASSERT_NE(dynamicAt(lan(120)), nullptr);
    EXPECT_EQ(dynamicAt(lan(120))->expiry, kExpiryReserved);
    const std::vector<DnsUpdate> removed = queue_.takeAll();
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(std::tie(removed[0].hostName, removed[0].address, removed[0].removal),
              std::make_tuple(std::string("pc9"), lan(120), true));
    EXPECT_EQ(bind(mac(1)), lan(120));
    // The administrator learns why an entry known by name has no address.
    EXPECT_EQ(std::count_if(log_.lines.begin(), log_.lines.end(),
                            [](const std::string& l) { return l.find("static host name") != std::string::npos; }),
              1);
    EXPECT_NE(
        std::find(log_.lines.begin(), log_.lines.end(), "DHCP  Error   static host name nowhere: no address found\n"),
        log_.lines.end());

    statusChanged_ = 0;
    statics_.startAtLoad(true);
    statics_.wait();
    EXPECT_EQ(known.hostName, std::string(158, 'n'));  // cut to what a record holds
    EXPECT_EQ(unknown.address, 0u);
    EXPECT_EQ(never.hostName, "");
    EXPECT_EQ(named.hostName, "keeps-its-name");
    EXPECT_EQ(statusChanged_.load() & 1, 1);
}

TEST_F(StaticNamesTest, ThePipesPassRunsOnceAtATimeAndOnlyWhenWanted) {
    ClientRecord& a = addStatic(mac(1), lan(7), "LAN");
    names_.names = {{lan(7), "host-a"}};
    // Reverse lookups off and no profile sends static names: nothing to do.
    EXPECT_FALSE(statics_.requestPass(false));
    Profile sending = lanProfile();
    sending.dnsSend = 1;
    useProfiles({sending});

    names_.hold();
    ASSERT_TRUE(statics_.requestPass(false));
    waitUntilHeld();
    EXPECT_FALSE(statics_.requestPass(true)) << "a second request while a pass runs is dropped";
    names_.release();
    statics_.wait();
    EXPECT_EQ(a.hostName, "host-a");
    EXPECT_TRUE(statics_.requestPass(true));
    statics_.wait();
    EXPECT_EQ(names_.calls, 1) << "named entries are not looked up again";
}

TEST_F(StaticNamesTest, AnEntryChangedDuringTheLookupIsLeftAsItIsNow) {
    ClientRecord& gone = addStatic(mac(1), lan(8), "LAN");
    ClientRecord& renamed = addStatic(mac(2), 0, "LAN");
    renamed.hostName = "old-name";
    names_.names = {{lan(8), "late"}};
    names_.addresses = {{"old-name", lan(130)}};
    names_.hold();
    statics_.startAtLoad(true);
    waitUntilHeld();
    {
        Hold engine(state_.lock);
        ASSERT_TRUE(deleteRecord(clients_, ClientList::Static, gone));
        renamed.hostName = "new-name";
    }
    names_.release();
    statics_.wait();
    EXPECT_EQ(renamed.address, 0u);
    EXPECT_EQ(dynamicAt(lan(130)), nullptr);
    EXPECT_EQ(statusChanged_.load(), 0);
    statics_.stop();
    EXPECT_FALSE(statics_.requestPass(true)) << "nothing starts once stopped";
}

}  // namespace
}  // namespace tolmark::dhcp::testing
