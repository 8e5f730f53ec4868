#include "manager/window/main_window.h"

#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <ctime>

#include "manager/dialogs/log/log_viewer.h"
#include "manager/dialogs/preferences/preferences_dialog.h"
#include "manager/dialogs/profiles/profile_editor.h"
#include "manager/dialogs/profiles/profile_list_dialog.h"

namespace tolmark::manager {

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
    worker_.setWaitIndicator(showWaiting);
    models_ = {new StaticModel(&icons_, this), new DynamicModel(&icons_, this), new IgnoredModel(&icons_, this),
               new TransferModel(&icons_, this)};
    const int saved = preferences_.read(pref::kView);
    view_ = saved >= 0 && saved < kViewCount ? static_cast<View>(saved) : View::Dynamic;
    hideNoAddress_ = preferences_.flag(pref::kViewIp);
    showReserved_ = preferences_.flag(pref::kExcluded);

    panel_ = new ViewPanel(preferences_, this);
    panel_->showModel(model(view_));
    setCentralWidget(panel_);
    stateText_ = new QLabel(statusBar());
    statusBar()->addWidget(stateText_, 1);
    storeText_ = new QLabel(statusBar());
    statusBar()->addPermanentWidget(storeText_);
    statusBar()->setSizeGripEnabled(true);
    menus_ = new WindowMenus(menuBar(), rights_.mayControlService, this);
    tray_ = new TrayIcon(this);
    poll_ = new ServerPoll(worker_, server_, options_.tickMs, this);
    connectCommands();

    const int button = fontMetrics().averageCharWidth() * 12;
    setMinimumSize(6 * button + std::max(button / 2, 20), 200);
    applySavedGeometry();
    retranslate();
}

// The list's models draw with icons_, a member that goes before the QWidget base hides the
// window's children and lays the list out once more: the window is hidden while they are here.
MainWindow::~MainWindow() { hide(); }

// The dialogs open once the command that asked for them has returned: the menu closes first, and
// an accessibility tool's action call gets its answer instead of waiting for the dialog.
void MainWindow::connectCommands() {
    const WindowActions& a = menus_->actions();
    connect(a.start, &QAction::triggered, this, [] { controlService(ServiceOperation::Start); });
    connect(a.stop, &QAction::triggered, this, [] { controlService(ServiceOperation::Stop); });
    connect(a.log, &QAction::triggered, this, &MainWindow::openLog, Qt::QueuedConnection);
    connect(a.exit, &QAction::triggered, this, &QWidget::close);
    connect(a.preferences, &QAction::triggered, this, &MainWindow::openPreferences, Qt::QueuedConnection);
    connect(
        a.addStatic, &QAction::triggered, this, [this] { openStaticEntry(StaticMode::Add); }, Qt::QueuedConnection);
    connect(a.profiles, &QAction::triggered, this, &MainWindow::openProfiles, Qt::QueuedConnection);
    for (int v = 0; v < kViewCount; ++v)
        connect(a.views[static_cast<std::size_t>(v)], &QAction::triggered, this,
                [this, v] { switchView(static_cast<View>(v)); });
    connect(a.names, &QAction::triggered, this, &MainWindow::toggleNames);
    connect(a.remarks, &QAction::triggered, this, &MainWindow::toggleRemarks);
    connect(a.refresh, &QAction::triggered, this, &MainWindow::toggleRefresh);
    connect(a.contents, &QAction::triggered, this, &MainWindow::openHelp, Qt::QueuedConnection);
    connect(a.about, &QAction::triggered, this, &MainWindow::showAbout, Qt::QueuedConnection);
    connect(
        a.modify, &QAction::triggered, this, [this] { openStaticEntry(StaticMode::Modify); }, Qt::QueuedConnection);
    connect(
        a.copy, &QAction::triggered, this, [this] { openStaticEntry(StaticMode::Copy); }, Qt::QueuedConnection);
    connect(
        a.move, &QAction::triggered, this, [this] { openStaticEntry(StaticMode::Move); }, Qt::QueuedConnection);
    connect(a.remove, &QAction::triggered, this, &MainWindow::removeSelected);
    connect(menus_, &WindowMenus::profileChosen, this, &MainWindow::openProfileByIndex, Qt::QueuedConnection);

    connect(panel_, &ViewPanel::viewChosen, this, [this](int v) {
        if (v >= 0 && v < kViewCount) switchView(static_cast<View>(v));
    });
    connect(
        panel_, &ViewPanel::newRequested, this, [this] { openStaticEntry(StaticMode::Add); }, Qt::QueuedConnection);
    connect(panel_, &ViewPanel::sortRequested, this, &MainWindow::sortByColumn);
    connect(panel_, &ViewPanel::contextMenuRequested, this, &MainWindow::showContextMenu);

    connect(tray_, &TrayIcon::restoreRequested, this, [this] {
        showNormal();
        raise();
        activateWindow();
    });
    connect(tray_, &TrayIcon::logRequested, this, &MainWindow::openLog, Qt::QueuedConnection);
    connect(tray_, &TrayIcon::exitRequested, this, &QWidget::close);

    connect(poll_, &ServerPoll::polled, this, &MainWindow::onPolled);
    connect(poll_, &ServerPoll::pipeFailed, this, [this] { notePipeResult(PipeStatus::Failed); });
    connect(poll_, &ServerPoll::refused, this, &QWidget::close);
    connect(poll_, &ServerPoll::firstContact, this, [this] {
        menus_->actions().names->setChecked(server_.resolvesNames());
        retranslate();
    });
}

