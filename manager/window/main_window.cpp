#include "manager/window/main_window.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include "manager/dialogs/log/log_viewer.h"
#include "manager/dialogs/preferences/preferences_dialog.h"
#include "manager/dialogs/profiles/profile_editor.h"
#include "manager/dialogs/profiles/profile_list_dialog.h"

#include <algorithm>
#include <ctime>

namespace tolmark::manager {

namespace {

constexpr int kLookupNamesBit = 2;  // bit 1 of "Lookup": the server resolves host names
constexpr int kListChanged = 1;     // refresh bits
constexpr int kStatusChanged = 2;
constexpr int kDefaultColumnPercent[kColumnCount] = {24, 14, 18, 24, 20};
constexpr const char* kViewButtonKeys[kViewCount] = {"VIEW_STATIC", "VIEW_DYNAMIC", "VIEW_IGNORED", nullptr};
constexpr const char* kViewMenuKeys[kViewCount] = {"STATIC", "DYNAMIC", "IGNORED", "TFTP"};

QString number(long long n) { return QString::number(n); }

// The state code the server reports in its status record; it writes only 0 and 1 today.
int stateFromStatus(const ServerStatus& status) {
    const int code = status.serverStopping;
    return code == kStateOtherServer || code == kStatePortInUse || code == kStateTftpFailed ? code : kStateReady;
}

std::vector<std::string> readProfileNames(ManagerPipe& pipe) {
    std::vector<std::string> names;
    for (std::int32_t index = 0; index < 4096; ++index) {
        const PipeResult<ProfileEntry> profile = pipe.getProfile(index);
        if (!profile.ok()) break;
        names.push_back(profile.value.profile.name);
    }
    return names;
}

}  // namespace

// The settings blocks, the status record and the profile names, as fetched at start and at the
// first contact with the server.
struct MainWindow::ServerBlocks {
    PipeResult<GeneralSettings> general;
    PipeResult<ServerStatus> status;
    PipeResult<TftpSettings> tftp;
    PipeResult<MulticastSettings> multicast;
    std::vector<std::string> profiles;

