// Opening files below the root and the prefixes, uploads, shared mappings and netascii, on a
// temporary directory tree with symbolic links that try to lead out.

#include "server/tftp/file_access.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "config/tests/temp_directory.h"

namespace tolmark::tftp {
namespace {

using testing::readFile;
using testing::TempDirectory;
using testing::writeFile;

class FileAccess : public ::testing::Test {
protected:
    void SetUp() override {
        root = tmp.path() + "root/";
        outside = tmp.path() + "outside/";
        std::filesystem::create_directories(root + "sub");
        std::filesystem::create_directories(outside);
        std::filesystem::create_directories(tmp.path() + "images/deep");
        writeFile(root + "boot.bin", "boot");
        writeFile(root + "sub/file", "sub");
        writeFile(outside + "secret", "secret");
        writeFile(tmp.path() + "images/deep/a.bin", "image");
        std::filesystem::create_symlink(outside + "secret", root + "abs-link");
        std::filesystem::create_symlink("../outside/secret", root + "rel-link");
        std::filesystem::create_symlink("sub/file", root + "inside-link");
        std::filesystem::create_symlink(outside, root + "dir-link");
        std::filesystem::create_symlink(outside + "secret", tmp.path() + "images/deep/escape");
    }

    ResolvedPath below(const std::string& relative) { return {root + relative, root, relative, false}; }
    ResolvedPath prefixed(const std::string& item, const std::string& name) {
        return {name, item, name.substr(item.size()), true};
    }

