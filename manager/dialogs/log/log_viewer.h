#pragma once
// The log viewer: the server's log files, listed and read line by line through the pipe (so it
// always shows the server's own log directory), one row per line, and printing of the chosen
// file.

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeView>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "manager/dialogs/dialog_context.h"
#include "manager/dialogs/log/log_lines.h"

class QPrinter;

namespace tolmark::manager {

// The file list of the log directory: every "dhcp*.log" that is not a directory, or only
// today's name when the search cannot be made. A search the server broke off after its first
// file gives the files found so far, incomplete.
struct LogFileList {
    std::vector<std::string> names;
    bool incomplete = false;
};
LogFileList listLogFiles(ManagerPipe& pipe, const std::string& today);
// The lines of a file, at most limit of them; nothing when it cannot be opened. A read whose
// stop is set ends after the line in hand (what was read, read). A read that ended before the end
// of the file is cut: its lines are only the first part of the file. It ended Failed when the
// server stopped answering (or was not there to open the file), Refused when the server answered
// a read with a refusal or a reply that holds no line.
struct LogRead {
    std::vector<std::string> lines;
    PipeStatus ending = PipeStatus::Done;
    bool cut() const { return ending != PipeStatus::Done; }
    bool operator==(const LogRead&) const = default;
};
// The status text of a read that ended so: "LOG_LINES", "LOG_CUT" or "LOG_REFUSED".
const char* logReadTextKey(PipeStatus ending);
std::optional<LogRead> readLogFile(ManagerPipe& pipe, const std::string& name, std::size_t limit,
                                   const std::atomic<bool>* stop = nullptr);

class LogViewer : public QDialog {
    Q_OBJECT
public:
    LogViewer(DialogContext& context, QWidget* parent = nullptr);

    QComboBox* files() const { return files_; }
    LogModel* model() const { return model_; }
    QTreeView* view() const { return view_; }
    // Loads the chosen file (also when another name is chosen).
    ~LogViewer() override;
    void loadFile(const QString& name);
    // Prints the chosen file on a printer already set up; the print button asks for one first.
    int printTo(QPrinter& printer);

signals:
    void fileLoaded();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void print();
    void sizeColumns();

    DialogContext& context_;
    LogModel* model_;
    QTreeView* view_;
    QComboBox* files_;
    QPushButton* print_;
    QStatusBar* status_;
    std::uint64_t loads_ = 0;  // a later choice overrides the rows of an earlier one still loading
    // Set when the file being read is no longer wanted (another one chosen, the viewer closed):
    // a large log read line by line would hold the pipe, and the window's refreshes, for long.
    std::shared_ptr<std::atomic<bool>> loadStop_;
};

}  // namespace tolmark::manager
