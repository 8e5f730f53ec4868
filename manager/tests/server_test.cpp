// Scenarios of the manager against a real Velkora on a private pipe name. As root the test runs
// in a network namespace of its own, where the server serves one end of a veth pair whose other
// end lies in a client namespace the test creates; busybox udhcpc leases addresses there.

#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAbstractItemModelTester>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <thread>

#include "common/entry_line.h"
#include "dialog_harness.h"
#include "manager/window/main_window.h"
#include "server_lab.h"

using namespace tolmark;
using namespace tolmark::manager;
using namespace tolmark::manager::test;

namespace {

constexpr int kTickMs = 400;
// A tick, the pipe time-out of a request already on its way, and some slack for a slow machine.
constexpr int kOneTickMs = 2 * kTickMs + 1500;

QStringList column(const EntryListModel* m, int c) {
    QStringList out;
    for (int r = 0; r < m->rowCount(); ++r) out << m->data(m->index(r, c), Qt::DisplayRole).toString();
    return out;
}

// A peer that answers every request with the same reply.
class CannedPipe {
public:
    CannedPipe(std::string name, std::vector<std::uint8_t> reply) : name_(std::move(name)), reply_(std::move(reply)) {
        sockaddr_un address;
        socklen_t length = 0;
        fillAbstractAddress(name_, address, length);
        listener_ = platform::FileDescriptor(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        ::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), length);
        ::listen(listener_.get(), 4);
        thread_ = std::thread([this] {
            platform::FileDescriptor peer(::accept(listener_.get(), nullptr, nullptr));
            std::uint8_t buffer[kPipeMessageMax];
            while (::recv(peer.get(), buffer, sizeof buffer, 0) > 0)
                ::send(peer.get(), reply_.data(), reply_.size(), MSG_NOSIGNAL);
        });
    }
    ~CannedPipe() {
        ::shutdown(listener_.get(), SHUT_RDWR);
        thread_.join();
    }

private:
    std::string name_;
    std::vector<std::uint8_t> reply_;
    platform::FileDescriptor listener_;
    std::thread thread_;
};

}  // namespace

class ServerTest : public QObject {
    Q_OBJECT
public:
    explicit ServerTest(bool isolated) : isolated_(isolated) {}

private slots:
    void initTestCase();
    void cleanupTestCase();
    void listsShowWhatTheServerHoldsAndFollowLeases();
    void sortingAsksTheServerAndARefreshRestoresItsOrder();
    void bottomBarFollowsTheServerStoppingAndStarting();
    void secondClickOnStaticTogglesEntriesWithoutAddress();
    void removeTakesTheRecordsTheUserChose();
    void resolveAddressesKeepsWhatOthersChanged();
    void aFrozenServerNeverFreezesTheWindow();
    void requestWrappersAgainstTheServer();
    void serviceMenuRunsSystemctl();
    void viewModeWithoutAdministratorRights();
    void aNameHeldByAnotherUserIsNamed();

private:
    std::unique_ptr<MainWindow> openWindow(ManagerRights rights);
    void requireNetwork();

    bool isolated_;
    std::unique_ptr<ServerLab> lab_;
    QTemporaryDir home_;
    std::unique_ptr<Language> language_;
    std::unique_ptr<UserPreferences> preferences_;
};

void ServerTest::initTestCase() {
    lab_ = std::make_unique<ServerLab>(isolated_ && QFile::exists("/bin/busybox"));
    QVERIFY(lab_->setUp());
    if (!currentRights().mayChange) {
        // A viewer cannot add entries through the pipe: the server finds one in its file.
        QFile ethers(lab_->dir() + "/ethers");
        QVERIFY(ethers.open(QIODevice::WriteOnly));
        ethers.write("02:00:5e:c0:00:01\t10.98.0.70\n");
    }
    QVERIFY(lab_->start());
    language_ = std::make_unique<Language>(home_.path().toStdString() + "/");
}

void ServerTest::cleanupTestCase() { lab_.reset(); }

void ServerTest::requireNetwork() {
    if (!lab_->network()) QSKIP("needs root and busybox: a network namespace with a real DHCP client");
}

