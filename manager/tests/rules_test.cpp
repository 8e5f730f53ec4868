// The dialogs' rules that need no server: how the Preferences read their fields, the interface
// rows' states, option lines, profile names and pools, the static entry line, the log viewer's
// rows and pages, and the address field's key rule.

#include <QtTest>

#include <array>

#include "manager/dialogs/log/log_lines.h"
#include "manager/dialogs/manager_page.h"
#include "manager/dialogs/preferences/preference_rules.h"
#include "manager/dialogs/profiles/profile_rules.h"
#include "manager/dialogs/static_entry/static_entry_dialog.h"
#include "manager/language/language.h"

using namespace tolmark;
using namespace tolmark::manager;

class RulesTest : public QObject {
    Q_OBJECT
private slots:
    void unreadableFieldsFallBack();
    void interfaceRowsCycleThroughTheirStates();
    void optionLinesFollowTheOptionTable();
    void profileNamesAndPools();
    void staticEntryLines();
    void logLinesSplitAtTheirColumns();
    void addressFieldsTakeOnlyAddresses();
    void installedProgramFindsItsLanguageFiles();
};

void RulesTest::unreadableFieldsFallBack() {
    struct Case {
        std::int64_t (*read)(const QString&);
        const char* text;
        std::int64_t expected;
    };
    const Case cases[] = {
        {[](const QString& t) -> std::int64_t { return tftpPortFromField(t); }, "", 69},
        {[](const QString& t) -> std::int64_t { return tftpPortFromField(t); }, "6x9", 69},
        {[](const QString& t) -> std::int64_t { return tftpPortFromField(t); }, "65536", 69},
        {[](const QString& t) -> std::int64_t { return tftpPortFromField(t); }, "1069", 1069},
        {[](const QString& t) -> std::int64_t { return dataPortFromField(t); }, "", 0},
        {[](const QString& t) -> std::int64_t { return dataPortFromField(t); }, "0", 0},
        {[](const QString& t) -> std::int64_t { return dataPortFromField(t); }, "5000", 5000},
        {[](const QString& t) -> std::int64_t { return tftpClientsFromField(t); }, "0", 10},
        {[](const QString& t) -> std::int64_t { return tftpClientsFromField(t); }, "25", 25},
        {[](const QString& t) -> std::int64_t { return multicastPortFromField(t); }, "0", 1758},
        {[](const QString& t) -> std::int64_t { return multicastPortFromField(t); }, "", 1758},
        {[](const QString& t) -> std::int64_t { return multicastPortFromField(t); }, "2000", 2000},
        {[](const QString& t) -> std::int64_t { return multicastPortFromField(t); }, "70000", 1758},
        {[](const QString& t) -> std::int64_t { return multicastTtlFromField(t); }, "0", 1},
        {[](const QString& t) -> std::int64_t { return multicastTtlFromField(t); }, "256", 1},
        {[](const QString& t) -> std::int64_t { return multicastTtlFromField(t); }, "255", 255},
        {[](const QString& t) -> std::int64_t { return multicastAddressFromField(t); }, "300.1.1.1",
         makeIpv4(224, 0, 0, 1)},
        {[](const QString& t) -> std::int64_t { return multicastAddressFromField(t); }, "239.1.1.1x",
         makeIpv4(224, 0, 0, 1)},
        {[](const QString& t) -> std::int64_t { return multicastAddressFromField(t); }, "239.1.2.3",
         makeIpv4(239, 1, 2, 3)},
    };
    for (const Case& c : cases) QVERIFY2(c.read(QString::fromLatin1(c.text)) == c.expected, c.text);

    QCOMPARE(keptFlag(true, 5), 5);
    QCOMPARE(keptFlag(true, 0), 1);
    QCOMPARE(keptFlag(false, 5), 0);
    QCOMPARE(withBit(0x203, 0x200, false), 3);
    // "Log" from (write, details, value before): a value off or above 2 stays while the boxes describe it.
    const std::array<std::array<std::int32_t, 4>, 5> logLevels = {
        {{0, 0, 1, 0}, {0, 0, -1, -1}, {1, 0, 3, 1}, {1, 1, 1, 2}, {1, 1, -1, 2}}};
    for (const auto& [write, details, current, expected] : logLevels)
        QVERIFY2(logLevelFor(write != 0, details != 0, current) == expected, qPrintable(QString::number(current)));
    QCOMPARE(directoryValue("/opt/dhcp/", "/opt/dhcp/"), std::optional<std::string>());
    QCOMPARE(directoryValue("/opt/dhcp", "/opt/dhcp/"), std::optional<std::string>());
    QCOMPARE(directoryValue("/var/log/dhcp/", "/opt/dhcp/"), std::optional<std::string>("/var/log/dhcp/"));
    QCOMPARE(browseStartDirectory("/var/log/"), QString("/var/log"));
    QCOMPARE(browseStartDirectory("/a/"), QString("/a/"));
}

