#include "config/config_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <limits>
#include <thread>

#include "config/tests/temp_directory.h"

namespace tolmark {
namespace {

using ::tolmark::testing::readFile;
using ::tolmark::testing::TempDirectory;
using ::tolmark::testing::writeFile;

class ConfigStoreTest : public ::testing::Test {
protected:
    ConfigStoreTest() : store_(dir_.file("etc/registry.ini")) {}
    // Points the store at <dir>/Dorvane.ini after filling it with text.
    void useIni(const std::string& text = {}) {
        if (!text.empty()) writeFile(ini(), text);
        ASSERT_TRUE(store_.setIniPath(dir_.path(), "Dorvane"));
    }
    std::string ini() const { return dir_.file("Dorvane.ini"); }
    std::string registry() const { return dir_.file("etc/registry.ini"); }

    TempDirectory dir_;
    ConfigStore store_;
};

TEST_F(ConfigStoreTest, WritingTheDefaultDeletesTheKey) {
    useIni("[Dorvane]\nLog=2\n");
    ASSERT_TRUE(store_.writeInt("Dorvane", "Port", 68, 67));
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nLog=2\nPort=68\n");
    ASSERT_TRUE(store_.writeInt("Dorvane", "Port", 67, 67));
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nLog=2\n");
    EXPECT_EQ(store_.readInt("Dorvane", "Port", 67), 67);
}

TEST_F(ConfigStoreTest, IntegersTakeTheLeadingNumberInBothBackEnds) {
    const std::string body = "A=12abc\nB=abc\nC=-7\nD=\nE=4294967295\nF=2147483648\nG=99999999999\nH=-99999999999\n";
    std::filesystem::create_directory(dir_.file("etc"));
    writeFile(registry(), "[Dorvane]\n" + body);
    for (bool ini : {false, true}) {
        SCOPED_TRACE(ini ? "ini" : "registry");
        if (ini) useIni("[Dorvane]\n" + body);
        EXPECT_EQ(store_.readInt("Dorvane", "A", 5), 12);
        EXPECT_EQ(store_.readInt("Dorvane", "B", 5), 5);
        EXPECT_EQ(store_.readInt("Dorvane", "C", 5), -7);
        EXPECT_EQ(store_.readInt("Dorvane", "D", 5), 5);
        EXPECT_EQ(store_.readInt("Dorvane", "Missing", 5), 5);
        // A 32-bit value without sign keeps its bits: a lease of 4294967295 is the infinite one.
        EXPECT_EQ(store_.readInt("Dorvane", "E", 5), -1);
        EXPECT_EQ(store_.readInt("Dorvane", "F", 5), std::numeric_limits<std::int32_t>::min());
        EXPECT_EQ(store_.readInt("Dorvane", "G", 5), std::numeric_limits<std::int32_t>::max());
        EXPECT_EQ(store_.readInt("Dorvane", "H", 5), std::numeric_limits<std::int32_t>::min());
    }
}

TEST_F(ConfigStoreTest, WritesKeepEveryOtherLine) {
    useIni("; comment\r\n[Dorvane]\r\n# note\r\nLog=1\r\nnot a key\r\n\r\n[Other]\r\nX=1\r\n");
    ASSERT_TRUE(store_.writeText("Dorvane", "Log", "2"));
    ASSERT_TRUE(store_.writeText("Dorvane", "Detect", "1"));  // after the last key line
    ASSERT_TRUE(store_.writeText("New", "Y", "3"));
    EXPECT_EQ(readFile(ini()),
              "; comment\n[Dorvane]\n# note\nLog=2\nDetect=1\nnot a key\n\n[Other]\nX=1\n\n[New]\nY=3\n");
}

TEST_F(ConfigStoreTest, LinesEndInLfCrLfOrACrAlone) {
    useIni("[Dorvane]\rLog=1\r\rDetect=2\r\n[Other]\nX=3\r");
    EXPECT_EQ(store_.readInt("Dorvane", "Log", 0), 1);
    EXPECT_EQ(store_.readInt("Dorvane", "Detect", 0), 2);
    EXPECT_EQ(store_.readInt("Other", "X", 0), 3);
    ASSERT_TRUE(store_.writeInt("Dorvane", "Log", 4, 0));
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nLog=4\n\nDetect=2\n[Other]\nX=3\n");
}

TEST_F(ConfigStoreTest, NamesIgnoreCaseAndTheFirstMatchWins) {
    useIni("[dorvane]\nport=1\nPORT=2\n[DORVANE]\nPort=3\n");
    EXPECT_EQ(store_.readInt("Dorvane", "Port", 0), 1);
    ASSERT_TRUE(store_.writeInt("DORVANE", "pOrT", 5, 0));
    EXPECT_EQ(readFile(ini()), "[dorvane]\nport=5\nPORT=2\n[DORVANE]\nPort=3\n");
    // A deleted key must not show an older copy of itself.
    ASSERT_TRUE(store_.writeText("Dorvane", "Port", std::nullopt));
    EXPECT_EQ(store_.readInt("Dorvane", "Port", 0), 0);
}

TEST_F(ConfigStoreTest, ValuesAreTrimmedAndUnquotedAndCut) {
    // A text ends at a NUL byte, as a C string does: a file padded with NULs after a crash names
    // the same profile.
    useIni(std::string("[S]\n  A =  \"x y\"  \nB='q'\nC=\"open\nD=abcdef\nF=Lab\0\0\0\nG=\"x\" \0junk\n", 63));
    EXPECT_EQ(store_.readText("S", "A", "", 100), "x y");
    EXPECT_EQ(store_.readText("S", "B", "", 100), "q");
    EXPECT_EQ(store_.readText("S", "C", "", 100), "\"open");
    EXPECT_EQ(store_.readText("S", "D", "", 4), "abc");
    EXPECT_EQ(store_.readText("S", "E", "default", 4), "def");
    EXPECT_EQ(store_.readText("S", "F", "", 100), "Lab");
    EXPECT_EQ(store_.readText("S", "G", "", 100), "x");
    // Texts that the reader would trim or unquote still come back as written.
    for (std::string text : {" padded ", "\"quoted\"", "'single'"}) {
        ASSERT_TRUE(store_.writeText("S", "V", text));
        EXPECT_EQ(store_.readText("S", "V", "", 100), text);
    }
    EXPECT_FALSE(store_.writeText("S", "V", "two\nlines"));
    EXPECT_FALSE(store_.writeText("S", "K=V", "1"));
}

TEST_F(ConfigStoreTest, NoTextDeletesTheKeyAndNoKeyTheSection) {
    useIni("[A]\nX=1\nY=2\n\n[B]\n; gone with B\nZ=3\n\n[C]\nW=4\n");
    ASSERT_TRUE(store_.writeText("A", "X", std::nullopt));
    ASSERT_TRUE(store_.writeText("b", std::nullopt, std::nullopt));
    EXPECT_EQ(readFile(ini()), "[A]\nY=2\n\n[C]\nW=4\n");
    EXPECT_FALSE(store_.openSection("B"));
}

TEST_F(ConfigStoreTest, MissingFileReadsAsEmptyAndAWriteCreatesIt) {
    useIni();
    EXPECT_EQ(store_.readText("Dorvane", "Directory", "/data/", 896), "/data/");
    EXPECT_FALSE(store_.openSection("Dorvane"));
    ASSERT_TRUE(store_.writeInt("Dorvane", "Log", 1, 1));  // deleting creates nothing
    EXPECT_FALSE(std::filesystem::exists(ini()));
    ASSERT_TRUE(store_.writeInt("Dorvane", "Log", 2, 1));
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nLog=2\n");
}

TEST_F(ConfigStoreTest, SectionReadsReturnEntriesInFileOrder) {
    useIni("[P]\n; c\nB=2\nA=\"1\"\n[Empty]\n");
    const auto entries = store_.openSection("p");
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].key, "B");
    EXPECT_EQ((*entries)[1].key, "A");
    EXPECT_EQ((*entries)[1].value, "1");
    EXPECT_FALSE(store_.openSection("Empty"));
    EXPECT_FALSE(store_.openSection("Missing"));

