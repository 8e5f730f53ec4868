// Scenarios of the manager's dialogs against a real Velkora: the Preferences change exactly their
// keys in the server's INI file, the profile editor makes a profile a real DHCP client is then
// served with, the static entry dialog stores or refuses entries with its texts, and the log
// viewer shows and prints the server's log.

#include <QAccessible>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPrinter>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTreeWidget>
#include <QtTest>

#include "dialog_harness.h"
#include "fake_pipe_peer.h"
#include "manager/dialogs/log/log_printer.h"
#include "manager/dialogs/log/log_viewer.h"
#include "manager/dialogs/preferences/preference_pages.h"
#include "manager/dialogs/preferences/preferences_dialog.h"
#include "manager/dialogs/profiles/profile_editor.h"
#include "manager/dialogs/profiles/profile_list_dialog.h"
#include "manager/dialogs/profiles/profile_pages.h"
#include "manager/dialogs/static_entry/static_entry_dialog.h"
#include "manager/window/main_window.h"
#include "server_lab.h"

using namespace tolmark;
using namespace tolmark::manager;
using namespace tolmark::manager::test;

namespace {

const QString kDeleted = QStringLiteral("<deleted>");

template <typename T>
T* child(QWidget* parent, const char* name) {
    T* w = parent->findChild<T*>(QString::fromLatin1(name));
    if (w == nullptr) qFatal("no control %s", name);
    return w;
}

// Types into a field as a user does: the field's text changes and it says it was edited.
void type(QLineEdit* field, const QString& text) {
    field->setText(text);
    emit field->textEdited(text);
}

// Types character by character, as the keyboard does: the field's validator sees each one.
void typeKeys(QWidget* field, const QString& text) {
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QApplication::sendEvent(field, &press);
    }
}

void setCheck(QWidget* page, const char* name, bool on) {
    auto* box = child<QAbstractButton>(page, name);
    if (box->isChecked() != on) box->click();
}

// The static entries as "identity address profile host remark" lines, by record handle.
std::map<std::uint64_t, QString> staticEntries(ManagerPipe& pipe, ClientList list = ClientList::Static) {
    std::map<std::uint64_t, QString> out;
    std::uint64_t next = 0;
    for (int i = 0; i < 1000; ++i) {
        const auto e = pipe.listEntry(list, next);
        if (!e.ok() || (list != ClientList::Dynamic && e.value.record.fields.identity.kind == kIdentityFree)) break;
        const ClientFields& f = e.value.record.fields;
        next = e.value.record.nextHandle;
        if (f.identity.kind == kIdentityFree) {
            if (next == 0) break;
            continue;
        }
        out[e.value.record.handle] = QStringLiteral("%1 %2 %3 %4 %5")
                                         .arg(formatIdentity(f.identity).c_str(), formatIpv4(f.address).c_str(),
                                              QString::fromStdString(f.profile), QString::fromStdString(f.hostName),
                                              QString::fromStdString(f.remark))
                                         .trimmed();
        if (next == 0) break;
    }
    return out;
}

std::uint64_t handleOf(const std::map<std::uint64_t, QString>& entries, const QString& start) {
    for (const auto& [handle, text] : entries) {
        if (text.startsWith(start)) return handle;
    }
    return 0;
}

// The controls that Tab reaches within a widget, in the order it reaches them.
std::vector<QWidget*> tabChain(QWidget* root) {
    std::vector<QWidget*> chain;
    for (QWidget* w = root->nextInFocusChain(); w != root && chain.size() < 500; w = w->nextInFocusChain()) {
        if (root->isAncestorOf(w) && w->isVisibleTo(root) && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus))
            chain.push_back(w);
    }
    return chain;
}

// Alt and a letter reach one control: among the labels, buttons and tabs shown on a page or
// dialog, together with its window's own buttons, no two claim the same mnemonic (with two,
// the key only moves the focus between them).
QStringList mnemonicFaults(QWidget* root, const QString& where) {
    QStringList texts;
    QList<QWidget*> shown = root->findChildren<QWidget*>();
    for (QWidget* w : root->window()->findChildren<QWidget*>())
        if (w != root && !root->isAncestorOf(w) && !w->isAncestorOf(root)) shown << w;
    for (QWidget* w : shown) {
        if (!w->isVisibleTo(w->window())) continue;
        if (auto* label = qobject_cast<QLabel*>(w)) texts << label->text();
        if (auto* button = qobject_cast<QAbstractButton*>(w)) texts << button->text();
        if (auto* tabs = qobject_cast<QTabBar*>(w))
            for (int t = 0; t < tabs->count(); ++t) texts << tabs->tabText(t);
    }
    std::map<QKeySequence, QString> keys;
    QStringList faults;
    for (const QString& text : texts) {
        const QKeySequence key = QKeySequence::mnemonic(text);
        if (!key.isEmpty() && !keys.emplace(key, text).second)
            faults << QStringLiteral("%1: \"%2\" and \"%3\" share %4").arg(where, keys[key], text, key.toString());
    }
    return faults;
}

// A screen reader names every control that takes input: by its text, its buddy label or an
// accessible name of its own, one that says something (a "..." button says nothing) and that no
// other text field of the page has (a field may share the name of the box, radio or list before it).
QStringList unnamedControlFaults(QWidget* root, const QString& where) {
    QStringList faults;
    std::map<QString, QString> named;  // name -> the control that has it
    for (QWidget* w : root->findChildren<QWidget*>()) {
        if (!w->isVisibleTo(root) || !(w->focusPolicy() & Qt::TabFocus) || qobject_cast<QComboBox*>(w->parent()) ||
            qobject_cast<QTabBar*>(w))
            continue;
        QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w);
        QString name = a != nullptr ? a->text(QAccessible::Name) : QString();
        // A list's name on Linux is its current text: it is named by its label instead.
        if (qobject_cast<QComboBox*>(w) && a != nullptr) {
            name = w->accessibleName();
            for (const auto& [label, relation] : a->relations(QAccessible::Label))
                if (name.isEmpty()) name = label->text(QAccessible::Name);
        }
        if (!name.contains(QRegularExpression(QStringLiteral("\\w"))))
            faults << QStringLiteral("%1: %2 %3 has no name (\"%4\")")
                          .arg(where, QString::fromLatin1(w->metaObject()->className()), w->objectName(), name);
        else if (const auto [at, fresh] = named.emplace(name, w->objectName());
                 !fresh && qobject_cast<QLineEdit*>(w) &&
                 qobject_cast<QLineEdit*>(root->findChild<QWidget*>(at->second)))
            faults << QStringLiteral("%1: %2 and %3 are both \"%4\"").arg(where, at->second, w->objectName(), name);
    }
    return faults;
}

// Tab goes through the controls in reading order: row by row from the top, left to right in a
// row. Controls whose vertical middles are within half a line of each other share a row.
QString readingOrderFault(QWidget* root, const QString& where) {
    const std::vector<QWidget*> chain = tabChain(root);
    for (std::size_t i = 1; i < chain.size(); ++i) {
        const QRect a(chain[i - 1]->mapTo(root, QPoint(0, 0)), chain[i - 1]->size());
        const QRect b(chain[i]->mapTo(root, QPoint(0, 0)), chain[i]->size());
        const int rowTolerance = 10;
        const bool sameRow = std::abs(a.center().y() - b.center().y()) <= rowTolerance;
        // A control beside a taller one (a list with its buttons) may follow it from its top.
        const bool besideTaller = b.top() >= a.top() - rowTolerance && b.top() < a.bottom() && b.left() >= a.right();
        const bool below = b.center().y() > a.center().y() + rowTolerance;
        if (below || besideTaller || (sameRow && b.left() > a.left())) continue;
        return QStringLiteral("%1: %2 (%3,%4) before %5 (%6,%7)")
            .arg(where, chain[i - 1]->objectName(), QString::number(a.x()), QString::number(a.y()),
                 chain[i]->objectName(), QString::number(b.x()), QString::number(b.y()));
    }
    return {};
}

}  // namespace

class DialogsTest : public QObject {
    Q_OBJECT
public:
    explicit DialogsTest(bool isolated) : isolated_(isolated) {}

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void preferencesPagesChangeExactlyTheirKeys();
    void preferencePagesAppliedUnchangedKeepEveryValue();
    void profileEditorMakesAProfileAClientIsServedWith();
    void profilePagesAppliedUnchangedKeepEveryKey();
    void profileChangesTakenInPartAreReported();
    void changesTheServerDidNotFinishAreShown();
    void staticEntriesAreStoredOrRefused();
    void modifiedEntriesKeepWhatWasNotTouched();
    void logViewerShowsTheLogAndPrintsIt();
    void tabOrderFollowsTheLayout();
    void labelsFitTheirColumns();

private:
    DialogContext context(Language* language = nullptr);
    std::map<QString, QString> applyAndCompare(PropertySheet& sheet);
    void startLab();

    bool isolated_;
    std::unique_ptr<ServerLab> lab_;
    QTemporaryDir home_;
    std::unique_ptr<PipeWorker> worker_;
    std::unique_ptr<Language> language_;
    std::unique_ptr<UserPreferences> preferences_;
    std::unique_ptr<ConfigStore> serverConfig_;
    std::function<void(ProfileEditor&)> editorScript_;
    bool editorCancelled_ = false;
    bool labUsed_ = false;  // a case has run against the lab's server
    int rebuilds_ = 0;
};

void DialogsTest::initTestCase() {
    startLab();
    worker_ = std::make_unique<PipeWorker>(lab_->pipe().toStdString(), std::chrono::milliseconds(2000));
    language_ = std::make_unique<Language>(home_.path().toStdString() + "/");
    preferences_ = std::make_unique<UserPreferences>(home_.path().toStdString() + "/user.ini");
}

// A server of its own, with the lab's first configuration, data directory and client lists.
void DialogsTest::startLab() {
    worker_.reset();  // first: its connection goes with the server it talks to
    lab_.reset();
    lab_ = std::make_unique<ServerLab>(isolated_ && QFile::exists("/bin/busybox"));
    QVERIFY(lab_->setUp());
    QVERIFY(lab_->start());
    serverConfig_ = std::make_unique<ConfigStore>(lab_->dir().toStdString() + "/registry.ini");
    serverConfig_->setIniPath(lab_->dir().toStdString() + "/", "Dorvane");
}

// Every case finds the server running, whichever case ran before (some stop it) and in whatever
// order they are run: a stopped one is started again, and the worker's connection to the one that
// went away, which fails once, is renewed before the case. The cases that count on the lab's
// first configuration (its profiles, its settings) get a new server once another case has had
// this one.
void DialogsTest::init() {
    static const QSet<QString> kFromTheStart = {"preferencesPagesChangeExactlyTheirKeys",
                                                "profileEditorMakesAProfileAClientIsServedWith"};
    // These talk to a stand-in of their own.
    static const QSet<QString> kStandIn = {"profileChangesTakenInPartAreReported",
                                           "changesTheServerDidNotFinishAreShown"};
    if (kStandIn.contains(QTest::currentTestFunction())) return;
    const bool fresh = kFromTheStart.contains(QTest::currentTestFunction());
    if (fresh && labUsed_) {
        startLab();
        worker_ = std::make_unique<PipeWorker>(lab_->pipe().toStdString(), std::chrono::milliseconds(2000));
    } else if (!lab_->running()) {
        QVERIFY(lab_->start());
        worker_->call([](ManagerPipe& p) { return p.getStatus(-1).status; });
    }
    labUsed_ = true;
}

void DialogsTest::cleanupTestCase() {
    worker_.reset();
    lab_.reset();
}

DialogContext DialogsTest::context(Language* language) {
    DialogContext c{.worker = *worker_,
                    .language = language != nullptr ? *language : *language_,
                    .preferences = *preferences_,
                    .rights = ManagerRights{true, true},
                    .programDirectory = home_.path().toStdString() + "/",
                    .serverConfig = serverConfig_.get()};
    c.rebuildMenus = [this] { ++rebuilds_; };
    c.openProfileEditor = [this](const std::string& name, QWidget*) {
        if (editorCancelled_) return;
        DialogContext inner = context();
        ProfileEditor editor(inner, name);
        if (editorScript_) editorScript_(editor);
        QVERIFY(editor.applyChanges());
    };
    return c;
}

std::map<QString, QString> DialogsTest::applyAndCompare(PropertySheet& sheet) {
    const QString before = lab_->iniText();
    if (!sheet.applyChanges()) return {{"apply", "refused"}};
    return iniChanges(before, lab_->iniText());
}