std::unique_ptr<MainWindow> ServerTest::openWindow(ManagerRights rights) {
    QFile::remove(home_.path() + "/user.ini");
    preferences_ = std::make_unique<UserPreferences>(home_.path().toStdString() + "/user.ini");
    preferences_->write(pref::kTrayIcon, 0);
    preferences_->write(pref::kView, 0);
    MainWindowOptions options;
    options.programDirectory = home_.path().toStdString() + "/";
    options.pipeName = lab_->pipe().toStdString();
    options.tickMs = kTickMs;
    options.pipeTimeout = std::chrono::milliseconds(1000);
    auto window = std::make_unique<MainWindow>(*language_, *preferences_, rights, options);
    // Each model is checked for as long as it lives.
    for (int v = 0; v < kViewCount; ++v) {
        EntryListModel* m = window->model(static_cast<View>(v));
        new QAbstractItemModelTester(m, QAbstractItemModelTester::FailureReportingMode::QtTest, m);
    }
    window->show();
    window->start();
    return window;
}

// The views list what the server holds; a client that leases changes its row in place.
void ServerTest::listsShowWhatTheServerHoldsAndFollowLeases() {
    requireNetwork();
    ManagerPipe pipe(lab_->pipe().toStdString());
    QCOMPARE(pipe.addClient(entry("02:00:5e:10:00:01\t10.98.0.10"), false).value, 1);
    QCOMPARE(pipe.addClient(entry("02:00:5e:10:00:02\t10.98.0.11\tLab"), false).value, 1);
    QCOMPARE(pipe.addClient(entry("02:00:5e:10:00:03\t255.255.255.255"), false).value, 1);  // never served

    auto window = openWindow(currentRights());
    EntryListModel* statics = window->model(View::Static);
    QTRY_COMPARE(statics->rowCount(), 3);
    QCOMPARE(column(statics, 0), QStringList({"02:00:5e:10:00:01", "02:00:5e:10:00:02", "02:00:5e:10:00:03"}));
    QCOMPARE(column(statics, 1), QStringList({"", "Lab", ""}));
    QCOMPARE(column(statics, 2), QStringList({"10.98.0.10", "10.98.0.11", "255.255.255.255"}));
    QCOMPARE(column(statics, 3), QStringList({"", "", ""}));
    QCOMPARE(statics->data(statics->index(0, 0), kIconIndexRole).toInt(), kIconIdle);
    QTRY_COMPARE(window->topStatusText(), QString("  Observed MAC addresses/identifieres:  0 of 3"));
    QTRY_COMPARE(window->bottomStatusText(), QString(" Listening on Port: 67"));
    QTRY_COMPARE(window->leaseStoreText(), QString("Leases: client files"));

    // The first client leases its static address: its row changes in place, nothing is reset,
    // and the selection on it stays.
    QSignalSpy reset(statics, &QAbstractItemModel::modelReset);
    QSignalSpy removed(statics, &QAbstractItemModel::rowsRemoved);
    QSignalSpy changed(statics, &QAbstractItemModel::dataChanged);
    window->listView()->selectionModel()->select(statics->index(0, 0),
                                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QPersistentModelIndex first = statics->index(0, 0);
    QVERIFY(lab_->lease("02:00:5e:10:00:01"));
    QTRY_VERIFY_WITH_TIMEOUT(!statics->data(statics->index(0, 3), Qt::DisplayRole).toString().isEmpty(),
                             3 * kOneTickMs);
    QCOMPARE(statics->data(statics->index(0, 0), kIconIndexRole).toInt(), kIconActive);
    QCOMPARE(reset.count(), 0);
    QCOMPARE(removed.count(), 0);
    QVERIFY(changed.count() >= 1);
    QCOMPARE(first.row(), 0);
    QVERIFY(window->listView()->selectionModel()->isRowSelected(0, {}));
    QTRY_COMPARE(window->topStatusText(), QString("  Observed MAC addresses/identifieres:  1 of 3"));

    // An unregistered client gets a pool address: the Dynamic view lists it.
    QVERIFY(lab_->lease("02:00:5e:20:00:01"));
    window->switchView(View::Dynamic);
    EntryListModel* dynamics = window->model(View::Dynamic);
    QTRY_VERIFY(column(dynamics, 0).contains("02:00:5e:20:00:01"));
    const int row = static_cast<int>(column(dynamics, 0).indexOf("02:00:5e:20:00:01"));
    QCOMPARE(dynamics->data(dynamics->index(row, 2), Qt::DisplayRole).toString(), QString("10.98.0.100"));
    QVERIFY(!dynamics->data(dynamics->index(row, 3), Qt::DisplayRole).toString().isEmpty());
    QCOMPARE(dynamics->data(dynamics->index(row, 0), kIconIndexRole).toInt(), kIconActive);
    QTRY_VERIFY(window->topStatusText().startsWith("  Leased IP addresses:  ") &&
                window->topStatusText().endsWith(" of 70"));

    // The never-served client lands in the ignored list.
    lab_->askUnanswered("02:00:5e:10:00:03");
    window->switchView(View::Ignored);
    EntryListModel* ignored = window->model(View::Ignored);
    QTRY_COMPARE(column(ignored, 0), QStringList({"02:00:5e:10:00:03"}));
    QTRY_COMPARE(window->topStatusText(), QString("  Observed MAC addresses/identifiers:  1"));
    // Removing it from the context menu asks the server; the next refresh agrees.
    window->listView()->selectionModel()->select(ignored->index(0, 0),
                                                 QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QVERIFY(window->contextMenu()->actions().contains(window->actions().remove));
    window->actions().remove->trigger();
    QCOMPARE(ignored->rowCount(), 0);
    QSignalSpy refreshed(window.get(), &MainWindow::listRefreshed);
    window->refreshList();
    QVERIFY(refreshed.wait(kOneTickMs));
    QCOMPARE(ignored->rowCount(), 0);
    QCOMPARE(pipe.listEntry(ClientList::Ignored, 0).status, PipeStatus::Refused);  // the list is empty

    // The server tells a connection of a change once: a dialog's or a list refresh's status
    // request on the window's pipe keeps it for the poll, which takes it.
    QVERIFY(pipe.getStatus(-1).ok());
    pipe.takeStatusChanges();
    QVERIFY(lab_->lease("02:00:5e:20:00:02"));
    QTRY_VERIFY((pipe.getStatus(-1).value.statusChanged & kStatusClientData) != 0);
    QVERIFY((pipe.getStatus(-1).value.statusChanged & kStatusClientData) != 0);
    pipe.takeStatusChanges();
    QCOMPARE(pipe.getStatus(-1).value.statusChanged, 0);
}

// A click on a header sorts through the server; a second click reverses; a refresh puts the
// rows back into the server's order.
void ServerTest::sortingAsksTheServerAndARefreshRestoresItsOrder() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    for (const char* line :
         {"02:00:5e:30:00:03\t10.98.0.33", "02:00:5e:30:00:01\t10.98.0.9\tLab", "02:00:5e:30:00:02\t10.98.0.120"})
        QCOMPARE(pipe.addClient(entry(line), false).value, 1);
    auto window = openWindow(currentRights());
    EntryListModel* statics = window->model(View::Static);
    QTRY_VERIFY(column(statics, 2).contains("10.98.0.120"));
    const QStringList serverOrder = column(statics, 2);

    QSignalSpy sorted(window.get(), &MainWindow::rowsSorted);
    QStringList ascending = serverOrder;
    std::sort(ascending.begin(), ascending.end(), [](const QString& a, const QString& b) {
        return ipv4ToHostOrder(ipv4OrZero(a.toStdString())) < ipv4ToHostOrder(ipv4OrZero(b.toStdString()));
    });
    window->listView()->header()->sectionClicked(2);
    QVERIFY(sorted.wait(5000));
    QCOMPARE(column(statics, 2), ascending);
    QVERIFY(ascending != serverOrder);

    QStringList descending = ascending;
    std::reverse(descending.begin(), descending.end());
    window->listView()->header()->sectionClicked(2);
    QVERIFY(sorted.wait(5000));
    QCOMPARE(column(statics, 2), descending);

    window->refreshList();
    QTRY_COMPARE(column(statics, 2), serverOrder);

    // The TFTP view is never sorted (its rows are transfers, not records).
    window->switchView(View::Tftp);
    window->sortByColumn(0);
    QVERIFY(!sorted.wait(500));
}

// The server stops: within one tick the bottom bar says so and the list empties; it starts again:
// the state text and the list come back. A server that hangs shows the same within a tick.
void ServerTest::bottomBarFollowsTheServerStoppingAndStarting() {
    auto window = openWindow(currentRights());
    EntryListModel* statics = window->model(View::Static);
    QTRY_VERIFY(statics->rowCount() > 0);
    QTRY_COMPARE(window->bottomStatusText(), QString(" Listening on Port: 67"));
    const int rows = statics->rowCount();

    lab_->stop();
    QElapsedTimer clock;
    clock.start();
    QTRY_COMPARE_WITH_TIMEOUT(window->bottomStatusText(), QString(" Service not active"), kOneTickMs);
    qInfo("the bottom bar showed the stop after %lld ms (tick %d ms)", static_cast<long long>(clock.elapsed()),
          kTickMs);
    QTRY_COMPARE_WITH_TIMEOUT(statics->rowCount(), 0, kOneTickMs);
    QVERIFY(window->isVisible());

    QVERIFY(lab_->start());
    QTRY_COMPARE_WITH_TIMEOUT(window->bottomStatusText(), QString(" Listening on Port: 67"), kOneTickMs);
    QTRY_COMPARE_WITH_TIMEOUT(statics->rowCount(), rows, kOneTickMs);

    // A server that hangs: the poll gives up after the pipe time-out, the window keeps working.
    lab_->pause(true);
    QTRY_COMPARE_WITH_TIMEOUT(window->bottomStatusText(), QString(" Service not active"), kOneTickMs);
    window->switchView(View::Dynamic);
    QCOMPARE(window->currentView(), View::Dynamic);
    lab_->pause(false);
    QTRY_COMPARE_WITH_TIMEOUT(window->bottomStatusText(), QString(" Listening on Port: 67"), kOneTickMs);
}

// "ViewIP": a second click on Static hides the entries without an address, a third shows them
// again, and coming to Static from another view always shows them; the flag is never saved.
void ServerTest::secondClickOnStaticTogglesEntriesWithoutAddress() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    QCOMPARE(pipe.addClient(entry("02:00:5e:a0:00:01\t0.0.0.0"), false).value, 1);
    auto window = openWindow(currentRights());
    EntryListModel* statics = window->model(View::Static);
    QTRY_VERIFY(column(statics, 0).contains("02:00:5e:a0:00:01"));
    const int all = statics->rowCount();
    struct Step {
        View view;
        bool shown;
    } steps[] = {{View::Static, false},
                 {View::Static, true},
                 {View::Static, false},
                 {View::Dynamic, true},
                 {View::Static, true}};
    for (const Step& s : steps) {
        QSignalSpy refreshed(window.get(), &MainWindow::listRefreshed);
        window->switchView(s.view);
        QTRY_VERIFY(refreshed.count() > 0);
        if (s.view != View::Static) continue;
        QCOMPARE(column(statics, 0).contains("02:00:5e:a0:00:01"), s.shown);
        QCOMPARE(column(statics, 2).contains("0.0.0.0"), s.shown);
        if (s.shown) QCOMPARE(statics->rowCount(), all);
    }
    QCOMPARE(preferences_->read(pref::kViewIp), 0);
    const int row = static_cast<int>(column(statics, 0).indexOf("02:00:5e:a0:00:01"));
    QCOMPARE(pipe.removeClient(ClientList::Static, statics->row(row).handle), PipeStatus::Done);
}

