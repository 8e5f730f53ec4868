// Fuzz target: a whole client file, loaded into a fresh table against two profiles with pools
// and one without, in a temporary directory. Byte 0 steers: bits 0-1 the file (0 and 1 the
// dynamic file, 2 the ethers file, 3 the ignored file), bit 2 whether host names are written.
// The rest is the file.
//
// Whatever the file, the table it loads is saved, and the saved file loaded into another
// table must give the same records (identity, address, profile, time) and keep the same unread
// rest, and saving that table must give the same file byte for byte: a save and a load never
// lose or change a lease.

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "config/tests/temp_directory.h"
#include "server/leases/client_files.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

constexpr std::int64_t kNow = 1700000000;

Profile profile(std::string name, Ipv4 base, std::int32_t range, std::int32_t lease) {
    Profile p;
    p.name = std::move(name);
    p.baseIp = base;
    p.range = range;
    p.lease = lease;
    return p;
}

struct State {
    State() {
        profiles.assign({profile("Standard", makeIpv4(10, 0, 0, 100), 50, 3600),
                         profile("Lab", makeIpv4(10, 0, 1, 10), 20, 0), profile("Remote", 0, 0, 600)});
        settings.autoExclude = 0;
    }
    testing::TempDirectory directory;
    ProfileList profiles;
    GeneralSettings settings;
};

State& state() {
    static State instance;
    return instance;
}

std::string contentOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// What the file keeps of a record, in list order.
std::vector<ClientFields> kept(const ClientTable& table, ClientList list) {
    std::vector<ClientFields> out;
    for (const ClientRecord* r = table.first(list); r != nullptr; r = table.next(*r)) {
        ClientFields& f = out.emplace_back();
        r->copyTo(f);
        if (list == ClientList::Dynamic) {
            f.lastAccess = 0;
        } else {
            f.expiry = 0;
            f.seenVia = 0;
        }
        f.hostName.clear();
        f.remark.clear();
        // A control character read in a name is written as '?', so that it cannot split the line.
        for (char& c : f.profile) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
        }
    }
    return out;
}

void run(std::span<const std::uint8_t> input) {
    State& s = state();
    Steering steer(input);
    const std::uint8_t how = steer.byte();
    static constexpr ClientList kLists[] = {ClientList::Dynamic, ClientList::Dynamic, ClientList::Static,
                                            ClientList::Ignored};
    const ClientList list = kLists[how & 3];
    s.settings.updateEthers = (how & 4) ? kUpdateEthersHostNames : 0;

    ListFile file;
    file.path = s.directory.file("clients");
    std::ofstream(file.path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(steer.rest().data()), static_cast<std::streamsize>(steer.rest().size()));

    FormattingLog log(3);
    ClientTable loaded(log);
    loadList(loaded, list, s.profiles, file, s.settings, log, kNow);
    FUZZ_REQUIRE(!file.replaceRefused);
    FUZZ_REQUIRE(saveList(loaded, list, file, s.settings, log));
    const std::string saved = contentOf(file.path);

    ListFile again;
    again.path = file.path;
    ClientTable reloaded(log);
    loadList(reloaded, list, s.profiles, again, s.settings, log, kNow);
    FUZZ_REQUIRE(kept(loaded, list) == kept(reloaded, list));
    FUZZ_REQUIRE(again.keptTail == file.keptTail);
    FUZZ_REQUIRE(saveList(reloaded, list, again, s.settings, log));
    FUZZ_REQUIRE(contentOf(file.path) == saved);
}

}  // namespace

std::vector<Input> seeds() {
    using namespace std::string_literals;
    return {
        // Leases in and out of their pools, one at an address another holds, a free record.
        bytesOf("\0"s + "00:11:22:33:44:55\t10.0.0.101\t:1700003600\t=10.9.9.1\tStandard\thost-a #lab\n"
                        "00:11:22:33:44:56\t10.0.0.7\t:1700003600\tStandard\n"
                        "00:11:22:33:44:57\t10.0.0.101\t:1700003600\tStandard\n"
                        "00:11:22:33:44:58\t0.0.0.0\t:0\tRemote\n"
                        "0x01aabbccddeeff\t10.0.1.12\t:1699990000\tLab\n"),
        // The last line without its line break: a time that may be cut is held.
        bytesOf("\1"s + "00:11:22:33:44:55\t10.0.0.101\t:17000\tStandard\n00:11:22:33:44:59\t10.0.0.102\t:17"),
        // A cut that took the profile's name with it: the lease takes its pool's profile.
        bytesOf("\0"s + "00:11:22:33:44:5a\t10.0.1.11\t:1700009999\tLa"),
        bytesOf("\0"s + "00:11:22:33:44:5b\t10.0.1.13\t:0"),
        bytesOf("\1"s + "\xEF\xBB\xBF# leases\n  00:11:22:33:44:5c\t10.0.0.120\t:1700000500\n\nkept\tas it\tis\n"),
        // Ethers, with host names written or not.
        bytesOf("\2"s + "00-11-22-33-44-60 printer\t192.168.1.21\t:1700000000\t#front desk\n"
                        "0x01aabbccddeeff\thost.lab\t192.168.1.22\tStandard\n"
                        "00:11:22:33:44:60\t0.0.0.0\tLab\n"),
        bytesOf("\6"s + "Cdeadbeef\t10.0.0.5\t:0\tRemote # circuit\n\"literal id\t10.0.0.7\n"),
        // Ignored clients, and a line that stops the load.
        bytesOf("\3"s + "00:11:22:33:44:70\t0.0.0.0\t:1700000000\n00:11:22:33:44:71\n@@@\nnot read\n"),
    };
}

std::vector<std::string> dictionary() {
    return {"\t",
            "\n",
            "\r\n",
            " ",
            ":",
            "=",
            "#",
            "0x",
            "\"",
            "00:11:22:33:44:55",
            "10.0.0.100",
            "10.0.1.10",
            "10.0.0.150",
            "Standard",
            "Lab",
            "Remote",
            ":0",
            ":17",
            ":1700003600",
            ":4294967295",
            "\xEF\xBB\xBF",
            "C",
            "R",
            "+"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}
