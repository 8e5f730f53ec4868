// The manager's parts that need no server: the rows each view shows, the comparisons behind
// sorting, the list models, and the language files.

#include <QAbstractItemModelTester>
#include <QDir>
#include <QFile>
#include <QMenuBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QtTest>

#include <atomic>
#include <functional>
#include <map>
#include <set>
#include <tuple>

#include "common/transfer_image.h"
#include "config/config_store.h"
#include "config/ini_file.h"
#include "dialog_harness.h"
#include "fake_pipe_peer.h"
#include "manager/language/language.h"
#include "manager/lists/entry_rows.h"
#include "manager/lists/list_jobs.h"
#include "manager/lists/list_models.h"
#include "manager/window/main_window.h"

using namespace tolmark;
using namespace tolmark::manager;

namespace {

ClientRecordImage record(std::uint64_t handle, const char* mac, Ipv4 address, std::int64_t lastAccess,
                         std::int64_t expiry, std::string profile = "Standard") {
    ClientRecordImage r;
    r.handle = handle;
    r.fields.identity = *parseIdentity(mac);
    r.fields.address = address;
    r.fields.lastAccess = lastAccess;
    r.fields.expiry = expiry;
    r.fields.profile = std::move(profile);
    return r;
}

// A client row carries the identity its first column shows.
EntryRow row(std::uint64_t handle, int icon, std::array<QString, kColumnCount> texts) {
    return {handle, icon, texts, parseIdentity(texts[0].toStdString()).value_or(Identity{})};
}

// The text a tool tip shows: Qt reads a tip that may be markup as markup.
QString shownTip(const QString& tip) {
    QTextDocument shown;
    Qt::mightBeRichText(tip) ? shown.setHtml(tip) : shown.setPlainText(tip);
    return shown.toPlainText();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

}  // namespace

class UnitTest : public QObject {
    Q_OBJECT
private slots:
    void clientRowsFollowTheDisplayRules();
    void transferRowsShowProgress();
    void sortingComparesTheRecordFields();
    void modelsRewriteRowsInPlace();
    void listWalkStartsAgainWhenItsNextRecordWentAway();
    void languageFileReplacesSomeKeys();
    void germanFileHasEveryKeyOfTheBuiltInTable();
    void leaseStoreTextNamesTheStore();
    void windowWithoutServerShowsTranslatedTexts();
    void failedStartAndDialogsSayTheLanguagesText();
    void savedWindowStateIsCheckedOnStart();
    void secondStartHandsOverToTheFirst();
};

void UnitTest::clientRowsFollowTheDisplayRules() {
    const std::int64_t now = 1700000000;
    RowOptions o;
    o.now = now;
    const Ipv4 ip = makeIpv4(10, 1, 0, 5);

    // Static: "Standard" shows empty, the host name replaces the address only with name look-up.
    ClientRecordImage s = record(7, "00:11:22:33:44:55", ip, 0, 0);
    s.fields.hostName = "pc1";
    s.fields.remark = "desk";
    auto r = staticRow(s, o);
    QVERIFY(r);
    QCOMPARE(*r, row(7, kIconIdle, {"00:11:22:33:44:55", "", "10.1.0.5", "", ""}));
    o.dash = o.resolveNames = o.remarks = true;
    s.fields.lastAccess = now;
    s.fields.profile = "Lab";
    QCOMPARE(*staticRow(s, o), row(7, kIconActive, {"00-11-22-33-44-55", "Lab", "pc1", timeText(now), "desk"}));
    o.hideNoAddress = true;
    s.fields.address = 0;
    QVERIFY(!staticRow(s, o));
    o = RowOptions{};
    o.now = now;

    // Dynamic: ended and running leases, the remark before the profile, the cut-off, reserved records.
    ClientRecordImage d = record(8, "02:00:00:00:00:01", ip, now - 50, now + 100, "Lab");
    d.fields.hostName = "host";
    QCOMPARE(*dynamicRow(d, o),
             row(8, kIconActive, {"02:00:00:00:00:01", "Lab", "10.1.0.5", timeText(now + 100), "host"}));
    d.fields.expiry = now - 3600;
    d.fields.remark = "note";
    QCOMPARE(dynamicRow(d, o)->icon, kIconEnded);
    QCOMPARE(dynamicRow(d, o)->texts[1], QString("note"));
    o.viewOld = 600;  // hides leases that ended more than 10 minutes ago
    QVERIFY(!dynamicRow(d, o));
    o.viewOld = 0;
    d.fields.expiry = 0;  // a free slot
    QVERIFY(!dynamicRow(d, o));
    ClientRecordImage reserved = record(9, "00:00:00:00:00:00", ip, 0, kExpiryReserved);
    QVERIFY(isReservedRecord(reserved.fields));
    QVERIFY(!dynamicRow(reserved, o));
    o.showReserved = true;
    QCOMPARE(*dynamicRow(reserved, o), row(9, kIconIdle, {"00:00:00:00:00:00", "", "10.1.0.5", "", ""}));

    // Ignored: the class under "Class", the relay or interface address, empty when 0.
    ClientRecordImage g = record(10, "02:00:00:00:00:02", 0, now, 0);
    g.fields.remark = "BOOTP";
    QCOMPARE(*ignoredRow(g, o), row(10, kIconEnded, {"02:00:00:00:00:02", "BOOTP", "", timeText(now), ""}));
    g.fields.identity.kind = kIdentityFree;
    QVERIFY(!ignoredRow(g, o));

    // Identifiers other than MAC addresses, and their text form.
    ClientRecordImage id = record(11, "00:00:00:00:00:00", ip, 0, 0);
    id.fields.identity = Identity{kIdentityCircuit, 3, {'a', 'b', 'c'}};
    QCOMPARE(staticRow(id, o)->texts[0], QString("C616263"));
    o.textForm = true;
    QCOMPARE(staticRow(id, o)->texts[0], QString("C\"abc"));
    QCOMPARE(timeText(0), QString());

    // Names and classes are the bytes a client or a file gave: UTF-8 where they are UTF-8, else
    // Latin-1 (a Windows client's name), and a control character in the form the log writes it,
    // so that no name breaks a row into lines or sends escapes to a screen reader.
    struct Sent {
        const char* bytes;
        const char16_t* shown;
    } sent[] = {
        {"B\xC3\xBCro-PC", u"B\u00FCro-PC"},
        {"M\xFCller-PC", u"M\u00FCller-PC"},
        {"two\nlines\x1B[2J\x7F", u"two\\x0Alines\\x1B[2J\\x7F"},
        {"tab\there", u"tab\\x09here"},
        {"split\xE2\x80\xA8line", u"split\\u2028line"},
        {"caf\xC3\xA9 cut\xC3", u"caf\u00E9 cut"},  // a UTF-8 name cut to its field mid-letter
    };
    o = RowOptions{};
    o.now = now;
    o.remarks = o.resolveNames = true;
    for (const Sent& c : sent) {
        const QString shown = QString::fromUtf16(c.shown);
        g = record(10, "02:00:00:00:00:02", 0, now, 0);
        g.fields.hostName = g.fields.remark = c.bytes;
        QCOMPARE(ignoredRow(g, o)->texts[4], shown);
        QCOMPARE(ignoredRow(g, o)->texts[1], shown);
        s = record(7, "00:11:22:33:44:55", ip, 0, 0, c.bytes);
        s.fields.hostName = s.fields.remark = c.bytes;
        QCOMPARE(staticRow(s, o)->texts,
                 (std::array<QString, kColumnCount>{"00:11:22:33:44:55", shown, shown, "", shown}));
        TransferSummary t;
        t.path = std::string("/srv/tftp/") + c.bytes;
        o.tftpRootLength = 10;
        QCOMPARE(transferRow(0, t, o).texts[3], shown);
    }
}

void UnitTest::transferRowsShowProgress() {
    RowOptions o;
    o.tftpRootLength = 10;  // "/srv/tftp/"
    TransferSummary t;
    t.opcode = kTransferRead;
    t.blockSize = 512;
    t.mode = 3;
    t.client = makeIpv4(10, 0, 0, 9);
    t.path = "/srv/tftp/boot/pxelinux.0";

    struct Case {
        std::uint32_t blocks, size;
        std::int32_t outcome;
        bool percent;
        int icon;
        const char* status;
    } cases[] = {
        {10, 10240, -1, true, 7, "50 %"},
        {30, 10240, -1, true, 15, "100 %"},  // more blocks than the file: capped at the size
        {0, 10240, -1, true, 0, "0 %"},
        {3, 0, -1, true, kIconIdle, "1536 b"},  // unknown size: bytes even with percent on
        {3, 0, 0, true, kIconActive, "1536 b"},
        {3, 1000000, 1, true, kIconEnded, "0 %"},  // ended by a time-out
        {10, 10240, -1, false, 7, "5120 b"},
        {200000, 4000000000u, -1, true, 0, "2 %"},  // past 32 bits of bytes
        {0x30000, 0x7fffffff, -1, true, 0, "4 %"},  // a block counter beyond 16 bits
    };
    for (const Case& c : cases) {
        t.blockCounter = c.blocks;
        t.fileSize = c.size;
        t.outcome = c.outcome;
        o.percent = c.percent;
        const EntryRow r = transferRow(4, t, o);
        QCOMPARE(r.texts[0], QString(c.status));
        QCOMPARE(r.icon, c.icon);
        QCOMPARE(r.texts[1], QString("Get/octet"));
        QCOMPARE(r.texts[2], QString("10.0.0.9"));
        QCOMPARE(r.texts[3], QString("boot/pxelinux.0"));
        QCOMPARE(r.handle, 4u);
    }
    t.opcode = kTransferWrite;
    for (auto [mode, text] : {std::pair{0, "Put/"}, {1, "Put/mail "}, {2, "Put/ascii"}, {9, "Put/"}}) {
        t.mode = mode;
        QCOMPARE(transferRow(0, t, o).texts[1], QString(text));
    }
}

void UnitTest::sortingComparesTheRecordFields() {
    ClientFields a = record(1, "00:00:00:00:00:02", makeIpv4(10, 0, 0, 9), 5, 50, "Alpha").fields;
    ClientFields b = record(2, "00:00:00:00:00:10", makeIpv4(10, 0, 0, 10), 9, 40, "alpha").fields;
    a.hostName = "zeta";
    b.hostName = "eta";
    a.remark = "x";
    b.remark = "y";
    struct Case {
        View view;
        int column;
        int sign;  // of compare(a, b)
    } cases[] = {
        {View::Static, 0, -1}, {View::Static, 1, -1},  {View::Static, 2, -1},  // 10.0.0.9 < 10.0.0.10 numerically
        {View::Static, 3, -1}, {View::Static, 4, -1},  {View::Dynamic, 3, 1},  // lease ends
        {View::Dynamic, 4, 1}, {View::Ignored, 1, -1}, {View::Ignored, 4, 1},
    };
    for (const Case& c : cases) {
        const int got = compareEntries(c.view, c.column, a, b);
        QVERIFY2((got > 0) - (got < 0) == c.sign,
                 qPrintable(QString("view %1 column %2").arg(int(c.view)).arg(c.column)));
        const int back = compareEntries(c.view, c.column, b, a);
        QCOMPARE((back > 0) - (back < 0), -c.sign);
    }
    QCOMPARE(compareEntries(View::Static, 2, a, a), 0);
    // Identifiers compare by length first: a longer identifier sorts after.
    ClientFields longer = a;
    longer.identity = Identity{kIdentityClientId, 7, {0}};
    QVERIFY(compareEntries(View::Static, 0, a, longer) < 0);

    // The server goes away after the first record: it is asked no more (each request to a server
    // that does not answer waits out the time-out, and the dialogs wait behind the sort), and the
    // rows keep their order.
    FakePipePeer peer({*PipeMessage::make(kPipeDone, 1, encodeClientRecord(record(7, "00:00:00:00:00:07", 1, 0, 0)))});
    ManagerPipe pipe(peer.name(), std::chrono::milliseconds(2000));
    const std::vector<std::uint64_t> shown = {7, 1, 8, 9, 10};
    QCOMPARE(sortHandles(pipe, ClientList::Static, View::Static, 2, false, shown), shown);
    QCOMPARE(peer.requests(PipeCode::ListStatic).size(), std::size_t{2});
}

void UnitTest::modelsRewriteRowsInPlace() {
    const std::vector<QIcon> icons(kIconCount, QIcon());
    StaticModel model(&icons);
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    QSignalSpy reset(&model, &QAbstractItemModel::modelReset);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);