// Each page, applied, changes exactly its keys; values set back to their defaults are deleted.
void DialogsTest::preferencesPagesChangeExactlyTheirKeys() {
    {
        // The server holds a client identifier setting other than 1: a checked box keeps it.
        ManagerPipe pipe(lab_->pipe().toStdString());
        GeneralSettings g = pipe.getSettings().value;
        g.enableId = 5;
        QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
    }
    const QString dataDirectory = lab_->dir() + "/";
    struct Case {
        const char* name;
        int page;
        std::function<void(QWidget*)> act;
        std::map<QString, QString> expected;
    };
    const std::vector<Case> cases = {
        {"general: last access, all details, daily",
         0,
         [](QWidget* p) {
             setCheck(p, "UPDATE", false);
             setCheck(p, "LOG", true);
             setCheck(p, "LOGALL", true);
             setCheck(p, "DAILY", true);
             setCheck(p, "GRIDLINES", true);
         },
         {{"Dorvane/UpdateEthers", "2"}, {"Dorvane/Log", "2"}, {"Dorvane/CreateLog", "1"}}},
        {"general: back to the defaults",
         0,
         [](QWidget* p) {
             setCheck(p, "UPDATE", true);
             setCheck(p, "LOGALL", false);
             setCheck(p, "MONTHLY", true);
         },
         {{"Dorvane/UpdateEthers", kDeleted}, {"Dorvane/Log", kDeleted}, {"Dorvane/CreateLog", kDeleted}}},
        {"general: a log directory of its own, no longer than the server reads it (895 bytes)",
         0,
         [](QWidget* p) {
             auto* dir = child<QLineEdit>(p, "DIR");
             type(dir, "/srv/");
             typeKeys(dir, QString(450, QChar(0xfc)));
             QCOMPARE(dir->text().toUtf8().size(), 5 + 2 * 445);
             type(dir, "/srv/tolmark-logs/");
         },
         {{"Dorvane/Directory", "/srv/tolmark-logs/"}}},
        {"general: the program's directory deletes it",
         0,
         [this](QWidget* p) { type(child<QLineEdit>(p, "DIR"), home_.path() + "/"); },
         {{"Dorvane/Directory", kDeleted}}},
        {"dhcp: bootp off, identifier kept, relay agent without circuit; MAC ranges set meanwhile stay",
         2,
         [this](QWidget* p) {
             ManagerPipe pipe(lab_->pipe().toStdString());
             GeneralSettings g = pipe.getSettings().value;
             g.macRange = parseMacRange("00:0c:29,08:00");  // as trisko sets them, the sheet open
             QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
             setCheck(p, "BOOTP", false);
             setCheck(p, "DHCP", false);
             setCheck(p, "ENABLEID", true);
             setCheck(p, "AUTOCONF", true);
             setCheck(p, "ENABLERA", true);
             setCheck(p, "CIRCUIT", false);
             setCheck(p, "NOCLIENT", true);
         },
         {{"Dorvane/Bootp", "0"},
          {"Dorvane/DHCP", "0"},
          {"Dorvane/AutoConfigure", "0"},
          {"Dorvane/EnableRA", "1"},
          {"Dorvane/RelayAgent", "514"}}},
        {"dhcp: a field another manager changed meanwhile keeps its new value",
         2,
         [this](QWidget* p) {
             ManagerPipe pipe(lab_->pipe().toStdString());
             GeneralSettings g = pipe.getSettings().value;
             g.name2Uc = 1;
             QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
             static_cast<SheetPage*>(p)->markChanged();
         },
         {}},
        {"dhcp: back to the defaults",
         2,
         [this](QWidget* p) {
             ManagerPipe pipe(lab_->pipe().toStdString());
             GeneralSettings g = pipe.getSettings().value;
             g.name2Uc = 0;
             g.macRange = {};
             QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
             setCheck(p, "BOOTP", true);
             setCheck(p, "DHCP", true);
             setCheck(p, "ENABLEID", false);
             setCheck(p, "AUTOCONF", false);
             setCheck(p, "CIRCUIT", true);
             setCheck(p, "NOCLIENT", false);
             setCheck(p, "ENABLERA", false);
         },
         {{"Dorvane/Bootp", kDeleted},
          {"Dorvane/DHCP", kDeleted},
          {"Dorvane/AutoConfigure", kDeleted},
          {"Dorvane/EnableRA", kDeleted},
          {"Dorvane/RelayAgent", kDeleted},
          {"Dorvane/EnableID", kDeleted}}},
        {"interfaces: backup detection; the last selected row stays selected",
         1,
         [](QWidget* p) {
             setCheck(p, "DETECT", true);
             auto* page = static_cast<InterfacesPage*>(p);
             for (int r = 0; r < page->list()->count(); ++r) page->cycleRow(r);
         },
         {{"Dorvane/Detect", "1"}}},
        {"tftp: on, unreadable numbers fall back, boot file restrictions exclude each other",
         3,
         [](QWidget* p) {
             setCheck(p, "TFTP", true);
             type(child<QLineEdit>(p, "TFTPPORT"), "");
             type(child<QLineEdit>(p, "DATA"), "");
             type(child<QLineEdit>(p, "CLIENTS"), "0");
             setCheck(p, "BOOTONLY", true);
             QVERIFY(!child<QAbstractButton>(p, "BOOTFILE")->isChecked());
             // The prefix field holds bytes: 383 two-byte characters fill its 767.
             auto* prefix = child<QLineEdit>(p, "PREFIX");
             typeKeys(prefix, QString(400, QChar(0xfc)));
             QCOMPARE(prefix->text().toUtf8().size(), 766);
             type(prefix, "");
         },
         {{"Dorvane/TFTPEnable", "1"}, {"Dorvane/TFTPMode", "11"}, {"Dorvane/TFTPDirectory", dataDirectory}}},
        {"tftp: off changes nothing else, not even what another manager changed meanwhile",
         3,
         [this](QWidget* p) {
             ManagerPipe pipe(lab_->pipe().toStdString());
             TftpSettings t = pipe.getTftpSettings().value;
             t.clients = 33;
             QCOMPARE(pipe.setTftpSettings(t), PipeStatus::Done);
             QCOMPARE(child<QLineEdit>(p, "DATA")->text(), QString());  // 0 shows empty
             setCheck(p, "TFTP", false);
             type(child<QLineEdit>(p, "TFTPPORT"), "99");
         },
         {{"Dorvane/TFTPEnable", kDeleted}}},
        {"tftp options: usable only with the TFTP server on; bad multicast values fall back",
         4,
         [](QWidget* p) {
             auto* sheet = static_cast<PropertySheet*>(p->window());
             QVERIFY(!child<QAbstractButton>(p, "MCAST")->isEnabled());
             sheet->tabs()->setCurrentIndex(3);
             setCheck(sheet->page(3), "TFTP", true);
             sheet->tabs()->setCurrentIndex(4);
             QVERIFY(child<QAbstractButton>(p, "MCAST")->isEnabled());
             QVERIFY(!child<QLineEdit>(p, "MCASTIP")->isEnabled());
             child<QComboBox>(p, "TIMEOUT")->setCurrentIndex(4);
             setCheck(p, "TSIZEOPT", false);
             setCheck(p, "MCAST", true);
             type(child<QLineEdit>(p, "MCASTIP"), "300.1.1.1");
             type(child<QLineEdit>(p, "MCASTPORT"), "0");
             type(child<QLineEdit>(p, "MCASTTTL"), "256");
         },
         {{"Dorvane/TFTPEnable", "1"},
          {"Dorvane/TFTPTimeout", "5"},
          {"Dorvane/TFTPOptions", "3"},
          {"Dorvane/Multicast", "1"}}},
        {"tftp options: multicast values of its own",
         4,
         [](QWidget* p) {
             type(child<QLineEdit>(p, "MCASTIP"), "239.1.2.3");
             type(child<QLineEdit>(p, "MCASTPORT"), "2000");
             type(child<QLineEdit>(p, "MCASTTTL"), "4");
         },
         {{"Dorvane/MulticastIp", "239.1.2.3"}, {"Dorvane/MulticastPort", "2000"}, {"Dorvane/MulticastTTL", "4"}}},
    };
    for (const Case& c : cases) {
        DialogContext ctx = context();
        PreferencesDialog dialog(ctx);
        dialog.show();
        dialog.tabs()->setCurrentIndex(c.page);
        c.act(dialog.page(c.page));
        QVERIFY2(dialog.buttons()->button(QDialogButtonBox::Apply)->isEnabled(), c.name);
        const auto changes = applyAndCompare(dialog);
        if (changes != c.expected) {
            for (const auto& [k, v] : changes) qWarning("%s: %s=%s", c.name, qPrintable(k), qPrintable(v));
        }
        QVERIFY2(changes == c.expected, c.name);
    }
    {
        // The log directory goes into the server's configuration file, which the manager writes
        // itself: a file it cannot write keeps the sheet open and says so (the change was lost
        // without a word).
        ConfigStore unwritable(lab_->dir().toStdString() + "/registry.ini");
        unwritable.setIniPath(lab_->dir().toStdString() + "/missing/", "Dorvane");
        DialogContext ctx = context();
        ctx.serverConfig = &unwritable;
        MessageAnswerer answers;
        PreferencesDialog dialog(ctx);
        dialog.show();
        type(child<QLineEdit>(dialog.page(0), "DIR"), "/srv/tolmark-logs/");
        QVERIFY(!dialog.applyChanges());
        QCOMPARE(answers.take(),
                 QStringList({"The data directory could not be stored in the server's configuration file."}));
    }
    QCOMPARE(preferences_->read(pref::kGridlines), 1);  // the display values are the user's own
    QVERIFY(rebuilds_ > 0);
}

// Settings an administrator wrote by hand, or a page does not show in full: each page applied
// without a change leaves the server's blocks and its INI file as they were, byte for byte.
void DialogsTest::preferencePagesAppliedUnchangedKeepEveryValue() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    const GeneralSettings originalGeneral = pipe.getSettings().value;
    const TftpSettings originalTftp = pipe.getTftpSettings().value;
    const MulticastSettings originalMulticast = pipe.getMulticast().value;
    GeneralSettings g = originalGeneral;
    g.log = 3;        // more than "all details": the server logs as with 2
    g.createLog = 2;  // not 0: daily files
    g.updateEthers = 1;
    g.enableId = 3;
    g.enableRa = 1;
    g.relayAgent = 0x103;
    QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
    TftpSettings t = originalTftp;
    t.enable = 1;
    t.mode = 5;
    t.directory = (lab_->dir() + "/tftp/").toStdString();
    t.prefix = "boot/,pxe/";
    t.clients = 25;
    t.timeout = 3;
    t.options = 5;
    t.mmf = 3;
    QCOMPARE(pipe.setTftpSettings(t), PipeStatus::Done);
    MulticastSettings m = originalMulticast;
    m.multicast = 1;
    m.port = 1800;
    QCOMPARE(pipe.setMulticast(m), PipeStatus::Done);

    auto flags = [&pipe] {
        std::vector<std::int32_t> out;
        const ServerStatus s = pipe.getStatus(-1).value;
        for (int i = 0; i < s.interfaceCount; ++i) out.push_back(s.interfaces[static_cast<std::size_t>(i)].flags);
        return out;
    };
    const std::vector<std::int32_t> interfaceFlags = flags();
    const QString ini = lab_->iniText();
    for (int page = 0; page < 6; ++page) {
        DialogContext ctx = context();
        PreferencesDialog dialog(ctx);
        dialog.show();
        dialog.tabs()->setCurrentIndex(page);
        dialog.page(page)->markChanged();
        QVERIFY(dialog.applyChanges());
        const QString name = dialog.tabs()->tabText(page);
        for (const auto& [k, v] : iniChanges(ini, lab_->iniText()))
            qWarning("%s: %s=%s", qPrintable(name), qPrintable(k), qPrintable(v));
        QVERIFY2(lab_->iniText() == ini, qPrintable(name));
        QVERIFY2(pipe.getSettings().value == g, qPrintable(name));
        QVERIFY2(pipe.getTftpSettings().value == t, qPrintable(name));
        QVERIFY2(pipe.getMulticast().value == m, qPrintable(name));
        QVERIFY2(flags() == interfaceFlags, qPrintable(name));
    }
    QCOMPARE(pipe.setSettings(originalGeneral), PipeStatus::Done);
    QCOMPARE(pipe.setTftpSettings(originalTftp), PipeStatus::Done);
    QCOMPARE(pipe.setMulticast(originalMulticast), PipeStatus::Done);
}