void RulesTest::interfaceRowsCycleThroughTheirStates() {
    using S = InterfaceState;
    struct Case {
        S from;
        bool enableRa, last;
        S to;
    };
    const Case cases[] = {
        {S::Off, false, false, S::Selected},     {S::Selected, false, false, S::Off},
        {S::Selected, true, false, S::Trusted},  {S::Trusted, true, false, S::Off},
        {S::Selected, false, true, S::Selected}, {S::Trusted, true, true, S::Selected},
        {S::Selected, true, true, S::Trusted},
    };
    for (const Case& c : cases) QCOMPARE(nextInterfaceState(c.from, c.enableRa, c.last), c.to);
    // The trusted state shows only while relay agent information is accepted, and the bit is
    // written back only then.
    QCOMPARE(interfaceStateOf(kIfPresent | kIfServed | kIfTrusted, false), S::Selected);
    QCOMPARE(interfaceStateOf(kIfPresent | kIfServed | kIfTrusted, true), S::Trusted);
    QCOMPARE(interfaceFlagsFor(kIfPresent | kIfTrusted, S::Selected, false), kIfPresent | kIfServed | kIfTrusted);
    QCOMPARE(interfaceFlagsFor(kIfPresent | kIfServed | kIfTrusted, S::Selected, true), kIfPresent | kIfServed);
    QCOMPARE(interfaceFlagsFor(kIfPresent | kIfServed, S::Off, true), kIfPresent);
    // Sent back, a row changes only the bits the page changed, in the entry of its address: the
    // server gave the slot of an address that left to a new one meanwhile, and another manager
    // trusted the second interface.
    auto table = [](std::vector<std::pair<std::uint8_t, std::int32_t>> rows) {
        ServerStatus s;
        s.interfaceCount = static_cast<std::int32_t>(rows.size());
        for (std::size_t i = 0; i < rows.size(); ++i)
            s.interfaces[i] = {.address = makeIpv4(10, 0, 0, rows[i].first), .flags = rows[i].second};
        return s;
    };
    const std::int32_t served = kIfPresent | kIfServed;
    const ServerStatus read = table({{1, served}, {2, served}});
    const ServerStatus edited = table({{1, kIfPresent}, {2, served | kIfTrusted}});
    const ServerStatus now = table({{3, served}, {2, served}, {1, kIfServed}});
    QCOMPARE(interfacesToSend(edited, read, now), table({{3, served}, {2, served | kIfTrusted}, {1, 0}}));
    QCOMPARE(interfacesToSend(read, read, now), now);
}