    model.setHeaders({"MAC", "Profile", "IP", "Last", ""});
    QCOMPARE(model.headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), QString("IP"));
    std::vector<EntryRow> rows = {row(1, 17, {"a", "", "10.0.0.1", "", ""}), row(2, 17, {"b", "", "10.0.0.2", "", ""}),
                                  row(3, 17, {"c", "", "10.0.0.3", "", ""})};
    model.applyRows(rows);
    QCOMPARE(model.rowCount(), 3);
    QCOMPARE(inserted.count(), 1);
    QPersistentModelIndex second = model.index(1, 0);

    // Same rows: nothing is signalled. One changed cell: one row changes, columns 3 only.
    changed.clear();
    model.applyRows(rows);
    QCOMPARE(changed.count(), 0);
    rows[1].texts[3] = "today";
    model.applyRows(rows);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed[0][0].toModelIndex(), model.index(1, 3));
    QCOMPARE(changed[0][1].toModelIndex(), model.index(1, 3));
    QCOMPARE(model.data(model.index(1, 3), Qt::DisplayRole).toString(), QString("today"));
    // A tip shows a cell's text as written, though it looks like markup (a client names itself).
    for (const char* text : {"<b>pc</b>", "today", "a  &lt;  b"}) {
        rows[1].texts[4] = text;
        model.applyRows(rows);
        QCOMPARE(shownTip(model.data(model.index(1, 4), Qt::ToolTipRole).toString()), QString(text));
    }
    // A new icon changes column 0.
    rows[1].icon = 15;
    model.applyRows(rows);
    QCOMPARE(changed.last()[0].toModelIndex(), model.index(1, 0));
    QCOMPARE(model.data(model.index(1, 0), kIconIndexRole).toInt(), 15);

    // Fewer rows: removed from the end; the second row stays where it was.
    rows.pop_back();
    model.applyRows(rows);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(second.row(), 1);

    // Reordering moves the persistent index with its row; unknown handles go last.
    model.applyRows({rows[0], rows[1], row(9, 17, {"z", "", "", "", ""})});
    model.reorder({2, 1});
    QCOMPARE(model.handles(), (std::vector<std::uint64_t>{2, 1, 9}));
    QCOMPARE(second.row(), 0);
    QCOMPARE(model.data(model.index(0, 0), kHandleRole).toULongLong(), 2u);
    model.removeRowAt(2);
    model.applyRows({});
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(reset.count(), 0);
}