// A profile is made from the list, edited page by page, renamed and removed; a real client in
// its MAC range is served with its pool, gateway, DNS server and option lines.
void DialogsTest::profileEditorMakesAProfileAClientIsServedWith() {
    DialogContext ctx = context();
    MessageAnswerer answers;
    editorScript_ = [](ProfileEditor& e) {
        QWidget* basic = e.page(0);
        child<QComboBox>(basic, "FOR")->setCurrentIndex(static_cast<int>(RuleChoice::MacRange));
        type(child<QLineEdit>(basic, "VALUE"), "02:00:5e:50");
        type(child<QLineEdit>(basic, "FROM"), "10.98.0.150");
        type(child<QLineEdit>(basic, "UNTIL"), "10.98.0.159");
        type(child<QLineEdit>(basic, "LEASE"), "600");
        type(child<QLineEdit>(basic, "SUBNET"), "255.255.255.0");
        type(child<QLineEdit>(basic, "GATEWAY"), "10.98.0.1");
        e.tabs()->setCurrentIndex(1);
        type(child<QLineEdit>(e.page(1), "DNS1"), "10.98.0.53");
        e.tabs()->setCurrentIndex(5);
        auto* other = static_cast<OtherPage*>(e.page(5));
        auto* option = child<QComboBox>(other, "OPTION");
        option->setCurrentIndex(option->findData(26u));
        child<QRadioButton>(other, "BINARY")->click();
        type(child<QLineEdit>(other, "VALUE"), "5 220");
        other->addLine();
        option->setCurrentIndex(option->findData(40u));
        child<QRadioButton>(other, "STRING")->click();
        type(child<QLineEdit>(other, "VALUE"), "lab.test");
        other->addLine();
        // Implemented and unavailable options cannot be chosen; a wrong fixed length is refused.
        option->setCurrentIndex(option->findData(51u));
        QCOMPARE(option->currentIndex(), -1);
        option->setCurrentIndex(option->findData(28u));
        child<QRadioButton>(other, "IPADDR")->click();
        type(child<QLineEdit>(other, "VALUE"), "10.98.0.255 10.98.0.254");
        other->addLine();
        QCOMPARE(other->lines(), (std::vector<std::string>{"26 2 5 220", "40 8 \"lab.test"}));
    };
    ProfileListDialog list(ctx);
    QCOMPARE(list.list()->topLevelItemCount(), 2);
    QVERIFY(!list.addProfile("#hidden"));  // refused without a word
    QVERIFY(!list.addProfile("Lab]2"));    // no section of the configuration can be named so
    QVERIFY(list.addProfile("Net 2"));
    QCOMPARE(answers.take(), QStringList({"Invalid Option length"}));
    QCOMPARE(list.list()->topLevelItemCount(), 3);
    QCOMPARE(list.list()->currentItem()->text(0), QString("Net_2"));
    QCOMPARE(list.list()->currentItem()->text(1), QString("MAC Range"));
    QCOMPARE(list.list()->currentItem()->text(2), QString("02:00:5e:50"));
    auto keys = iniKeys(lab_->iniText());
    const std::map<QString, QString> made = {{"Net_2/MacClass", "02:00:5e:50"},
                                             {"Net_2/BaseIP", "10.98.0.150"},
                                             {"Net_2/Range", "10"},
                                             {"Net_2/Lease", "600"},
                                             {"Net_2/SubnetMask", "255.255.255.0"},
                                             {"Net_2/GatewayIP", "10.98.0.1"},
                                             {"Net_2/DNS1IP", "10.98.0.53"},
                                             {"Net_2/Opt26", "26 2 5 220"},
                                             {"Net_2/Opt40", "40 8 \"lab.test"},
                                             {"Dorvane/Profile2", "Net_2"}};
    for (const auto& [key, value] : made) QVERIFY2(keys[key] == value, qPrintable(key + "=" + keys[key]));

    if (lab_->network()) {
        const QString env = lab_->leaseEnvironment("02:00:5e:50:00:01", {"mtu", "nisdomain"});
        QVERIFY2(env.contains(QRegularExpression("\\bip=10\\.98\\.0\\.15[0-9]\\b")), qPrintable(env));
        for (const char* line : {"router=10.98.0.1", "dns=10.98.0.53", "mtu=1500", "nisdomain=lab.test", "lease=600"})
            QVERIFY2(env.contains(QString::fromLatin1(line)), qPrintable(QString::fromLatin1(line) + " in\n" + env));
    }

    // Edited again: "Until" below "From" makes a pool of one, a removed line deletes its key.
    {
        ProfileEditor e(ctx, "Net_2");
        QVERIFY(!e.state().isNew);
        QCOMPARE(child<QLineEdit>(e.page(0), "UNTIL")->text(), QString("10.98.0.159"));
        type(child<QLineEdit>(e.page(0), "UNTIL"), "10.98.0.140");
        e.tabs()->setCurrentIndex(5);
        auto* lines = child<QListWidget>(e.page(5), "LINES");
        QCOMPARE(lines->count(), 2);
        lines->setCurrentRow(1);
        child<QPushButton>(e.page(5), "REMOVE")->click();
        QVERIFY(e.applyChanges());
        keys = iniKeys(lab_->iniText());
        QCOMPARE(keys["Net_2/Range"], QString("1"));
        QVERIFY(!keys.count("Net_2/Opt40"));
        QVERIFY(!keys.count("Dorvane/Profile3"));  // not added a second time
        // A bad address keeps the page open and writes nothing.
        type(child<QLineEdit>(e.page(0), "GATEWAY"), "255.255.255.255");
        const QString before = lab_->iniText();
        QVERIFY(!e.applyChanges());
        QCOMPARE(answers.take(), QStringList({"Invalid IP address"}));
        QCOMPARE(lab_->iniText(), before);
        // So does a lease time that is no number of seconds, a boot file size that option 13
        // cannot carry, or a time offset that is no number of seconds: none is taken for the
        // default or cut (an offset was stored as 0, which deleted the one the profile had).
        type(child<QLineEdit>(e.page(0), "GATEWAY"), "10.98.0.1");
        // So does a subnet mask whose ones do not all stand left of its zeros (a typo for
        // 255.255.255.0), which the clients got as it stood.
        for (const char* mask : {"255.255.225.0", "0.255.255.255"}) {
            type(child<QLineEdit>(e.page(0), "SUBNET"), mask);
            QVERIFY2(!e.applyChanges(), mask);
            QCOMPARE(answers.take(), QStringList({"Invalid subnet mask"}));
            QCOMPARE(lab_->iniText(), before);
        }
        type(child<QLineEdit>(e.page(0), "SUBNET"), "255.255.255.0");
        e.tabs()->setCurrentIndex(3);
        e.tabs()->setCurrentIndex(4);
        // The message names the field and the field has the focus: the Basic page's rule values
        // are refused with the same text. So is a pool beyond the 2147483647 addresses the
        // server reads, which it took for a pool of one address (a typo in "Until").
        const char *lease = "Invalid format\nLease time (s)", *offset = "Invalid format\nTime offset from UTC (s)",
                   *size = "Invalid format\nBoot File Size (in 512 byte blocks)";
        const struct {
            int page;
            const char *field, *text, *message;
        } numbers[] = {{0, "LEASE", "90 min", lease},   {0, "LEASE", "4294967296", lease},
                       {0, "LEASE", "-1", lease},       {0, "UNTIL", "200.98.0.1", "Invalid IP address\nUntil"},
                       {4, "BOOTSIZE", "70000", size},  {4, "BOOTSIZE", "12 blocks", size},
                       {3, "OFFSET", "1 hour", offset}, {3, "OFFSET", "99999999999", offset}};
        for (const auto& n : numbers) {
            auto* field = child<QLineEdit>(e.page(n.page), n.field);
            const QString kept = field->text();
            type(field, n.text);
            e.page(n.page)->setFocus();
            QVERIFY2(!e.applyChanges(), n.text);
            QCOMPARE(answers.take(), QStringList({n.message}));
            QCOMPARE(e.page(n.page)->focusWidget(), field);
            QCOMPARE(lab_->iniText(), before);
            type(field, kept);
        }
        // A rule's value that the server would keep only in part (a class holds 63 bytes) or read
        // otherwise than typed is refused: "02 00 5e" was stored as the range 02, every client
        // whose address starts so.
        const struct {
            RuleChoice rule;
            const char* kind;
            QString value;
            const char* message;
        } rules[] = {{RuleChoice::UserClass, "STRING", QString(64, u'u'), "Identifier has invalid format"},
                     {RuleChoice::VendorClass, "BINARY", QString(128, u'a'), "Identifier has invalid format"},
                     {RuleChoice::ClientIdRange, "BINARY", QString(128, u'a'), "Invalid format"},
                     {RuleChoice::MacRange, "BINARY", "02 00 5e", "Invalid format"},
                     {RuleChoice::MacRange, "BINARY", "02:00:5g", "Invalid format"}};
        for (const auto& r : rules) {
            child<QComboBox>(e.page(0), "FOR")->setCurrentIndex(static_cast<int>(r.rule));
            child<QRadioButton>(e.page(0), r.kind)->click();
            type(child<QLineEdit>(e.page(0), "VALUE"), r.value);
            QVERIFY2(!e.applyChanges(), qPrintable(r.value));
            QCOMPARE(answers.take(), QStringList({r.message}));
            QCOMPARE(lab_->iniText(), before);
        }
        type(child<QLineEdit>(e.page(0), "VALUE"), "02:00:5e:50");
        // The profile keeps these texts in Latin-1, as clients get them: a character beyond it
        // cannot be typed ("\u20AC" was stored as "?").
        for (auto [page, name] : {std::pair{4, "FILE"}, {4, "ROOTPATH"}, {1, "DNSNAME"}, {2, "SCOPE"}, {5, "VALUE"}}) {
            auto* field = child<QLineEdit>(e.page(page), name);
            const QString kept = field->text();
            field->clear();
            typeKeys(field, QString::fromUtf16(u"m\u00fcller-\u20ac1"));
            QCOMPARE(field->text(), QString::fromUtf16(u"m\u00fcller-1"));
            type(field, kept);
        }
        // An option line travels to the server as one text of at most 254 bytes, and the profile
        // holds 508 bytes of them: a longer line, or one beyond that room, is refused. The first
        // was listed and its apply refused as if for want of rights, the second written and left
        // out of the profile by the server without a word.
        e.tabs()->setCurrentIndex(5);
        auto* other = static_cast<OtherPage*>(e.page(5));
        auto* option = child<QComboBox>(other, "OPTION");
        const std::size_t had = other->lines().size();
        const struct {
            unsigned code;
            int length;
            const char* message;
        } options[] = {{114, 250, "Invalid Option length"},
                       {114, 200, nullptr},
                       {119, 200, nullptr},
                       {43, 200, "The options of a profile take at most 508 bytes: this one does not fit"}};
        for (const auto& o : options) {
            option->setCurrentIndex(option->findData(o.code));
            child<QRadioButton>(other, "STRING")->click();
            type(child<QLineEdit>(other, "VALUE"), QString(o.length, u'x'));
            other->addLine();
            QCOMPARE(answers.take(), o.message ? QStringList({o.message}) : QStringList());
        }
        QCOMPARE(other->lines().size(), had + 2);
        QVERIFY(e.applyChanges());
        ProfileEditor again(ctx, "Net_2");
        again.tabs()->setCurrentIndex(5);
        QCOMPARE(static_cast<OtherPage*>(again.page(5))->lines(), other->lines());
    }

    // Renamed; names that start with a reserved character or exist already are refused.
    QVERIFY(!list.renameRow(2, "?x"));
    QVERIFY(!list.renameRow(2, "lab"));
    {
        // Renamed in place, as an administrator does it (the Rename button called itself without
        // end); the name takes no more bytes than the server keeps (23), as in the Add dialog: a
        // longer one was cut without a word.
        list.show();
        list.list()->setCurrentItem(list.list()->topLevelItem(2));
        child<QPushButton>(&list, "RENAME")->click();
        auto* editor = list.list()->viewport()->findChild<QLineEdit*>();
        QVERIFY(editor);
        typeKeys(editor, QString(20, QChar(0xfc)));
        QCOMPARE(editor->text().toUtf8().size(), 22);
        type(editor, "Net 3");
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(list.list()->topLevelItem(2)->text(0), QString("Net_3"));  // committed when idle
    }
    keys = iniKeys(lab_->iniText());
    QCOMPARE(keys["Dorvane/Profile2"], QString("Net_3"));
    QCOMPARE(keys["Net_3/BaseIP"], QString("10.98.0.150"));
    QVERIFY(!keys.count("Net_2/BaseIP"));

    // A profile a static entry names stays; removing the second of three rewrites the list.
    ManagerPipe pipe(lab_->pipe().toStdString());
    QCOMPARE(pipe.addClient(entry("02:00:5e:50:00:09\t10.98.0.59\tNet_3"), false).value, 1);
    list.refill(2);
    QVERIFY(!list.removeSelected());
    QCOMPARE(answers.take(), QStringList({"Profile Net_3\nis assigned to MAC addresses/identifiers"}));
    QCOMPARE(pipe.removeClient(ClientList::Static, handleOf(staticEntries(pipe), "02:00:5e:50:00:09")),
             PipeStatus::Done);
    list.refill(1);
    // Another manager adds a profile while the list is open, and the server has not read its
    // list since (that manager's reload never came): the removal keeps it listed.
    QCOMPARE(pipe.writeSetting("Other", "BaseIP", "10.98.0.230").value, 1);
    QCOMPARE(pipe.writeSetting(kGeneralSection, "Profile3", "Other").value, 1);
    QVERIFY(list.removeSelected());
    keys = iniKeys(lab_->iniText());
    QCOMPARE(keys["Dorvane/Profile0"], QString("Standard"));
    QCOMPARE(keys["Dorvane/Profile1"], QString("Net_3"));
    QCOMPARE(keys["Dorvane/Profile2"], QString("Other"));
    QVERIFY(!keys.count("Dorvane/Profile3"));
    QVERIFY(!keys.count("Lab/BaseIP"));
    QCOMPARE(list.list()->topLevelItemCount(), 3);
    list.refill(2);
    QVERIFY(list.removeSelected());
    QVERIFY(!iniKeys(lab_->iniText()).count("Dorvane/Profile2"));
    QCOMPARE(list.list()->topLevelItemCount(), 2);

    // A name that looks like markup is shown as it is written.
    QVERIFY(list.renameRow(1, "Net<i>4</i>"));
    QCOMPARE(pipe.addClient(entry("02:00:5e:50:00:0a\t10.98.0.60\tNet<i>4</i>"), false).value, 1);
    list.refill(1);
    QVERIFY(!list.removeSelected());
    QCOMPARE(answers.take(), QStringList({"Profile Net<i>4</i>\nis assigned to MAC addresses/identifiers"}));

    // A profile named in Latin-1 (a configuration written on Windows) is listed, edited and
    // removed by its name as stored; the editor made a new profile of the shown name.
    QCOMPARE(pipe.writeSetting("B\xFCro", "Lease", "600").value, 1);
    QCOMPARE(pipe.writeSetting(kGeneralSection, "Profile2", "B\xFCro").value, 1);
    QVERIFY(pipe.reloadProfiles().ok());
    list.refill(2);
    QCOMPARE(list.list()->currentItem()->text(0), QString::fromUtf16(u"B\u00FCro"));
    editorScript_ = [](ProfileEditor& e) {
        QVERIFY(!e.state().isNew);
        QCOMPARE(child<QLineEdit>(e.page(0), "LEASE")->text(), QString("600"));
    };
    list.editSelected();
    QVERIFY(list.removeSelected());
    QCOMPARE(answers.take(), QStringList());
    QVERIFY(!lab_->iniText().contains(u'\uFFFD'));
    QCOMPARE(list.list()->topLevelItemCount(), 2);
    editorScript_ = nullptr;
}