    TempDirectory tmp;
    std::string root;
    std::string outside;
    MappingCache mappings;
};

TEST_F(FileAccess, ReadsStayBelowTheRootAndThePrefix) {
    struct Case {
        ResolvedPath path;
        unsigned code;  // 0: opened
        std::string content;
    };
    const std::string images = tmp.path() + "images";
    const std::vector<Case> cases = {
        {below("boot.bin"), 0, "boot"},
        {below("inside-link"), 0, "sub"},
        {below("missing"), 1, ""},
        {below("sub"), 1, ""},  // a directory is no file
        {below(""), 1, ""},
        {below("abs-link"), 2, ""},
        {below("rel-link"), 2, ""},
        {below("dir-link/secret"), 2, ""},
        {prefixed(images, images + "/deep/a.bin"), 0, "image"},
        {prefixed(images + "/de", images + "/deep/a.bin"), 0, "image"},
        {prefixed(images, images + "/deep/escape"), 2, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.full);
        OpenResult opened = openForReading(c.path, {}, mappings);
        EXPECT_EQ(opened.ok, c.code == 0);
        EXPECT_EQ(opened.code, c.code);
        if (c.code == 2) {
            EXPECT_EQ(opened.text, ErrorText::AccessDenied);
        }
        if (!opened.ok) continue;
        char buffer[64] = {};
        EXPECT_EQ(::pread(opened.file.get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(c.content.size()));
        EXPECT_EQ(std::string(buffer), c.content);
        EXPECT_EQ(opened.size, c.content.size());
    }
}

TEST_F(FileAccess, UploadsCreateOrReplaceButNeverLeaveTheRoot) {
    OpenResult created = openForWriting(below("new.bin"), false);
    ASSERT_TRUE(created.ok);
    ASSERT_EQ(::write(created.file.get(), "abc", 3), 3);

    OpenResult again = openForWriting(below("new.bin"), false);
    EXPECT_FALSE(again.ok);
    EXPECT_EQ(again.code, 6u);
    EXPECT_EQ(again.text, ErrorText::FileExists);

    // Overwriting replaces the file: one still open for reading keeps the old bytes.
    OpenResult reader = openForReading(below("new.bin"), {}, mappings);
    ASSERT_TRUE(reader.ok);
    OpenResult replaced = openForWriting(below("new.bin"), true);
    ASSERT_TRUE(replaced.ok);
    ASSERT_EQ(::write(replaced.file.get(), "xy", 2), 2);
    char old[4] = {};
    EXPECT_EQ(::pread(reader.file.get(), old, 3, 0), 3);
    EXPECT_STREQ(old, "abc");
    EXPECT_EQ(readFile(root + "new.bin"), "xy");

    // A link in the root that leads out is replaced itself, never followed.
    OpenResult throughLink = openForWriting(below("abs-link"), true);
    ASSERT_TRUE(throughLink.ok);
    EXPECT_EQ(readFile(outside + "secret"), "secret");
    EXPECT_FALSE(openForWriting(below("dir-link/planted"), true).ok);
    EXPECT_FALSE(std::filesystem::exists(outside + "planted"));
    EXPECT_EQ(openForWriting(below("nodir/x"), false).code, 3u);
}

TEST_F(FileAccess, TransfersOfOneFileShareOneMapping) {
    const std::string content(100000, 'm');
    writeFile(root + "big.bin", content);
    const ReadPolicy policy{false, true, 1u << 20};
    OpenResult first = openForReading(below("big.bin"), policy, mappings);
    OpenResult second = openForReading(below("big.bin"), policy, mappings);
    ASSERT_TRUE(first.mapping);
    EXPECT_EQ(first.mapping, second.mapping);
    EXPECT_FALSE(second.file.valid());
    EXPECT_EQ(second.size, content.size());
    std::weak_ptr<const FileMapping> watch = first.mapping;
    first.mapping.reset();
    EXPECT_FALSE(watch.expired());  // the second transfer still uses it
    second.mapping.reset();
    EXPECT_TRUE(watch.expired());  // unmapped by the last user

    // Too large for "TFTPMMFmax", empty, or text mode: read normally.
    EXPECT_FALSE(openForReading(below("big.bin"), {false, true, 1000}, mappings).mapping);
    writeFile(root + "empty", "");
    EXPECT_FALSE(openForReading(below("empty"), policy, mappings).mapping);
    EXPECT_FALSE(openForReading(below("big.bin"), {true, true, 1u << 20}, mappings).mapping);
}

TEST_F(FileAccess, NetasciiBlocksAndSizes) {
    // Line ends become CR LF and a lone CR becomes CR NUL; the size is the converted length.
    const std::string text = "one\ntwo\rthree\n\n" + std::string(1000, 'x') + "\n";
    std::string wire;
    for (char c : text)
        wire += c == '\n' ? std::string("\r\n") : c == '\r' ? std::string("\r\0", 2) : std::string(1, c);
    writeFile(root + "text.txt", text);
    OpenResult opened = openForReading(below("text.txt"), {true, false, 0}, mappings);
    ASSERT_TRUE(opened.ok);
    EXPECT_EQ(opened.size, wire.size());

    for (std::size_t blockSize : {8u, 9u, 512u}) {
        SCOPED_TRACE(blockSize);
        FileSource source(opened.file.get(), blockSize, 2, true);
        std::string stream;
        for (std::uint64_t i = 1;; ++i) {
            const auto block = source.block(i);
            ASSERT_TRUE(block);
            stream.append(block->begin(), block->end());
            // Going back a block (a retransmission) gives the same bytes again.
            if (i > 1) {
                EXPECT_EQ(source.block(i - 1)->size(), blockSize);
            }
            if (block->size() < blockSize) break;
        }
        EXPECT_EQ(stream, wire);
    }

    // And back: an upload in text mode is stored with the host's line ends, also when a CR LF
    // pair is split between two blocks.
    OpenResult upload = openForWriting(below("up.txt"), false);
    ASSERT_TRUE(upload.ok);
    FileSink sink(upload.file.get(), true);
    for (std::size_t at = 0; at < wire.size(); at += 7) {
        const std::string piece = wire.substr(at, 7);
        ASSERT_TRUE(sink.write(
            std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size())));
    }
    ASSERT_TRUE(sink.finish());
    EXPECT_EQ(readFile(root + "up.txt"), text);
}

}  // namespace
}  // namespace tolmark::tftp
