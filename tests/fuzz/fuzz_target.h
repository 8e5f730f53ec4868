#pragma once
// What every fuzz target gives besides LLVMFuzzerTestOneInput: well-formed inputs built with the
// project's own encoders (so that mutations start from inputs that get deep), and tokens the
// bounded driver inserts. The committed corpus of a target is written from the same seeds
// ("<target> --write-seeds DIR"), and libFuzzer starts from that corpus.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace tolmark::fuzz {

using Input = std::vector<std::uint8_t>;

std::vector<Input> seeds();
std::vector<std::string> dictionary();

inline Input bytesOf(std::string_view text) { return Input(text.begin(), text.end()); }

// A fuzz target's own check failed: say which, and stop, so that the input is kept as a
// finding (libFuzzer reports the trap with the stack and writes the input out).
[[noreturn]] inline void fail(const char* check, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, check);
    __builtin_trap();
}

}  // namespace tolmark::fuzz

#define FUZZ_REQUIRE(condition) \
    ((condition) ? static_cast<void>(0) : ::tolmark::fuzz::fail(#condition, __FILE__, __LINE__))