    static ServerBlocks fetch(ManagerPipe& pipe, bool withStatus) {
        ServerBlocks b;
        b.general = pipe.getSettings();
        if (withStatus) b.status = pipe.getStatus(-1);
        b.tftp = pipe.getTftpSettings();
        b.multicast = pipe.getMulticast();
        if (b.general.ok()) b.profiles = readProfileNames(pipe);
        return b;
    }
};

struct MainWindow::TickResult {
    PipeResult<ServerStatus> status;
    std::optional<unsigned> untrustedUid;
    std::optional<ServerBlocks> firstContact;
};

MainWindow::MainWindow(Language& language, UserPreferences& preferences, ManagerRights rights,
                       MainWindowOptions options)
    : language_(language),
      preferences_(preferences),
      rights_(rights),
      options_(std::move(options)),
      icons_(loadListIcons()),
      worker_(options_.pipeName, options_.pipeTimeout) {
    setObjectName(QStringLiteral("Dorvane"));
    setWindowIcon(programIcon());
    models_ = {new StaticModel(&icons_, this), new DynamicModel(&icons_, this), new IgnoredModel(&icons_, this),
               new TransferModel(&icons_, this)};
    const int saved = preferences_.read(pref::kView);
    view_ = saved >= 0 && saved < kViewCount ? static_cast<View>(saved) : View::Dynamic;
    hideNoAddress_ = preferences_.flag(pref::kViewIp);
    showReserved_ = preferences_.flag(pref::kExcluded);
    buildWidgets();
    buildMenus();
    applySavedGeometry();
    timer_.setInterval(options_.tickMs);
    connect(&timer_, &QTimer::timeout, this, &MainWindow::tick);
    retranslate();
}

MainWindow::~MainWindow() = default;

// ---- Building ------------------------------------------------------------------------------------

void MainWindow::buildWidgets() {
    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    topBar_ = new QStatusBar(central);
    topBar_->setSizeGripEnabled(false);
    topText_ = new QLabel(topBar_);
    topText_->setAccessibleName(QStringLiteral("Counts"));
    modeText_ = new QLabel(topBar_);
    modeText_->setAccessibleName(QStringLiteral("Mode"));
    topBar_->addWidget(topText_, 1);
    topBar_->addPermanentWidget(modeText_);
    modeText_->setVisible(!rights_.mayChange);
    layout->addWidget(topBar_);

    list_ = new QTreeView(central);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setTextElideMode(Qt::ElideRight);
    list_->header()->setSectionsClickable(true);
    list_->header()->setStretchLastSection(false);
    list_->header()->setSectionsMovable(false);
    list_->setModel(model(view_));
    connect(list_->header(), &QHeaderView::sectionClicked, this, &MainWindow::sortByColumn);
    connect(list_->header(), &QHeaderView::sectionResized, this, [this](int column, int, int size) {
        if (columnsSet_ && column >= 0 && column < kColumnCount) columnWidths_[static_cast<std::size_t>(column)] = size;
    });
    connect(list_, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    layout->addWidget(list_, 1);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(6, 4, 6, 4);
    newButton_ = new QPushButton(central);
    newButton_->setObjectName(QStringLiteral("New"));
    connect(newButton_, &QPushButton::clicked, this, [this] { openStaticEntry(StaticMode::Add); });
    row->addWidget(newButton_);
    tftpIdle_ = renderSvg(QStringLiteral(":/icons/tftp-idle.svg"), QSize(32, 20));
    tftpActive_ = renderSvg(QStringLiteral(":/icons/tftp-active.svg"), QSize(32, 20));
    tftpIndicator_ = new QLabel(central);
    tftpIndicator_->setAccessibleName(QStringLiteral("TFTP"));
    row->addWidget(tftpIndicator_);
    row->addStretch(1);
    viewButtons_ = new QButtonGroup(this);
    viewButtons_->setExclusive(true);
    // Left to right: TFTP, Static, Dynamic, Ignored.
    for (View v : {View::Tftp, View::Static, View::Dynamic, View::Ignored}) {
        auto* b = new QToolButton(central);
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setMinimumWidth(fontMetrics().averageCharWidth() * 12);
        viewButtons_->addButton(b, static_cast<int>(v));
        row->addWidget(b);
    }
    connect(viewButtons_, &QButtonGroup::idClicked, this, &MainWindow::onViewCommand);
    layout->addLayout(row);
    setCentralWidget(central);

    stateText_ = new QLabel(statusBar());
    stateText_->setAccessibleName(QStringLiteral("Server state"));
    statusBar()->addWidget(stateText_, 1);
    statusBar()->setSizeGripEnabled(true);

    contextMenu_ = new QMenu(this);
    const int button = fontMetrics().averageCharWidth() * 12;
    setMinimumSize(6 * button + std::max(button / 2, 20), 200);
}

QAction* MainWindow::addCommand(QMenu* menu, int id, const char* key, void (MainWindow::*slot)()) {
    QAction* a = menu->addAction(QString());
    a->setProperty("languageKey", QString::fromLatin1(key));
    if (slot != nullptr) connect(a, &QAction::triggered, this, slot);
    actions_[id] = a;
    return a;
}

void MainWindow::buildMenus() {
    fileMenu_ = menuBar()->addMenu(QString());
    serviceMenu_ = fileMenu_->addMenu(QString());
    addCommand(serviceMenu_, command::kStart, "START", &MainWindow::startService);
    addCommand(serviceMenu_, command::kStop, "STOP", &MainWindow::stopService);
    addCommand(fileMenu_, command::kLog, "LOG", &MainWindow::openLog);
    fileMenu_->addSeparator();
    addCommand(fileMenu_, command::kExit, "EXIT", &MainWindow::exitProgram);
    // The Service submenu needs the right to control the service.
    serviceMenu_->menuAction()->setVisible(rights_.mayControlService);

    optionsMenu_ = menuBar()->addMenu(QString());
    addCommand(optionsMenu_, command::kPreferences, "MENU", &MainWindow::openPreferences);
    addCommand(optionsMenu_, command::kAddStatic, "ADDSTATIC", &MainWindow::addStaticEntry);
    addCommand(optionsMenu_, command::kProfiles, "MODIFY", &MainWindow::openProfiles);
    profileSeparator_ = optionsMenu_->addSeparator();

    windowMenu_ = menuBar()->addMenu(QString());
    for (int v = 0; v < kViewCount; ++v) {
        QAction* a = addCommand(windowMenu_, command::kViewStatic + v, kViewMenuKeys[v], nullptr);
        a->setCheckable(true);
        connect(a, &QAction::triggered, this, [this, v] { onViewCommand(v); });
    }
    windowMenu_->addSeparator();
    addCommand(windowMenu_, command::kNames, "NAMES", &MainWindow::toggleNames)->setCheckable(true);
    addCommand(windowMenu_, command::kRemarks, "REMARKS", &MainWindow::toggleRemarks)->setCheckable(true);
    addCommand(windowMenu_, command::kRefresh, "REFRESH", &MainWindow::toggleRefresh)->setCheckable(true);

    helpMenu_ = menuBar()->addMenu(QString());
    addCommand(helpMenu_, command::kContents, "CONTENTS", &MainWindow::openHelp);
    helpMenu_->addSeparator();
    addCommand(helpMenu_, command::kAbout, "ABOUT", &MainWindow::showAbout);

    // The context menu's commands: the static entry dialog in its modes, and Remove.
    auto contextAction = [this](int id, const char* key, std::function<void()> slot) {
        auto* a = new QAction(this);
        a->setProperty("languageKey", QString::fromLatin1(key));
        connect(a, &QAction::triggered, this, std::move(slot));
        actions_[id] = a;
    };
    contextAction(command::kModify, "MODIFY", [this] { openStaticEntry(StaticMode::Modify); });
    contextAction(command::kCopy, "COPY", [this] { openStaticEntry(StaticMode::Copy); });
    contextAction(command::kMove, "MOVE", [this] { openStaticEntry(StaticMode::Move); });
    contextAction(command::kRemove, "REMOVE", [this] { removeSelected(); });
}

QAction* MainWindow::action(int id) const {
    auto it = actions_.find(id);
    return it == actions_.end() ? nullptr : it->second;
}

// ---- Start and poll ------------------------------------------------------------------------------

void MainWindow::start() {
    worker_.post(
        this, [](ManagerPipe& pipe) { return ServerBlocks::fetch(pipe, true); },
        [this](ServerBlocks blocks) {
            applyBlocks(blocks);
            if (blocks.general.failed()) stateCode_ = kStatePipeFailure;
            if (blocks.status.ok()) {
                status_ = blocks.status.value;
                activeTftp_ = status_.tftpTransfers;
            }
            // A saved TFTP view while the TFTP server is off opens the Static view.
            if (view_ == View::Tftp && activeTftp_ < 0) switchView(View::Static);
            rewriteStatus();
            refreshList();
        });
    timer_.start();
}

void MainWindow::reloadServerBlocks() {
    worker_.post(
        this, [](ManagerPipe& pipe) { return ServerBlocks::fetch(pipe, false); },
        [this](ServerBlocks blocks) {
            applyBlocks(blocks);
            retranslate();
            refreshList();
        });
}

DialogContext MainWindow::dialogContext() {
    DialogContext context{.worker = worker_,
                          .language = language_,
                          .preferences = preferences_,
                          .rights = rights_,
                          .programDirectory = options_.programDirectory,
                          .serverConfig = options_.serverConfig,
                          .germanUser = options_.germanUser};
    context.notePipe = [this](PipeStatus status) { notePipeResult(status); };
    context.rebuildMenus = [this] {
        retranslate();
        reloadServerBlocks();
    };
    context.markListsChanged = [this] { pendingBits_ |= kListChanged; };
    context.openProfileEditor = [this](const std::string& name, QWidget* parent) { openProfileEditor(name, parent); };
    return context;
}

void MainWindow::openPreferences() {
    DialogContext context = dialogContext();
    PreferencesDialog dialog(context, this);
    dialog.exec();
}

void MainWindow::openProfiles() {
    DialogContext context = dialogContext();
    ProfileListDialog dialog(context, this);
    dialog.exec();
}

void MainWindow::openProfileEditor(const std::string& name, QWidget* parent) {
    DialogContext context = dialogContext();
    ProfileEditor editor(context, name, parent != nullptr ? parent : this);
    editor.exec();
}

void MainWindow::openLog() {
    DialogContext context = dialogContext();
    LogViewer viewer(context, this);
    viewer.exec();
}

EntryListHooks MainWindow::entryListHooks() {
    EntryListHooks hooks;
    hooks.selected = [this] {
        std::vector<int> rows;
        for (const QModelIndex& i : list_->selectionModel()->selectedRows()) rows.push_back(i.row());
        std::sort(rows.begin(), rows.end());
        std::vector<std::uint64_t> handles;
        for (int r : rows) handles.push_back(model(view_)->row(r).handle);
        return handles;
    };
    hooks.rowChanged = [this](std::uint64_t handle, const ClientFields& fields) {
        EntryListModel* m = model(View::Static);
        const int row = m->rowOfHandle(handle);
        ClientRecordImage record;
        record.handle = handle;
        record.fields = fields;
        RowOptions options = rowOptions();
        options.hideNoAddress = false;  // the row is rewritten, not dropped
        if (row >= 0) {
            if (std::optional<EntryRow> rewritten = staticRow(record, options)) m->replaceRow(row, *rewritten);
        }
    };
    hooks.rowRemoved = [this](std::uint64_t handle) {
        EntryListModel* m = model(View::Ignored);
        m->removeRowAt(m->rowOfHandle(handle));
        status_.ignoredUsed = std::max(status_.ignoredUsed - 1, 0);
        rewriteTopStatus();
    };
    hooks.entryAdded = [this] {
        if (view_ != View::Static) return;
        auto scroll = std::make_shared<QMetaObject::Connection>();
        *scroll = connect(this, &MainWindow::listRefreshed, this, [this, scroll](View view) {
            disconnect(*scroll);
            if (view == View::Static && model(view)->rowCount() > 0) list_->scrollToBottom();
        });
        refreshList();
    };
    return hooks;
}

void MainWindow::addStaticEntry() { openStaticEntry(StaticMode::Add); }

// Without the right to change the server the dialog still shows, with OK and Apply disabled.
void MainWindow::openStaticEntry(StaticMode mode) {
    DialogContext context = dialogContext();
    StaticEntryDialog dialog(context, mode, entryListHooks(), this);
    dialog.exec();
}

void MainWindow::applyBlocks(const ServerBlocks& blocks) {
    notePipeResult(blocks.general.status);
    if (blocks.general.ok()) {
        general_ = blocks.general.value;
        profileNames_ = blocks.profiles;
        action(command::kNames)->setChecked((general_->lookup & kLookupNamesBit) != 0);
    }
    if (blocks.tftp.ok()) tftp_ = blocks.tftp.value;
    if (blocks.multicast.ok()) multicast_ = blocks.multicast.value;
    applyMenuTexts();
    rebuildProfileItems();
}

void MainWindow::tick() {
    // A poll still on its way (each is bounded by the pipe time-out) makes this one superfluous.
    if (tickPending_) return;
    tickPending_ = true;
    const bool firstContact = firstContact_ < 0;
    worker_.post(
        this,
        [firstContact](ManagerPipe& pipe) {
            TickResult r;
            r.status = pipe.getStatus(-1);
            if (r.status.failed()) r.untrustedUid = pipe.untrustedServerUid();
            if (firstContact && r.status.ok()) r.firstContact = ServerBlocks::fetch(pipe, false);
            return r;
        },
        [this](TickResult r) {
            tickPending_ = false;
            onTick(r);
        });
}

void MainWindow::onTick(const TickResult& r) {
    int bits = 0;
    untrustedUid_ = r.untrustedUid;
    notePipeResult(r.status.status);
    if (r.status.failed()) {
        stateCode_ = kStatePipeFailure;
        bits = kListChanged | kStatusChanged;
    } else if (!r.status.ok()) {
        // The server answered but refused its status or answered short: not a server to manage.
        close();
        return;
    } else if (firstContact_ >= 0) {
        const ServerStatus& s = r.status.value;
        bits = pendingBits_ | s.statusChanged;
        if (s.tftpTransfers != activeTftp_) bits |= kStatusChanged;
        if (stateFromStatus(s) != stateCode_) bits |= kListChanged | kStatusChanged;
        status_ = s;
        activeTftp_ = s.tftpTransfers;
        stateCode_ = stateFromStatus(s);
        pendingBits_ = 0;
    } else {
        status_ = r.status.value;
        activeTftp_ = status_.tftpTransfers;
        stateCode_ = stateFromStatus(status_);
        if (r.firstContact) applyBlocks(*r.firstContact);
        pendingBits_ |= kListChanged;
        firstContact_ = r.firstContact && r.firstContact->general.ok() ? 1 : 0;
        bits = kListChanged | kStatusChanged;
    }
    if (bits & kStatusChanged) rewriteStatus();
    if ((preferences_.flag(pref::kRefresh) && (bits & kListChanged)) || view_ == View::Tftp) refreshList();
}

void MainWindow::notePipeResult(PipeStatus status) {
    if (status == PipeStatus::Failed) stateText_->setText(pipeFailureText());
}

// Another user's process holding the pipe's name is named as such: it is not the server.
QString MainWindow::pipeFailureText() const {
    if (untrustedUid_) return fillArguments(language_.text("ERROR_UNTRUSTED"), {QString::number(*untrustedUid_)});
    return language_.text("ERROR_PIPE");
}

// ---- Lists ---------------------------------------------------------------------------------------

RowOptions MainWindow::rowOptions() const {
    RowOptions o;
    o.dash = preferences_.flag(pref::kShowDash);
    o.textForm = preferences_.flag(pref::kShowString);
    o.remarks = preferences_.flag(pref::kRemarks);
    o.resolveNames = general_ && (general_->lookup & kLookupNamesBit) != 0;
    o.hideNoAddress = hideNoAddress_;
    o.showReserved = showReserved_;
    o.viewOld = preferences_.read(pref::kViewOld);
    o.percent = preferences_.flag(pref::kPercent);
    o.tftpRootLength = tftp_ ? tftp_->directory.size() : 0;
    o.now = static_cast<std::int64_t>(std::time(nullptr));
    return o;
}

ClientListModel* MainWindow::clientModel(View view) const {
    return view == View::Tftp ? nullptr : static_cast<ClientListModel*>(model(view));
}

void MainWindow::refreshList() {
    const View view = view_;
    const RowOptions options = rowOptions();
    auto done = [this, view, removals = removals_[static_cast<std::size_t>(view)]](ListSnapshot snapshot) {
        // A list read before a removal was carried out would bring the removed rows back.
        if (removals == removals_[static_cast<std::size_t>(view)]) onListRead(view, snapshot);
    };
    if (view == View::Tftp) {
        worker_.post(
            this, [options](ManagerPipe& pipe) { return readTransfers(pipe, options); }, done);
        return;
    }
    const ClientListModel* m = clientModel(view);
    worker_.post(
        this,
        [list = m->list(), build = m->rowBuilder(), view, options](ManagerPipe& pipe) {
            return readClientList(pipe, list, view, build, options);
        },
        done);
}

void MainWindow::onListRead(View view, const ListSnapshot& snapshot) {
    model(view)->applyRows(snapshot.rows);
    if (view == View::Tftp && !snapshot.firstFailed) activeTftp_ = snapshot.activeTransfers;
    notePipeResult(snapshot.status.status);
    if (snapshot.status.ok()) status_ = snapshot.status.value;
    if (view == view_) rewriteTopStatus();
    emit listRefreshed(view);
}

void MainWindow::sortByColumn(int column) {
    ClientListModel* m = clientModel(view_);
    if (m == nullptr || column < 0 || column >= kColumnCount) return;
    const bool descending = descending_;
    descending_ = !descending_;
    worker_.post(
        this,
        [list = m->list(), view = view_, column, descending, handles = m->handles()](ManagerPipe& pipe) {
            return sortHandles(pipe, list, view, column, descending, handles);
        },
        [this, m](std::vector<std::uint64_t> order) {
            m->reorder(order);
            emit rowsSorted();
        });
}

void MainWindow::removeSelected() {
    ClientListModel* m = clientModel(view_);
    if (m == nullptr || !rights_.mayChange) return;
    std::vector<int> rows;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows()) rows.push_back(i.row());
    std::sort(rows.rbegin(), rows.rend());
    ++removals_[static_cast<std::size_t>(view_)];
    std::vector<std::uint64_t> handles;
    for (int r : rows) {
        handles.push_back(m->row(r).handle);
        m->removeRowAt(r);
    }
    worker_.post(
        this,
        [list = m->list(), view = view_, handles](ManagerPipe& pipe) {
            for (std::uint64_t h : handles) pipe.removeClient(list, h);
            return pipe.getStatus(static_cast<std::int32_t>(view));
        },
        [this](PipeResult<ServerStatus> status) {
            notePipeResult(status.status);
            if (status.ok()) status_ = status.value;
            rewriteTopStatus();
        });
}

// ---- Views and commands --------------------------------------------------------------------------

void MainWindow::onViewCommand(int v) {
    if (v < 0 || v >= kViewCount) return;
    switchView(static_cast<View>(v));
}

void MainWindow::switchView(View view) {
    if (view == View::Static) hideNoAddress_ = view_ == View::Static ? !hideNoAddress_ : false;
    if (view == View::Dynamic) showReserved_ = view_ == View::Dynamic ? !showReserved_ : false;
    if (view != view_) {
        view_ = view;
        list_->setModel(model(view));
        applyColumnWidths();
    }
    preferences_.write(pref::kView, static_cast<int>(view));
    updateViewChecks();
    relabelColumns();
    rewriteStatus();
    refreshList();
}

void MainWindow::toggleNames() {
    if (!general_) {
        action(command::kNames)->setChecked(false);
        return;
    }
    general_->lookup ^= kLookupNamesBit;
    action(command::kNames)->setChecked((general_->lookup & kLookupNamesBit) != 0);
    worker_.post(
        this, [settings = *general_](ManagerPipe& pipe) { return pipe.setSettings(settings); },
        [this](PipeStatus status) { notePipeResult(status); });
    pendingBits_ |= kListChanged;
}

void MainWindow::toggleRemarks() {
    const bool on = !preferences_.flag(pref::kRemarks);
    preferences_.write(pref::kRemarks, on ? 1 : 0);
    action(command::kRemarks)->setChecked(on);
    if (view_ == View::Static) {
        relabelColumns();
        refreshList();
    }
}

void MainWindow::toggleRefresh() {
    const bool on = !preferences_.flag(pref::kRefresh);
    preferences_.write(pref::kRefresh, on ? 1 : 0);
    action(command::kRefresh)->setChecked(on);
    if (on) refreshList();
}

void MainWindow::exitProgram() { close(); }

void MainWindow::startService() { controlService(ServiceOperation::Start); }
void MainWindow::stopService() { controlService(ServiceOperation::Stop); }

void MainWindow::openHelp() {
    const QString page = QString::fromStdString(resourceDirectory(options_.programDirectory, "doc")) +
                         (options_.germanUser ? QStringLiteral("dhcp-d.htm") : QStringLiteral("dhcp.htm"));
    if (!QFileInfo::exists(page) || !QDesktopServices::openUrl(QUrl::fromLocalFile(page)))
        QMessageBox::warning(this, language_.title(), fillArguments(language_.text("HELP_MISSING"), {page}));
}

void MainWindow::showAbout() {
    QMessageBox box(this);
    box.setWindowTitle(language_.text("ABOUT_TITLE") + QStringLiteral(" - ") + language_.title());
    box.setIconPixmap(programIcon().pixmap(64, 64));
    box.setTextFormat(Qt::RichText);
    box.setText(QStringLiteral("<h3>Dorvane</h3><p>%1</p><p>%2</p>")
                    .arg(fillArguments(language_.text("VERSION"), {QStringLiteral(TOLMARK_VERSION)}).toHtmlEscaped(),
                         language_.text("ABOUT_TEXT").toHtmlEscaped()));
    box.setInformativeText(language_.title().toHtmlEscaped());
    box.setStandardButtons(QMessageBox::Ok);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.exec();
}

void MainWindow::showContextMenu(const QPoint& at) {
    if (view_ == View::Tftp || !list_->selectionModel()->hasSelection() || contextMenu_->isEmpty()) return;
    contextMenu_->popup(list_->viewport()->mapToGlobal(at));
}

// ---- Texts and status ----------------------------------------------------------------------------

void MainWindow::retranslate() {
    setWindowTitle(language_.title());
    applyMenuTexts();
    rebuildProfileItems();
    updateViewChecks();
    relabelColumns();
    rewriteStatus();
}

void MainWindow::applyMenuTexts() {
    fileMenu_->setTitle(language_.menuText("FILE"));
    serviceMenu_->setTitle(language_.menuText("SERVICE"));
    optionsMenu_->setTitle(language_.menuText("OPTIONS"));
    windowMenu_->setTitle(language_.menuText("WINDOW"));
    helpMenu_->setTitle(language_.menuText("HELP"));
    for (const auto& [id, a] : actions_) {
        const std::string key = a->property("languageKey").toString().toStdString();
        const bool context = id >= command::kModify && id <= command::kRemove;
        a->setText(context ? language_.text(key) : language_.menuText(key));
    }
    for (int v = 0; v < kViewCount; ++v) {
        QAbstractButton* b = viewButtons_->button(v);
        b->setText(kViewButtonKeys[v] != nullptr ? language_.text(kViewButtonKeys[v]) : QStringLiteral("TFTP"));
        b->setAccessibleName(b->text());
    }
    newButton_->setText(language_.text("ADD"));
    action(command::kRemarks)->setChecked(preferences_.flag(pref::kRemarks));
    action(command::kRefresh)->setChecked(preferences_.flag(pref::kRefresh));
}

void MainWindow::rebuildProfileItems() {
    for (QAction* a : profileActions_) delete a;
    profileActions_.clear();
    const bool show = preferences_.flag(pref::kAddProfiles) && !profileNames_.empty();
    profileSeparator_->setVisible(show);
    if (!show) return;
    for (std::size_t index = 0; index < profileNames_.size(); ++index) {
        QAction* a = optionsMenu_->addAction(QString::fromStdString(profileNames_[index]));
        // The profile is fetched again by its index: the name may have changed meanwhile.
        connect(a, &QAction::triggered, this, [this, index] {
            const auto i = static_cast<std::int32_t>(index);
            const PipeResult<ProfileEntry> p = worker_.call([i](ManagerPipe& pipe) { return pipe.getProfile(i); });
            notePipeResult(p.status);
            if (p.ok()) openProfileEditor(p.value.profile.name, this);
        });
        profileActions_.push_back(a);
    }
}

void MainWindow::updateViewChecks() {
    for (int v = 0; v < kViewCount; ++v) action(command::kViewStatic + v)->setChecked(v == static_cast<int>(view_));
    if (QAbstractButton* b = viewButtons_->button(static_cast<int>(view_))) b->setChecked(true);
    // "Gridlines" draws cell borders, never in the TFTP view.
    const bool grid = preferences_.flag(pref::kGridlines) && view_ != View::Tftp;
    list_->setStyleSheet(grid ? QStringLiteral("QTreeView::item { border-right: 1px solid palette(midlight);"
                                               " border-bottom: 1px solid palette(midlight); }")
                              : QString());
}

void MainWindow::relabelColumns() {
    EntryListModel* m = model(view_);
    std::array<QString, kColumnCount> headers;
    const auto keys = m->headerKeys();
    for (int c = 0; c < kColumnCount; ++c) {
        if (keys[static_cast<std::size_t>(c)] != nullptr)
            headers[static_cast<std::size_t>(c)] = language_.text(keys[static_cast<std::size_t>(c)]);
    }
    m->setHeaders(headers);
}

void MainWindow::rewriteStatus() {
    rewriteTopStatus();
    rewriteBottomStatus();
    updateTftpIndicator();
    rebuildContextMenu();
    updateTrayIcon();
}

void MainWindow::rewriteTopStatus() {
    QString text;
    switch (view_) {
        case View::Static:
            text = fillArguments(language_.text("STATIC"), {number(status_.staticUsed), number(status_.staticCount)});
            break;
        case View::Dynamic:
            text = fillArguments(language_.text("DYNAMIC"), {number(status_.dynamicUsed), number(status_.poolTotal)});
            break;
        case View::Ignored:
            text = fillArguments(language_.text("UNKNOWN"), {number(status_.ignoredUsed)});
            break;
        case View::Tftp:
            text = fillArguments(language_.text("CLIENTS"), {number(std::max(activeTftp_, 0))});
            break;
    }
    topText_->setText(text);
    modeText_->setText(rights_.mayChange ? QString() : language_.text("MODE"));
    newButton_->setVisible(view_ == View::Static && rights_.mayChange);
}

void MainWindow::rewriteBottomStatus() {
    QString text;
    switch (stateCode_) {
        case kStateOtherServer:
            text = language_.text("ERROR_DETECT");
            break;
        case kStatePortInUse:
            text = fillArguments(language_.text("ERROR_DHCP"), {number(status_.port)});
            break;
        case kStateTftpFailed:
            text = language_.text("ERROR_TFTP");
            break;
        case kStatePipeFailure:
            text = pipeFailureText();
            break;
        default:
            text = fillArguments(language_.text("READY"), {number(status_.port)});
            break;
    }
    stateText_->setText(text);
}

void MainWindow::updateTftpIndicator() {
    const bool on = activeTftp_ >= 0;
    tftpIndicator_->setVisible(on);
    tftpIndicator_->setPixmap(activeTftp_ > 0 ? tftpActive_ : tftpIdle_);
    tftpIndicator_->setToolTip(fillArguments(language_.text("CLIENTS"), {number(std::max(activeTftp_, 0))}).trimmed());
    viewButtons_->button(static_cast<int>(View::Tftp))->setVisible(on);
    action(command::kViewStatic + static_cast<int>(View::Tftp))->setEnabled(on);
    if (on && view_ == View::Tftp) viewButtons_->button(static_cast<int>(View::Tftp))->setChecked(true);
}

void MainWindow::rebuildContextMenu() {
    contextMenu_->clear();
    if (!rights_.mayChange) return;
    switch (view_) {
        case View::Static:
            contextMenu_->addAction(action(command::kModify));
            break;
        case View::Dynamic:
            contextMenu_->addAction(action(command::kCopy));
            break;
        case View::Ignored:
            contextMenu_->addAction(action(command::kMove));
            break;
        case View::Tftp:
            return;
    }
    contextMenu_->addAction(action(command::kRemove));
}

// ---- Notification icon ---------------------------------------------------------------------------

void MainWindow::updateTrayIcon() {
    const bool wanted = preferences_.flag(pref::kTrayIcon) && QSystemTrayIcon::isSystemTrayAvailable();
    if (wanted && trayIcon_ == nullptr) {
        trayMenu_ = new QMenu(this);
        QAction* log = trayMenu_->addAction(language_.text("VIEW"));
        connect(log, &QAction::triggered, this, &MainWindow::openLog);
        QAction* exit = trayMenu_->addAction(language_.text("EXIT"));
        QFont bold = exit->font();
        bold.setBold(true);  // the default item
        exit->setFont(bold);
        connect(exit, &QAction::triggered, this, &MainWindow::close);
        trayIcon_ = new QSystemTrayIcon(windowIcon(), this);
        trayIcon_->setContextMenu(trayMenu_);
        connect(trayIcon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) restoreFromTray();
        });
        trayIcon_->show();
    } else if (!wanted && trayIcon_ != nullptr) {
        delete trayIcon_;
        trayIcon_ = nullptr;
        delete trayMenu_;
        trayMenu_ = nullptr;
    }
    if (trayIcon_ != nullptr) trayIcon_->setToolTip(language_.title());
}