// Rows are rewritten in place: an entry removed elsewhere above the selection moves the rows
// under it up by one. The selection stays with the entry the user chose, and Remove takes it.
void ServerTest::removeTakesTheRecordsTheUserChose() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    const QStringList macs = {"02:00:5e:b0:00:01", "02:00:5e:b0:00:02", "02:00:5e:b0:00:03"};
    for (int i = 0; i < 3; ++i)
        QCOMPARE(pipe.addClient(entry(qPrintable(macs[i] + "\t10.98.0.6" + QString::number(i))), false).value, 1);
    auto window = openWindow(currentRights());
    EntryListModel* statics = window->model(View::Static);
    QTRY_VERIFY(column(statics, 0).contains(macs[2]));
    auto rowOf = [&](const QString& mac) { return static_cast<int>(column(statics, 0).indexOf(mac)); };
    window->listView()->setCurrentIndex(statics->index(rowOf(macs[1]), 0));
    QCOMPARE(pipe.removeClient(ClientList::Static, statics->row(rowOf(macs[0])).handle), PipeStatus::Done);
    window->refreshList();
    QTRY_VERIFY(!column(statics, 0).contains(macs[0]));
    QCOMPARE(window->listView()->selectionModel()->selectedRows(), QModelIndexList{statics->index(rowOf(macs[1]), 0)});
    QCOMPARE(window->listView()->currentIndex().row(), rowOf(macs[1]));
    window->actions().remove->trigger();
    QSignalSpy refreshed(window.get(), &MainWindow::listRefreshed);
    window->refreshList();  // read after the removal: what the server holds
    QVERIFY(refreshed.wait(kOneTickMs));
    QVERIFY(!column(statics, 0).contains(macs[1]) && column(statics, 0).contains(macs[2]));
    QCOMPARE(pipe.removeClient(ClientList::Static, statics->row(rowOf(macs[2])).handle), PipeStatus::Done);

    // With auto refresh off the list stays as it was read across a restart of the server, after
    // which a record handle of the last run names nothing (a server that counted its handles
    // from the same number in every run gave it to another entry). Remove touches no entry,
    // says so and reads the list again.
    MessageAnswerer answers;
    for (const char* line :
         {"02:00:5e:b0:00:04\t10.98.0.64", "02:00:5e:b0:00:05\t10.98.0.65", "02:00:5e:b0:00:06\t10.98.0.66"})
        QCOMPARE(pipe.addClient(entry(line), false).value, 1);
    auto restart = [&] {
        lab_->stop();
        QTRY_COMPARE_WITH_TIMEOUT(window->bottomStatusText(), QString(" Service not active"), kOneTickMs);
        QVERIFY(lab_->start());
        QTRY_COMPARE_WITH_TIMEOUT(window->bottomStatusText(), QString(" Listening on Port: 67"), 2 * kOneTickMs);
        pipe.getStatus(-1);  // the connection to the server that went away fails once
    };
    restart();
    window->refreshList();
    QTRY_VERIFY(column(statics, 0).contains("02:00:5e:b0:00:06"));
    window->actions().refresh->trigger();
    QCOMPARE(preferences_->read(pref::kRefresh), 0);
    std::vector<std::pair<std::uint64_t, QString>> byHandle;
    for (int r = 0; r < statics->rowCount(); ++r)
        byHandle.emplace_back(statics->row(r).handle, statics->row(r).texts[0]);
    std::sort(byHandle.begin(), byHandle.end());
    QVERIFY(byHandle.size() >= 3);
    const auto [shown, shownId] = byHandle[1];
    const QString next = byHandle[2].second;
    QCOMPARE(pipe.removeClient(ClientList::Static, shown), PipeStatus::Done);  // by someone else
    auto staticCount = [&pipe] {
        std::size_t n = 0;
        std::uint64_t h = 0;
        for (PipeResult<ListedEntry> e; (e = pipe.listEntry(ClientList::Static, h)).ok(); ++n) {
            h = e.value.record.nextHandle;
            if (h == 0) return n + 1;
        }
        return n;
    };
    restart();
    QCOMPARE(pipe.listEntry(ClientList::Static, shown).status, PipeStatus::Refused);
    const std::size_t held = staticCount();
    QCOMPARE(column(statics, 0)[rowOf(shownId)], shownId);  // not read again
    window->listView()->setCurrentIndex(statics->index(rowOf(shownId), 0));
    window->actions().remove->trigger();
    QStringList seen;
    QTRY_VERIFY((seen += answers.take(), !seen.isEmpty()));
    QCOMPARE(seen, QStringList({"The entry is no longer on the server; the list is read again."}));
    QTRY_VERIFY(!column(statics, 0).contains(shownId));
    QVERIFY(column(statics, 0).contains(next));
    QCOMPARE(staticCount(), held);
    window->actions().refresh->trigger();
    for (const char* mac : {"02:00:5e:b0:00:04", "02:00:5e:b0:00:05", "02:00:5e:b0:00:06"}) {
        if (column(statics, 0).contains(mac)) pipe.removeClient(ClientList::Static, statics->row(rowOf(mac)).handle);
    }
}

