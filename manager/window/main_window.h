#pragma once
// The manager's main window: the Static, Dynamic, Ignored and TFTP views of one list, a status
// bar with the counts above it and one with the server's state below, the view buttons, the
// menus, the context menu and the notification icon. Everything it shows comes from the server
// through the pipe worker; a 5-second poll of the server status says when to read a list again.

#include <QAction>
#include <QButtonGroup>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeView>

#include <array>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "manager/desktop/desktop_services.h"
#include "manager/dialogs/dialog_context.h"
#include "manager/language/language.h"
#include "manager/lists/list_jobs.h"
#include "manager/lists/list_models.h"
#include "manager/pipe/pipe_worker.h"
#include "manager/desktop/preferences.h"
#include "manager/dialogs/static_entry/static_entry_dialog.h"

namespace tolmark::manager {

// Command numbers of the menus and buttons.
namespace command {
inline constexpr int kStart = 40001;
inline constexpr int kStop = 40002;
inline constexpr int kLog = 40003;
inline constexpr int kExit = 40004;
inline constexpr int kModify = 40006;
inline constexpr int kCopy = 40007;
inline constexpr int kMove = 40008;
inline constexpr int kRemove = 40009;
inline constexpr int kViewStatic = 40010;  // + view number
inline constexpr int kNames = 40014;
inline constexpr int kRemarks = 40015;
inline constexpr int kRefresh = 40016;
inline constexpr int kPreferences = 40017;
inline constexpr int kAddStatic = 40018;
inline constexpr int kProfiles = 40019;
inline constexpr int kContents = 40021;
inline constexpr int kAbout = 40024;
inline constexpr int kFirstProfile = 40025;  // + profile index
inline constexpr int kNew = 1034;
}  // namespace command

// Server state codes of the bottom status bar.
inline constexpr int kStateReady = 0;
inline constexpr int kStateOtherServer = 2;
inline constexpr int kStatePortInUse = 3;
inline constexpr int kStateTftpFailed = 4;
inline constexpr int kStatePipeFailure = 5;

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

    // Fetches the server's settings and state, starts the poll and reads the first list.
    void start();

    View currentView() const { return view_; }
    EntryListModel* model(View view) const { return models_[static_cast<std::size_t>(view)]; }
    QTreeView* listView() const { return list_; }
    QAction* action(int command) const;
    QPushButton* newButton() const { return newButton_; }
    QString topStatusText() const { return topText_->text(); }
    // The right-hand text of the top bar: the view-mode words for a user who may not change anything.
    QString modeText() const { return modeText_->text(); }
    QString bottomStatusText() const { return stateText_->text(); }
    QMenu* contextMenu() const { return contextMenu_; }
    int activeTransfers() const { return activeTftp_; }

    void switchView(View view);
    void sortByColumn(int column);
    void refreshList();
    void tick();
    // Rebuilds menus, labels and status texts after the language changed.
    void retranslate();
    // What the dialogs get from the window; valid while the window lives.
    DialogContext dialogContext();
    PipeWorker& worker() { return worker_; }

    void openPreferences();
    void openLog();
    void openStaticEntry(StaticMode mode);
    void addStaticEntry();
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
    struct ServerBlocks;
    struct TickResult;

    void buildWidgets();
    void buildMenus();
    QAction* addCommand(QMenu* menu, int command, const char* key, void (MainWindow::*slot)());
    void applyBlocks(const ServerBlocks& blocks);
    void onTick(const TickResult& result);
    void onListRead(View view, const ListSnapshot& snapshot);

    EntryListHooks entryListHooks();
    // The settings blocks and profile names again, then menus, labels, status and the list.
    void reloadServerBlocks();
    void applyMenuTexts();
    void rebuildProfileItems();
    void updateViewChecks();
    void relabelColumns();
    void rewriteStatus();
    void rewriteTopStatus();
    void rewriteBottomStatus();
    void updateTftpIndicator();
    void rebuildContextMenu();
    void updateTrayIcon();
    void restoreFromTray();
    // A settings, status or profile request that failed at the pipe shows so at once.
    void notePipeResult(PipeStatus status);
    QString pipeFailureText() const;

    void onViewCommand(int view);
    void toggleNames();
    void toggleRemarks();
    void toggleRefresh();
    void exitProgram();
    void startService();
    void stopService();
    void openHelp();
    void showAbout();
    void removeSelected();
    void showContextMenu(const QPoint& at);

    RowOptions rowOptions() const;
    ClientListModel* clientModel(View view) const;
    void setupColumns();
    void rememberColumnWidths();
    void applyColumnWidths();
    void applySavedGeometry();
    void saveGeometryAndColumns();

    Language& language_;
    UserPreferences& preferences_;
    const ManagerRights rights_;
    const MainWindowOptions options_;

    std::vector<QIcon> icons_;
    std::array<EntryListModel*, kViewCount> models_{};
    View view_ = View::Dynamic;
    bool hideNoAddress_ = false;  // "ViewIP", toggled by a second click on Static
    bool showReserved_ = false;   // "Excluded", toggled by a second click on Dynamic

    std::optional<GeneralSettings> general_;
    ServerStatus status_;
    std::optional<TftpSettings> tftp_;
    std::optional<MulticastSettings> multicast_;
    std::vector<std::string> profileNames_;
    std::optional<unsigned> untrustedUid_;  // the holder of the pipe's name when it is not the server
    int activeTftp_ = -1;
    int stateCode_ = kStateReady;
    int pendingBits_ = 0;
    int firstContact_ = -1;
    bool descending_ = false;
    bool tickPending_ = false;
    bool columnsSet_ = false;
    std::array<std::uint64_t, kViewCount> removals_{};  // removals posted per view
    std::array<int, kColumnCount> columnWidths_{};

    QStatusBar* topBar_ = nullptr;
    QLabel* topText_ = nullptr;
    QLabel* modeText_ = nullptr;
    QTreeView* list_ = nullptr;
    QPushButton* newButton_ = nullptr;
    QLabel* tftpIndicator_ = nullptr;
    QPixmap tftpIdle_, tftpActive_;
    QButtonGroup* viewButtons_ = nullptr;
    QLabel* stateText_ = nullptr;
    QMenu* fileMenu_ = nullptr;
    QMenu* serviceMenu_ = nullptr;
    QMenu* optionsMenu_ = nullptr;
    QMenu* windowMenu_ = nullptr;
    QMenu* helpMenu_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QMenu* trayMenu_ = nullptr;
    QSystemTrayIcon* trayIcon_ = nullptr;
    std::map<int, QAction*> actions_;
    std::vector<QAction*> profileActions_;
    QAction* profileSeparator_ = nullptr;
    QTimer timer_;

    // Last member: its destructor waits for the worker thread before anything else goes.
    PipeWorker worker_;
};

}  // namespace tolmark::manager