// ---- Start and poll ------------------------------------------------------------------------------

void MainWindow::start() {
    worker_.post(
        this, [](ManagerPipe& pipe) { return ServerBlocks::fetch(pipe, true); },
        [this](ServerBlocks blocks) {
            applyBlocks(blocks);
            if (blocks.general.failed()) server_.stateCode = kStatePipeFailure;
            if (blocks.status.ok()) {
                server_.status = blocks.status.value;
                server_.activeTftp = server_.status.tftpTransfers;
            }
            // A saved TFTP view while the TFTP server is off opens the Static view; the saved view
            // stays, so the TFTP view comes back once the TFTP server is on again.
            if (view_ == View::Tftp && server_.activeTftp < 0) showView(View::Static);
            rewriteStatus();
            refreshList();
        });
    poll_->start();
}

void MainWindow::applyBlocks(const ServerBlocks& blocks) {
    notePipeResult(blocks.general.status);
    server_.take(blocks);
    if (blocks.general.ok()) menus_->actions().names->setChecked(server_.resolvesNames());
    menus_->retranslate(language_);
    menus_->setProfiles(server_.profileNames, preferences_.flag(pref::kAddProfiles));
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

void MainWindow::onPolled(int bits) {
    if (bits & kStatusChanged) rewriteStatus();
    if ((preferences_.flag(pref::kRefresh) && (bits & kListChanged)) || view_ == View::Tftp) refreshList();
}

void MainWindow::notePipeResult(PipeStatus status) {
    if (status == PipeStatus::Failed) {
        stateText_->setText(pipeFailureText(language_, server_.untrustedUid));
        storeText_->clear();
    }
}

// ---- Dialogs -------------------------------------------------------------------------------------

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
    context.markListsChanged = [this] { poll_->markListsChanged(); };
    context.openProfileEditor = [this](const std::string& name, QWidget* parent) { openProfileEditor(name, parent); };
    return context;
}

// A dialog that cannot be made (no worker to ask the server, no memory for it) says so with the
// "FAILED" text instead.
template <typename Dialog, typename... Arguments>
void MainWindow::runDialog(Arguments&&... arguments) {
    DialogContext context = dialogContext();
    std::unique_ptr<Dialog> dialog;
    if (worker_.running()) {
        try {
            dialog = std::make_unique<Dialog>(context, std::forward<Arguments>(arguments)...);
        } catch (const std::bad_alloc&) {
            dialog.reset();
        }
    }
    if (dialog == nullptr) {
        showMessage(this, language_, language_.text("FAILED"));
        return;
    }
    dialog->exec();
}

bool MainWindow::readyToStart() {
    if (worker_.running()) return true;
    QMessageBox::critical(nullptr, language_.title(), language_.text("ERROR_INIT"));
    return false;
}