void RulesTest::optionLinesFollowTheOptionTable() {
    struct Case {
        unsigned code;
        ValueKind kind;
        const char* value;
        const char* error;
        const char* line;
    };
    const std::string text250(250, 'x');
    const Case cases[] = {
        {3, ValueKind::Addresses, "10.0.0.1 ", nullptr, "3 4 10.0.0.1"},
        {1, ValueKind::Addresses, "255.0.0.0 255.255.0.0", "INVALID_OPTLEN", nullptr},
        {43, ValueKind::Binary, "1 2 3", nullptr, "43 3 1 2 3"},
        {40, ValueKind::String, "lab.test", nullptr, "40 8 \"lab.test"},
        {40, ValueKind::String, "\"quoted", nullptr, "40 6 \"quoted"},
        {150, ValueKind::Addresses, "10.0.0.1 10.0.0.2", nullptr, "150 8 10.0.0.1 10.0.0.2"},
        {26, ValueKind::Binary, "5 220 7", "INVALID_OPTLEN", nullptr},
        // A value the server would not read is refused with a word (nothing happened on "Add").
        {43, ValueKind::Binary, "1 300", "FORMAT", nullptr},  // a byte above 255
        {150, ValueKind::Addresses, "10.0.0.1 10.0.0.300", "FORMAT", nullptr},
        {53, ValueKind::Binary, "1", "FORMAT", nullptr},  // the server's own option
        // A line beyond the 254 bytes a written setting carries.
        {114, ValueKind::String, text250.c_str(), "INVALID_OPTLEN", nullptr},
    };
    for (const Case& c : cases) {
        const OptionAdd added = buildOptionLine(c.code, c.kind, QString::fromLatin1(c.value));
        QCOMPARE(QString::fromLatin1(added.error), QString::fromLatin1(c.error));
        QCOMPARE(added.line, c.line ? std::optional<std::string>(c.line) : std::nullopt);
    }
    QVERIFY(isImplementedOption(51) && isImplementedOption(66) && isUnavailableOption(53) && isUnavailableOption(61));
    QVERIFY(!isImplementedOption(26) && !isUnavailableOption(26));
    QCOMPARE(optionInfo(123).fixedLength, 16);
    QCOMPARE(QString(optionInfo(84).name), QString());
    QCOMPARE(QString(optionInfo(125).name), QString("Vendor-Identifying Vendor Specific Information"));

    // A line for another code stays; one for the same code is replaced and goes to the end.
    std::vector<std::string> lines = {"12 2 \"pc", "43 1 7"};
    putOptionLine(lines, 1, "1 4 255.255.255.0");
    putOptionLine(lines, 43, "43 2 8 9");
    QCOMPARE(lines, (std::vector<std::string>{"12 2 \"pc", "1 4 255.255.255.0", "43 2 8 9"}));
    // The lines fit the profile's option area in code order, whatever order they are listed in.
    auto text200 = [](unsigned code) { return std::to_string(code) + " 200 \"" + std::string(200, 'x'); };
    QVERIFY(optionLinesFit({text200(119), text200(114), "43 2 8 9"}));
    QVERIFY(!optionLinesFit({text200(119), text200(43), text200(114)}));
    QVERIFY(optionLinesFit({}));
    for (auto [mask, ok] : {std::pair{"255.255.254.0", true},
                            {"0.0.0.0", true},
                            {"255.255.255.255", true},
                            {"255.255.225.0", false},
                            {"0.255.255.255", false}})
        QVERIFY2(isSubnetMask(parseIpv4(mask).address) == ok, mask);

    // The lines of a record read back as they were written, with the kind each value reads as.
    Profile profile;
    std::size_t at = 0;
    for (const char* line : {"26 2 5 220", "40 3 \"abc", "150 8 10.0.0.1 10.0.0.2"}) {
        const ParsedOptionLine parsed = parseOptionLine(line, OptionCodeList{}, std::span(profile.options).subspan(at));
        QVERIFY(parsed.result > 0);
        at += parsed.entrySize;
    }
    QCOMPARE(optionLinesOf(profile), (std::vector<std::string>{"26 2 5 220", "40 3 \"abc", "150 8 10.0.0.1 10.0.0.2"}));
    QCOMPARE(splitOptionLine("40 3 \"abc")->kind, ValueKind::String);
    QCOMPARE(splitOptionLine("40 3 \"abc")->value, QString("abc"));
    QCOMPARE(splitOptionLine("150 4 10.0.0.1")->kind, ValueKind::Addresses);
    QCOMPARE(splitOptionLine("26 2 5 220")->kind, ValueKind::Binary);
    QCOMPARE(optionValueLength(ValueKind::Addresses, "10.0.0.1 10.0.0.2"), 8);
    QCOMPARE(optionValueLength(ValueKind::String, QString(300, u'x')), 255);
}

