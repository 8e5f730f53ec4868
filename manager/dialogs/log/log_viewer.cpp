#include "manager/dialogs/log/log_viewer.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPrintDialog>
#include <QPrinter>
#include <QVBoxLayout>

#include <algorithm>
#include <ctime>

#include "manager/dialogs/log/log_printer.h"

namespace tolmark::manager {

namespace {
constexpr std::uint32_t kDirectoryAttribute = 0x10;
constexpr std::size_t kViewerRowsExpected = 1000;
constexpr std::size_t kLongestLogLine = 65536;
// Column widths in per cent of the list: icon, date, time, service, status, message (together
// wider than the list, as the message is long).
constexpr int kColumnPercent[kLogFieldCount + 1] = {4, 13, 11, 10, 10, 80};

struct Loaded {
    std::vector<LogRow> rows;
    PipeStatus ending = PipeStatus::Done;
};
}  // namespace

LogFileList listLogFiles(ManagerPipe& pipe, const std::string& today) {
    const PipeResult<FoundFile> first = pipe.fileFindFirst(kLogFilePattern);
    if (!first.ok()) return {{today}};
    LogFileList list;
    std::vector<std::string>& names = list.names;
    auto take = [&names](const FileSearchEntry& e) {
        if ((e.attributes & kDirectoryAttribute) == 0) names.push_back(e.name);
    };
    take(first.value.entry);
    // A directory can hold many files, but not more than this in one look.
    PipeStatus ending = PipeStatus::Done;
    for (int i = 0; i < 100000; ++i) {
        const auto next = pipe.fileFindNext(first.value.search);
        ending = next.status;
        if (!next.ok() || !next.value) break;
        take(*next.value);
    }
    list.incomplete = ending != PipeStatus::Done;
    // A broken pipe has closed the search on the server.
    if (ending != PipeStatus::Failed) pipe.fileFindClose(first.value.search);
    // The server lists a directory in the order the file system keeps it, which on most file
    // systems is no order at all: the names are shown sorted, the months and days in turn.
    std::sort(names.begin(), names.end());
    return list;
}

std::optional<LogRead> readLogFile(ManagerPipe& pipe, const std::string& name, std::size_t limit,
                                   const std::atomic<bool>* stop) {
    const PipeResult<std::uint64_t> file = pipe.fileOpen(name);
    // No server to read from is a read cut before its first line, not a file without lines.
    if (file.failed()) return LogRead{{}, PipeStatus::Failed};
    if (!file.ok() || file.value == 0) return std::nullopt;
    LogRead read;
    std::vector<std::string>& lines = read.lines;
    lines.reserve(std::min(limit, kViewerRowsExpected));
    // The server sends a line longer than a message holds in pieces of the message's size, the
    // last one with the line end: they are joined again, up to a size no log line reaches.
    std::string line;
    bool pending = false;
    while (lines.size() < limit && (stop == nullptr || !stop->load())) {
        auto piece = pipe.fileReadLine(file.value);
        read.ending = piece.status;
        if (!piece.ok() || !piece.value) break;
        if (line.size() < kLongestLogLine) line.append(*piece.value, 0, kLongestLogLine - line.size());
        pending = piece.value->size() >= kPipeLineMax && piece.value->back() != '\n';
        if (pending) continue;
        lines.push_back(std::move(line));
        line.clear();
    }
    if (pending && lines.size() < limit) lines.push_back(std::move(line));
    // A refused read leaves the file open on the server; a broken pipe has closed it there.
    if (read.ending != PipeStatus::Failed) pipe.fileClose(file.value);
    return read;
}

const char* logReadTextKey(PipeStatus ending) {
    switch (ending) {
        case PipeStatus::Failed:
            return "LOG_CUT";
        case PipeStatus::Refused:
            return "LOG_REFUSED";
        default:
            return "LOG_LINES";
    }
}

LogViewer::LogViewer(DialogContext& context, QWidget* parent) : QDialog(parent), context_(context) {
    setObjectName(QStringLiteral("Log"));
    setSizeGripEnabled(false);  // the status bar carries it
    const Language& l = context.language;
    setWindowTitle(l.text("PROTOCOL"));
    model_ = new LogModel(this);
    model_->setHeaders({l.text("DATE"), l.text("TIME"), l.text("SERVICE"), l.text("STATUS"), QString()});
    model_->setFailureText(l.text("LOG_FAILURE"));
    view_ = new QTreeView(this);
    view_->setObjectName(QStringLiteral("LOGLINES"));
    view_->setAccessibleName(windowTitle());
    view_->setModel(model_);
    view_->setRootIsDecorated(false);
    view_->setUniformRowHeights(true);
    view_->setAllColumnsShowFocus(true);
    view_->setSelectionBehavior(QAbstractItemView::SelectRows);
    view_->header()->setStretchLastSection(false);
    view_->viewport()->installEventFilter(this);

    auto* fileLabel = new QLabel(controlLabel(l, "FILE"), this);
    files_ = new QComboBox(this);
    files_->setObjectName(QStringLiteral("FILE"));
    fileLabel->setBuddy(files_);
    print_ = new QPushButton(controlLabel(l, "PRINT"), this);
    print_->setObjectName(QStringLiteral("PRINT"));
    status_ = new QStatusBar(this);
    status_->setSizeGripEnabled(true);

    auto* row = new QHBoxLayout;
    row->addWidget(fileLabel);
    row->addWidget(files_, 1);
    row->addStretch(1);
    row->addWidget(print_);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 0);
    layout->addWidget(view_, 1);
    layout->addLayout(row);
    layout->addWidget(status_);
    // 380 by 100 dialog units.
    const QFontMetrics m = fontMetrics();
    setMinimumSize(380 * m.averageCharWidth() / 4, 100 * m.height() / 8);
    resize(720, 420);

    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    struct Listing {
        PipeStatus status = PipeStatus::Done;
        std::string today;
        LogFileList files;
    };
    const Listing listing = context.worker.call([local](ManagerPipe& pipe) {
        Listing found;
        const PipeResult<GeneralSettings> general = pipe.getSettings();
        found.status = general.status;
        found.today = logFileName(local, general.ok() && general.value.createLog != 0);
        // No server: only today's name, and no further request that would wait in vain.
        found.files = general.failed() ? LogFileList{{found.today}} : listLogFiles(pipe, found.today);
        return found;
    });
    context.notePipe(listing.status);
    const std::string& today = listing.today;
    for (const std::string& name : listing.files.names) files_->addItem(QString::fromStdString(name));
    // Beside the lines of the file shown, which the status bar's message tells.
    if (listing.files.incomplete) status_->addPermanentWidget(new QLabel(l.text("LOG_FILES_CUT"), status_));
    files_->setCurrentIndex(std::max(files_->findText(QString::fromStdString(today)), 0));
    connect(files_, &QComboBox::currentTextChanged, this, &LogViewer::loadFile);
    connect(print_, &QPushButton::clicked, this, &LogViewer::print);
    loadFile(files_->currentText());
}

