// Fuzz target: one control pipe request through the handler against a whole server context in
// a temporary directory. Byte 0 of the input steers the run: bit 0 gives write permission,
// bit 1 starts a new connection (closing what the last one opened), bit 2 puts the handle of
// the previous reply at offset 8 so that walks, searches and files get past their first step.
// The rest is the message.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "server/pipe/request_handler.h"
#include "server/pipe/tests/pipe_fixture.h"

namespace {

struct FuzzState {
    FuzzState() : fixture(0) {
        fixture.writeProfile("Standard", "10.0.0.100", 50);
        fixture.writeProfile("Lab", "10.0.1.100", 20);
        fixture.loadProfiles();
        tolmark::testing::writeFile(fixture.logDirectory + "dhcp2412.log", std::string(3000, 'x') + "\nline\n");
    }
    tolmark::testing::PipeFixture fixture;
    std::unique_ptr<tolmark::PipeSession> session = std::make_unique<tolmark::PipeSession>();
    std::uint64_t lastHandle = 0;
};

FuzzState& state() {
    static FuzzState instance;
    return instance;
}

// The handle a reply carries: a record's next handle, or a search or file handle at 8.
std::uint64_t handleIn(const tolmark::PipeMessage& reply) {
    tolmark::ByteReader in(reply.view());
    if (reply.size == 8 + tolmark::kClientRecordSize) return in.u64le(8 + 8);
    if (reply.size >= 16) return in.u64le(8);
    return 0;
}

}  // namespace

// True while everything the handler created stays inside the data and log directories.
bool pipeFuzzConfined() {
    FuzzState& s = state();
    const std::set<std::string> allowed = {"data", "logs"};
    for (const auto& entry : std::filesystem::directory_iterator(s.fixture.root.path())) {
        if (allowed.count(entry.path().filename().string()) == 0) return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    FuzzState& s = state();
    const std::uint8_t steer = data[0];
    if (steer & 2) s.session = std::make_unique<tolmark::PipeSession>();
    s.session->mayWrite = (steer & 1) != 0;

    std::uint8_t message[tolmark::kPipeMessageMax];
    const std::size_t length = std::min(size - 1, sizeof message);
    if (length != 0) std::memcpy(message, data + 1, length);
    if ((steer & 4) && length >= 16) {
        for (int i = 0; i < 8; ++i) message[8 + i] = static_cast<std::uint8_t>(s.lastHandle >> (8 * i));
    }
    const tolmark::PipeMessage reply = tolmark::handleRequest(s.fixture.context, *s.session, {message, length});
    if (reply.size < 4 || reply.size > tolmark::kPipeMessageMax) __builtin_trap();
    if (const std::uint64_t handle = handleIn(reply); handle != 0) s.lastHandle = handle;
    return 0;
}