// Each page of the editor, applied without a change, writes back every key of the profile as
// it stood: nothing the administrator did not touch goes or changes. One profile per rule form.
void DialogsTest::profilePagesAppliedUnchangedKeepEveryKey() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    GeneralSettings g = pipe.getSettings().value;
    g.enableRa = 0;  // a relay identifier is not shown then, but it stays
    QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
    // Each profile's keys as "key=value" joined by "|".
    const std::string longLines = "|Opt14=14 200 \"" + std::string(200, 'a') + "|Opt18=18 200 \"" +
                                  std::string(200, 'b') + "|Opt64=64 200 \"" + std::string(200, 'c');
    const std::vector<std::pair<std::string, std::string>> profiles = {
        {"Round",
         "RelayIP=10.98.0.77|CircuitID=\"rack 7|BaseIP=10.98.0.120|Range=5|Lease=7200|SubnetMask=255.255.255.0|"
         "GatewayIP=10.98.0.1|Gateway2IP=10.98.0.2|DNSName=example.test|DNS1IP=10.98.0.53|DNS2IP=10.98.0.54|"
         "DNSSend=1|DNSbase=pc|DNSUpdate=0|WINS1IP=10.98.0.60|ScopeID=scope|NodeType=4|Offset=-3600|"
         "TIME1IP=10.98.0.61|NTP1IP=10.98.0.62|NextIP=10.98.0.1|BootName=bootsrv|BootFile=pxelinux.0|"
         "BootSize=100|UseOpt=1|Alternate=1|VendorClassId=PXEClient:Arch:00007|BootFile2=efi/grub.efi|"
         "BootSize2=200|RootPath=/srv/root/%A|Opt26=26 2 5 220|Opt40=40 8 \"lab.test|Opt43=43 3 1 2 3|"
         "Opt69=69 4 10.98.0.25|Substitution=1"},
        {"Round2", "RelayIP=10.98.0.78|RemoteID=0a0b0c|Lease=-1|DNSName=b\xfcro.test"},
        // A line for a code the server sets itself is left out of the profile, and left alone.
        {"Round3", "VendorClass=505845|BootFile=b\xe4r.0|Opt62=62 4 \"srv\xe9|Opt66=66 3 \"srv"},
        // The third long line finds no room in the profile: the server leaves it out, the page
        // leaves it alone.
        {"Round4", "UserClass=\"lab \xe9t\xe9|Lease=0" + longLines},
        {"Round5", "MacClass=02:00:5e|BaseIP=10.98.0.130|Range=1"},
    };
    int count = pipe.getStatus(-1).value.profileCount;
    for (const auto& [name, keys] : profiles) {
        std::size_t at = 0;
        while (at < keys.size()) {
            const std::size_t end = std::min(keys.find('|', at), keys.size()), eq = keys.find('=', at);
            QCOMPARE(pipe.writeSetting(name, keys.substr(at, eq - at), keys.substr(eq + 1, end - eq - 1)).value, 1);
            at = end + 1;
        }
        QCOMPARE(pipe.writeSetting(kGeneralSection, "Profile" + std::to_string(count++), name).value, 1);
    }
    QCOMPARE(pipe.reloadProfiles().value, count);

    DialogContext ctx = context();
    MessageAnswerer answers;
    const char* const pages[] = {"Basic", "DNS", "NetBios", "Time", "Boot", "Other"};
    for (const auto& [name, keys] : profiles) {
        for (int page = 0; page < 6; ++page) {
            ProfileEditor editor(ctx, name);
            QVERIFY(!editor.state().isNew);
            editor.show();
            editor.tabs()->setCurrentIndex(page);
            editor.page(page)->markChanged();
            const auto changes = applyAndCompare(editor);
            for (const auto& [k, v] : changes) qWarning("%s page: %s=%s", pages[page], qPrintable(k), qPrintable(v));
            QVERIFY2(changes.empty(), (name + ", " + pages[page] + " page").c_str());
        }
    }
    QVERIFY(answers.take().isEmpty());

    // Opened while the server was away, the editor knows nothing of the profile: once the server
    // is back, applying its pages changes nothing, rather than clear the keys it did not show and
    // list the profile a second time as a new one.
    lab_->stop();
    {
        ProfileEditor editor(ctx, "Round2");
        QVERIFY(lab_->start());
        const QString before = lab_->iniText();
        editor.show();
        editor.tabs()->setCurrentIndex(1);
        type(child<QLineEdit>(editor.page(1), "DNS1"), "10.98.0.53");
        QVERIFY(!editor.applyChanges());
        QCOMPARE(answers.take(), QStringList({"Service not active"}));
        QCOMPARE(lab_->iniText(), before);
    }
    // "infinite" unchecked gives the lease an end again: the one typed before, or the default.
    {
        ProfileEditor editor(ctx, "Round2");
        editor.show();
        auto* infinite = child<QCheckBox>(editor.page(0), "INFINITE");
        auto* lease = child<QLineEdit>(editor.page(0), "LEASE");
        QVERIFY(infinite->isChecked());
        infinite->click();
        QCOMPARE(lease->text(), QString("36000"));
        type(lease, "7200");
        infinite->click();
        infinite->click();
        QCOMPARE(lease->text(), QString("7200"));
        QVERIFY(editor.applyChanges());
        QCOMPARE(iniKeys(lab_->iniText())["Round2/Lease"], QString("7200"));
    }
    QVERIFY(answers.take().isEmpty());
}