// Resolve Addresses sends the whole general settings block: the one the server holds now, with
// what another program changed since the window read it, and only the lookup bit changed.
void ServerTest::resolveAddressesKeepsWhatOthersChanged() {
    auto window = openWindow(currentRights());
    QTRY_COMPARE(window->bottomStatusText(), QString(" Listening on Port: 67"));
    QTest::qWait(kOneTickMs);  // past the first contact, which reads the settings again
    ManagerPipe pipe(lab_->pipe().toStdString());
    const GeneralSettings before = pipe.getSettings().value;
    GeneralSettings changed = before;
    changed.macRange = parseMacRange("00:0c:29,08:00");  // as trisko sets MAC ranges
    changed.log = 2;
    QCOMPARE(pipe.setSettings(changed), PipeStatus::Done);
    QAction* names = window->actions().names;
    const bool resolving = names->isChecked();
    names->trigger();
    QTRY_VERIFY(pipe.getSettings().value.lookup != changed.lookup);
    GeneralSettings after = pipe.getSettings().value;
    QCOMPARE(after.lookup, changed.lookup ^ kLookupNamesBit);
    after.lookup = changed.lookup;
    QVERIFY(after == changed);
    QCOMPARE(names->isChecked(), !resolving);
    QCOMPARE(pipe.setSettings(before), PipeStatus::Done);
}