    // 32768 bytes hold 3276 entries "Knnnn=vvv\0" plus the final NUL; a move takes all of them.
    std::string big = "[Big]\n";
    for (int i = 0; i < 4000; ++i) big += "K" + std::to_string(1000 + i) + "=vvv\n";
    writeFile(ini(), big);
    EXPECT_EQ(store_.openSection("Big")->size(), 3276u);
    ASSERT_TRUE(store_.moveSection("Big", "Huge"));
    EXPECT_EQ(store_.readText("Huge", "K4999", "", 10), "vvv");
}

TEST_F(ConfigStoreTest, MoveReplacesTheTargetAndLeavesNothingUnderTheOldName) {
    useIni("[Old]\nA=1\nB=\"2\"\n\n[New]\nC=3\n\n[Keep]\nD=4\n");
    EXPECT_FALSE(store_.moveSection("Missing", "New"));
    ASSERT_TRUE(store_.moveSection("old", "New"));
    EXPECT_EQ(readFile(ini()), "[New]\nA=1\nB=\"2\"\n\n[Keep]\nD=4\n");
    EXPECT_FALSE(store_.openSection("Old"));
    // A move onto itself must not delete what it copied.
    ASSERT_TRUE(store_.moveSection("new", "NEW"));
    EXPECT_EQ(store_.readText("New", "A", "", 10), "1");
}