void UnitTest::listWalkStartsAgainWhenItsNextRecordWentAway() {
    auto listed = [](std::uint64_t handle, std::uint64_t next) {
        ClientRecordImage r = record(handle, "00:11:22:33:44:55", makeIpv4(10, 0, 0, std::uint8_t(handle)), 0, 0);
        r.fields.identity.bytes[5] = std::uint8_t(handle);
        r.nextHandle = next;
        return *PipeMessage::make(kPipeDone, 3, encodeClientRecord(r));
    };
    const PipeMessage nothing = PipeMessage::statusOnly(kPipeDone);
    auto walk = [](FakePipePeer& peer, std::vector<std::uint64_t>& asked, bool cut = false) {
        ManagerPipe pipe(peer.name(), std::chrono::milliseconds(2000));
        const ListSnapshot s = readClientList(pipe, ClientList::Static, View::Static, staticRow, RowOptions{});
        for (const PipeMessage& m : peer.requests())
            if (m.word() == toWire(PipeCode::ListStatic))
                asked.push_back(decodeRequestHandle(m.view()).value_or(~0ull));
        std::vector<std::uint64_t> shown;
        for (const EntryRow& r : s.rows) shown.push_back(r.handle);
        if (s.incomplete != cut) shown.push_back(~0ull);  // the list's cut, told or not, is wrong
        return shown;
    };
    using Handles = std::vector<std::uint64_t>;
    {
        // Record 2 is removed after record 1 was read: its handle names nothing, which the server
        // answers as the end of the list. The walk starts again and leaves out record 1.
        FakePipePeer peer({listed(1, 2), nothing, listed(1, 3), listed(3, 0)});
        QVERIFY(peer.listening());
        Handles asked;
        QCOMPARE(walk(peer, asked), (Handles{1, 3}));
        QCOMPARE(asked, (Handles{0, 2, 0, 3}));
    }
    {
        // A list that changes at every look is given up after three new starts, with what was
        // read, and said to be cut.
        std::vector<PipeMessage> replies = {listed(1, 2)};
        for (int i = 0; i < 10; ++i) replies.insert(replies.end(), {nothing, listed(1, 2)});
        FakePipePeer peer(replies);
        Handles asked;
        QCOMPARE(walk(peer, asked, true), (Handles{1}));
        QCOMPARE(asked, (Handles{0, 2, 0, 2, 0, 2, 0, 2}));
    }
    // A server that refuses the list, or goes away, after its first record: the rows read, cut.
    // An empty list (the head's empty answer) is whole; a refused head is not.
    for (const auto& [replies, shown, cut] :
         {std::tuple{std::vector<PipeMessage>{listed(1, 2), PipeMessage::statusOnly(kPipeRefused)}, Handles{1}, true},
          {std::vector<PipeMessage>{listed(1, 2)}, Handles{1}, true},
          {std::vector<PipeMessage>{nothing}, Handles{}, false},
          {std::vector<PipeMessage>{PipeMessage::statusOnly(kPipeRefused)}, Handles{}, true}}) {
        FakePipePeer peer(replies);
        Handles asked;
        QCOMPARE(walk(peer, asked, cut), shown);
    }
    {
        // A broken server whose records lead in a circle (1, 2, 1, ...) or name a record by
        // handle 0, which asks for the head: the walk ends within the new starts, each row once,
        // and no row carries handle 0 (its Modify or Remove would reach the head's entry).
        using Links = std::map<std::uint64_t, std::pair<std::uint64_t, std::uint64_t>>;  // asked: record, next
        const Links circle = {{0, {1, 2}}, {1, {1, 2}}, {2, {2, 1}}}, zero = {{0, {1, 2}}, {2, {0, 3}}, {3, {3, 0}}};
        for (const auto& [server, shown, cut] :
             {std::tuple{circle, Handles{1, 2}, true}, std::tuple{zero, Handles{1, 3}, false}}) {
            const Links& links = server;
            FakePipePeer peer([&links, &listed, n = 0](const PipeMessage& m) mutable -> std::optional<PipeMessage> {
                const auto at = links.find(decodeRequestHandle(m.view()).value_or(~0ull));
                if (++n > 200 || at == links.end()) return std::nullopt;  // the test's bound, not the walk's
                return listed(at->second.first, at->second.second);
            });
            Handles asked;
            QCOMPARE(walk(peer, asked, cut), shown);
            QVERIFY2(asked.size() <= 8, qPrintable(QString::number(asked.size())));
        }
    }
    // Transfers by index: a server that ignores the index and answers every request with the
    // same record shows it once and is asked twice in each of the two walks, not 65,536 times;
    // two transfers of one client differ by its port and are both shown.
    for (const bool ignoresIndex : {true, false}) {
        FakePipePeer peer([ignoresIndex](const PipeMessage& m) -> std::optional<PipeMessage> {
            if (m.word() != toWire(PipeCode::GetTransfer) || m.value() > 100) return std::nullopt;
            if (!ignoresIndex && m.value() == 2) return PipeMessage::statusOnly(kPipeDone);
            TransferImage t;
            t.opcode = kTransferRead;
            t.client = makeIpv4(10, 0, 0, 9);
            t.clientPort = static_cast<std::uint16_t>(1000 + (ignoresIndex ? 0 : m.value()));
            t.path = "/srv/tftp/boot.bin";
            return *PipeMessage::make(kPipeDone, 1, encodeTransferImage(t));
        });
        ManagerPipe pipe(peer.name(), std::chrono::milliseconds(2000));
        const ListSnapshot s = readTransfers(pipe, RowOptions{});
        QCOMPARE(s.rows.size(), std::size_t{ignoresIndex ? 1u : 2u});
        QCOMPARE(peer.requests(PipeCode::GetTransfer).size(), std::size_t{ignoresIndex ? 4u : 6u});
        QVERIFY(!s.incomplete);
    }
    // The listener takes ended transfers out of its list while the walk runs, which moves the
    // later ones an index down. Transfers are named by number (in their file names);
    // each step is the list at the request of that number (0 based), the last one stays.
    struct Shift {
        std::vector<std::vector<int>> steps;
        std::vector<int> shown;
        bool cut;
    };
    std::vector<std::vector<int>> headLeavingAtEveryLook;
    for (int k = 1; k <= 20; ++k) headLeavingAtEveryLook.push_back({k, k + 1});
    for (const Shift& row : {
             // Ended 1 leaves after index 0 was read: the walk passed over running 2 (and showed
             // 1), and is made again until two walks agree.
             Shift{{{1, 2, 3}, {2, 3, 4}}, {2, 3, 4}, false},
             // Ended 2 leaves from the middle after it was read: running 3 was passed over.
             Shift{{{1, 2, 3}, {1, 2, 3}, {1, 3}}, {1, 3}, false},
             // No change: two walks.
             Shift{{{1, 2}}, {1, 2}, false},
             // A head that leaves during every walk: given up after the last new start, cut.
             Shift{headLeavingAtEveryLook, {13, 15}, true},
             // The refusal of an index within the list cuts it.
             Shift{{{1, -1, 3}}, {1}, true},
         }) {
        std::atomic<int> asked = 0;
        FakePipePeer peer([&row, &asked](const PipeMessage& m) -> std::optional<PipeMessage> {
            if (m.word() != toWire(PipeCode::GetTransfer)) return PipeMessage::statusOnly(kPipeDone);
            const auto& list = row.steps[std::min<std::size_t>(asked++, row.steps.size() - 1)];
            if (m.value() < 0 || static_cast<std::size_t>(m.value()) >= list.size() || asked > 100)
                return PipeMessage::statusOnly(kPipeDone);
            if (list[static_cast<std::size_t>(m.value())] < 0) return PipeMessage::statusOnly(kPipeRefused);
            TransferImage t;
            t.opcode = kTransferRead;
            t.client = makeIpv4(10, 0, 0, 9);
            const int n = list[static_cast<std::size_t>(m.value())];
            t.clientPort = static_cast<std::uint16_t>(1000 + n);
            t.blockCounter = static_cast<std::uint32_t>(asked.load());  // running: its counter moves on
            t.path = "/" + std::to_string(n);
            return *PipeMessage::make(kPipeDone, 1, encodeTransferImage(t));
        });
        ManagerPipe pipe(peer.name(), std::chrono::milliseconds(2000));
        const ListSnapshot s = readTransfers(pipe, RowOptions{});
        std::vector<int> shown;
        for (const EntryRow& r : s.rows) shown.push_back(r.texts[3].mid(1).toInt());
        QCOMPARE(shown, row.shown);
        QCOMPARE(s.incomplete, row.cut);
    }

    // The window shows a list the server refused partway as incomplete, and a whole one plainly.
    std::atomic<bool> refuses = true;
    FakePipePeer server([&](const PipeMessage& m) -> std::optional<PipeMessage> {
        auto block = [](const auto& bytes) {
            return *PipeMessage::make(kPipeDone, static_cast<std::int32_t>(bytes.size()), bytes);
        };
        switch (static_cast<PipeCode>(m.word())) {
            case PipeCode::GetStatus:
                return block(encodeServerStatus(ServerStatus{.port = 67, .dynamicUsed = 2}));
            case PipeCode::GetSettings:
                return block(encodeGeneralSettings(GeneralSettings{}));
            case PipeCode::ListDynamic: {
                const bool head = decodeRequestHandle(m.view()) == 0u;
                if (!head && refuses) return PipeMessage::statusOnly(kPipeRefused);
                const std::int64_t now = std::time(nullptr);
                ClientRecordImage r = record(head ? 1 : 2, head ? "02:00:00:00:00:01" : "02:00:00:00:00:02",
                                             makeIpv4(10, 0, 0, head ? 1 : 2), now, now + 600);
                r.nextHandle = head ? 2 : 0;
                return *PipeMessage::make(kPipeDone, 2, encodeClientRecord(r));
            }
            default:
                return PipeMessage::statusOnly(kPipeRefused);
        }
    });
    QTemporaryDir program;
    Language english(program.path().toStdString() + "/");
    UserPreferences preferences(program.path().toStdString() + "/user.ini");
    preferences.write(pref::kTrayIcon, 0);
    MainWindowOptions options;
    options.programDirectory = program.path().toStdString() + "/";
    options.pipeName = server.name();
    options.tickMs = 200;
    MainWindow window(english, preferences, ManagerRights{true, false}, options);
    window.show();
    window.start();
    QTRY_COMPARE(window.model(View::Dynamic)->rowCount(), 1);
    QTRY_VERIFY2(window.topStatusText().endsWith(english.text("LIST_CUT")), qPrintable(window.topStatusText()));
    refuses = false;
    window.actions().views[static_cast<std::size_t>(View::Dynamic)]->trigger();  // read again
    QTRY_COMPARE(window.model(View::Dynamic)->rowCount(), 2);
    QTRY_VERIFY2(!window.topStatusText().contains(english.text("LIST_CUT")), qPrintable(window.topStatusText()));
}