void MainWindow::openPreferences() { runDialog<PreferencesDialog>(this); }

void MainWindow::openProfiles() { runDialog<ProfileListDialog>(this); }

void MainWindow::openProfileEditor(const std::string& name, QWidget* parent) {
    runDialog<ProfileEditor>(name, parent != nullptr ? parent : this);
}

// A profile item of the Options menu: the profile is fetched again by its index, as its name may
// have changed meanwhile.
void MainWindow::openProfileByIndex(int index) {
    if (!worker_.running()) {
        showMessage(this, language_, language_.text("FAILED"));  // as the editor itself would
        return;
    }
    const PipeResult<ProfileEntry> p = worker_.call([index](ManagerPipe& pipe) { return pipe.getProfile(index); });
    notePipeResult(p.status);
    if (p.ok()) openProfileEditor(p.value.profile.name, this);
}

void MainWindow::openLog() { runDialog<LogViewer>(this); }

EntryListHooks MainWindow::entryListHooks() {
    EntryListHooks hooks;
    hooks.selected = [this] {
        std::vector<std::uint64_t> handles;
        for (int r : panel_->selectedRows()) handles.push_back(model(view_)->row(r).handle);
        return handles;
    };
    hooks.identityOf = [this](std::uint64_t handle) {
        const EntryListModel* m = model(view_);
        const int row = m->rowOfHandle(handle);
        return row >= 0 ? std::optional<Identity>(m->row(row).identity) : std::nullopt;
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
        server_.status.ignoredUsed = std::max(server_.status.ignoredUsed - 1, 0);
        rewriteTopStatus();
    };
    hooks.entryAdded = [this] {
        if (view_ != View::Static) return;
        auto scroll = std::make_shared<QMetaObject::Connection>();
        *scroll = connect(this, &MainWindow::listRefreshed, this, [this, scroll](View view) {
            disconnect(*scroll);
            if (view == View::Static && model(view)->rowCount() > 0) panel_->list()->scrollToBottom();
        });
        refreshList();
    };
    return hooks;
}

// Without the right to change the server the dialog still shows, with OK and Apply disabled.
void MainWindow::openStaticEntry(StaticMode mode) { runDialog<StaticEntryDialog>(mode, entryListHooks(), this); }

// ---- Lists ---------------------------------------------------------------------------------------

RowOptions MainWindow::rowOptions() const {
    RowOptions o;
    o.dash = preferences_.flag(pref::kShowDash);
    o.textForm = preferences_.flag(pref::kShowString);
    o.remarks = preferences_.flag(pref::kRemarks);
    o.resolveNames = server_.resolvesNames();
    o.hideNoAddress = hideNoAddress_;
    o.showReserved = showReserved_;
    o.viewOld = preferences_.read(pref::kViewOld);
    o.percent = preferences_.flag(pref::kPercent);
    o.tftpRootLength = server_.tftp ? server_.tftp->directory.size() : 0;
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
    // Rows are rewritten in place, so a record taken from or put into the list above the
    // selection shifts the records under it: the selection stays with the records the user chose
    // (a context menu open meanwhile acts on them), not with the row positions.
    const bool followSelection = view == view_ && view != View::Tftp;
    const std::vector<std::uint64_t> selected =
        followSelection ? panel_->selectedHandles() : std::vector<std::uint64_t>{};
    const std::uint64_t current = followSelection ? panel_->currentHandle() : 0;
    model(view)->applyRows(snapshot.rows);
    if (followSelection) panel_->selectHandles(selected, current);
    if (view == View::Tftp && !snapshot.firstFailed) server_.activeTftp = snapshot.activeTransfers;
    listCut_[static_cast<std::size_t>(view)] = snapshot.incomplete;
    notePipeResult(snapshot.status.status);
    if (snapshot.status.ok()) server_.status = snapshot.status.value;
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
    std::vector<int> rows = panel_->selectedRows();
    std::reverse(rows.begin(), rows.end());
    ++removals_[static_cast<std::size_t>(view_)];
    std::vector<std::pair<std::uint64_t, QString>> chosen;  // handle and identifier shown
    for (int r : rows) {
        chosen.emplace_back(m->row(r).handle, m->row(r).texts[0]);
        m->removeRowAt(r);
    }
    struct Removal {
        PipeStatus outcome = PipeStatus::Done;  // the first removal the server did not carry out
        bool gone = false;                      // a handle named another entry than its row
        PipeResult<ServerStatus> status;
    };
    worker_.post(
        this,
        [list = m->list(), view = view_, chosen, options = rowOptions()](ManagerPipe& pipe) {
            Removal r;
            for (const auto& [h, shown] : chosen) {
                // A list read before the server restarted holds handles of its last run, which name
                // nothing now (or, with a server that counts its handles from the same number in
                // every run, other entries): only the entry the row shows is removed.
                const PipeResult<ListedEntry> now = pipe.listEntry(list, h);
                if (now.failed()) {
                    r.outcome = PipeStatus::Failed;
                    return r;
                }
                if (!now.ok() || identityText(now.value.record.fields.identity, options) != shown) {
                    r.gone = true;
                    continue;
                }
                const PipeStatus s = pipe.removeClient(list, h);
                if (s != PipeStatus::Done && r.outcome == PipeStatus::Done) r.outcome = s;
                if (s == PipeStatus::Failed) return r;  // no server: the rest would wait in vain
            }
            r.status = pipe.getStatus(static_cast<std::int32_t>(view));
            return r;
        },
        [this](Removal r) {
            notePipeResult(r.status.status);
            if (r.status.ok()) server_.status = r.status.value;
            rewriteTopStatus();
            if (r.gone && r.outcome == PipeStatus::Done) {
                refreshList();
                showMessage(this, language_, language_.text("ENTRY_GONE"));
                return;
            }
            if (r.outcome == PipeStatus::Done) return;
            // The rows went before the server answered: those it kept come back with the list.
            notePipeResult(r.outcome);
            refreshList();
            showMessage(this, language_, changeFailedText(language_, r.outcome));
        });
}