// A change the server takes only in part is reported, and done again it is finished once: a
// stand-in server goes away between the reload of the profiles and the purge of the leases
// outside the new pool, then comes back; later it does not store the rewritten profile list, and
// it refuses or goes away at the Nth key of a profile or of the list.
void DialogsTest::profileChangesTakenInPartAreReported() {
    const GeneralSettings general{.profiles = 1};
    ServerStatus status;
    std::vector<std::string> names = {"Standard", "Lab", "Lab2"};
    // The "Profile%u" keys of its configuration file; a reload counts them up to the first gap.
    std::map<std::size_t, std::string> listKeys = {{0, "Standard"}, {1, "Lab"}, {2, "Lab2"}};
    std::atomic<bool> purgeAnswered = false, listStored = true, reloadAnswered = true;  // read on the peer's thread
    std::atomic<bool> serverGone = false, wentAway = false;  // gone once it deleted a profile's section
    std::atomic<int> writesLeft = -1;                        // the write it refuses or goes away at
    std::atomic<bool> goneAtWrite = false;
    auto value = [](std::int32_t v) { return *PipeMessage::make(kPipeDone, v); };
    auto block = [](const auto& bytes) {
        return *PipeMessage::make(kPipeDone, static_cast<std::int32_t>(bytes.size()), bytes);
    };
    auto profile = [](std::int32_t use, const std::string& name) {
        Profile p;
        p.name = name;
        if (name == "Lab") {
            p.baseIp = makeIpv4(10, 98, 2, 1);
            p.range = 50;
        }
        return *PipeMessage::make(kPipeDone, use, encodeProfileRecord(p));
    };
    FakePipePeer peer([&](const PipeMessage& request) -> std::optional<PipeMessage> {
        if (wentAway) return std::nullopt;
        status.profileCount = static_cast<std::int32_t>(names.size());
        switch (static_cast<PipeCode>(request.word())) {
            case PipeCode::GetSettings:
                return block(encodeGeneralSettings(general));
            case PipeCode::GetStatus:
                return block(encodeServerStatus(status));
            case PipeCode::GetProfile: {
                const auto at = static_cast<std::size_t>(request.value());
                if (request.value() >= 0) return at < names.size() ? profile(1, names[at]) : PipeMessage::statusOnly(1);
                const std::string name = decodeProfileName(request.view()).value_or("");
                return profile(std::count(names.begin(), names.end(), name) > 0 ? 1 : 0, name);
            }
            case PipeCode::WriteSetting: {
                if (writesLeft >= 0 && writesLeft-- == 0) return goneAtWrite ? std::nullopt : std::optional(value(0));
                const WriteSettingRequest w = *decodeWriteSetting(request.view());
                if (w.section != kGeneralSection) return value(1);
                if (!listStored) return value(0);
                const std::string key = w.key.value_or("");
                if (key.starts_with("Profile")) {
                    const std::size_t at = std::stoul(key.substr(7));
                    if (w.text)
                        listKeys[at] = *w.text;
                    else
                        listKeys.erase(at);
                }
                return value(1);
            }
            case PipeCode::ReloadProfiles: {
                if (!reloadAnswered) return std::nullopt;  // gone
                std::size_t loaded = 0;
                while (listKeys.count(loaded)) ++loaded;
                return value(static_cast<std::int32_t>(loaded));
            }
            case PipeCode::RenameProfile:
                if (serverGone && decodeRenameProfile(request.view())->newName.empty()) wentAway = true;
                return value(static_cast<std::int32_t>(names.size()));
            case PipeCode::PurgeDynamic:
                if (!purgeAnswered) return std::nullopt;  // gone
                return value(10);
            default:
                return std::nullopt;
        }
    });
    QVERIFY(peer.listening());
    auto profileListWrites = [&peer] {
        QStringList keys;
        for (const PipeMessage& m : peer.requests(PipeCode::WriteSetting)) {
            const auto w = decodeWriteSetting(m.view());
            if (w && w->section == kGeneralSection)
                keys << QString::fromStdString(w->key.value_or("") + "=" + w->text.value_or("<deleted>"));
        }
        return keys;
    };
    MessageAnswerer answers;
    // The worker goes before the peer, which ends once its client has closed the connection.
    PipeWorker worker(peer.name(), std::chrono::milliseconds(2000));
    DialogContext ctx{.worker = worker,
                      .language = *language_,
                      .preferences = *preferences_,
                      .rights = ManagerRights{true, true},
                      .programDirectory = home_.path().toStdString() + "/"};
    {
        ProfileEditor editor(ctx, "Net_5");
        editor.show();
        QWidget* basic = editor.page(0);
        child<QComboBox>(basic, "FOR")->setCurrentIndex(static_cast<int>(RuleChoice::MacRange));
        type(child<QLineEdit>(basic, "VALUE"), "02:00:5e:51");
        type(child<QLineEdit>(basic, "FROM"), "10.98.1.10");
        type(child<QLineEdit>(basic, "UNTIL"), "10.98.1.19");
        QVERIFY(!editor.applyChanges());
        QCOMPARE(answers.take(), QStringList({ctx.language.text("ERROR_PIPE").trimmed()}));
        QCOMPARE(peer.requests(PipeCode::PurgeDynamic).size(), 1u);
        // The server had listed and reloaded the profile before it went away.
        names.push_back("Net_5");
        purgeAnswered = true;
        QVERIFY(editor.applyChanges());
        QCOMPARE(answers.take(), QStringList());
        QCOMPARE(peer.requests(PipeCode::PurgeDynamic).size(), 2u);
        QCOMPARE(profileListWrites(), QStringList({"Profile3=Net_5"}));
    }
    // A profile listed after the server last read its list (another manager, or a change whose
    // reload never came) is not listed over: the next new profile takes the next free number.
    listKeys[4] = "Net_7";
    {
        ProfileEditor editor(ctx, "Net_8");
        editor.show();
        child<QComboBox>(editor.page(0), "FOR")->setCurrentIndex(static_cast<int>(RuleChoice::MacRange));
        type(child<QLineEdit>(editor.page(0), "VALUE"), "02:00:5e:53");
        QVERIFY(editor.applyChanges());
        QCOMPARE(answers.take(), QStringList());
        QCOMPARE(profileListWrites().mid(1), QStringList({"Profile5=Net_8"}));
        QCOMPARE(listKeys[4], std::string("Net_7"));
    }
    // A rule changed on a profile the server stops storing at the Nth key: the new rule's key
    // comes before the old ones are deleted (the profile never stands without a rule), a pool
    // made smaller gets its size before its start (it never reaches beyond the old one), no
    // reload follows, and the message names the keys stored and those not stored; a new profile
    // is not listed before all its keys are stored.
    auto sectionWrites = [&peer](std::size_t from) {
        QStringList keys;
        const std::vector<PipeMessage> writes = peer.requests(PipeCode::WriteSetting);
        for (std::size_t i = from; i < writes.size(); ++i)
            keys << QString::fromStdString(decodeWriteSetting(writes[i].view())->key.value_or(""));
        return keys;
    };
    std::map<std::string, QStringList> allKeys;
    struct Stop {
        const char* profile;
        int at;  // -1: every write stored
        bool gone;
    };
    for (const Stop stop : {Stop{"Lab", -1, false}, Stop{"Lab", 0, false}, Stop{"Lab", 1, true}, Stop{"Lab", 9, false},
                            Stop{"Net_6", -1, false}, Stop{"Net_6", 1, true}}) {
        ProfileEditor editor(ctx, stop.profile);
        editor.show();
        QWidget* basic = editor.page(0);
        child<QComboBox>(basic, "FOR")->setCurrentIndex(static_cast<int>(RuleChoice::MacRange));
        type(child<QLineEdit>(basic, "VALUE"), "02:00:5e:52");
        type(child<QLineEdit>(basic, "FROM"), "10.98.2.1");
        type(child<QLineEdit>(basic, "UNTIL"), "10.98.2.10");
        const std::size_t from = peer.requests(PipeCode::WriteSetting).size();
        const std::size_t reloads = peer.requests(PipeCode::ReloadProfiles).size();
        writesLeft = stop.at;
        goneAtWrite = stop.gone;
        QCOMPARE(editor.applyChanges(), stop.at < 0);
        writesLeft = -1;
        const QStringList sent = sectionWrites(from);
        const bool isNew = std::string(stop.profile) == "Net_6";
        if (stop.at < 0) {
            allKeys[stop.profile] = isNew ? sent.mid(0, sent.size() - 1) : sent;  // without "Profile%u"
            QCOMPARE(sent.mid(0, 2), QStringList({"MacClass", "CidClass"}));
            QCOMPARE(sent.indexOf("Range") < sent.indexOf("BaseIP"), !isNew);
            QCOMPARE(answers.take(), QStringList());
            continue;
        }
        QCOMPARE(sent.size(), stop.at + 1);
        QCOMPARE(peer.requests(PipeCode::ReloadProfiles).size(), reloads);
        QString expected = changeFailedText(ctx.language, stop.gone ? PipeStatus::Failed : PipeStatus::Refused);
        const QStringList& keys = allKeys[stop.profile];
        const QStringList missing = keys.mid(stop.at) + (isNew ? QStringList{"Profile%u"} : QStringList{});
        if (stop.at > 0)
            expected += u'\n' + fillArguments(ctx.language.text("PART_STORED"),
                                              {stop.profile, keys.mid(0, stop.at).join(", "), missing.join(", ")});
        QCOMPARE(answers.take(), QStringList({expected}));
    }
    // Remove: a write of the list the server did not store fails the removal; the normal
    // removal deletes the key past the list's end, which the server takes.
    ProfileListDialog list(ctx);
    QCOMPARE(list.list()->topLevelItemCount(), 4);
    const qsizetype written = profileListWrites().size();
    list.refill(1);
    listStored = false;
    QVERIFY(!list.removeSelected());
    QCOMPARE(answers.take(), QStringList({ctx.language.text("REFUSED")}));
    listStored = true;
    list.refill(1);
    QVERIFY(list.removeSelected());
    QCOMPARE(answers.take(), QStringList());
    QCOMPARE(profileListWrites().mid(written), QStringList({"Profile0=Standard", "Profile0=Standard", "Profile1=Lab2",
                                                            "Profile2=Net_5", "Profile3=<deleted>"}));
    // A removal of the last row the server refused, one it went away during, and one it was gone
    // for from the start: the rows are still the server's, and the profile chosen stays chosen
    // (not the one before it, which a second press of Remove would take away).
    auto rowsShown = [&list] {
        QStringList rows;
        for (int i = 0; i < list.list()->topLevelItemCount(); ++i) rows << list.list()->topLevelItem(i)->text(0);
        return rows;
    };
    const QStringList held = rowsShown();
    for (int gone : {0, 1, 2}) {
        list.refill(-1);
        // The server goes away once the list no longer names the profile, at its section.
        listStored = gone == 1;
        serverGone = gone == 1;
        wentAway = gone == 2;
        QVERIFY(!list.removeSelected());
        serverGone = wentAway = false;
        listStored = true;
        QCOMPARE(answers.take(), QStringList({ctx.language.text(gone ? "ERROR_PIPE" : "REFUSED").trimmed()}));
        QCOMPARE(rowsShown(), held);
        QCOMPARE(list.list()->currentItem()->text(0), held.back());
    }
    // A list the server stops storing after the removed profile's key: its section stays, so the
    // list never names a profile that is gone, and the administrator learns of the list.
    list.refill(1);
    writesLeft = 2;
    goneAtWrite = false;
    const std::size_t renames = peer.requests(PipeCode::RenameProfile).size();
    QVERIFY(!list.removeSelected());
    writesLeft = -1;
    QCOMPARE(peer.requests(PipeCode::RenameProfile).size(), renames);
    QCOMPARE(answers.take(), QStringList({ctx.language.text("REFUSED") + u'\n' + ctx.language.text("LIST_PART")}));
    // A rename the server went away after: the row keeps the name the server stored, and the
    // administrator learns that the server did not take its profiles anew.
    reloadAnswered = false;
    QVERIFY(!list.renameRow(1, "Lab3"));
    QCOMPARE(answers.take(), QStringList({ctx.language.text("ERROR_PIPE").trimmed()}));
    QCOMPARE(list.list()->topLevelItem(1)->text(0), QString("Lab3"));
    reloadAnswered = true;
}