void RulesTest::profileNamesAndPools() {
    QCOMPARE(cleanProfileName("lab net 2", kAddNameChars), QString("lab_net_2"));
    QCOMPARE(cleanProfileName(QString(30, u'p'), kAddNameChars).size(), 22);
    QCOMPARE(cleanProfileName(QString(30, u'p'), kRenameChars).size(), 23);
    // The server's name field counts bytes: whole characters of their UTF-8 form fit it.
    const QString euro(1, QChar(0x20ac)), clef = QString::fromUtf8("\xf0\x9d\x84\x9e");
    QCOMPARE(cleanProfileName(QString(30, QChar(0xfc)), kRenameChars), QString(11, QChar(0xfc)));
    QCOMPARE(cleanProfileName("a" + QString(10, QChar(0xfc)) + "b", kAddNameChars),
             "a" + QString(10, QChar(0xfc)) + "b");
    QCOMPARE(cleanProfileName("ab" + euro.repeated(7), kAddNameChars), "ab" + euro.repeated(6));
    QCOMPARE(cleanProfileName("abc" + clef.repeated(5), kRenameChars), "abc" + clef.repeated(5));
    QCOMPARE(cleanProfileName("abcd" + clef.repeated(5), kRenameChars), "abcd" + clef.repeated(4));
    for (const char* bad : {"", "#x", ":x", ";x", "<x", "=x", ">x", "?x", "Lab]2"})
        QVERIFY2(!acceptableProfileName(bad), bad);
    for (const char* good : {"Lab", "9net", "@x", "a#"}) QVERIFY2(acceptableProfileName(good), good);

    const Ipv4 a = makeIpv4(10, 0, 0, 100), b = makeIpv4(10, 0, 0, 149);
    QCOMPARE(poolFrom(a, b).range, 50);
    QCOMPARE(poolFrom(b, a).range, 1);  // "Until" below "From": one address
    QCOMPARE(poolFrom(0, b).base, b);   // only "Until": that address
    QCOMPARE(poolFrom(0, b).range, 1);
    QCOMPARE(poolFrom(0, 0).range, 0);
    Profile p;
    p.baseIp = a;
    p.range = 50;
    QCOMPARE(poolLast(p), b);

    p.selectorKind = SelectorKind::Relay;
    p.selectorAddress = makeIpv4(10, 1, 0, 1);
    p.relaySelectorType = RelaySelectorType::CircuitId;
    p.selectorValue = parseCountedValue("\"port7", 64);
    p.selectorForm = kValueFormText;
    QCOMPARE(ruleValueText(p, false), QString("10.1.0.1/\"port7"));
    p.selectorKind = SelectorKind::MacClass;
    p.selectorValue = parseByteList("0:c:29", 64);
    QCOMPARE(ruleValueText(p, true), QString("00-0c-29"));
}