// A server that stops answering (SIGSTOP) while a dialog asks it: the window repaints and its
// timers run meanwhile, the wait shows (busy cursor, OK disabled), the pipe failure comes after the
// time-out, and the window then closes at once.
void ServerTest::aFrozenServerNeverFreezesTheWindow() {
    auto window = openWindow(currentRights());
    QTRY_COMPARE(window->bottomStatusText(), QString(" Listening on Port: 67"));
    struct Seen {
        int paintsWhileWaiting = 0;
        bool busyCursor = false;
        bool okDisabled = false;
        bool clicked = false;
        bool failureShown = false;
        QString message;  // what the dialog told of the failure
    } seen;
    struct PaintCounter : QObject {
        MainWindow* window;
        Seen* seen;
        PaintCounter(MainWindow* w, Seen* s) : window(w), seen(s) {}
        bool eventFilter(QObject*, QEvent* event) override {
            if (event->type() == QEvent::Paint && window->worker().waiting()) ++seen->paintsWhileWaiting;
            return false;
        }
    } counter(window.get(), &seen);
    window->listView()->viewport()->installEventFilter(&counter);

    QTimer probe;
    probe.setInterval(50);
    connect(&probe, &QTimer::timeout, [&] {
        window->listView()->viewport()->update();
        if (window->worker().waiting() && QApplication::overrideCursor() != nullptr &&
            QApplication::overrideCursor()->shape() == Qt::BusyCursor)
            seen.busyCursor = true;
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->isVisible()) {
            seen.message = box->text();
            box->button(QMessageBox::Ok)->click();
            return;
        }
        auto* dialog = qobject_cast<StaticEntryDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr || !dialog->isVisible()) return;
        if (!seen.clicked) {
            // OK stores the entry, which first asks the server for its profile.
            dialog->findChild<QLineEdit*>("ID")->setText("02:00:5e:90:00:01");
            seen.clicked = true;
            QTimer::singleShot(0, dialog->okButton(), &QPushButton::click);
        } else if (window->worker().waiting()) {
            seen.okDisabled = seen.okDisabled || !dialog->okButton()->isEnabled();
        } else if (window->bottomStatusText() == " Service not active" && dialog->okButton()->isEnabled()) {
            seen.failureShown = true;
            dialog->reject();
        }
    });
    lab_->pause(true);
    probe.start();
    QElapsedTimer clock;
    clock.start();
    window->openStaticEntry(StaticMode::Add);
    probe.stop();
    qInfo("the dialog waited %lld ms for a server that does not answer", static_cast<long long>(clock.elapsed()));
    QVERIFY(seen.paintsWhileWaiting > 0);
    QVERIFY(seen.busyCursor);
    QVERIFY(seen.okDisabled);
    QVERIFY(seen.failureShown);
    QCOMPARE(seen.message, QString("Service not active"));
    QVERIFY(QApplication::overrideCursor() == nullptr);

    // Closing: the window goes at once; the program's end waits for one request at most (the
    // window's pipe time-out is 1 s), not for the requests queued behind it.
    clock.restart();
    QVERIFY(window->close());
    QVERIFY(!window->isVisible());
    window.reset();
    const qint64 closing = clock.elapsed();
    lab_->pause(false);
    // One request's time-out, with room for a loaded machine; the queued requests would take
    // several times as long.
    QVERIFY2(closing < 5000, qPrintable(QString::number(closing)));
}