// A server that refuses or stops answering half-way through a change or a read: what the
// manager then shows is what the server holds, and the administrator is told.
void DialogsTest::changesTheServerDidNotFinishAreShown() {
    ClientRecordImage ignored;
    ignored.handle = 41;
    ignored.fields.identity = *parseIdentity("02:00:5e:90:00:01");
    // 0 refused, 1 gone, 2 (removal) answered without the list's number; read on the peer's thread
    std::atomic<int> removal = 0, staticGone = 0;
    std::atomic<bool> profileGone = false;
    std::atomic<int> linesBeforeGone = 2;
    std::atomic<bool> readRefused = false;
    std::atomic<int> filesFound = 0;  // the log files the search finds before it is refused
    ServerStatus interfaces;          // the server's interface table, as SetInterfaces left it
    std::atomic<bool> hung = false;   // the server answers GetSettings, then nothing more
    interfaces.interfaceCount = 3;
    interfaces.interfaces[0] = {.address = makeIpv4(10, 98, 0, 1), .flags = kIfPresent | kIfServed};
    interfaces.interfaces[1] = {.address = makeIpv4(10, 98, 1, 1), .flags = kIfPresent | kIfServed};
    interfaces.interfaces[2] = {.address = makeIpv4(10, 98, 2, 1), .flags = kIfPresent};
    auto block = [](const auto& bytes) {
        return *PipeMessage::make(kPipeDone, static_cast<std::int32_t>(bytes.size()), bytes);
    };
    FakePipePeer peer([&](const PipeMessage& request) -> std::optional<PipeMessage> {
        if (hung && request.word() != toWire(PipeCode::GetSettings)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // beyond the manager's time-out
            return std::nullopt;
        }
        switch (static_cast<PipeCode>(request.word())) {
            case PipeCode::GetSettings:
                return block(encodeGeneralSettings(GeneralSettings{.enableMac = 1}));
            case PipeCode::GetStatus:
                return block(encodeServerStatus(interfaces));
            case PipeCode::GetTftpSettings:
                return block(encodeTftpSettings(TftpSettings{}));
            case PipeCode::GetMulticast:
                return block(encodeMulticastSettings(MulticastSettings{}));
            case PipeCode::SetSettings:
                return PipeMessage::statusOnly(kPipeDone);
            case PipeCode::SetInterfaces:
                interfaces = *decodeServerStatus(request.payload());
                return PipeMessage::statusOnly(kPipeDone);
            case PipeCode::GetProfile: {
                Profile p;
                p.name = "Standard";
                if (request.value() < 0 && profileGone) return std::nullopt;
                if (request.value() > 0) return PipeMessage::statusOnly(1);
                return *PipeMessage::make(kPipeDone, 1, encodeProfileRecord(p));
            }
            case PipeCode::ListIgnored:
                return *PipeMessage::make(kPipeDone, 1, encodeClientRecord(ignored));
            case PipeCode::ListStatic:
                if (staticGone) return std::nullopt;
                return PipeMessage::statusOnly(1);
            case PipeCode::AddClient:
                return *PipeMessage::make(kPipeDone, 1);
            case PipeCode::RemoveClient:
                if (removal == 1) return std::nullopt;
                if (removal == 2) return *PipeMessage::make(kPipeDone, 0);
                return PipeMessage::statusOnly(1);
            case PipeCode::FileFindFirst:
            case PipeCode::FileFindNext:
                if (filesFound-- <= 0) return PipeMessage::statusOnly(1);
                return encodeSearchReply(1, 9,
                                         FileSearchEntry{.name = "dhcp010" + std::to_string(filesFound) + ".log"});
            case PipeCode::FileOpen:
                return encodeHandleReply(5);
            case PipeCode::FileReadLine:
                if (linesBeforeGone-- <= 0)
                    return readRefused ? std::optional<PipeMessage>(PipeMessage::statusOnly(2)) : std::nullopt;
                return encodeLineReply("2001-01-01 10:00:00 DHCP  Request 02:00:5e:90:00:01 ACK 10.98.0.9 600\n");
            default:
                return std::nullopt;
        }
    });
    QVERIFY(peer.listening());
    MessageAnswerer answers;
    PipeWorker worker(peer.name(), std::chrono::milliseconds(2000));
    int listsMarked = 0;
    DialogContext ctx{.worker = worker,
                      .language = *language_,
                      .preferences = *preferences_,
                      .rights = ManagerRights{true, true},
                      .programDirectory = home_.path().toStdString() + "/"};
    ctx.markListsChanged = [&listsMarked] { ++listsMarked; };
    // Two rows moved to static with Apply, the ignored entries not removed (refused, the server
    // gone, a removal that did not happen): the static entries stand, the ignored rows and their
    // counter stay, the lists are read again, and Apply goes on to the second row and then
    // closes, not back to the first.
    for (int gone : {0, 1, 2}) {
        removal = gone;
        std::vector<std::uint64_t> selected = {ignored.handle, ignored.handle + 1};
        const std::vector<std::uint64_t> both = selected;
        const int marked = listsMarked;
        StaticEntryDialog move(ctx, StaticMode::Move,
                               EntryListHooks{.selected = [&selected] { return selected; },
                                              .rowRemoved = [&selected](std::uint64_t h) { std::erase(selected, h); }});
        move.show();
        for (std::uint64_t row : both) {
            QCOMPARE(move.currentHandle(), row);
            move.applyButton()->click();
            QCOMPARE(answers.take(), QStringList({ctx.language.text("MOVE_KEPT")}));
        }
        QCOMPARE(selected, both);
        QCOMPARE(listsMarked, marked + 2);
        QVERIFY(!move.isVisible());
    }
    // Modify on a row the server no longer has (restarted since the list was read), then with
    // the server gone: no empty form that names no entry, but the reason, and the dialog closes.
    for (int gone : {0, 1}) {
        staticGone = gone;
        const int marked = listsMarked;
        StaticEntryDialog modify(ctx, StaticMode::Modify,
                                 EntryListHooks{.selected = [] { return std::vector<std::uint64_t>{7}; }});
        QVERIFY(!modify.okButton()->isEnabled() && !modify.applyButton()->isEnabled());
        QTRY_COMPARE(answers.seen.size(), qsizetype(1));
        QCOMPARE(answers.take(),
                 QStringList({gone ? ctx.language.text("ERROR_PIPE").trimmed() : ctx.language.text("ENTRY_GONE")}));
        QCOMPARE(listsMarked, marked + (gone ? 0 : 1));
        QCOMPARE(modify.result(), int(QDialog::Rejected));
    }
    // Add with the server gone when the profile is asked for: told in the dialog, nothing added.
    {
        profileGone = true;
        StaticEntryDialog add(ctx, StaticMode::Add, EntryListHooks{});
        child<QLineEdit>(&add, "ID")->setText("02:00:5e:90:00:02");
        add.okButton()->click();
        QCOMPARE(answers.take(), QStringList({ctx.language.text("ERROR_PIPE").trimmed()}));
        QCOMPARE(peer.requests(PipeCode::AddClient).size(), std::size_t{6});  // the moves
        profileGone = false;
    }
    // A log file read when the server stops answering, or refuses a read, shows its first lines
    // and says why it is cut; only the server gone shows in the main window.
    int pipeFailures = 0;
    ctx.notePipe = [&pipeFailures](PipeStatus s) { pipeFailures += s == PipeStatus::Failed; };
    for (const char* key : {"LOG_CUT", "LOG_REFUSED"}) {
        readRefused = key == std::string_view("LOG_REFUSED");
        linesBeforeGone = 2;
        pipeFailures = 0;
        LogViewer viewer(ctx);
        QSignalSpy loaded(&viewer, &LogViewer::fileLoaded);
        QVERIFY(loaded.count() > 0 || loaded.wait(5000));
        QCOMPARE(viewer.model()->rowCount(), 2);
        QCOMPARE(viewer.findChild<QStatusBar*>()->currentMessage(),
                 fillArguments(ctx.language.text(key), {QStringLiteral("2")}));
        QCOMPARE(pipeFailures, readRefused ? 0 : 1);
    }
    // The file search refused after two files: the two are listed, and the list is said to be cut.
    filesFound = 2;
    LogViewer viewer(ctx);
    QCOMPARE(viewer.files()->count(), 2);
    const QStringList notes = [&viewer] {
        QStringList texts;
        for (const QLabel* label : viewer.findChild<QStatusBar*>()->findChildren<QLabel*>()) texts << label->text();
        return texts;
    }();
    QVERIFY2(notes.contains(ctx.language.text("LOG_FILES_CUT")), qPrintable(notes.join('|')));
    // Another manager serves the third interface while this one's sheet is open: this one's
    // change to the first leaves the third served.
    {
        PreferencesDialog sheet(ctx);
        sheet.show();
        sheet.tabs()->setCurrentIndex(1);
        interfaces.interfaces[2].flags = kIfPresent | kIfServed;
        static_cast<InterfacesPage*>(sheet.page(1))->cycleRow(0);
        QVERIFY(sheet.applyChanges());
        QCOMPARE(interfaces.interfaces[0].flags, kIfPresent);
        QCOMPARE(interfaces.interfaces[1].flags, kIfPresent | kIfServed);
        QCOMPARE(interfaces.interfaces[2].flags, kIfPresent | kIfServed);
    }
    // A sheet opened on the second and third served; another manager turns the third off, and
    // this one the second: nothing is sent, the administrator is told, and the page shows the
    // server's table with no row selected, from which a new choice is sent.
    {
        PreferencesDialog sheet(ctx);
        sheet.show();
        sheet.tabs()->setCurrentIndex(1);
        auto* page = static_cast<InterfacesPage*>(sheet.page(1));
        interfaces.interfaces[2].flags = kIfPresent;
        page->cycleRow(1);
        const std::size_t sent = peer.requests(PipeCode::SetInterfaces).size();
        QVERIFY(!sheet.applyChanges());
        QCOMPARE(answers.take(), QStringList({ctx.language.text("NO_INTERFACE_LEFT")}));
        QCOMPARE(peer.requests(PipeCode::SetInterfaces).size(), sent);
        QCOMPARE(interfaces.interfaces[1].flags, kIfPresent | kIfServed);
        QCOMPARE(sheet.tabs()->currentIndex(), 1);
        QCOMPARE(page->list()->count(), 3);
        for (int r = 0; r < 3; ++r)
            QCOMPARE(page->list()->item(r)->data(Qt::AccessibleDescriptionRole).toString(),
                     ctx.language.text("IFACE_OFF"));
        page->cycleRow(0);
        QVERIFY(sheet.applyChanges());
        QCOMPARE(interfaces.interfaces[0].flags, kIfPresent | kIfServed);
        QCOMPARE(interfaces.interfaces[1].flags, kIfPresent);
        QCOMPARE(interfaces.interfaces[2].flags, kIfPresent);
    }
    // A server that stops answering while the sheet reads its blocks holds the sheet for one
    // time-out, not one for each block still to read; the pages it could not read are disabled.
    {
        hung = true;
        QElapsedTimer opening;
        opening.start();
        PreferencesDialog sheet(ctx);
        QVERIFY2(opening.elapsed() < 3500, qPrintable(QString::number(opening.elapsed())));
        QVERIFY(!sheet.blocks().status && !sheet.blocks().tftp);
        hung = false;
    }
}

// Entries added, refused with the dialog's texts, modified, copied from the dynamic list and
// moved from the ignored list, three in a row.
void DialogsTest::staticEntriesAreStoredOrRefused() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    GeneralSettings g = pipe.getSettings().value;
    g.enableId = 1;
    g.enableRa = 1;
    QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
    DialogContext ctx = context();
    MessageAnswerer answers;
    struct Case {
        const char* choice;
        bool circuit, remote;
        const char* id;
        const char* address;
        const char* profile;
        bool redundant;
        QMessageBox::StandardButton answer;
        QStringList messages;
        const char* stored;            // the stored entry's text, or nothing
        bool editorCancelled = false;  // the profile editor the question opens is cancelled
    };
    const std::vector<Case> cases = {
        {"MAC",
         true,
         false,
         "02:00:5e:60:00:01",
         "10.98.0.61",
         "",
         false,
         QMessageBox::Ok,
         {},
         "02:00:5e:60:00:01 10.98.0.61"},
        {"IDENTIFIER",
         true,
         false,
         "02:00:5e:60:00:02",
         "",
         "",
         false,
         QMessageBox::Ok,
         {"Identifier has invalid format"},
         nullptr},
        {"MAC",
         true,
         false,
         "0102abcd",
         "",
         "",
         false,
         QMessageBox::Ok,
         {"MAC address has invalid format,\nplease use xx:xx:xx:xx:xx:xx"},
         nullptr},
        {"MAC",
         true,
         false,
         "02:00:5e:60:00:03",
         "10.98.0.256",
         "",
         false,
         QMessageBox::Ok,
         {"Invalid IP address"},
         nullptr},
        {"MAC",
         true,
         false,
         "02:00:5e:60:00:04",
         "10.98.0.61",
         "",
         false,
         QMessageBox::Ok,
         {"IP address or MAC address/identifier already exists"},
         nullptr},
        {"MAC",
         true,
         false,
         "02:00:5e:60:00:04",
         "10.98.0.61",
         "",
         true,
         QMessageBox::Ok,
         {},
         "02:00:5e:60:00:04 10.98.0.61"},
        {"MAC", true, false, "02-00-5e-60-00-05", "", "", false, QMessageBox::Ok, {}, "02:00:5e:60:00:05 0.0.0.0"},
        {"MAC",
         true,
         false,
         "02:00:5e:60:00:06",
         "10.98.0.66",
         "No Such",
         false,
         QMessageBox::Cancel,
         {"Create new profile named\nNo_Such?"},
         nullptr},
        {"MAC",
         true,
         false,
         "02:00:5e:60:00:06",
         "10.98.0.66",
         "Not Made",
         false,
         QMessageBox::Ok,
         {"Create new profile named\nNot_Made?"},
         nullptr,
         true},
        {"IDENTIFIER",
         true,
         false,
         "\"host-a",
         "10.98.0.67",
         "Standard",
         false,
         QMessageBox::Ok,
         {},
         "686f73742d61 10.98.0.67"},
        {"IDENTIFIER",
         true,
         false,
         "C0102",
         "",
         "",
         false,
         QMessageBox::Ok,
         {"Identifier has invalid format"},
         nullptr},
        {"RA", true, false, "0a0b", "10.98.0.68", "", false, QMessageBox::Ok, {}, "C0a0b 10.98.0.68"},
        {"RA", true, true, "0a0c", "10.98.0.69", "", false, QMessageBox::Ok, {}, "+0a0c 10.98.0.69"},
    };
    int added = 0;
    StaticEntryDialog add(ctx, StaticMode::Add, EntryListHooks{.entryAdded = [&added] { ++added; }});
    add.show();
    int stored = 0;
    for (const Case& c : cases) {
        child<QRadioButton>(&add, c.choice)->click();
        setCheck(&add, "CIRCUIT", c.circuit);
        setCheck(&add, "REMOTE", c.remote);
        child<QLineEdit>(&add, "ID")->setText(c.id);
        child<QLineEdit>(&add, "IPADDR")->setText(c.address);
        child<QComboBox>(&add, "PROFILE")->setCurrentText(c.profile);
        setCheck(&add, "BACKUP", c.redundant);
        answers.answers = {c.answer};
        editorCancelled_ = c.editorCancelled;
        const auto before = staticEntries(pipe);
        add.applyButton()->click();
        editorCancelled_ = false;
        QVERIFY2(answers.take() == c.messages, c.id);
        const auto after = staticEntries(pipe);
        QCOMPARE(after.size(), before.size() + (c.stored ? 1 : 0));
        if (QString(c.profile).contains(u' '))
            QCOMPARE(child<QComboBox>(&add, "PROFILE")->currentText(), QString(c.profile).replace(u' ', u'_'));
        if (c.stored) {
            ++stored;
            QVERIFY2(handleOf(after, c.stored) != 0, c.stored);
            QCOMPARE(child<QLineEdit>(&add, "ID")->text(), QString());  // cleared for the next entry
        } else {
            QCOMPARE(child<QLineEdit>(&add, "ID")->text(), QString(c.id));  // kept as typed
        }
    }
    QCOMPARE(added, stored);

    // Modify: the entry's fields come from the server; the row is rewritten.
    const std::uint64_t first = handleOf(staticEntries(pipe), "02:00:5e:60:00:01");
    ClientFields rewritten;
    EntryListHooks modifyHooks{.selected = [first] { return std::vector<std::uint64_t>{first}; },
                               .rowChanged = [&rewritten](std::uint64_t, const ClientFields& f) { rewritten = f; }};
    StaticEntryDialog modify(ctx, StaticMode::Modify, modifyHooks);
    QCOMPARE(child<QLineEdit>(&modify, "IPADDR")->text(), QString("10.98.0.61"));
    child<QLineEdit>(&modify, "IPADDR")->setText("10.98.0.62");
    child<QLineEdit>(&modify, "HOSTNAME")->setText("pc-62");
    child<QLineEdit>(&modify, "REMARK")->setText("desk");
    modify.okButton()->click();
    QCOMPARE(modify.result(), int(QDialog::Accepted));
    QCOMPARE(staticEntries(pipe)[first], QString("02:00:5e:60:00:01 10.98.0.62 Standard pc-62 desk"));
    QCOMPARE(rewritten.hostName, std::string("pc-62"));

    if (lab_->network()) {
        // Copy: a leased client becomes static with its address; its lease stays. With client
        // identifiers accepted, udhcpc is known by its option 61 (01 and its MAC address).
        QVERIFY(lab_->lease("02:00:5e:70:00:01"));
        const auto dynamics = staticEntries(pipe, ClientList::Dynamic);
        const std::uint64_t leased = handleOf(dynamics, "0102005e700001");
        QVERIFY(leased != 0);
        StaticEntryDialog copy(ctx, StaticMode::Copy,
                               EntryListHooks{.selected = [leased] { return std::vector<std::uint64_t>{leased}; }});
        QVERIFY(!child<QLineEdit>(&copy, "ID")->isEnabled());
        QVERIFY(child<QRadioButton>(&copy, "IDENTIFIER")->isChecked());
        QVERIFY(!child<QRadioButton>(&copy, "MAC")->isEnabled());
        const QString address = child<QLineEdit>(&copy, "IPADDR")->text();
        QVERIFY(address.startsWith("10.98.0."));
        copy.okButton()->click();
        // The manager only adds; the server reserves the address for the new static entry.
        QVERIFY(handleOf(staticEntries(pipe), "0102005e700001 " + address) != 0);

        // Move: three ignored clients, Apply three times.
        g = pipe.getSettings().value;
        g.regOnly = 1;
        QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
        for (const char* mac : {"02:00:5e:80:00:01", "02:00:5e:80:00:02", "02:00:5e:80:00:03"})
            lab_->askUnanswered(mac);
        g.regOnly = 0;
        QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
        std::vector<std::uint64_t> selected;
        for (const auto& [handle, text] : staticEntries(pipe, ClientList::Ignored)) {
            if (text.startsWith("0102005e8000")) selected.push_back(handle);
        }
        QCOMPARE(selected.size(), std::size_t{3});
        EntryListHooks moveHooks{.selected = [&selected] { return selected; },
                                 .rowRemoved = [&selected](std::uint64_t h) { std::erase(selected, h); }};
        StaticEntryDialog move(ctx, StaticMode::Move, moveHooks);
        move.show();
        for (int i = 0; i < 3; ++i) {
            QCOMPARE(child<QLineEdit>(&move, "IPADDR")->text(), QString());
            move.applyButton()->click();
        }
        QVERIFY(selected.empty());
        QVERIFY(!move.isVisible());
        const auto statics = staticEntries(pipe);
        for (const char* id : {"0102005e800001 0.0.0.0", "0102005e800002 0.0.0.0", "0102005e800003 0.0.0.0"})
            QVERIFY2(handleOf(statics, id) != 0, id);
        QCOMPARE(handleOf(staticEntries(pipe, ClientList::Ignored), "0102005e8000"), std::uint64_t{0});

        // A Move open while the server restarted: the ignored entry (kept over the restart under
        // a new handle) leaves the ignored list as the static entry is made.
        g.regOnly = 1;
        QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
        lab_->askUnanswered("02:00:5e:80:00:04");
        g.regOnly = 0;
        QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
        selected = {handleOf(staticEntries(pipe, ClientList::Ignored), "0102005e800004")};
        QVERIFY(selected.front() != 0);
        StaticEntryDialog late(ctx, StaticMode::Move, moveHooks);
        lab_->stop();
        QVERIFY(lab_->start());
        pipe.getStatus(-1);  // the connections to the server that went away fail once
        ctx.worker.call([](ManagerPipe& p) { return p.getStatus(-1).status; });
        QVERIFY(handleOf(staticEntries(pipe, ClientList::Ignored), "0102005e800004") != 0);
        late.okButton()->click();
        QCOMPARE(answers.take(), QStringList());
        QVERIFY(handleOf(staticEntries(pipe), "0102005e800004 0.0.0.0") != 0);
        QCOMPARE(handleOf(staticEntries(pipe, ClientList::Ignored), "0102005e800004"), std::uint64_t{0});
    }
    QVERIFY(answers.take().isEmpty());
}