void RulesTest::staticEntryLines() {
    using C = IdentifierChoice;
    struct Case {
        C choice;
        bool circuit, remote;
        const char *id, *address, *profile, *error, *line;
    };
    // An identifier holds 64 bytes: one typed longer was cut to them, and the entry stored for a
    // client that never sends it.
    const std::string text64 = '"' + std::string(64, 'x'), text65 = text64 + 'x';
    const std::string hex64 = std::string(128, 'a'), hex65 = hex64 + "aa";
    const std::string line64 = hex64 + "\t0.0.0.0";
    std::string xLine64;
    for (int i = 0; i < 64; ++i) xLine64 += "78";
    xLine64 += "\t0.0.0.0";
    const Case cases[] = {
        {C::ClientId, true, false, text64.c_str(), "", "", nullptr, xLine64.c_str()},
        {C::ClientId, true, false, text65.c_str(), "", "", "INVALID_ID", nullptr},
        {C::ClientId, true, false, hex64.c_str(), "", "", nullptr, line64.c_str()},
        {C::ClientId, true, false, hex65.c_str(), "", "", "INVALID_ID", nullptr},
        {C::RelayAgent, false, true, text65.c_str(), "", "", "INVALID_ID", nullptr},
        {C::Mac, true, false, "00-0C-29-AA-BB-CC", "", "", nullptr, "00:0c:29:aa:bb:cc\t0.0.0.0"},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "10.0.0.5", "my lab", nullptr,
         "00:0c:29:aa:bb:cc\t10.0.0.5\tmy_lab"},
        {C::ClientId, true, false, "00:0c:29:aa:bb:cc", "", "", "INVALID_ID", nullptr},
        {C::Mac, true, false, "000c29aabbcc", "", "", "INVALID_MAC", nullptr},
        {C::Mac, true, false, "0:c:29:aa:bb:cc", "", "", nullptr, "00:0c:29:aa:bb:cc\t0.0.0.0"},
        // Hardware addresses of 2 to 16 bytes, two digits a byte; nothing of the text is dropped.
        {C::Mac, true, false, "00:0c:29:aa", "10.0.0.4", "", nullptr, "00:0c:29:aa\t10.0.0.4"},
        {C::Mac, true, false, "00-0C-29-AA-BB-CC-DD-EE", "", "", nullptr, "00:0c:29:aa:bb:cc:dd:ee\t0.0.0.0"},
        {C::Mac, true, false, "0:c:29:aa", "", "", "INVALID_MAC", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:ccx", "", "", "INVALID_MAC", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:1cc", "", "", "INVALID_MAC", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc:d", "", "", "INVALID_MAC", nullptr},
        {C::Mac, true, false, "00:0c:29:aa-bb:cc", "", "", "INVALID_MAC", nullptr},
        {C::ClientId, true, false, "00:0c:29:aa", "", "", "INVALID_ID", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "", "#lab", "FORMAT", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "", "?x", "FORMAT", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "", "lab]2", "FORMAT", nullptr},  // no section can be named so
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "", "lab#2", nullptr, "00:0c:29:aa:bb:cc\t0.0.0.0\tlab#2"},
        {C::ClientId, true, false, "0x0102", "", "", nullptr, "0102\t0.0.0.0"},
        {C::ClientId, true, false, "C0102", "", "", "INVALID_ID", nullptr},
        {C::ClientId, true, false, "xyz", "", "", "INVALID_ID", nullptr},
        {C::RelayAgent, true, false, "0102", "", "", nullptr, "C0102\t0.0.0.0"},
        {C::RelayAgent, false, true, "0102", "", "", nullptr, "R0102\t0.0.0.0"},
        {C::RelayAgent, true, true, "0102", "", "", nullptr, "+0102\t0.0.0.0"},
        // The line carries the identifier in hexadecimal: a text form's " #" would start a remark.
        {C::ClientId, true, false, "\"PC #1", "10.0.0.7", "lab", nullptr, "5043202331\t10.0.0.7\tlab"},
        {C::RelayAgent, true, false, "\"rack 7", "", "", nullptr, "C7261636b2037\t0.0.0.0"},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "10.0.0.256", "", "INVALID_IPADDR", nullptr},
        {C::Mac, true, false, "00:0c:29:aa:bb:cc", "10.0.0.5x", "", "INVALID_IPADDR", nullptr},
    };
    for (const Case& c : cases) {
        const EntryLineResult r = buildEntryLine({c.choice, c.circuit, c.remote, c.id, c.address, c.profile});
        QCOMPARE(QString::fromLatin1(r.error), QString::fromLatin1(c.error));
        if (c.line) QCOMPARE(QString::fromStdString(r.line), QString::fromLatin1(c.line));
    }
}