TEST_F(ConfigStoreTest, RegistryMapsSectionsToTheKeyAndItsSubkeys) {
    ASSERT_TRUE(store_.writeText("Dorvane", "Directory", "/var/lib/tolmark/"));  // creates etc/
    ASSERT_TRUE(store_.writeText("Standard", "Pool", "1"));
    EXPECT_EQ(readFile(registry()), "[Dorvane]\nDirectory=/var/lib/tolmark/\n\n[Dorvane\\Standard]\nPool=1\n");

    writeFile(registry(), "[Dorvane\\P]\nA=1\n[Dorvane\\P\\Sub]\nB=2\n[Dorvane\\Q]\nC=3\n[Dorvane\\PX]\nD=4\n");
    ASSERT_TRUE(store_.moveSection("P", "Q"));
    EXPECT_EQ(readFile(registry()), "[Dorvane\\PX]\nD=4\n\n[Dorvane\\Q]\nA=1\n\n[Dorvane\\Q\\Sub]\nB=2\n");
    EXPECT_FALSE(store_.openSection("P"));
    EXPECT_FALSE(store_.moveSection("Q", "Q\\Inner"));
    ASSERT_TRUE(store_.writeText("Q", "A", std::nullopt));
    EXPECT_TRUE(store_.openSection("Q"));  // a key without values still exists
    ASSERT_TRUE(store_.deleteSection("Q"));
    EXPECT_EQ(readFile(registry()), "[Dorvane\\PX]\nD=4\n\n");

    // Changes written together go to the key and the subkeys their sections name.
    ASSERT_TRUE(store_.write(KeyChanges().text("PX", "D", std::nullopt).integer("Dorvane", "Log", 2, 1)));
    EXPECT_EQ(readFile(registry()), "[Dorvane\\PX]\n\n[Dorvane]\nLog=2\n");
}

TEST_F(ConfigStoreTest, TooLongIniPathKeepsTheRegistry) {
    const std::string longDir = dir_.path() + std::string(1020 - dir_.path().size(), 'd');
    EXPECT_FALSE(store_.setIniPath(longDir, "Dorvane"));
    EXPECT_FALSE(store_.usesIniFile());
    ASSERT_TRUE(store_.writeInt("Dorvane", "Log", 2, 1));
    EXPECT_EQ(readFile(registry()), "[Dorvane]\nLog=2\n");

    EXPECT_TRUE(store_.setIniPath(std::string(1019 - 7, 'd'), "Dorvane"));  // 1023 characters
    EXPECT_EQ(store_.iniPath().size(), 1023u);
}