// ---- Views and commands --------------------------------------------------------------------------

void MainWindow::switchView(View view) {
    if (view == View::Static) hideNoAddress_ = view_ == View::Static ? !hideNoAddress_ : false;
    if (view == View::Dynamic) showReserved_ = view_ == View::Dynamic ? !showReserved_ : false;
    preferences_.write(pref::kView, static_cast<int>(view));
    showView(view);
}

void MainWindow::showView(View view) {
    if (view != view_) {
        view_ = view;
        panel_->showModel(model(view));
    }
    updateViewChecks();
    relabelColumns();
    rewriteStatus();
    refreshList();
}

void MainWindow::toggleNames() {
    QAction* names = menus_->actions().names;
    if (!server_.general) {
        names->setChecked(false);
        return;
    }
    const bool resolve = !server_.resolvesNames();
    names->setChecked(resolve);
    struct Toggled {
        PipeStatus status = PipeStatus::Failed;
        std::optional<GeneralSettings> sent;
    };
    // The bit goes into the server's block as it is now, not into the window's copy: others may
    // have changed it since (trisko's MAC ranges, a file edited before a restart), and the whole
    // block is what the server stores. A change the server did not take is taken back: the check
    // mark says what the server does.
    worker_.post(
        this,
        [resolve](ManagerPipe& pipe) {
            Toggled t;
            PipeResult<GeneralSettings> general = pipe.getSettings();
            t.status = general.status;
            if (!general.ok()) return t;
            general.value.lookup =
                resolve ? general.value.lookup | kLookupNamesBit : general.value.lookup & ~kLookupNamesBit;
            t.status = pipe.setSettings(general.value);
            if (t.status == PipeStatus::Done) t.sent = general.value;
            return t;
        },
        [this](Toggled t) {
            notePipeResult(t.status);
            if (t.sent) server_.general = t.sent;
            menus_->actions().names->setChecked(server_.resolvesNames());
        });
    poll_->markListsChanged();
}

void MainWindow::toggleRemarks() {
    const bool on = !preferences_.flag(pref::kRemarks);
    preferences_.write(pref::kRemarks, on ? 1 : 0);
    menus_->actions().remarks->setChecked(on);
    if (view_ == View::Static) {
        relabelColumns();
        refreshList();
    }
}