void MainWindow::restoreFromTray() {
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimising while the icon is shown hides the window; the icon brings it back.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && trayIcon_ != nullptr && trayIcon_->isVisible())
        QTimer::singleShot(0, this, &QWidget::hide);
}

// ---- Geometry and columns ------------------------------------------------------------------------

void MainWindow::applySavedGeometry() {
    const QSize screen =
        QGuiApplication::primaryScreen() ? QGuiApplication::primaryScreen()->geometry().size() : QSize(1024, 768);
    // Positions are taken as unsigned numbers: a negative or missing one, or one off the screen,
    // opens the window at 0 on that axis. The sum is formed without wrapping, so -1 is no 4.
    auto onScreen = [](std::int32_t saved, int extent) {
        const std::uint64_t position = static_cast<std::uint32_t>(saved);
        return position + 5 < static_cast<std::uint64_t>(std::max(extent, 0)) ? static_cast<int>(position) : 0;
    };
    const int x = onScreen(preferences_.read(pref::kLeft), screen.width());
    const int y = onScreen(preferences_.read(pref::kTop), screen.height());
    const int width = std::max(preferences_.read(pref::kWidth), minimumWidth());
    const int height = std::max(preferences_.read(pref::kHeight), minimumHeight());
    resize(width, height);
    move(x, y);
}