// Modify with OK and nothing changed stores the entry as it was, whatever its identifier looks
// like in the form shown; texts typed longer than their field fit it whole characters.
void DialogsTest::modifiedEntriesKeepWhatWasNotTouched() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    DialogContext ctx = context();
    MessageAnswerer answers;
    struct Case {
        const char* identity;  // text form
        const char* address;
        const char* profile;
        bool textForm;  // "Show Identifier as text string"
        const char* host;
        const char* remark;
    };
    const std::vector<Case> cases = {
        {"\"PC #1", "10.98.0.91", "Standard", true, "", "desk #2"},
        {"\"PC #1b", "10.98.0.92", "Standard", false, "pc-92", ""},
        {"C\"rack 7 #3", "10.98.0.93", "Standard", true, "",
         "r\xc3\xa4"
         "ck"},
        {"02:00:5e:90:00:04", "10.98.0.94", "Standard", true, "dr\xc3\xa4ger-pc",
         "\xc3\x84\xc3\x96\xc3\x9c \xc3\xa4\xc3\xb6\xc3\xbc"},
        // Hardware addresses of other lengths than six bytes.
        {"0a:00:5e:96", "10.98.0.96", "Standard", false, "", ""},
        {"0a:00:5e:97:00:00:00:07", "10.98.0.97", "Standard", false, "", ""},
        // Texts in Latin-1, as a file written on Windows brings them: shown as their letters, kept
        // byte for byte.
        {"02:00:5e:90:00:08", "10.98.0.98", "Standard", false, "M\xfcller-PC", "B\xfcro 4"},
        {"02:00:5e:90:00:09", "10.98.0.99", "B\xfcro", false, "", ""},
    };
    const auto status = pipe.getStatus(-1);
    QVERIFY(status.ok());
    QCOMPARE(pipe.writeSetting("B\xFCro", "Lease", "600").value, 1);
    QCOMPARE(pipe.writeSetting(kGeneralSection, "Profile" + std::to_string(status.value.profileCount), "B\xFCro").value,
             1);
    QVERIFY(pipe.reloadProfiles().ok());
    for (const Case& c : cases) {
        ClientFields fields;
        fields.identity = *parseIdentity(c.identity);
        fields.address = parseIpv4(c.address).address;
        fields.profile = c.profile;
        fields.hostName = c.host;
        fields.remark = c.remark;
        QCOMPARE(pipe.addClient(fields, true).value, 1);
        const auto before = staticEntries(pipe);
        const std::uint64_t handle = handleOf(before, formatIdentity(fields.identity).c_str());
        QVERIFY2(handle != 0, c.identity);
        preferences_->write(pref::kShowString, c.textForm ? 1 : 0);
        StaticEntryDialog modify(ctx, StaticMode::Modify,
                                 EntryListHooks{.selected = [handle] { return std::vector<std::uint64_t>{handle}; }});
        for (const char* field : {"HOSTNAME", "REMARK"})
            QVERIFY2(!child<QLineEdit>(&modify, field)->text().contains(QChar::ReplacementCharacter), c.identity);
        modify.okButton()->click();
        QVERIFY2(answers.take().isEmpty(), c.identity);
        QCOMPARE(staticEntries(pipe), before);
        const ClientFields stored = pipe.listEntry(ClientList::Static, handle).value.record.fields;
        QCOMPARE(stored.hostName, std::string(c.host));
        QCOMPARE(stored.remark, std::string(c.remark));
        QCOMPARE(stored.profile, std::string(c.profile));
    }
    preferences_->write(pref::kShowString, 0);

    // Typed texts of two-byte characters: the field takes no more than the server's field holds.
    StaticEntryDialog add(ctx, StaticMode::Add, EntryListHooks{});
    add.show();
    child<QRadioButton>(&add, "MAC")->click();
    child<QLineEdit>(&add, "ID")->setText("02:00:5e:90:00:05");
    child<QLineEdit>(&add, "IPADDR")->setText("10.98.0.95");
    const QString umlauts(40, QChar(0xfc));
    typeKeys(child<QLineEdit>(&add, "REMARK"), umlauts);
    typeKeys(child<QLineEdit>(&add, "HOSTNAME"), umlauts + umlauts + umlauts);
    child<QComboBox>(&add, "PROFILE")->setCurrentText(QString());
    typeKeys(child<QComboBox>(&add, "PROFILE")->lineEdit(), umlauts);
    QCOMPARE(child<QComboBox>(&add, "PROFILE")->currentText(), umlauts.left(11));
    child<QComboBox>(&add, "PROFILE")->setCurrentText("Standard");
    const QString remark = child<QLineEdit>(&add, "REMARK")->text(), host = child<QLineEdit>(&add, "HOSTNAME")->text();
    QCOMPARE(remark, umlauts.left(15));
    QCOMPARE(host, (umlauts + umlauts).left(79));
    add.okButton()->click();
    QVERIFY(answers.take().isEmpty());
    QVERIFY(handleOf(staticEntries(pipe), "02:00:5e:90:00:05 10.98.0.95 Standard " + host + " " + remark) != 0);

    // The entry a Modify dialog shows is removed and the server restarts, after which its record
    // handle names nothing (a server that counted its handles from the same number in every run
    // gave it to the next entry): OK stores nothing and says so.
    auto restart = [&] {
        lab_->stop();
        QVERIFY(lab_->start());
        // The connections to the server that went away fail once; the window's poll does this.
        pipe.getStatus(-1);
        ctx.worker.call([](ManagerPipe& p) { return p.getStatus(-1).status; });
    };
    restart();
    auto listed = staticEntries(pipe);
    QVERIFY(listed.size() >= 4);
    const std::uint64_t shown = std::next(listed.begin())->first;
    const QString third = std::next(listed.begin(), 2)->second;
    StaticEntryDialog stale(ctx, StaticMode::Modify,
                            EntryListHooks{.selected = [shown] { return std::vector<std::uint64_t>{shown}; }});
    // One that stays is changed under its handle of the new run, and the lists are read again;
    // Apply then goes on with the rows selected after it, each found again by its identity: one
    // the server no longer has is passed over and named.
    const std::uint64_t thirdHandle = std::next(listed.begin(), 2)->first;
    const std::uint64_t fourthHandle = std::next(listed.begin(), 3)->first;
    const QString fourth = std::next(listed.begin(), 3)->second;
    auto identityOf = [listed](std::uint64_t h) -> std::optional<Identity> {
        const auto row = listed.find(h);
        if (row == listed.end()) return std::nullopt;
        return parseIdentity(row->second.section(u' ', 0, 0).toStdString());
    };
    StaticEntryDialog kept(ctx, StaticMode::Modify,
                           EntryListHooks{.selected =
                                              [=] {
                                                  return std::vector<std::uint64_t>{thirdHandle, shown, fourthHandle};
                                              },
                                          .identityOf = identityOf});
    int listsMarked = 0;
    ctx.markListsChanged = [&listsMarked] { ++listsMarked; };
    QCOMPARE(pipe.removeClient(ClientList::Static, shown), PipeStatus::Done);
    restart();
    const auto before = staticEntries(pipe);
    QCOMPARE(before.count(shown), 0u);
    QVERIFY(std::any_of(before.begin(), before.end(), [&](const auto& e) { return e.second == third; }));
    stale.okButton()->click();
    QCOMPARE(answers.take(), QStringList({"The entry is no longer on the server; the list is read again."}));
    QCOMPARE(staticEntries(pipe), before);
    type(child<QLineEdit>(&kept, "HOSTNAME"), "kept-over-restart");
    kept.applyButton()->click();
    QCOMPARE(answers.take(),
             QStringList({fillArguments(ctx.language.text("ROWS_GONE"), {listed.at(shown).section(u' ', 0, 0)})}));
    QCOMPARE(child<QLineEdit>(&kept, "ID")->text(), fourth.section(u' ', 0, 0));
    type(child<QLineEdit>(&kept, "HOSTNAME"), "next-over-restart");
    kept.applyButton()->click();
    QCOMPARE(answers.take(), QStringList());
    QVERIFY(!kept.isVisible());
    QCOMPARE(listsMarked, 4);
    const auto after = staticEntries(pipe);
    QCOMPARE(after.size(), before.size());
    for (const char* host : {"kept-over-restart", "next-over-restart"})
        QVERIFY2(std::any_of(after.begin(), after.end(), [host](const auto& e) { return e.second.contains(host); }),
                 host);
}

