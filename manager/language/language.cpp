#include "manager/language/language.h"

#include <dirent.h>
#include <sys/stat.h>

#include <QStringDecoder>

#include <algorithm>

namespace tolmark::manager {
namespace {

constexpr const char* kCommon = "Common";
constexpr std::size_t kValueMax = 255;

const char* sectionName(TextSection section) {
    switch (section) {
        case TextSection::Menu:
            return "Menu";
        case TextSection::Control:
            return "Control";
        case TextSection::Strings:
            return "Strings";
    }
    return "Strings";
}

// Windows' code page 1252 is Latin-1 but for 0x80 to 0x9F, where Latin-1 has control codes and
// 1252 the typographic quotes, dashes and the euro sign (0x81, 0x8D, 0x8F, 0x90 and 0x9D are
// unassigned and stay as they are).
constexpr char16_t kWindows1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                           0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                           0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                           0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

// The DOS code page 850 (Western Europe), in which some language files were saved: accented
// letters, box-drawing characters and signs from 0x80 on, in an order of its own.
constexpr char16_t kDos850High[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,  // 0x80
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,  // 0x88
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,  // 0x90
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,  // 0x98
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,  // 0xA0
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,  // 0xA8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,  // 0xB0
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,  // 0xB8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,  // 0xC0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,  // 0xC8
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,  // 0xD0
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,  // 0xD8
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,  // 0xE0
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,  // 0xE8
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,  // 0xF0
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,  // 0xF8
};

// The single-byte code pages decode byte by byte: Latin-1 as it stands, 1252 with its own
// letters from 0x80 to 0x9F, 850 by its own table from 0x80 on. Everything else is taken as
// UTF-8, the code page of a Linux desktop. A value is never the start of a file, so U+FEFF at
// its front is kept as a character: dropping it would turn "LANGUAGE=<U+FEFF>" into an empty
// name for a file that is in use. Stateless: a sequence cut off at the end of the value becomes U+FFFD
// like any other bad byte instead of being held back for input that never comes.
QString decodeWithCodePage(const std::string& bytes, const std::string& codePage) {
    if (codePage == "1252" || codePage == "28591" || codePage == "850") {
        QString text = QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
        for (QChar& c : text) {
            const char16_t u = c.unicode();
            if (codePage == "850" && u >= 0x80)
                c = QChar(kDos850High[u - 0x80]);
            else if (codePage == "1252" && u >= 0x80 && u < 0xA0)
                c = QChar(kWindows1252High[u - 0x80]);
        }
        return text;
    }
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    return utf8(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
}

}  // namespace

std::string resourceDirectory(const std::string& programDirectory, const std::string& name) {
    const std::string beside = programDirectory + name + "/";
    const std::string installed = programDirectory + "../share/tolmark/" + name + "/";
    struct stat st {};
    if (::stat(beside.c_str(), &st) != 0 && ::stat(installed.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return installed;
    return beside;
}

std::string languagesDirectory(const std::string& programDirectory) {
    return resourceDirectory(programDirectory, "Languages");
}

std::string unescapeText(std::string_view raw) {
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '\\') {
            out += raw[i];
            continue;
        }
        if (++i == raw.size()) break;  // a backslash at the very end is dropped
        out += raw[i] == 'n' ? '\n' : raw[i] == 't' ? '\t' : raw[i];
    }
    return out;
}

QString fillArguments(const QString& text, std::initializer_list<QString> arguments) {
    QString out;
    auto next = arguments.begin();
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'%' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const QChar kind = text[i + 1];
        if (kind == u'%') {
            out += u'%';
            ++i;
        } else if ((kind == u'u' || kind == u'd' || kind == u's') && next != arguments.end()) {
            out += *next++;
            ++i;
        } else {
            out += c;
        }
    }
    return out;
}

Language::Language(std::string programDirectory) : programDirectory_(std::move(programDirectory)) {}

void Language::load(std::string_view chosenFile, bool germanUser) {
    path_.clear();
    title_ = kDefaultTitle;
    stamp_ = {};
    std::string name(chosenFile);
    if (name.empty() && germanUser) name = kGermanLanguageFile;
    // A name is a file of the folder, never a path leading elsewhere.
    if (name.empty() || name.find('/') != std::string::npos) return;
    path_ = languagesDirectory(programDirectory_) + name;
    if (!fileValue(kCommon, "LANGUAGE")) {
        path_.clear();
        return;
    }
    if (auto title = fileValue(kCommon, "Title")) title_ = decode(*title);
}

std::optional<std::string> Language::fileValue(std::string_view section, std::string_view key) const {
    if (path_.empty()) return std::nullopt;
    const std::optional<FileStamp> now = statFile(path_);
    if (!now || !(*now == stamp_)) {
        LoadedIniFile loaded = loadIniFile(path_);
        file_ = loaded.status == LoadStatus::kOk ? std::move(loaded.file) : IniFile{};
        stamp_ = loaded.stamp;
        codePage_ = file_.value(kCommon, "CP").value_or("");
    }
    std::optional<std::string> value = file_.value(section, key);
    if (!value || value->empty()) return std::nullopt;
    if (value->size() > kValueMax) value->resize(kValueMax);
    return value;
}

QString Language::decode(const std::string& bytes) const { return decodeWithCodePage(bytes, codePage_); }

QString Language::text(std::string_view key) const {
    if (auto value = fileValue(sectionName(TextSection::Strings), key)) return decode(unescapeText(*value));
    return builtInText(TextSection::Strings, key);
}

QString Language::menuText(std::string_view key) const {
    if (auto value = fileValue(sectionName(TextSection::Menu), key)) return decode(*value);
    return builtInText(TextSection::Menu, key);
}

QString Language::controlText(std::string_view key) const {
    if (auto value = fileValue(sectionName(TextSection::Control), key)) return decode(unescapeText(*value));
    return builtInText(TextSection::Control, key);
}

QString Language::languageName() const {
    if (auto name = fileValue(kCommon, "LANGUAGE")) return decode(*name);
    return QStringLiteral("English");
}

std::vector<LanguageEntry> listLanguages(const std::string& programDirectory, const QString& programVersion) {
    const std::string folder = languagesDirectory(programDirectory);
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* e = ::readdir(dir)) {
            const std::string name = e->d_name;
            if (name.size() > 4 && equalsNoCase(std::string_view(name).substr(name.size() - 4), ".ini"))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::vector<LanguageEntry> list;
    bool englishListed = false;
    for (const std::string& name : names) {
        const LoadedIniFile loaded = loadIniFile(folder + name);
        if (loaded.status != LoadStatus::kOk) continue;
        const std::string cp = loaded.file.value(kCommon, "CP").value_or("");
        auto field = [&](const char* key) {
            return decodeWithCodePage(loaded.file.value(kCommon, key).value_or(""), cp);
        };
        LanguageEntry entry{QString::fromStdString(name), field("LANGUAGE"), field("VERSION"), field("AUTHOR")};
        englishListed = englishListed || entry.language.compare(u"English", Qt::CaseInsensitive) == 0;
        list.push_back(std::move(entry));
    }
    if (!englishListed) list.push_back({QStringLiteral("English"), QStringLiteral("English"), programVersion, {}});
    return list;
}

}  // namespace tolmark::manager