// The request wrappers against the real server, and the size checks against a peer that
// answers short.
void ServerTest::requestWrappersAgainstTheServer() {
    ManagerPipe pipe(lab_->pipe().toStdString());
    const auto general = pipe.getSettings();
    QVERIFY(general.ok());
    QCOMPARE(general.value.port, 67);
    QVERIFY(pipe.getTftpSettings().ok());
    QVERIFY(pipe.getMulticast().ok());
    QCOMPARE(pipe.getProfile(0).value.profile.name, std::string("Standard"));
    QCOMPARE(pipe.getProfile(1).value.profile.name, std::string("Lab"));
    QCOMPARE(pipe.getProfile(2).status, PipeStatus::Refused);
    QCOMPARE(pipe.getProfileByName("Lab").value.use, 2);  // a static entry of the sorting scenario names it
    QCOMPARE(pipe.reloadProfiles().value, 2);
    QCOMPARE(pipe.purgeDynamic().value, 70);
    QVERIFY(pipe.checkAddressProfile(makeIpv4(10, 98, 0, 1)).value);
    QVERIFY(!pipe.checkAddressProfile(makeIpv4(10, 98, 0, 2)).value);
    QCOMPARE(pipe.getTransfer(0).status, PipeStatus::Refused);  // no TFTP transfers

    // A setting written and deleted again, seen in the server's INI file.
    auto iniText = [&] {
        QFile f(lab_->dir() + "/Dorvane.ini");
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    if (currentRights().mayChange) {
        QVERIFY(pipe.writeSetting("Lab", std::string("Comment"), std::string("two words")).value != 0);
        QVERIFY(iniText().contains("Comment=two words"));
        QVERIFY(pipe.writeSetting("Lab", std::string("Comment"), std::nullopt).value != 0);
        QVERIFY(!iniText().contains("Comment"));
    }
    QCOMPARE(pipe.writeSetting("Lab", std::string(300, 'k'), std::nullopt).status, PipeStatus::Refused);

    // The log directory is the data directory: a file there is found and read line by line.
    {
        QFile log(lab_->dir() + "/manager-test.log");
        QVERIFY(log.open(QIODevice::WriteOnly));
        log.write("first line\nsecond line\n");
    }
    const auto found = pipe.fileFindFirst("manager-test.*");
    QVERIFY(found.ok());
    QCOMPARE(found.value.entry.name, std::string("manager-test.log"));
    QCOMPARE(found.value.entry.size, 23u);
    QCOMPARE(pipe.fileFindNext(found.value.search).value, std::optional<FileSearchEntry>());
    QCOMPARE(pipe.fileFindClose(found.value.search), PipeStatus::Done);
    QCOMPARE(pipe.fileFindFirst("no-such-*.log").status, PipeStatus::Refused);
    const auto file = pipe.fileOpen("manager-test.log");
    QVERIFY(file.ok() && file.value != 0);
    QCOMPARE(pipe.fileReadLine(file.value).value, std::optional<std::string>("first line\n"));
    QCOMPARE(pipe.fileReadLine(file.value).value, std::optional<std::string>("second line\n"));
    QCOMPARE(pipe.fileReadLine(file.value).value, std::optional<std::string>());
    QCOMPARE(pipe.fileClose(file.value), PipeStatus::Done);

    // A block whose value field is one byte short is refused; so is a reply shorter than 4 bytes.
    const std::string canned = lab_->pipe().toStdString() + "_short";
    std::vector<std::uint8_t> reply(8 + kGeneralSettingsSize, 0);
    reply[4] = kGeneralSettingsSize - 1;
    {
        CannedPipe peer(canned, reply);
        ManagerPipe shortPipe(canned);
        QCOMPARE(shortPipe.getSettings().status, PipeStatus::Refused);
    }
    {
        CannedPipe peer(canned, {0, 0});
        ManagerPipe shortPipe(canned);
        QCOMPARE(shortPipe.getStatus(-1).status, PipeStatus::Refused);
    }
    // A peer that refuses even the status is no server to manage: the window closes.
    {
        CannedPipe peer(canned, {kPipeRefused, 0, 0, 0});
        MainWindowOptions options;
        options.pipeName = canned;
        options.tickMs = kTickMs;
        UserPreferences preferences(home_.path().toStdString() + "/refused.ini");
        preferences.write(pref::kTrayIcon, 0);
        MainWindow window(*language_, preferences, ManagerRights{}, options);
        window.show();
        window.start();
        QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), kOneTickMs);
    }
    ManagerPipe nobody(canned + "_none");
    QCOMPARE(nobody.getStatus(-1).status, PipeStatus::Failed);
    QCOMPARE(nobody.renameProfile(0, "a", "b"), -2);
}

