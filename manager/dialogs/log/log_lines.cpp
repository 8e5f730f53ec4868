#include "manager/dialogs/log/log_lines.h"

#include <cstdio>

#include "manager/desktop/desktop_services.h"
#include "manager/pipe/server_text.h"

namespace tolmark::manager {

namespace {
// Where each field of a log line starts; the blank before a start ends the field before it.
constexpr std::size_t kFieldStart[kLogFieldCount] = {0, 11, 20, 26, 34};
constexpr std::size_t kServiceAt = 20;

// A blank before each field's start: the line is "date time service status message".
bool followsColumns(std::string_view line) {
    for (int f = 1; f < kLogFieldCount; ++f) {
        const std::size_t blank = kFieldStart[f] - 1;
        if (blank < line.size() && line[blank] != ' ') return false;
    }
    return true;
}

}  // namespace

std::string_view withoutLineEnd(std::string_view line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    return line;
}

std::optional<LogRow> logRowFromLine(std::string_view line) {
    if (line.size() < 2) return std::nullopt;
    line = withoutLineEnd(line);
    if (line.size() > kServiceAt) {
        const auto code = static_cast<unsigned char>(line[kServiceAt]);
        if (code >= 97 && code <= 127) return std::nullopt;
    }
    LogRow row;
    // A line that does not follow the column layout (the server's start line) keeps its date and
    // time and shows the rest whole in the message column.
    if (!followsColumns(line)) {
        for (int f = 0; f < 2 && kFieldStart[f + 1] - 1 <= line.size(); ++f)
            row.fields[static_cast<std::size_t>(f)] =
                shownServerText(line.substr(kFieldStart[f], kFieldStart[f + 1] - 1 - kFieldStart[f]));
        if (line.size() > kServiceAt) row.fields[kLogFieldCount - 1] = shownServerText(line.substr(kServiceAt));
        return row;
    }
    for (int f = 0; f < kLogFieldCount; ++f) {
        const std::size_t start = kFieldStart[f];
        if (start >= line.size()) break;
        const std::size_t end = f + 1 < kLogFieldCount ? std::min(kFieldStart[f + 1] - 1, line.size()) : line.size();
        row.fields[static_cast<std::size_t>(f)] = shownServerText(line.substr(start, end > start ? end - start : 0));
    }
    const QString& status = row.fields[3];
    for (const char* failure : {"Ab", "Er", "De", "Ti"})
        row.failure = row.failure || status.startsWith(QLatin1String(failure));
    return row;
}

PrintLayout printLayout(int pageHeight, int lineHeight, int lines) {
    PrintLayout layout;
    if (lineHeight <= 0) return layout;
    layout.linesPerPage = std::max(pageHeight / lineHeight - 2, 1);
    const int printed = std::clamp(lines, 0, kPrintLineLimit);
    layout.pages = std::max((printed + layout.linesPerPage - 1) / layout.linesPerPage, 1);
    return layout;
}

LogModel::LogModel(QObject* parent) : QAbstractTableModel(parent), icons_(loadLogIcons()) {}

void LogModel::setRows(std::vector<LogRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}
int LogModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kLogFieldCount + 1; }

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const LogRow& row = rows_[static_cast<std::size_t>(index.row())];
    if (index.column() == 0) {
        if (role == Qt::DecorationRole) return icons_[row.failure ? 1 : 0];
        if (role == Qt::AccessibleDescriptionRole) return row.failure ? failureText_ : QString();
        return {};
    }
    if (role == Qt::DisplayRole) return row.fields[static_cast<std::size_t>(index.column() - 1)];
    if (role == Qt::ToolTipRole) return plainToolTip(row.fields[static_cast<std::size_t>(index.column() - 1)]);
    return {};
}

QVariant LogModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 1 || section > kLogFieldCount) return {};
    return headers_[static_cast<std::size_t>(section - 1)];
}

}  // namespace tolmark::manager
