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

#include <optional>
#include <string>
#include <vector>

#include "manager/dialogs/dialog_context.h"
#include "manager/dialogs/log/log_lines.h"

class QPrinter;

namespace tolmark::manager {

// The file list of the log directory: every "dhcp*.log" that is not a directory, or only
// today's name when the search cannot be made.
std::vector<std::string> listLogFiles(ManagerPipe& pipe, const std::string& today);
// The lines of a file without their line ends, at most limit of them; nothing when it cannot
// be opened.
std::optional<std::vector<std::string>> readLogFile(ManagerPipe& pipe, const std::string& name, std::size_t limit);

class LogViewer : public QDialog {
    Q_OBJECT
public:
    LogViewer(DialogContext& context, QWidget* parent = nullptr);

    QComboBox* files() const { return files_; }
    LogModel* model() const { return model_; }
    QTreeView* view() const { return view_; }
    // Loads the chosen file (also when another name is chosen).
    void loadFile(const QString& name);
    // Prints the chosen file on a printer already set up; the print button asks for one first.
    int printTo(QPrinter& printer);

signals:
    void fileLoaded();

protected:
    void resizeEvent(QResizeEvent* event) override;

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
};

}  // namespace tolmark::manager