void UnitTest::languageFileReplacesSomeKeys() {
    QTemporaryDir program;
    QVERIFY(program.isValid());
    const std::string dir = program.path().toStdString() + "/";
    QDir(program.path()).mkdir("Languages");
    writeFile(program.path() + "/Languages/test.ini",
              "[Common]\nLANGUAGE=Testisch\nVERSION=1.2\nAUTHOR=A. Translator\nTitle=Testserver\n"
              "[Strings]\nMAC=Kennung\nERROR_PIPE=Dienst\\nnicht aktiv\nREADY=Bereit %s %u\\\nEMPTY=\n"
              "[Menu]\nFILE=&Datei\n[Control]\nOK=\\tJa\\\\\n");
    writeFile(program.path() + "/Languages/nameless.ini", "[Common]\nVERSION=9\n[Strings]\nMAC=never\n");
    writeFile(program.path() + "/Languages/latin.ini",
              "[Common]\nLANGUAGE=Fran\xe7"
              "ais\nCP=1252\n[Strings]\nMAC=\x84Kennung\x93 in \x80\n");

    Language language(dir);
    QCOMPARE(language.text("MAC"), QString("MAC address/Id"));
    QCOMPARE(language.title(), QString("Tolmark DHCP Server"));
    language.load("test.ini", false);
    QVERIFY(language.usesFile());
    QCOMPARE(language.title(), QString("Testserver"));
    QCOMPARE(language.languageName(), QString("Testisch"));
    QCOMPARE(language.text("MAC"), QString("Kennung"));
    QCOMPARE(language.text("PROFILE"), QString("Profile"));  // not translated: English
    QCOMPARE(language.text("ERROR_PIPE"), QString("Dienst\nnicht aktiv"));
    QCOMPARE(language.text("EMPTY"), QString());  // no built-in text either
    QCOMPARE(language.menuText("FILE"), QString("&Datei"));
    QCOMPARE(language.menuText("EXIT"), QString("E&xit"));
    QCOMPARE(language.controlText("OK"), QString("\tJa\\"));
    QCOMPARE(language.controlText("CANCEL"), QString("Cancel"));  // not translated: English
    // Arguments fill "%s" and "%u" in order; a trailing backslash was dropped.
    QCOMPARE(fillArguments(language.text("READY"), {"67", "2"}), QString("Bereit 67 2"));
    QCOMPARE(fillArguments("%n %x %% %u %u", {"1"}), QString("%n %x % 1 %u"));

    // A file without LANGUAGE is listed but never used; a German user without "deutsch.ini"
    // gets English; a path is no file name.
    language.load("nameless.ini", false);
    QVERIFY(!language.usesFile());
    QCOMPARE(language.text("MAC"), QString("MAC address/Id"));
    language.load("", true);
    QVERIFY(!language.usesFile());
    language.load("../Languages/test.ini", false);
    QVERIFY(!language.usesFile());
    writeFile(program.path() + "/Languages/deutsch.ini", "[Common]\nLANGUAGE=Deutsch\n[Strings]\nMAC=MAC-Adresse\n");
    language.load("", true);
    QCOMPARE(language.text("MAC"), QString("MAC-Adresse"));
    language.load("", false);
    QVERIFY(!language.usesFile());

    const auto list = listLanguages(dir, "3.1");
    QCOMPARE(list.size(), 5u);
    QCOMPARE(list[0], (LanguageEntry{"deutsch.ini", "Deutsch", "", ""}));
    QCOMPARE(list[1].language, QString("Fran\u00e7ais"));
    QCOMPARE(list[2], (LanguageEntry{"nameless.ini", "", "9", ""}));
    QCOMPARE(list[3], (LanguageEntry{"test.ini", "Testisch", "1.2", "A. Translator"}));
    QCOMPARE(list[4], (LanguageEntry{"English", "English", "3.1", ""}));
    // The code page of "CP" decodes the texts and the listed name alike. 1252 is Windows' own,
    // whose quotes and euro sign lie where Latin-1 has control codes; 850 is the DOS page some
    // files were saved in, with its umlauts and box characters where Latin-1 has other letters.
    const struct {
        const char *cp, *name, *mac;
        const char16_t* shown;
    } pages[] = {
        {"1252", "Fran\xe7", "\x84Kennung\x93 in \x80", u"\u201EKennung\u201C in \u20AC"},
        {"850", "Fran\x87", "Gr\x94\xE1\x65 \xC9\xCD\xBB \x9A \xFD",
         u"Gr\u00F6\u00DFe \u2554\u2550\u2557 \u00DC \u00B2"},
    };
    for (const auto& page : pages) {
        writeFile(program.path() + "/Languages/latin.ini", QByteArray("[Common]\nLANGUAGE=") + page.name + "ais\nCP=" +
                                                               page.cp + "\n[Strings]\nMAC=" + page.mac + "\n");
        language.load("latin.ini", false);
        QCOMPARE(language.text("MAC"), QString::fromUtf16(page.shown));
        QCOMPARE(listLanguages(dir, "3.1")[1].language, QString("Fran\u00e7ais"));
    }
    writeFile(program.path() + "/Languages/english.ini", "[Common]\nLANGUAGE=ENGLISH\n");
    QCOMPARE(listLanguages(dir, "3.1").size(), 5u);  // a file names English: no built-in row

    // Only the file's own start may carry a byte order mark; inside a value U+FEFF is a
    // character, so a file named by it is in use and has a name.
    writeFile(program.path() + "/Languages/test.ini", "\xEF\xBB\xBF[Common]\nLANGUAGE=\xEF\xBB\xBF\n");
    language.load("test.ini", false);
    QVERIFY(language.usesFile());
    QCOMPARE(language.languageName(), QString(QChar(0xFEFF)));
    writeFile(program.path() + "/Languages/test.ini", "[Common]\nLANGUAGE=\xC3\n");  // cut-off sequence
    language.load("test.ini", false);
    QCOMPARE(language.languageName(), QString(QChar(0xFFFD)));
}

