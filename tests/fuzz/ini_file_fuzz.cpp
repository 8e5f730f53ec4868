// Fuzz target: the INI reader and its edits, as the configuration store and the language files
// use them. The input is the file's text; a final line "!section!key!value" (when present)
// names an edit to make.
//
// The file must read back with the same values; a whole-section read must stay within its byte
// limit; an edit with valid names must read back as the value written, change no other key of
// any section, and survive writing and reading the file again.

#include <string>
#include <string_view>

#include "config/ini_file.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

struct Edit {
    std::string section, key, value;
};

// The edit line: the text after the last line break when it starts with '!'.
std::optional<Edit> takeEdit(std::string_view& text) {
    const auto start = text.rfind('\n');
    const std::string_view last = start == std::string_view::npos ? text : text.substr(start + 1);
    if (last.empty() || last.front() != '!') return std::nullopt;
    const auto second = last.find('!', 1);
    const auto third = second == std::string_view::npos ? second : last.find('!', second + 1);
    if (third == std::string_view::npos) return std::nullopt;
    Edit edit{std::string(last.substr(1, second - 1)), std::string(last.substr(second + 1, third - second - 1)),
              std::string(last.substr(third + 1))};
    text = start == std::string_view::npos ? std::string_view() : text.substr(0, start);
    return edit;
}

// Every key and value of every section, as the readers see them.
using Values = std::vector<std::pair<std::string, std::vector<std::pair<std::string, std::string>>>>;
Values everything(const IniFile& file) {
    Values all;
    for (const std::string& name : file.sectionNames()) {
        all.emplace_back(name, std::vector<std::pair<std::string, std::string>>());
        for (SectionEntry& e : file.entries(name).value_or(std::vector<SectionEntry>()))
            all.back().second.emplace_back(std::move(e.key), std::move(e.value));
    }
    return all;
}

void run(std::string_view text) {
    const std::optional<Edit> edit = takeEdit(text);
    IniFile file = IniFile::parse(text);
    // Written and read again, every section gives the same values (a line's text may lose a
    // stray carriage return at its end; values are trimmed of it anyway).
    FUZZ_REQUIRE(everything(IniFile::parse(file.text())) == everything(file));

    for (const std::string& name : file.sectionNames()) {
        FUZZ_REQUIRE(file.hasSection(name));
        std::size_t used = 1;
        for (const SectionEntry& e : file.entries(name, 64).value_or(std::vector<SectionEntry>()))
            used += e.key.size() + e.value.size() + 2;
        FUZZ_REQUIRE(used <= 64);
        // The first section of a name answers for all of that name, first key first.
        if (const auto entries = file.entries(name); entries && !entries->empty()) {
            const SectionEntry& first = entries->front();
            FUZZ_REQUIRE(file.value(name, first.key) == first.value);
        }
    }
    // A line no reader sees names the line that is read instead, which lies before it.
    for (const IniFile::UnreadLine& u : file.unreadLines()) {
        if (u.notKey) {
            // A line that is no key names no key and no line read instead.
            FUZZ_REQUIRE(u.key.empty() && u.readLine == 0 && u.keysUnread == 0);
            continue;
        }
        if (u.readLine == 0) {
            FUZZ_REQUIRE(u.section.empty() && !u.key.empty());
            continue;
        }
        FUZZ_REQUIRE(u.readLine < u.line);
        FUZZ_REQUIRE(file.lineOf(u.section, u.key) == u.readLine);
    }
    if (!edit || !IniFile::validSection(edit->section) || !IniFile::validKey(edit->key) ||
        !IniFile::validValue(edit->value))
        return;

    const auto before = everything(file);
    file.setValue(edit->section, edit->key, edit->value);
    FUZZ_REQUIRE(file.value(edit->section, edit->key) == edit->value);
    const IniFile reread = IniFile::parse(file.text());
    FUZZ_REQUIRE(reread.value(edit->section, edit->key) == edit->value);
    // No other key moved: every value of the sections that were there reads as before.
    for (const auto& [name, entries] : before) {
        for (const auto& [key, unused] : entries) {
            if (equalsNoCase(name, edit->section) && equalsNoCase(key, edit->key)) continue;
            FUZZ_REQUIRE(reread.value(name, key) == IniFile::parse(text).value(name, key));
        }
    }
    IniFile erased = reread;
    erased.eraseKey(edit->section, edit->key);
    FUZZ_REQUIRE(!IniFile::parse(erased.text()).value(edit->section, edit->key));
}

}  // namespace

std::vector<Input> seeds() {
    return {
        bytesOf("[Dorvane]\nPort=67\nProfile0=Standard\n; comment\n\n[Standard]\nBaseIP=192.168.1.100\nRange=50\n"
                "Opt15=15 11 \"example.com\n!Standard!Lease!3600"),
        bytesOf("\xEF\xBB\xBF[Common]\r\nLANGUAGE=Deutsch\r\nTitle = \" quoted \"\r\n[Strings]\r\nX=a\\nb\r\n"
                "!Common!Title! spaced "),
        bytesOf("[a]\nk=1\n[A]\nk=2\n[b]\n k = ' v ' \n=novalue\n[unterminated\nkey\n!b!new!\"x\""),
        bytesOf("no section=1\n[Dorvane\\Sub]\nk=v\n!Dorvane\\Sub!K!"),
    };
}

std::vector<std::string> dictionary() {
    return {"[", "]", "=", "\n", "\r\n", ";", "#", "\"", "'", " ", "\t", "!", "[Dorvane]", "\xEF\xBB\xBF"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({reinterpret_cast<const char*>(data), size});
    return 0;
}