void RulesTest::logLinesSplitAtTheirColumns() {
    const auto row = logRowFromLine("2024-03-01 08:15:00 TFTP  Error   file not found: boot.img\r\n");
    QVERIFY(row);
    QCOMPARE(row->fields, (std::array<QString, kLogFieldCount>{"2024-03-01", "08:15:00", "TFTP ", "Error  ",
                                                               "file not found: boot.img"}));
    QVERIFY(row->failure);
    for (const char* status : {"Abort  ", "Decline", "Timeout"}) {
        const auto r = logRowFromLine(std::string("2024-03-01 08:15:00 DHCP  ") + status + " x\n");
        QVERIFY2(r && r->failure, status);
    }
    QVERIFY(!logRowFromLine("2024-03-01 08:15:00 DHCP  Request x\n")->failure);
    QVERIFY(!logRowFromLine("\n"));
    QVERIFY(!logRowFromLine("2024-03-01 08:15:00 continued detail\n"));  // lower case where the service starts
    QCOMPARE(logRowFromLine("short line\n")->fields[0], QString("short line"));
    // The server's start line does not follow the columns: its text stays whole in the message.
    QCOMPARE(logRowFromLine("2024-03-01 08:15:00 Tolmark DHCP Server 3.1.28\n")->fields,
             (std::array<QString, kLogFieldCount>{"2024-03-01", "08:15:00", "", "", "Tolmark DHCP Server 3.1.28"}));
    // A profile named in UTF-8 and a client's Latin-1 name read as the letters they are; a control
    // character the line holds after all shows in the server's own escaped form.
    for (auto [message, shown] : {std::pair{"Profile B\xC3\xBCro 10.0.0.5", u"Profile B\u00FCro 10.0.0.5"},
                                  {"nm M\xFCller-PC", u"nm M\u00FCller-PC"},
                                  {"nm a\rb", u"nm a\\x0Db"}}) {
        const auto r = logRowFromLine(std::string("2024-03-01 08:15:00 DHCP  Request ") + message + "\n");
        QCOMPARE(r->fields[4], QString::fromUtf16(shown));
    }

    std::tm day{};
    day.tm_year = 124;
    day.tm_mon = 2;
    day.tm_mday = 7;
    QCOMPARE(logFileName(day, false), std::string("dhcp2403.log"));
    QCOMPARE(logFileName(day, true), std::string("dhcp240307.log"));

    QCOMPARE(printLayout(1000, 10, 250).linesPerPage, 98);
    QCOMPARE(printLayout(1000, 10, 250).pages, 3);
    QCOMPARE(printLayout(1000, 10, 0).pages, 1);        // an empty file still prints its header
    QCOMPARE(printLayout(1000, 10, 40000).pages, 307);  // 30000 lines at most
}

void RulesTest::addressFieldsTakeOnlyAddresses() {
    for (const char* ok : {"", "1", "10.0.", "192.168.100.255", "0.0.0.0"})
        QVERIFY2(AddressValidator::acceptable(ok), ok);
    for (const char* bad : {"256", "1.2.3.4.", "1234", "10.0.0.1x", "10..0.0.300", "1.2.3.4 "})
        QVERIFY2(!AddressValidator::acceptable(bad), bad);
    AddressEdit field;
    field.typeText("  10.1.x2.3\n");  // digits and dots only, one by one
    QCOMPARE(field.text(), QString("10.1.2.3"));
    field.clear();
    field.typeText("10.0.0.1 and more text");  // more than 16 bytes: nothing
    QCOMPARE(field.text(), QString());
    field.typeText("300.1");  // the third digit would make 300
    QCOMPARE(field.text(), QString("30.1"));
}

// Beside the program first; an installed program in .../bin finds them in .../share/tolmark.
void RulesTest::installedProgramFindsItsLanguageFiles() {
    QTemporaryDir root;
    const std::string bin = root.path().toStdString() + "/bin/";
    QVERIFY(QDir().mkpath(root.path() + "/bin"));
    QCOMPARE(languagesDirectory(bin), bin + "Languages/");
    QVERIFY(QDir().mkpath(root.path() + "/share/tolmark/Languages"));
    QCOMPARE(languagesDirectory(bin), bin + "../share/tolmark/Languages/");
    QVERIFY(QDir().mkpath(root.path() + "/bin/Languages"));
    QCOMPARE(languagesDirectory(bin), bin + "Languages/");
    // The help pages the same way.
    QCOMPARE(resourceDirectory(bin, "doc"), bin + "doc/");
    QVERIFY(QDir().mkpath(root.path() + "/share/tolmark/doc"));
    QCOMPARE(resourceDirectory(bin, "doc"), bin + "../share/tolmark/doc/");
}

QTEST_MAIN(RulesTest)
#include "rules_test.moc"