// The German file translates every text the program carries and nothing it does not know: key by
// key against the built-in table (keys compared without case, as in every INI file), with the
// same arguments, no empty value, and menu labels that tell their commands apart.
void UnitTest::germanFileHasEveryKeyOfTheBuiltInTable() {
    const LoadedIniFile german = loadIniFile(MANAGER_SOURCE_DIR "/Languages/deutsch.ini");
    QCOMPARE(int(german.status), int(LoadStatus::kOk));
    auto arguments = [](const QString& text) {
        QString out;
        for (qsizetype i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == u'%' && QStringLiteral("usd%").contains(text[i + 1])) out += text[++i];
        }
        return out;
    };
    QStringList faults;
    for (const auto& [section, name] :
         {std::pair{TextSection::Menu, "Menu"}, {TextSection::Control, "Control"}, {TextSection::Strings, "Strings"}}) {
        std::map<QString, QString> translated;
        for (const SectionEntry& e : german.file.entries(name).value_or(std::vector<SectionEntry>{})) {
            const QString key = QString::fromStdString(e.key).toUpper();
            if (!translated.emplace(key, QString::fromStdString(unescapeText(e.value))).second)
                faults << QStringLiteral("%1/%2 twice").arg(name, key);
        }
        std::set<QString> known;
        for (std::string_view k : builtInKeys(section)) {
            const QString key = QString::fromLatin1(k.data(), qsizetype(k.size())).toUpper();
            known.insert(key);
            const auto it = translated.find(key);
            if (it == translated.end()) {
                faults << QStringLiteral("%1/%2 missing").arg(name, key);
                continue;
            }
            const QString english = builtInText(section, k);
            if (it->second.trimmed().isEmpty()) faults << QStringLiteral("%1/%2 empty").arg(name, key);
            if (arguments(it->second) != arguments(english))
                faults << QStringLiteral("%1/%2 arguments %3, English %4").arg(name, key, it->second, english);
            if (QKeySequence::mnemonic(it->second).isEmpty() != QKeySequence::mnemonic(english).isEmpty())
                faults << QStringLiteral("%1/%2 mnemonic %3, English %4").arg(name, key, it->second, english);
        }
        for (const auto& [key, text] : translated) {
            if (!known.count(key)) faults << QStringLiteral("%1/%2 unknown to the program").arg(name, key);
        }
    }
    // Stopping the service and leaving the program are different commands.
    QVERIFY(german.file.value("Menu", "STOP") != german.file.value("Menu", "EXIT"));
    // No two items of one menu share a mnemonic letter: Alt and the letter reach only the first.
    Language language(MANAGER_SOURCE_DIR "/");
    for (const char* file : {"", "deutsch.ini"}) {
        language.load(file, false);
        QMenuBar bar;
        WindowMenus menus(&bar, true, nullptr);
        menus.retranslate(language);
        std::function<void(const QList<QAction*>&)> walk = [&](const QList<QAction*>& items) {
            std::map<QString, QString> taken;
            for (QAction* a : items) {
                const QString letter = QKeySequence::mnemonic(a->text()).toString();
                if (!letter.isEmpty() && !taken.emplace(letter, a->text()).second)
                    faults << QStringLiteral("%1: %2 and %3").arg(file, taken[letter], a->text());
                if (a->menu() != nullptr) walk(a->menu()->actions());
            }
        };
        walk(bar.actions());
        for (View view : {View::Static, View::Dynamic, View::Ignored}) {
            menus.fillContextMenu(view, true);
            walk(menus.contextMenu()->actions());
        }
    }
    QVERIFY2(faults.isEmpty(), qPrintable(faults.join(u'\n')));
}

