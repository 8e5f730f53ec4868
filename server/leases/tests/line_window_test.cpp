// The in-place line reader of the client files against the reader it replaced (kept here as the
// reference: a byte at a time through a fixed buffer), over files of random lines: empty ones,
// "\r\n" endings, a "\r" at every place around the 1023-character limit, lines longer than the
// window, a last line with and without its line break. Both must give the same lines from the
// same offsets, whatever the window's size.

#include "server/leases/line_window.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "base/file_descriptor.h"

namespace tolmark {
namespace {

struct Line {
    std::string text;
    std::uint64_t start = 0;
    bool cut = false;    // characters beyond the limit were passed over
    bool ended = false;  // by "\n"
};
using Lines = std::vector<Line>;

// The reader the loader used before, as it was.
Lines referenceLines(const std::string& content) {
    Lines out;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::string line;
        const std::uint64_t start = pos;
        std::size_t physical = 0;
        bool ended = false;
        while (pos < content.size()) {
            const char c = content[pos++];
            if (c == '\n') {
                ended = true;
                if (!line.empty() && line.back() == '\r' && physical == line.size()) {
                    line.pop_back();
                    --physical;
                }
                break;
            }
            ++physical;
            if (line.size() <= kMaxEntryLine) line.push_back(c);
        }
        if (line.size() > kMaxEntryLine) line.resize(kMaxEntryLine);
        out.push_back(Line{line, start, physical > kMaxEntryLine, ended});
    }
    return out;
}

std::string randomLine(std::mt19937& random) {
    static const std::size_t kLengths[] = {0, 1, 5, 40, 1021, 1022, 1023, 1024, 1025, 1500, 3000, 9000};
    const std::size_t length = kLengths[random() % std::size(kLengths)] + random() % 3;
    std::string line(length, 'a');
    for (char& c : line) c = "0123456789abcdef:\t #"[random() % 20];
    // A "\r" at the end, or just before the limit, or nowhere.
    if (length > 0 && random() % 3 == 0) line.back() = '\r';
    if (length > 1024 && random() % 4 == 0) line[1023] = '\r';
    return line;
}

TEST(LineWindow, GivesTheLinesAndOffsetsOfTheFormerReader) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() / ("lines-" + std::to_string(::getpid()));
    std::mt19937 random(11);
    for (int round = 0; round < 60; ++round) {
        std::string content;
        const int lines = static_cast<int>(random() % 40);
        for (int i = 0; i < lines; ++i) content += randomLine(random) + (i + 1 < lines || random() % 2 ? "\n" : "");
        {
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << content;
        }
        const Lines expected = referenceLines(content);
        for (const std::size_t window :
             {std::size_t{1024}, std::size_t{1500}, std::size_t{5000}, std::size_t{1} << 20}) {
            SCOPED_TRACE(testing::Message() << "round " << round << " window " << window);
            platform::FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
            ASSERT_TRUE(fd);
            LineWindow reader;
            ASSERT_TRUE(reader.open(fd.get(), content.size(), window, window));
            reader.fillFirst();
            if (window > content.size()) {
                EXPECT_EQ(reader.readSoFar(), content.size());
                EXPECT_EQ(reader.linesInWindow(),
                          static_cast<std::size_t>(std::count(content.begin(), content.end(), '\n')));
            }
            Lines got;
            std::string_view line;
            std::uint64_t start = 0;
            while (reader.next(line, start))
                got.push_back(Line{std::string(line), start, reader.cut(), reader.ended()});
            EXPECT_FALSE(reader.failed());
            ASSERT_EQ(got.size(), expected.size());
            for (std::size_t i = 0; i < got.size(); ++i) {
                EXPECT_EQ(got[i].text, expected[i].text) << "line " << i;
                EXPECT_EQ(got[i].start, expected[i].start) << "line " << i;
                EXPECT_EQ(got[i].cut, expected[i].cut) << "line " << i;
                EXPECT_EQ(got[i].ended, expected[i].ended) << "line " << i;
            }
        }
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace tolmark