// Start and Stop run "systemctl start|stop DOZAdadaved"; without the right the submenu is gone.
void ServerTest::serviceMenuRunsSystemctl() {
    const QString log = home_.path() + "/systemctl.log";
    const QString stand = home_.path() + "/systemctl";
    QFile script(stand);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write(QStringLiteral("#!/bin/sh\necho \"$@\" >> %1\n").arg(log).toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeOther | QFile::ReadOther);
    qputenv("TOLMARK_SYSTEMCTL", stand.toUtf8());

    auto window = openWindow(ManagerRights{true, true});
    window->actions().start->trigger();
    window->actions().stop->trigger();
    auto logged = [&] {
        QFile f(log);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    };
    QTRY_COMPARE(logged(), QString("start DOZAdadaved\nstop DOZAdadaved\n"));
    auto viewer = openWindow(ManagerRights{true, false});
    const auto menus = viewer->menuBar()->actions().first()->menu()->actions();
    QVERIFY(
        std::none_of(menus.begin(), menus.end(), [](QAction* a) { return a->menu() != nullptr && a->isVisible(); }));
    qunsetenv("TOLMARK_SYSTEMCTL");
}

// Run as a user without administrator rights (the test "dorvane_view_mode"): the real rule gives
// the view mode, no "New..." button and an empty context menu, and the server agrees.
void ServerTest::viewModeWithoutAdministratorRights() {
    const ManagerRights rights = currentRights();
    auto window = openWindow(rights);
    QTRY_COMPARE(window->bottomStatusText(), QString(" Listening on Port: 67"));
    if (rights.mayChange) {
        // An administrator sees the button in the Static view and no view-mode words.
        QCOMPARE(window->modeText(), QString());
        QVERIFY(window->newButton()->isVisibleTo(window.get()));
        window->switchView(View::Dynamic);
        QVERIFY(!window->newButton()->isVisibleTo(window.get()));
        QSKIP("this user is an administrator; dorvane_view_mode runs this case as the user nobody");
    }
    QCOMPARE(window->windowTitle(), QString("Tolmark DHCP Server"));
    QCOMPARE(window->modeText(), QString("(view mode, no Administrator rights)"));
    QVERIFY(!window->newButton()->isVisibleTo(window.get()));
    QVERIFY(window->contextMenu()->isEmpty());
    QVERIFY(!rights.mayControlService);
    // Resolve Addresses, refused by the server, shows again what the server does.
    QAction* names = window->actions().names;
    QTest::qWait(kOneTickMs);  // past the first contact, which reads the settings again
    const bool resolving = names->isChecked();
    names->trigger();
    QCOMPARE(names->isChecked(), !resolving);
    QTRY_COMPARE(names->isChecked(), resolving);
    ManagerPipe pipe(lab_->pipe().toStdString());
    QCOMPARE(pipe.addClient(entry("02:00:5e:40:00:01\t10.98.0.44"), false).status, PipeStatus::Refused);
    QVERIFY(pipe.getStatus(0).ok());

    // A manager that takes its user for an administrator while the server does not: Remove,
    // refused, says so, and the row it took away comes back.
    window.reset();
    MessageAnswerer answerer;
    auto believer = openWindow(ManagerRights{true, false});
    EntryListModel* statics = believer->model(View::Static);
    QTRY_COMPARE(column(statics, 0), QStringList{"02:00:5e:c0:00:01"});
    believer->listView()->setCurrentIndex(statics->index(0, 0));
    believer->actions().remove->trigger();
    QCOMPARE(statics->rowCount(), 0);
    QTRY_COMPARE(answerer.seen, QStringList{"The server did not take the change (it needs administrator rights)."});
    QTRY_COMPARE(column(statics, 0), QStringList{"02:00:5e:c0:00:01"});
}

