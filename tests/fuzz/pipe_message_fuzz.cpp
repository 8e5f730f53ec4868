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

#include "common/client_record.h"
#include "common/pipe_protocol.h"
#include "common/settings_blocks.h"
#include "server/pipe/request_handler.h"
#include "server/pipe/tests/pipe_fixture.h"
#include "tests/fuzz/fuzz_target.h"

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

// True while everything the handler created stays inside the data and log directories.
bool confined(const FuzzState& s) {
    static const std::set<std::string> allowed = {"data", "logs"};
    for (const auto& entry : std::filesystem::directory_iterator(s.fixture.root.path())) {
        if (allowed.count(entry.path().filename().string()) == 0) return false;
    }
    return true;
}

}  // namespace

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
    FUZZ_REQUIRE(reply.size >= 4 && reply.size <= tolmark::kPipeMessageMax);
    if (const std::uint64_t handle = handleIn(reply); handle != 0) s.lastHandle = handle;
    FUZZ_REQUIRE(confined(s));
    return 0;
}

namespace tolmark::fuzz {
namespace {

Input message(std::uint8_t steer, std::uint32_t code, std::int32_t value, const Input& payload = {}) {
    Input bytes = {steer};
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(code >> (8 * i)));
    for (int i = 0; i < 4; ++i)
        bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(value) >> (8 * i)));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

Input text(std::initializer_list<std::string> parts) {
    Input bytes;
    for (const std::string& part : parts) {
        bytes.insert(bytes.end(), part.begin(), part.end());
        bytes.push_back(0);
    }
    return bytes;
}

template <typename Array>
Input arrayBytes(const Array& array) {
    return Input(array.begin(), array.end());
}

}  // namespace

// A well-formed request of every code.
std::vector<Input> seeds() {
    ClientRecordImage client;
    client.fields.identity.length = 6;
    client.fields.identity.bytes = {0, 0x0c, 0x29, 0, 0, 1};
    client.fields.address = makeIpv4(10, 0, 0, 120);
    client.fields.profile = "Standard";
    const Input record = arrayBytes(encodeClientRecord(client));
    Input update(8, 0);
    update.insert(update.end(), record.begin(), record.end());
    Input rename(48, 0);
    std::memcpy(rename.data(), "Lab", 3);
    std::memcpy(rename.data() + 24, "Lab2", 4);
    Input selector(29, 0);
    selector[0] = 1;
    selector[28] = 1;
    selector.push_back(7);
    const Input setting = {8,   'S', 't', 'a', 'n', 'd', 'a', 'r', 'd', 0,   6,
                           'L', 'e', 'a', 's', 'e', 0,   4,   '6', '0', '0', 0};

    return {
        message(1, toWire(PipeCode::GetSettings), 0),
        message(1, toWire(PipeCode::SetSettings), 152, arrayBytes(encodeGeneralSettings({}))),
        message(1, toWire(PipeCode::FindClient), 0, Input(89, 0)),
        message(1, toWire(PipeCode::AddClient), 0, record),
        message(5, toWire(PipeCode::UpdateClient), 1, update),
        message(5, toWire(PipeCode::RemoveClient), 0, Input(8, 0)),
        message(0, toWire(PipeCode::ListStatic), 0, Input(8, 0)),
        message(4, toWire(PipeCode::ListDynamic), 1, Input(8, 0)),
        message(4, toWire(PipeCode::ListIgnored), 1, Input(8, 0)),
        message(0, toWire(PipeCode::GetTransfer), 0),
        message(0, toWire(PipeCode::GetStatus), 0),
        message(1, toWire(PipeCode::SetInterfaces), 832, arrayBytes(encodeServerStatus({}))),
        message(0, toWire(PipeCode::GetTftpSettings), 0),
        message(1, toWire(PipeCode::SetTftpSettings), 1860, arrayBytes(encodeTftpSettings({}))),
        message(0, toWire(PipeCode::GetMulticast), 0),
        message(1, toWire(PipeCode::SetMulticast), 16, arrayBytes(encodeMulticastSettings({}))),
        message(0, toWire(PipeCode::ReloadProfiles), 0),
        message(0, toWire(PipeCode::PurgeDynamic), 0, Input(24, 0)),
        message(0, toWire(PipeCode::GetProfile), 0, Input(24, 0)),
        message(1, toWire(PipeCode::RenameProfile), 1, rename),
        message(0, toWire(PipeCode::CheckAddressProfile), 0x0100000a),
        message(0, toWire(PipeCode::CheckProfileSelector), 0x0100090a, selector),
        message(0, toWire(PipeCode::FileFindFirst), 0, text({"*.log"})),
        message(4, toWire(PipeCode::FileFindNext), 8, Input(8, 0)),
        message(4, toWire(PipeCode::FileFindClose), 8, Input(8, 0)),
        message(0, toWire(PipeCode::FileOpen), 0, text({"dhcp2412.log", "r"})),
        message(1, toWire(PipeCode::FileOpen), 0, text({"fuzz.log", "a+"})),
        message(1, toWire(PipeCode::FileOpen), 0, text({"../escape.log", "w"})),
        message(4, toWire(PipeCode::FileReadLine), 0, Input(8, 0)),
        message(5, toWire(PipeCode::FileWrite), 3, Input{0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c'}),
        message(4, toWire(PipeCode::FileClose), 0, Input(8, 0)),
        message(1, toWire(PipeCode::WriteSetting), 8 + static_cast<std::int32_t>(setting.size()), setting),
    };
}

// Names that lead out of the log directory, and settings keys.
std::vector<std::string> dictionary() {
    return {"../", "/etc/passwd", "..", "a/../../x", "*", "/", "Standard", "Lease", "Profile0", "Directory"};
}

}  // namespace tolmark::fuzz
