// Fuzz target: a language file of the manager, read as the manager reads it: the file is
// written to "Languages/" of a temporary program directory, chosen, and every look-up runs on
// it (title, language name, menu, control and string texts with their escapes, arguments put
// into texts), and the language list is read.
//
// A file without a non-empty "LANGUAGE" must not be used (every text built in); the escapes
// never lengthen a text; arguments go only where a text asks for them; the list always shows
// the file and an English row unless the file's language is English.

#include <QString>

#include <array>
#include <string>

#include "config/ini_file.h"
#include "config/tests/temp_directory.h"
#include "manager/language/language.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

using tolmark::manager::Language;
using tolmark::manager::TextSection;

constexpr std::array<const char*, 6> kKeys = {"FILE", "ERROR_PIPE", "INVALID_IPADDR", "TITLE", "STATIC", "LANGUAGE"};

class ProgramDirectory {
public:
    ProgramDirectory() { std::filesystem::create_directories(directory_.path() + "Languages"); }
    const std::string& path() const { return directory_.path(); }
    void writeLanguage(std::string_view text) const {
        testing::writeFile(directory_.path() + "Languages/fuzz.ini", std::string(text));
    }

private:
    testing::TempDirectory directory_;
};

void checkArguments(const QString& text) {
    const QString filled = manager::fillArguments(text, {QStringLiteral("<1>"), QStringLiteral("<2>")});
    FUZZ_REQUIRE(filled.size() <= text.size() + 2);  // two 2-character escapes, 3 characters each
    if (!text.contains(u'%')) FUZZ_REQUIRE(filled == text);
}

void run(std::string_view text) {
    static const ProgramDirectory program;
    program.writeLanguage(text);
    const IniFile file = IniFile::parse(text);
    const bool named = !file.value("Common", "LANGUAGE").value_or("").empty();

    Language language(program.path());
    language.load("fuzz.ini", false);
    FUZZ_REQUIRE(language.usesFile() == named);
    FUZZ_REQUIRE(!named || !language.languageName().isEmpty());
    checkArguments(language.title());
    for (const char* key : kKeys) {
        const QString string = language.text(key);
        const QString menu = language.menuText(key);
        const QString control = language.controlText(key);
        if (!named) {
            FUZZ_REQUIRE(string == manager::builtInText(TextSection::Strings, key));
            FUZZ_REQUIRE(menu == manager::builtInText(TextSection::Menu, key));
            FUZZ_REQUIRE(control == manager::builtInText(TextSection::Control, key));
        }
        checkArguments(string);
        checkArguments(control);
    }
    for (const SectionEntry& e : file.entries("Strings").value_or(std::vector<SectionEntry>())) {
        FUZZ_REQUIRE(manager::unescapeText(e.value).size() <= e.value.size());
        checkArguments(language.text(e.key));
    }

    const auto list = manager::listLanguages(program.path(), QStringLiteral("3.1"));
    FUZZ_REQUIRE(!list.empty() && list.front().module == QStringLiteral("fuzz.ini"));
    const bool english = list.front().language.compare(u"English", Qt::CaseInsensitive) == 0;
    FUZZ_REQUIRE(list.size() == (english ? 1u : 2u));
}

}  // namespace

std::vector<Input> seeds() {
    return {
        bytesOf("[Common]\nLANGUAGE=Deutsch\nVERSION=1.0\nAUTHOR=Jemand\nCP=1252\nTitle=Tolmark DHCP-Server\n"
                "[Menu]\nFILE=&Datei\n[Control]\nSTATIC=Statische\\tEintr\xe4ge\n"
                "[Strings]\nERROR_PIPE=Fehler %u\\nbeim Lesen %s %%\nINVALID_IPADDR=\\\n"),
        bytesOf("\xEF\xBB\xBF[Common]\r\nLANGUAGE=English\r\nCP=65001\r\n[Strings]\r\nTITLE=\"  quoted \"\r\n"),
        bytesOf("[Common]\nVERSION=2\n[Strings]\nERROR_PIPE=never used\n"),
        bytesOf("[common]\nlanguage=\xc3\xa9\xff\n[STRINGS]\nerror_pipe=%s%s%s%d%\n"),
        bytesOf("[commoN]\nlanguage=\xEF\xBB\xBF\n]\n"),
    };
}

std::vector<std::string> dictionary() {
    return {"[Common]", "[Strings]", "[Menu]", "[Control]", "LANGUAGE=", "CP=1252", "CP=850",      "Title=", "\\n",
            "\\t",      "\\",        "%s",     "%u",        "%d",        "%%",      "ERROR_PIPE=", "\n",     "\r\n"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({reinterpret_cast<const char*>(data), size});
    return 0;
}