void MainWindow::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (!columnsSet_) setupColumns();
}

void MainWindow::setupColumns() {
    const int w = list_->viewport()->width() - style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    for (int c = 0; c < kColumnCount; ++c) {
        int width = preferences_.columnWidth(c);
        if (width < 0) width = w * kDefaultColumnPercent[c] / 100;
        if (width >= w) width = w / 3;
        columnWidths_[static_cast<std::size_t>(c)] = std::max(width, 20);
    }
    columnsSet_ = true;
    applyColumnWidths();
}

void MainWindow::applyColumnWidths() {
    if (!columnsSet_) return;
    const std::array<int, kColumnCount> widths = columnWidths_;
    for (int c = 0; c < kColumnCount; ++c) list_->header()->resizeSection(c, widths[static_cast<std::size_t>(c)]);
}

void MainWindow::saveGeometryAndColumns() {
    if (isMinimized()) return;
    const QRect frame = frameGeometry();
    preferences_.write(pref::kLeft, frame.x());
    preferences_.write(pref::kTop, frame.y());
    preferences_.write(pref::kWidth, width());
    preferences_.write(pref::kHeight, height());
    if (!columnsSet_) return;
    for (int c = 0; c < kColumnCount; ++c) preferences_.writeColumnWidth(c, list_->header()->sectionSize(c));
}

void MainWindow::closeEvent(QCloseEvent* event) {
    saveGeometryAndColumns();
    timer_.stop();
    if (trayIcon_ != nullptr) trayIcon_->hide();
    event->accept();
}

}  // namespace tolmark::manager