LogViewer::~LogViewer() {
    if (loadStop_) loadStop_->store(true);
}

void LogViewer::loadFile(const QString& name) {
    model_->setRows({});
    const std::uint64_t load = ++loads_;
    if (loadStop_) loadStop_->store(true);
    loadStop_ = std::make_shared<std::atomic<bool>>(false);
    context_.worker.post(
        this,
        [name = name.toStdString(), stop = loadStop_](ManagerPipe& pipe) {
            Loaded loaded;
            loaded.rows.reserve(kViewerRowsExpected);
            // The viewer shows the whole file; a pipe failure ends it where it broke, and says so.
            if (auto read = readLogFile(pipe, name, SIZE_MAX, stop.get())) {
                loaded.ending = read->ending;
                for (const std::string& line : read->lines) {
                    if (auto row = logRowFromLine(line)) loaded.rows.push_back(std::move(*row));
                }
            }
            return loaded;
        },
        [this, load](Loaded loaded) {
            if (load != loads_) return;
            model_->setRows(std::move(loaded.rows));
            sizeColumns();
            if (model_->rowCount() > 0) view_->scrollTo(model_->index(model_->rowCount() - 1, 1));
            const Language& l = context_.language;
            const QString count = QString::number(model_->rowCount());
            // A server that refused a read did answer: only a lost one shows in the main window.
            if (loaded.ending == PipeStatus::Failed) context_.notePipe(PipeStatus::Failed);
            status_->showMessage(fillArguments(l.text(logReadTextKey(loaded.ending)), {count}));
            emit fileLoaded();
        });
}

void LogViewer::sizeColumns() {
    const int w = view_->viewport()->width();
    for (int c = 0; c <= kLogFieldCount; ++c)
        view_->header()->resizeSection(c, std::max(w * kColumnPercent[c] / 100, 16));
}

// The columns share the list's width: they are sized when the list itself changes size. The
// dialog's own resize comes before the list has its size when the dialog is first shown.
bool LogViewer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == view_->viewport() && event->type() == QEvent::Resize) sizeColumns();
    return QDialog::eventFilter(watched, event);
}

int LogViewer::printTo(QPrinter& printer) {
    const std::string name = files_->currentText().toStdString();
    const auto read =
        context_.worker.call([name](ManagerPipe& pipe) { return readLogFile(pipe, name, kPrintLineLimit); });
    if (!read) return 0;
    const QString cut =
        fillArguments(context_.language.text(logReadTextKey(read->ending)), {QString::number(read->lines.size())});
    if (read->ending == PipeStatus::Failed) context_.notePipe(PipeStatus::Failed);
    if (read->cut() && read->lines.empty()) return 0;
    std::vector<std::string> printed;
    printed.reserve(read->lines.size() + 1);
    for (const std::string& line : read->lines) printed.emplace_back(withoutLineEnd(line));
    // The printout ends where the read ended, and says why on its last page.
    if (read->cut()) printed.push_back(cut.trimmed().toStdString());
    return printLogLines(printer, files_->currentText(), printed);
}

void LogViewer::print() {
    QPrinter printer(QPrinter::HighResolution);
    printer.setCopyCount(1);
    QPrintDialog dialog(&printer, this);
    dialog.setOption(QAbstractPrintDialog::PrintCollateCopies, true);
    if (dialog.exec() != QDialog::Accepted) return;
    printTo(printer);
}

}  // namespace tolmark::manager