// Today's file is chosen and shown; printing puts the "name  --  n" header on every page.
void DialogsTest::logViewerShowsTheLogAndPrintsIt() {
    DialogContext ctx = context();
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    // Every "CreateLog" but 0 makes the server write daily files.
    ManagerPipe pipe(lab_->pipe().toStdString());
    GeneralSettings general = pipe.getSettings().value;
    general.createLog = 2;
    QCOMPARE(pipe.setSettings(general), PipeStatus::Done);
    const QString today = QString::fromStdString(logFileName(local, true));
    {
        // The server in the console writes no file: today's file is one a service left there.
        QFile current(lab_->dir() + "/" + today);
        QVERIFY(current.open(QIODevice::WriteOnly));
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        current.write(QStringLiteral("%1 DHCP  Start   Server on 10.98.0.1\n%1 DHCP  Request "
                                     "02:00:5e:50:00:01 ACK 10.98.0.150 600\n")
                          .arg(stamp)
                          .toUtf8());
    }
    {
        QFile old(lab_->dir() + "/dhcp0101.log");
        QVERIFY(old.open(QIODevice::WriteOnly));
        for (int i = 0; i < 150; ++i)
            old.write(QStringLiteral("2001-01-01 10:00:%1 DHCP  %2 line %3\n")
                          .arg(i % 60, 2, 10, QChar(u'0'))
                          .arg(i % 10 == 0 ? "Error  " : "Request")
                          .arg(i)
                          .toUtf8());
        // Longer than a pipe message: the server sends it in pieces, and it is one row.
        old.write("2001-01-01 10:01:00 DHCP  Request " + QByteArray(5000, 'x') + "\n");
        old.write("  continued detail line of the one before\n");
    }
    // Files of other months, listed in name order whatever order the directory keeps.
    for (const char* name : {"dhcp0207.log", "dhcp0203.log", "dhcp0211.log", "dhcp0201.log", "dhcp0209.log",
                             "dhcp0205.log", "dhcp0212.log", "dhcp0202.log"}) {
        QFile other(lab_->dir() + "/" + name);
        QVERIFY(other.open(QIODevice::WriteOnly));
    }
    LogViewer viewer(ctx);
    viewer.show();
    QCOMPARE(viewer.files()->currentText(), today);
    QVERIFY(viewer.files()->findText("dhcp0101.log") >= 0);
    QStringList listed;
    for (int i = 0; i < viewer.files()->count(); ++i) listed << viewer.files()->itemText(i);
    QStringList sorted = listed;
    sorted.sort();
    QCOMPARE(listed, sorted);
    QTRY_VERIFY(viewer.model()->rowCount() > 0);
    char date[16];
    std::strftime(date, sizeof date, "%Y-%m-%d", &local);
    QCOMPARE(viewer.model()->rows().back().fields[0], QString(date));

    QSignalSpy loaded(&viewer, &LogViewer::fileLoaded);
    viewer.files()->setCurrentText("dhcp0101.log");
    QVERIFY(loaded.wait(5000));
    QCOMPARE(viewer.model()->rowCount(), 151);  // the continuation line is not a row
    QCOMPARE(viewer.model()->rows()[150].fields[4], QString(5000, u'x'));
    // A read no longer wanted (the viewer closed, another file chosen) stops at once.
    const std::atomic<bool> unwanted{true};
    QCOMPARE(ctx.worker.call([&](ManagerPipe& p) { return readLogFile(p, "dhcp0101.log", SIZE_MAX, &unwanted); }),
             std::optional<LogRead>(LogRead{}));
    const LogRow& row0 = viewer.model()->rows()[0];
    QCOMPARE(row0.fields,
             (std::array<QString, kLogFieldCount>{"2001-01-01", "10:00:00", "DHCP ", "Error  ", "line 0"}));
    QVERIFY(row0.failure);
    QVERIFY(!viewer.model()->rows()[1].failure);

    for (const QString& name : {today, QStringLiteral("dhcp0101.log")}) {
        viewer.files()->setCurrentText(name);
        const QString pdf = lab_->dir() + "/print.pdf";
        QPrinter printer(QPrinter::HighResolution);
        printer.setOutputFormat(QPrinter::PdfFormat);
        printer.setOutputFileName(pdf);
        const int pages = viewer.printTo(printer);
        QVERIFY(pages >= 1);
        QProcess text;
        // Read back at the font's own pitch, so that the blanks between the words come out as printed.
        QFont pitch = logPrintFont();
        pitch.setPixelSize(900);
        const double points = QFontMetricsF(pitch).horizontalAdvance(u'0') / 100.0;
        text.start("pdftotext", {"-layout", "-fixed", QString::number(points, 'f', 2), pdf, "-"});
        if (!text.waitForFinished(20000)) QSKIP("pdftotext is not installed (package poppler-utils)");
        const QString printed = QString::fromUtf8(text.readAllStandardOutput());
        for (int p = 1; p <= pages; ++p)
            QVERIFY2(printed.contains(QStringLiteral("%1  --  %2").arg(name).arg(p)), qPrintable(printed.left(400)));
        QVERIFY(!printed.contains(QStringLiteral("%1  --  %2").arg(name).arg(pages + 1)));
        if (name != today) {
            QVERIFY(pages >= 2);
            QVERIFY(printed.contains("2001-01-01 10:00:29 DHCP  Request line 149"));
        }
    }

    // Without the server the list holds only today's name (monthly, as "CreateLog" cannot be
    // asked) and stays empty, as a read cut before its first line, not an empty file.
    lab_->stop();
    LogViewer alone(ctx);
    QCOMPARE(alone.files()->count(), 1);
    QCOMPARE(alone.files()->currentText(), QString::fromStdString(logFileName(local, false)));
    QTRY_COMPARE(alone.findChild<QStatusBar*>()->currentMessage(),
                 fillArguments(ctx.language.text("LOG_CUT"), {QStringLiteral("0")}));
    QCOMPARE(alone.model()->rowCount(), 0);
}

// Every dialog and every page of the sheets is walked with Tab in reading order.
void DialogsTest::tabOrderFollowsTheLayout() {
    DialogContext ctx = context();
    QStringList faults;
    auto check = [&faults](QWidget* root, const QString& where) {
        const QString fault = readingOrderFault(root, where);
        if (!fault.isEmpty()) faults << fault;
    };
    {
        PreferencesDialog sheet(ctx);
        sheet.show();
        // With the TFTP server switched on (never applied), both TFTP pages show all their controls.
        sheet.tabs()->setCurrentIndex(3);
        setCheck(sheet.page(3), "TFTP", true);
        for (int i = 0; i < sheet.pageCount(); ++i) {
            sheet.tabs()->setCurrentIndex(i);
            check(sheet.page(i), QStringLiteral("Preferences page %1").arg(i));
        }
    }
    {
        ProfileEditor sheet(ctx, "lab");
        sheet.show();
        for (int i = 0; i < sheet.pageCount(); ++i) {
            sheet.tabs()->setCurrentIndex(i);
            check(sheet.page(i), QStringLiteral("profile editor page %1").arg(i));
        }
    }
    {
        StaticEntryDialog add(ctx, StaticMode::Add, EntryListHooks{});
        add.show();
        check(&add, QStringLiteral("static entry"));
    }
    {
        ProfileListDialog list(ctx);
        list.show();
        check(&list, QStringLiteral("profile list"));
    }
    {
        LogViewer viewer(ctx);
        viewer.show();
        check(&viewer, QStringLiteral("log viewer"));
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
}

// At the size a dialog opens with, no label, check box, radio button, button, group or list cell of
// any page or dialog is narrower than it asks to be (Qt's size hint), so no text is cut or broken,
// an explanation that wraps has room for its longest word, no two controls share a mnemonic, and
// every control has a name a screen reader can say; in English and in German. CTest
// runs this case once more at 125 % scaling.
void DialogsTest::labelsFitTheirColumns() {
    Language german(MANAGER_SOURCE_DIR "/");
    german.load("deutsch.ini", false);
    QVERIFY(german.usesFile());
    {
        // The fields that come with relay agent information are walked too.
        ManagerPipe pipe(lab_->pipe().toStdString());
        GeneralSettings g = pipe.getSettings().value;
        g.enableRa = 1;
        QCOMPARE(pipe.setSettings(g), PipeStatus::Done);
    }
    QStringList faults;
    auto check = [&faults](QWidget* root, const QString& where) {
        for (QWidget* w : root->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(root) || w->width() == 0) continue;
            auto* label = qobject_cast<QLabel*>(w);
            QString text;
            int wanted = 0;
            if (label != nullptr && !label->text().isEmpty()) {
                text = label->text();
                if (!label->wordWrap()) {
                    wanted = label->sizeHint().width();
                } else {
                    // An explanation may wrap, but only between words.
                    for (const QString& word : text.split(QRegularExpression(QStringLiteral("\\s+"))))
                        wanted = std::max(wanted, label->fontMetrics().horizontalAdvance(word));
                }
            } else if (auto* button = qobject_cast<QAbstractButton*>(w);
                       button != nullptr && !button->text().isEmpty()) {
                text = button->text();
                wanted = button->sizeHint().width();
            } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
                text = group->title();
                wanted = group->minimumSizeHint().width();
            }
            if (wanted > w->width())
                faults
                    << QStringLiteral("%1: \"%2\" is %3 wide, needs %4").arg(where, text).arg(w->width()).arg(wanted);
        }
        faults << mnemonicFaults(root, where) << unnamedControlFaults(root, where);
        // The columns of a list, sized by the dialog rather than by their contents, show every
        // heading whole, and every cell of a dialog's list: none asks for more than its column
        // (the heading's or the item's size hint, as the style lays out and elides its text). The
        // main window's client lists elide what their columns cannot hold.
        for (auto* tree : root->findChildren<QTreeView*>()) {
            if (!tree->isVisibleTo(root)) continue;
            const QAbstractItemView* view = tree;  // the tree's own widest cell, through the public call
            for (int column = 0; column < tree->model()->columnCount(); ++column) {
                const int heading = tree->isHeaderHidden() ? 0 : tree->header()->sectionSizeHint(column);
                const int cells = qobject_cast<QTreeWidget*>(tree) ? view->sizeHintForColumn(column) : 0;
                const int wanted = std::max(cells, heading);
                if (wanted > tree->columnWidth(column))
                    faults << QStringLiteral("%1: column \"%2\" is %3 wide, a cell needs %4")
                                  .arg(where, tree->model()->headerData(column, Qt::Horizontal).toString())
                                  .arg(tree->columnWidth(column))
                                  .arg(wanted);
            }
        }
    };
    for (Language* language : {language_.get(), &german}) {
        const QString tongue = language->usesFile() ? QStringLiteral("German") : QStringLiteral("English");
        DialogContext ctx = context(language);
        {
            PreferencesDialog sheet(ctx);
            sheet.show();
            sheet.tabs()->setCurrentIndex(3);
            setCheck(sheet.page(3), "TFTP", true);
            for (int i = 0; i < sheet.pageCount(); ++i) {
                sheet.tabs()->setCurrentIndex(i);
                check(sheet.page(i), QStringLiteral("%1 Preferences, %2").arg(tongue, sheet.tabs()->tabText(i)));
            }
        }
        {
            ProfileEditor sheet(ctx, "lab");
            sheet.show();
            for (int i = 0; i < sheet.pageCount(); ++i) {
                sheet.tabs()->setCurrentIndex(i);
                check(sheet.page(i), QStringLiteral("%1 profile editor, %2").arg(tongue, sheet.tabs()->tabText(i)));
            }
            // The Basic page shows other fields for each rule, a relay identifier's among them
            // (while the server takes relay agent information).
            sheet.tabs()->setCurrentIndex(0);
            auto* rule = child<QComboBox>(sheet.page(0), "FOR");
            for (int r = 0; r < kRuleCount; ++r) {
                rule->setCurrentIndex(r);
                if (auto* kind = child<QComboBox>(sheet.page(0), "RELAYKIND"); kind->isVisibleTo(sheet.page(0)))
                    kind->setCurrentIndex(1);
                check(sheet.page(0), QStringLiteral("%1 profile editor, rule %2").arg(tongue, rule->currentText()));
            }
        }
        {
            StaticEntryDialog add(ctx, StaticMode::Add, EntryListHooks{});
            add.show();
            check(&add, tongue + QStringLiteral(" static entry"));
        }
        {
            ProfileListDialog list(ctx);
            list.show();
            check(&list, tongue + QStringLiteral(" profile list"));
        }
        {
            LogViewer viewer(ctx);
            viewer.show();
            check(&viewer, tongue + QStringLiteral(" log viewer"));
        }
        {
            // Columns as a first start sets them up, not as the last window left them.
            for (int c = 0; c < kColumnCount; ++c) preferences_->writeColumnWidth(c, -1);
            MainWindowOptions options;
            options.pipeName = lab_->pipe().toStdString();
            options.programDirectory = home_.path().toStdString() + "/";
            MainWindow window(*language, *preferences_, ManagerRights{true, true}, options);
            window.show();
            window.start();
            // Every view's headings in the columns a first start gives them.
            for (View view : {View::Static, View::Dynamic, View::Ignored}) {
                window.switchView(view);
                QTRY_COMPARE(window.currentView(), view);
                check(&window, tongue + QStringLiteral(" main window, ") + window.listView()->accessibleName());
            }
        }
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join('\n')));
}

int main(int argc, char** argv) {
    const bool isolated = enterPrivateNetwork();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    DialogsTest test(isolated);
    return QTest::qExec(&test, argc, argv);
}

#include "dialogs_test.moc"
