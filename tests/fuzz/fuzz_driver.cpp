// Runs a fuzz target without libFuzzer, so that CTest runs every target with g++ and under the
// sanitizers: first the files given (directories: every file in them, in name order), then the
// target's seeds, then random and mutated inputs from a fixed seed, bounded in count and time.
//
//   <target> [--runs N] [--seconds S] [--seed X] [files or directories...]
//   <target> --write-seeds DIR     writes the seeds as files (the start of the committed corpus)
//
// A failing input is written to "failed-input" in the working directory.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_target.h"

namespace {

using tolmark::fuzz::Input;

// The input being run, written to "failed-input" in the working directory when a check traps
// or the process aborts, so that the finding can be run again alone.
const Input* current = nullptr;

void keepFailedInput(int signal) {
    if (current != nullptr) {
        const int fd = ::open("failed-input", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t n = ::write(fd, current->data(), current->size());
            ::close(fd);
        }
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void runOne(const Input& input) {
    current = &input;
    LLVMFuzzerTestOneInput(input.data(), input.size());
    current = nullptr;
}

class Mutator {
public:
    Mutator(std::uint32_t seed, std::vector<std::string> tokens) : random_(seed), tokens_(std::move(tokens)) {}

    std::size_t below(std::size_t n) {
        return n == 0 ? 0 : std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
    }
    std::uint8_t byte() { return static_cast<std::uint8_t>(below(256)); }

    Input randomInput() {
        Input input(1 + below(64) + (below(8) == 0 ? below(2100) : 0));
        for (auto& b : input) b = byte();
        return input;
    }

    void mutate(Input& input, const std::vector<Input>& corpus) {
        const std::size_t rounds = 1 + below(4);
        for (std::size_t r = 0; r < rounds; ++r) {
            switch (below(8)) {
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
                    input.insert(at(input), 1 + below(16), byte());
                    break;
                case 4:  // a value at the edges of lengths and counts
                    if (!input.empty()) {
                        static const std::uint8_t kInteresting[] = {0, 1, 2, 4, 7, 8, 0x7F, 0x80, 0xFF, 0xFE, 16, 64};
                        input[below(input.size())] = kInteresting[below(sizeof kInteresting)];
                    }
                    break;
                case 5:  // drop a stretch
                    if (input.size() > 1) {
                        const std::size_t from = below(input.size());
                        const std::size_t count = 1 + below(std::min<std::size_t>(32, input.size() - from));
                        input.erase(input.begin() + static_cast<std::ptrdiff_t>(from),
                                    input.begin() + static_cast<std::ptrdiff_t>(from + count));
                    }
                    break;
                case 6:  // a token of the target
                    if (!tokens_.empty()) {
                        const std::string& token = tokens_[below(tokens_.size())];
                        input.insert(at(input), token.begin(), token.end());
                    }
                    break;
                default:  // the tail of another input
                    if (!corpus.empty()) {
                        const Input& other = corpus[below(corpus.size())];
                        const std::size_t from = below(other.size() + 1);
                        input.resize(below(input.size() + 1));
                        input.insert(input.end(), other.begin() + static_cast<std::ptrdiff_t>(from), other.end());
                    }
                    break;
            }
        }
        if (input.size() > kMaxInput) input.resize(kMaxInput);
    }

private:
    static constexpr std::size_t kMaxInput = 8192;
    Input::iterator at(Input& input) { return input.begin() + static_cast<std::ptrdiff_t>(below(input.size() + 1)); }

    std::mt19937 random_;
    std::vector<std::string> tokens_;
};

Input readInput(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Input(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files in name order, so that runs repeat.
std::vector<std::filesystem::path> inputFiles(const char* argument) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    if (std::filesystem::is_directory(argument, error)) {
        for (const auto& entry : std::filesystem::directory_iterator(argument, error)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
    } else {
        files.emplace_back(argument);
    }
    return files;
}

int writeSeeds(const char* directory) {
    std::filesystem::create_directories(directory);
    int n = 0;
    for (const Input& seed : tolmark::fuzz::seeds()) {
        char name[32];
        std::snprintf(name, sizeof name, "seed-%03d", n++);
        std::ofstream(std::filesystem::path(directory) / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(seed.data()), static_cast<std::streamsize>(seed.size()));
    }
    std::printf("%d seeds written to %s\n", n, directory);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 20000;
    long seconds = 20;
    std::uint32_t seed = 20241207;
    std::vector<Input> corpus;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
            runs = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = std::atol(argv[++i]);
        } else if (std::strcmp(argv[i], "--seed") == 0 && i + 1 < argc) {
            seed = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 0));
        } else if (std::strcmp(argv[i], "--write-seeds") == 0 && i + 1 < argc) {
            return writeSeeds(argv[i + 1]);
        } else {
            for (const auto& path : inputFiles(argv[i])) corpus.push_back(readInput(path));
        }
    }
    for (int signal : {SIGILL, SIGABRT, SIGSEGV, SIGFPE}) ::signal(signal, keepFailedInput);
    const std::size_t files = corpus.size();
    for (Input& input : tolmark::fuzz::seeds()) corpus.push_back(std::move(input));
    for (const Input& input : corpus) runOne(input);

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    Mutator mutator(seed, tolmark::fuzz::dictionary());
    long done = 0;
    for (; done < runs && std::chrono::steady_clock::now() < deadline; ++done) {
        Input input;
        if (corpus.empty() || mutator.below(5) == 0) {
            input = mutator.randomInput();
        } else {
            input = corpus[mutator.below(corpus.size())];
            mutator.mutate(input, corpus);
        }
        runOne(input);
        // Keep some mutants as parents so that changes pile up.
        if (mutator.below(50) == 0 && corpus.size() < 512) corpus.push_back(std::move(input));
    }
    std::printf("%zu corpus files, %ld inputs, seed %u\n", files, done, seed);
    return 0;
}