// Another user's process holds the pipe's name: the bottom bar says so instead of only
// " Service not active", and nothing is sent to it.
void ServerTest::aNameHeldByAnotherUserIsNamed() {
    if (::geteuid() != 0) QSKIP("needs root to run a process as the user nobody");
    const QString name = lab_->pipe() + "_squatted";
    QProcess squatter;
    squatter.start("setpriv",
                   {"--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/python3", "-c",
                    QStringLiteral("import socket,time\n"
                                   "s=socket.socket(socket.AF_UNIX,socket.SOCK_SEQPACKET)\n"
                                   "s.bind('\\0%1')\ns.listen(4)\nprint('ready',flush=True)\ntime.sleep(30)\n")
                        .arg(name)});
    QVERIFY(squatter.waitForReadyRead(10000));
    MainWindowOptions options;
    options.pipeName = name.toStdString();
    options.tickMs = kTickMs;
    UserPreferences preferences(home_.path().toStdString() + "/squatted.ini");
    preferences.write(pref::kTrayIcon, 0);
    MainWindow window(*language_, preferences, ManagerRights{}, options);
    window.show();
    window.start();
    QTRY_COMPARE_WITH_TIMEOUT(window.bottomStatusText(),
                              QString(" Control pipe held by an untrusted process (uid 65534): not the DHCP server"),
                              10000);
    squatter.kill();
    squatter.waitForFinished(5000);
}

int main(int argc, char** argv) {
    const bool isolated = enterPrivateNetwork();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ServerTest test(isolated);
    return QTest::qExec(&test, argc, argv);
}

#include "server_test.moc"