// The right-hand text of the bottom bar for each lease store, in English and in German; nothing
// while the store is not known or the server is not reached.
void UnitTest::leaseStoreTextNamesTheStore() {
    Language english(MANAGER_SOURCE_DIR "/");
    Language german(MANAGER_SOURCE_DIR "/");
    german.load("deutsch.ini", false);
    QVERIFY(german.usesFile());
    const std::string db = "PostgreSQL host=db1 dbname=leases";
    const struct {
        std::optional<LeaseStoreReply> store;
        int stateCode;
        QString english;
        QString german;
    } cases[] = {
        {LeaseStoreReply{kLeaseStoreFiles, 0, ""}, kStateReady, "Leases: client files", "Leases: Client-Dateien"},
        {LeaseStoreReply{kLeaseStoreDatabase, 3, db}, kStateReady,
         "Leases: PostgreSQL host=db1 dbname=leases, reachable, 3 changes waiting",
         "Leases: PostgreSQL host=db1 dbname=leases, erreichbar, 3 \u00c4nderungen ausstehend"},
        {LeaseStoreReply{kLeaseStoreDatabaseUnreachable, 12, db}, kStatePortInUse,
         "Leases: PostgreSQL host=db1 dbname=leases, unreachable (leases served from memory), 12 changes waiting",
         "Leases: PostgreSQL host=db1 dbname=leases, nicht erreichbar (Leases aus dem Speicher bedient), 12 "
         "\u00c4nderungen ausstehend"},
        {std::nullopt, kStateReady, "", ""},
        {LeaseStoreReply{kLeaseStoreFiles, 0, ""}, kStatePipeFailure, "", ""},
    };
    for (const auto& c : cases) {
        ServerState state;
        state.leaseStore = c.store;
        state.stateCode = c.stateCode;
        QCOMPARE(leaseStoreText(english, state), c.english);
        QCOMPARE(leaseStoreText(german, state), c.german);
    }
}

