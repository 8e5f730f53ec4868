#pragma once
// The manager's main window: the Static, Dynamic, Ignored and TFTP views of one list between a
// status bar with the counts and one with the server's state, the menus, the context menu and
// the notification icon. Everything it shows comes from the server through the pipe worker; a
// 5-second poll of the server status says when to read a list again. The parts live in their
// own classes: ViewPanel (list, top bar, view buttons), WindowMenus (named actions), TrayIcon,
// ServerPoll; this class joins them and carries out the commands.

#include <QLabel>
#include <QMainWindow>

#include <array>
#include <memory>
#include <string>

#include "config/config_store.h"
#include "manager/desktop/desktop_services.h"
#include "manager/desktop/preferences.h"
#include "manager/dialogs/dialog_context.h"
#include "manager/dialogs/static_entry/static_entry_dialog.h"
#include "manager/language/language.h"
#include "manager/lists/list_jobs.h"
#include "manager/lists/list_models.h"
#include "manager/pipe/pipe_worker.h"
#include "manager/window/server_poll.h"
#include "manager/window/server_state.h"
#include "manager/window/tray_icon.h"
#include "manager/window/view_panel.h"
#include "manager/window/window_menus.h"

namespace tolmark::manager {

struct MainWindowOptions {
    std::string programDirectory;  // with a final "/"
    std::string pipeName;          // empty: $TOLMARK_PIPE or the default name
    int tickMs = 5000;
    std::chrono::milliseconds pipeTimeout = kPipeTimeout;
    bool germanUser = false;
    // The server's configuration file (data directory), for the log directory value; may be null.
    ConfigStore* serverConfig = nullptr;
};

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    MainWindow(Language& language, UserPreferences& preferences, ManagerRights rights, MainWindowOptions options);
    ~MainWindow() override;

    // False, after telling the user so with the "ERROR_INIT" text, when the window cannot manage
    // the server: the thread that talks to it is not running.
    bool readyToStart();
    // Fetches the server's settings and state, starts the poll and reads the first list.
    void start();

    View currentView() const { return view_; }
    EntryListModel* model(View view) const { return models_[static_cast<std::size_t>(view)]; }
    QTreeView* listView() const { return panel_->list(); }
    const WindowActions& actions() const { return menus_->actions(); }
    QPushButton* newButton() const { return panel_->newButton(); }
    QString topStatusText() const { return panel_->topText(); }
    // The right-hand text of the top bar: the view-mode words for a user who may not change anything.
    QString modeText() const { return panel_->modeText(); }
    QString bottomStatusText() const { return stateText_->text(); }
    QString leaseStoreText() const { return storeText_->text(); }
    QMenu* contextMenu() const { return menus_->contextMenu(); }
    int activeTransfers() const { return server_.activeTftp; }

    // A view chosen by the user: the second click on Static toggles "ViewIP", on Dynamic
    // "Excluded"; the view is saved as "View".
    void switchView(View view);
    void sortByColumn(int column);
    void refreshList();
    void tick() { poll_->tick(); }
    // Rebuilds menus, labels and status texts after the language changed.
    void retranslate();
    // What the dialogs get from the window; valid while the window lives.
    DialogContext dialogContext();
    PipeWorker& worker() { return worker_; }

    void openPreferences();
    void openLog();
    void openStaticEntry(StaticMode mode);
    void openProfiles();
    void openProfileEditor(const std::string& name, QWidget* parent);

signals:
    void listRefreshed(tolmark::manager::View view);
    void rowsSorted();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void connectCommands();
    // Shows the view and reads its list; nothing is saved.
    void showView(View view);
    void applyBlocks(const ServerBlocks& blocks);
    void onPolled(int bits);
    void onListRead(View view, const ListSnapshot& snapshot);
    EntryListHooks entryListHooks();
    template <typename Dialog, typename... Arguments>
    void runDialog(Arguments&&... arguments);
    // The settings blocks and profile names again, then menus, labels, status and the list.
    void reloadServerBlocks();
    void updateViewChecks();
    void relabelColumns();
    void rewriteStatus();
    void rewriteTopStatus();
    void rewriteBottomStatus();
    // A settings, status or profile request that failed at the pipe shows so at once.
    void notePipeResult(PipeStatus status);

    void toggleNames();
    void toggleRemarks();
    void toggleRefresh();
    void openProfileByIndex(int index);
    void openHelp();
    void showAbout();
    void removeSelected();
    void showContextMenu(const QPoint& globalPosition);

    RowOptions rowOptions() const;
    ClientListModel* clientModel(View view) const;
    void applySavedGeometry();
    void saveGeometry();

    Language& language_;
    UserPreferences& preferences_;
    const ManagerRights rights_;
    const MainWindowOptions options_;

    std::vector<QIcon> icons_;
    std::array<EntryListModel*, kViewCount> models_{};
    View view_ = View::Dynamic;
    bool hideNoAddress_ = false;  // "ViewIP", toggled by a second click on Static
    bool showReserved_ = false;   // "Excluded", toggled by a second click on Dynamic
    ServerState server_;
    bool descending_ = false;
    std::array<std::uint64_t, kViewCount> removals_{};  // removals posted per view
    std::array<bool, kViewCount> listCut_{};            // the last read of the view's list was cut

    ViewPanel* panel_ = nullptr;
    QLabel* stateText_ = nullptr;
    QLabel* storeText_ = nullptr;  // where the server keeps its leases
    WindowMenus* menus_ = nullptr;
    TrayIcon* tray_ = nullptr;
    ServerPoll* poll_ = nullptr;

    // Last member: its destructor waits for the worker thread before anything else goes.
    PipeWorker worker_;
};

}  // namespace tolmark::manager