TEST_F(ConfigStoreTest, AFailedWriteLeavesTheOldFileWhole) {
    useIni("[Dorvane]\nLog=2\n");
    std::filesystem::create_directory(ini() + ".tmp");  // the companion cannot be written
    EXPECT_FALSE(store_.writeInt("Dorvane", "Log", 0, 1));
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nLog=2\n");
    EXPECT_EQ(store_.readInt("Dorvane", "Log", 1), 2);
    // A change that cannot be stored keeps the others of its write out of the file too.
    std::filesystem::remove(ini() + ".tmp");
    EXPECT_FALSE(store_.write(KeyChanges().integer("Dorvane", "Log", 3, 1).text("Dorvane", "Root", "a\nb")));
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nLog=2\n");
}

TEST_F(ConfigStoreTest, AWriteKeepsTheFilesOwnerAndModeAndALinkToIt) {
    namespace fs = std::filesystem;
    // Owned by the service's own user; written by root (as in CI; another user writes as itself).
    useIni("[Dorvane]\nLog=2\n");
    ::chmod(ini().c_str(), 0640);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(ini().c_str(), 65534, 65534), 0);
    }
    ASSERT_TRUE(store_.writeInt("Dorvane", "Detect", 1, 0));
    struct stat st {};
    ASSERT_EQ(::stat(ini().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }

    // A configuration kept elsewhere and linked in is written where it lives; the link stays.
    fs::create_directory(dir_.file("etc"));
    fs::rename(ini(), dir_.file("etc/kept.ini"));
    fs::create_symlink("etc/kept.ini", ini());
    ASSERT_TRUE(store_.writeInt("Dorvane", "Unicast", 1, 0));
    EXPECT_TRUE(fs::is_symlink(ini()));
    EXPECT_EQ(readFile(dir_.file("etc/kept.ini")), "[Dorvane]\nLog=2\nDetect=1\nUnicast=1\n");
    // A link another user made leads root nowhere: the link is replaced by the file.
    if (root) {
        ASSERT_EQ(::lchown(ini().c_str(), 65534, 65534), 0);
        ASSERT_TRUE(store_.writeInt("Dorvane", "Log", 3, 1));
        EXPECT_FALSE(fs::is_symlink(ini()));
        EXPECT_EQ(readFile(dir_.file("etc/kept.ini")), "[Dorvane]\nLog=2\nDetect=1\nUnicast=1\n");
    }
    // A loop of links writes nothing.
    fs::remove(ini());
    fs::create_symlink("Dorvane.ini", ini());
    EXPECT_FALSE(store_.writeInt("Dorvane", "Log", 3, 1));
    EXPECT_TRUE(fs::is_symlink(ini()));
}

TEST_F(ConfigStoreTest, ChangesMadeByOthersAreSeen) {
    useIni("[Dorvane]\nLog=2\n");
    EXPECT_EQ(store_.readInt("Dorvane", "Log", 1), 2);
    writeFile(ini(), "[Dorvane]\nLog=0\nX=1\n");  // rewritten in place, larger
    EXPECT_EQ(store_.readInt("Dorvane", "Log", 1), 0);
    writeFile(ini() + ".new", "[Dorvane]\nLog=3\nX=1\n");  // replaced, same size
    std::filesystem::rename(ini() + ".new", ini());
    EXPECT_EQ(store_.readInt("Dorvane", "Log", 1), 3);
}

TEST_F(ConfigStoreTest, ConcurrentWritersLoseNothing) {
    useIni();
    auto writeKeys = [this](const char* section) {
        for (int i = 0; i < 20; ++i) store_.writeInt(section, "K" + std::to_string(i), i, -1);
    };
    std::thread first(writeKeys, "A");
    std::thread second(writeKeys, "B");
    first.join();
    second.join();
    EXPECT_EQ(store_.openSection("A")->size(), 20u);
    EXPECT_EQ(store_.openSection("B")->size(), 20u);
}

}  // namespace
}  // namespace tolmark
