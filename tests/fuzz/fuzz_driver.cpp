// Runs a fuzz target without libFuzzer: seeds of every request code, then random and mutated
// inputs from a fixed seed, bounded in count and time, so that the target runs under CTest with
// g++ and under the sanitizers. Files given on the command line are run first, one input each.
//
//   pipe_message_fuzz [--runs N] [--seconds S] [--seed X] [files...]

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "common/client_record.h"
#include "common/pipe_protocol.h"
#include "common/settings_blocks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);
bool pipeFuzzConfined();

namespace {

using Input = std::vector<std::uint8_t>;

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
Input bytesOf(const Array& array) {
    return Input(array.begin(), array.end());
}

// A well-formed request of every code, so that mutations start from messages that get deep.
std::vector<Input> seeds() {
    using tolmark::PipeCode;
    using tolmark::toWire;
    tolmark::ClientRecordImage client;
    client.fields.identity.length = 6;
    client.fields.identity.bytes = {0, 0x0c, 0x29, 0, 0, 1};
    client.fields.address = tolmark::makeIpv4(10, 0, 0, 120);
    client.fields.profile = "Standard";
    const Input record = bytesOf(tolmark::encodeClientRecord(client));
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

    std::vector<Input> all = {
        message(1, toWire(PipeCode::GetSettings), 0),
        message(1, toWire(PipeCode::SetSettings), 152, bytesOf(tolmark::encodeGeneralSettings({}))),
        message(1, toWire(PipeCode::FindClient), 0, Input(89, 0)),
        message(1, toWire(PipeCode::AddClient), 0, record),
        message(5, toWire(PipeCode::UpdateClient), 1, update),
        message(5, toWire(PipeCode::RemoveClient), 0, Input(8, 0)),
        message(0, toWire(PipeCode::ListStatic), 0, Input(8, 0)),
        message(4, toWire(PipeCode::ListDynamic), 1, Input(8, 0)),
        message(4, toWire(PipeCode::ListIgnored), 1, Input(8, 0)),
        message(0, toWire(PipeCode::GetTransfer), 0),
        message(0, toWire(PipeCode::GetStatus), 0),
        message(1, toWire(PipeCode::SetInterfaces), 832, bytesOf(tolmark::encodeServerStatus({}))),
        message(0, toWire(PipeCode::GetTftpSettings), 0),
        message(1, toWire(PipeCode::SetTftpSettings), 1860, bytesOf(tolmark::encodeTftpSettings({}))),
        message(0, toWire(PipeCode::GetMulticast), 0),
        message(1, toWire(PipeCode::SetMulticast), 16, bytesOf(tolmark::encodeMulticastSettings({}))),
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
    return all;
}

class Mutator {
public:
    explicit Mutator(std::uint32_t seed) : random_(seed) {}

    std::size_t below(std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }

    Input randomInput() {
        Input input(1 + below(64) + (below(8) == 0 ? below(2100) : 0));
        for (auto& b : input) b = byte();
        // Mostly known codes: random words are all answered "unknown" at the first check.
        if (input.size() >= 5 && below(4) != 0)
            input[1] = static_cast<std::uint8_t>(1 + below(49)), input[2] = input[3] = input[4] = 0;
        return input;
    }

    void mutate(Input& input) {
        const std::size_t rounds = 1 + below(4);
        for (std::size_t r = 0; r < rounds; ++r) {
            switch (below(7)) {
                case 0:  // flip a bit
                    if (!input.empty()) input[below(input.size())] ^= static_cast<std::uint8_t>(1u << below(8));
                    break;
                case 1:  // a random byte
                    if (!input.empty()) input[below(input.size())] = byte();
                    break;
                case 2:  // cut the end
                    input.resize(below(input.size() + 1));
                    break;
                case 3:  // insert bytes
                    input.insert(input.begin() + static_cast<std::ptrdiff_t>(below(input.size() + 1)), 1 + below(16),
                                 byte());
                    break;
                case 4:  // an interesting value in the value field or a length byte
                    if (input.size() > 5) {
                        static const std::uint8_t kInteresting[] = {0, 1, 7, 8, 0x7F, 0x80, 0xFF, 0xFE, 24, 64, 65};
                        input[below(input.size())] = kInteresting[below(sizeof kInteresting)];
                    }
                    break;
                case 5:  // another steering byte
                    if (!input.empty()) input[0] = byte();
                    break;
                default:  // a text that leads out of the log directory
                    if (input.size() > 9) {
                        static const char* kNames[] = {"../", "/etc/passwd", "..", "a/../../x", "*", "/"};
                        const std::string name = kNames[below(std::size(kNames))];
                        const std::size_t at = 9 + below(input.size() - 9);
                        input.insert(input.begin() + static_cast<std::ptrdiff_t>(at), name.begin(), name.end());
                    }
                    break;
            }
        }
        if (input.size() > 1 + tolmark::kPipeMessageMax) input.resize(1 + tolmark::kPipeMessageMax);
    }

private:
    std::mt19937 random_;
};

Input readInput(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 20000;
    long seconds = 20;
    std::uint32_t seed = 20241207;
    std::vector<const char*> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc)
            runs = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atol(argv[++i]);
        else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        else
            files.push_back(argv[i]);
    }
    for (const char* path : files) {
        const Input input = readInput(path);
        LLVMFuzzerTestOneInput(input.data(), input.size());
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Mutator mutator(seed);
    std::vector<Input> corpus = seeds();
    for (const Input& input : corpus) LLVMFuzzerTestOneInput(input.data(), input.size());
    long done = 0;
    for (; done < runs && std::chrono::steady_clock::now() < deadline; ++done) {
        Input input;
        if (mutator.below(5) == 0) {
            input = mutator.randomInput();
        } else {
            input = corpus[mutator.below(corpus.size())];
            mutator.mutate(input);
        }
        LLVMFuzzerTestOneInput(input.data(), input.size());
        // Keep some mutants as parents so that changes pile up.
        if (mutator.below(50) == 0 && corpus.size() < 512) corpus.push_back(std::move(input));
    }
    if (!pipeFuzzConfined()) {
        std::fprintf(stderr, "a request created something outside the data and log directories\n");
        return 1;
    }
    std::printf("%ld inputs, seed %u\n", done, seed);
    return 0;
}