// No server on the pipe: the window says so in its bottom bar and shows the language file's
// texts where it has them, English elsewhere.
void UnitTest::windowWithoutServerShowsTranslatedTexts() {
    QTemporaryDir program;
    QDir(program.path()).mkdir("Languages");
    writeFile(program.path() + "/Languages/test.ini",
              "[Common]\nLANGUAGE=Testisch\n[Strings]\nMAC=Kennung\nERROR_PIPE=Dienst\\nnicht "
              "aktiv\nSTATE_TEXT=Zustand\n[Menu]\nWINDOW=&Fenster\n");
    Language language(program.path().toStdString() + "/");
    language.load("test.ini", false);
    UserPreferences preferences(program.path().toStdString() + "/user.ini");
    preferences.write(pref::kTrayIcon, 0);
    MainWindowOptions options;
    options.programDirectory = program.path().toStdString() + "/";
    options.pipeName = "tolmark_manager_unit_" + std::to_string(QCoreApplication::applicationPid());
    options.tickMs = 200;
    MainWindow window(language, preferences, ManagerRights{true, false}, options);
    window.show();
    window.start();
    QTRY_COMPARE(window.bottomStatusText(), QString("Dienst\nnicht aktiv"));
    QCOMPARE(window.leaseStoreText(), QString());
    QStringList descriptions;  // what a screen reader says of the status texts
    for (const QLabel* label : window.statusBar()->findChildren<QLabel*>())
        descriptions << label->accessibleDescription();
    QVERIFY2(descriptions.contains("Zustand") && descriptions.contains("Lease store"),
             qPrintable(descriptions.join('|')));
    QCOMPARE(window.currentView(), View::Dynamic);
    EntryListModel* m = window.model(View::Dynamic);
    QCOMPARE(m->headerData(0, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Kennung"));
    QCOMPARE(m->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), QString("Leased until"));
    QCOMPARE(window.actions().refresh->text(), QString("&Auto Refresh"));
    QVERIFY(window.menuBar()->actions().at(2)->text() == QString("&Fenster"));
    QCOMPARE(m->rowCount(), 0);
    QVERIFY(!window.actions().views[3]->isEnabled());  // TFTP: no server, no TFTP

    // Profile items of the Options menu show their names whole: an "&" is no mnemonic.
    QMenuBar bar;
    WindowMenus menus(&bar, false, nullptr);
    menus.setProfiles({"Lab", "R&D", "A&&B"}, true);
    QStringList shown;
    for (QAction* a : bar.actions().at(1)->menu()->actions().mid(4)) {  // after the separator
        QVERIFY2(QKeySequence::mnemonic(a->text()).isEmpty(), qPrintable(a->text()));
        shown << a->iconText();
    }
    QCOMPARE(shown, QStringList({"Lab", "R&D", "A&&B"}));
}

// Without the thread that talks to the server, the window says so in the words of its language:
// "ERROR_INIT" instead of starting, "FAILED" for every dialog it cannot make.
void UnitTest::failedStartAndDialogsSayTheLanguagesText() {
    QTemporaryDir home;
    Language english(home.path().toStdString() + "/");
    Language german(MANAGER_SOURCE_DIR "/");
    german.load("deutsch.ini", false);
    QVERIFY(german.usesFile());
    UserPreferences preferences(home.path().toStdString() + "/user.ini");
    preferences.write(pref::kTrayIcon, 0);
    MainWindowOptions options;
    options.programDirectory = home.path().toStdString() + "/";
    options.pipeName = "tolmark_manager_unit_stopped_" + std::to_string(QCoreApplication::applicationPid());
    const struct {
        Language* language;
        QString initFailed, dialogFailed;
    } cases[] = {
        {&english, "Initialization failed.", "Failed to create dialog"},
        {&german, "Initialisierung fehlgeschlagen.", "Der Dialog ließ sich nicht öffnen"},
    };
    for (const auto& c : cases) {
        MainWindow window(*c.language, preferences, ManagerRights{true, true}, options);
        test::MessageAnswerer answerer;
        QVERIFY(window.readyToStart());
        window.worker().stop();
        QVERIFY(!window.readyToStart());
        window.openPreferences();
        window.openProfiles();
        window.openProfileEditor("Standard", nullptr);
        window.openStaticEntry(StaticMode::Add);
        window.openLog();
        QCOMPARE(answerer.take(), QStringList({c.initFailed, c.dialogFailed, c.dialogFailed, c.dialogFailed,
                                               c.dialogFailed, c.dialogFailed}));
    }
}

// A saved position off the screen or negative opens the window at 0 on that axis; a saved TFTP
// view while the TFTP server is off (here: no server at all) opens the Static view and stays saved.
void UnitTest::savedWindowStateIsCheckedOnStart() {
    QTemporaryDir home;
    Language language(home.path().toStdString() + "/");
    UserPreferences preferences(home.path().toStdString() + "/user.ini");
    preferences.write(pref::kTrayIcon, 0);
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    struct Case {
        std::int32_t left, top;
        QPoint expected;
    } cases[] = {
        {30, 40, {30, 40}},
        {screen.width() - 5, 40, {0, 40}},
        {30, screen.height(), {30, 0}},
        {-20, -1, {0, 0}},
        {pref::kNoPosition, pref::kNoPosition, {0, 0}},
    };
    MainWindowOptions options;
    options.pipeName = "tolmark_manager_unit_none_" + std::to_string(QCoreApplication::applicationPid());
    for (const Case& c : cases) {
        preferences.write(pref::kLeft, c.left);
        preferences.write(pref::kTop, c.top);
        MainWindow window(language, preferences, ManagerRights{}, options);
        QCOMPARE(window.pos(), c.expected);
    }
    preferences.write(pref::kView, 3);
    preferences.write(pref::kWidth, 10);  // raised to the smallest size the window allows
    MainWindow window(language, preferences, ManagerRights{}, options);
    QCOMPARE(window.size().width(), window.minimumWidth());
    window.start();
    QTRY_COMPARE(window.currentView(), View::Static);
    QCOMPARE(preferences.read(pref::kView), 3);  // kept: the TFTP view comes back with the TFTP server
}

void UnitTest::secondStartHandsOverToTheFirst() {
    const QString name = QStringLiteral("tolmark-manager-unit-%1").arg(QCoreApplication::applicationPid());
    SingleInstance first(name);
    QVERIFY(first.claim());
    QSignalSpy activated(&first, &SingleInstance::activationRequested);
    SingleInstance second(name);
    QVERIFY(!second.claim());
    QVERIFY(activated.wait(3000));
}

QTEST_MAIN(UnitTest)
#include "unit_test.moc"