void MainWindow::toggleRefresh() {
    const bool on = !preferences_.flag(pref::kRefresh);
    preferences_.write(pref::kRefresh, on ? 1 : 0);
    menus_->actions().refresh->setChecked(on);
    if (on) refreshList();
}

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

void MainWindow::showContextMenu(const QPoint& globalPosition) {
    QMenu* menu = menus_->contextMenu();
    if (view_ == View::Tftp || !listView()->selectionModel()->hasSelection() || menu->isEmpty()) return;
    menu->popup(globalPosition);
}

// ---- Texts and status ----------------------------------------------------------------------------

void MainWindow::retranslate() {
    setWindowTitle(language_.title());
    menus_->retranslate(language_);
    menus_->setProfiles(server_.profileNames, preferences_.flag(pref::kAddProfiles));
    menus_->actions().remarks->setChecked(preferences_.flag(pref::kRemarks));
    menus_->actions().refresh->setChecked(preferences_.flag(pref::kRefresh));
    panel_->retranslate(language_);
    // What a screen reader says of the two status texts, in the window's language.
    stateText_->setAccessibleDescription(language_.text("STATE_TEXT"));
    storeText_->setAccessibleDescription(language_.text("STORE_TEXT"));
    updateViewChecks();
    relabelColumns();
    rewriteStatus();
}

void MainWindow::updateViewChecks() {
    const WindowActions& a = menus_->actions();
    for (int v = 0; v < kViewCount; ++v) a.views[static_cast<std::size_t>(v)]->setChecked(v == static_cast<int>(view_));
    panel_->showView(view_, preferences_.flag(pref::kGridlines));
}

// Every view's headings, not only the shown one's: the columns are set up to hold them all.
void MainWindow::relabelColumns() {
    for (EntryListModel* m : models_) {
        std::array<QString, kColumnCount> headers;
        const auto keys = m->headerKeys();
        for (int c = 0; c < kColumnCount; ++c) {
            if (keys[static_cast<std::size_t>(c)] != nullptr)
                headers[static_cast<std::size_t>(c)] = language_.text(keys[static_cast<std::size_t>(c)]);
        }
        m->setHeaders(headers);
    }
}

void MainWindow::rewriteStatus() {
    rewriteTopStatus();
    rewriteBottomStatus();
    const QString tip = fillArguments(language_.text("CLIENTS"), {QString::number(std::max(server_.activeTftp, 0))});
    panel_->showTftpState(server_.activeTftp, tip.trimmed(), view_ == View::Tftp);
    menus_->actions().views[static_cast<std::size_t>(View::Tftp)]->setEnabled(server_.activeTftp >= 0);
    menus_->fillContextMenu(view_, rights_.mayChange);
    tray_->update(preferences_.flag(pref::kTrayIcon), language_);
}

void MainWindow::rewriteTopStatus() {
    QString counts = manager::topStatusText(language_, view_, server_);
    // A list the server gave only in part is not shown as if whole.
    if (listCut_[static_cast<std::size_t>(view_)]) counts += QStringLiteral("  ") + language_.text("LIST_CUT");
    panel_->setTopText(counts, rights_.mayChange ? QString() : language_.text("MODE"));
    panel_->newButton()->setVisible(view_ == View::Static && rights_.mayChange);
}

void MainWindow::rewriteBottomStatus() {
    stateText_->setText(manager::bottomStatusText(language_, server_));
    storeText_->setText(manager::leaseStoreText(language_, server_));
}

// ---- Window ----------------------------------------------------------------------------------------

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // Minimising while the icon is shown hides the window; the icon brings it back.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_->isShown())
        QTimer::singleShot(0, this, &QWidget::hide);
}

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
    panel_->setupColumns({models_.begin(), models_.end()});
}

void MainWindow::saveGeometry() {
    if (isMinimized()) return;
    const QRect frame = frameGeometry();
    preferences_.write(pref::kLeft, frame.x());
    preferences_.write(pref::kTop, frame.y());
    preferences_.write(pref::kWidth, width());
    preferences_.write(pref::kHeight, height());
    panel_->saveColumns();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    saveGeometry();
    poll_->stop();
    tray_->hide();
    event->accept();
}

}  // namespace tolmark::manager
