#pragma once
// The manager's texts: built-in English for every key it uses, replaceable key by key by a
// language file, an INI file in "Languages/" beside the program. Sections "Menu" (menu labels),
// "Control" (dialog controls) and "Strings" (everything else); "Common" names the language.

#include <QString>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ini_file.h"

namespace tolmark::manager {

inline constexpr const char* kDefaultTitle = "Tolmark DHCP Server";
inline constexpr const char* kGermanLanguageFile = "deutsch.ini";

enum class TextSection { Menu, Control, Strings };

// The folder of the language files: "Languages/" beside the program, or, for an installed
// program that has none beside it, "../share/tolmark/Languages/" from its directory.
// A folder of the manager's files: beside the program (a build tree), or in share/tolmark/ when
// the program is installed under bin/ and there is none beside it. With a final "/".
std::string resourceDirectory(const std::string& programDirectory, const std::string& name);
std::string languagesDirectory(const std::string& programDirectory);

// The English text the program carries for a key (compared without case); empty when it has none.
QString builtInText(TextSection section, std::string_view key);
// Every key of the section that the program carries a text for.
std::vector<std::string_view> builtInKeys(TextSection section);

// "\n" line break, "\t" tab, a backslash before any other character yields that character, a
// backslash at the very end is dropped.
std::string unescapeText(std::string_view raw);

// The arguments in place of the text's "%u", "%d" and "%s", in order; "%%" is a percent sign and
// anything else stays as written, so a language file's text never reaches printf.
QString fillArguments(const QString& text, std::initializer_list<QString> arguments);

class Language {
public:
    explicit Language(std::string programDirectory);

    // Selects the language file: the chosen file name, or with none chosen "deutsch.ini" for a
    // German user and the built-in texts for everyone else. A file without a non-empty
    // "LANGUAGE" in "Common" is not used at all.
    void load(std::string_view chosenFile, bool germanUser);

    QString text(std::string_view key) const;         // "Strings", unescaped, else built-in
    QString menuText(std::string_view key) const;     // "Menu", else built-in
    QString controlText(std::string_view key) const;  // "Control", unescaped, else built-in

    // Display title: the file's "Title" in "Common", else "Tolmark DHCP Server".
    QString title() const { return title_; }
    bool usesFile() const { return !path_.empty(); }
    const std::string& filePath() const { return path_; }
    // "LANGUAGE" of the file in use, or "English".
    QString languageName() const;

private:
    // The file's value, re-read when the file changed on disk since the last look-up.
    std::optional<std::string> fileValue(std::string_view section, std::string_view key) const;
    QString decode(const std::string& bytes) const;

    std::string programDirectory_;
    std::string path_;
    QString title_ = kDefaultTitle;
    mutable IniFile file_;
    mutable FileStamp stamp_;
    mutable std::string codePage_;
};

// One row of the language list that the Preferences show.
struct LanguageEntry {
    QString module;    // file name, or "English" for the built-in texts
    QString language;  // the file's "LANGUAGE", in its "CP" code page
    QString version;
    QString author;
    bool operator==(const LanguageEntry&) const = default;
};

// Every "Languages/*.ini" beside the program in name order, plus a row for the built-in
// English texts unless a file names its language "English" (without regard to case).
std::vector<LanguageEntry> listLanguages(const std::string& programDirectory, const QString& programVersion);

}  // namespace tolmark::manager
