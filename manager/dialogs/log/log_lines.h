#pragma once
// What the log viewer makes of the server's log files: the file names, one row per log line
// split at the fixed positions of the line format, and the pages of a printout. Pure functions
// and a table model, tested without a server.

#include <QAbstractTableModel>
#include <QIcon>
#include <QString>

#include <array>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_file_name.h"

namespace tolmark::manager {

inline constexpr int kPrintLineLimit = 30000;

inline constexpr int kLogFieldCount = 5;  // date, time, service, status, message
struct LogRow {
    bool failure = false;  // status beginning with "Ab", "Er", "De" or "Ti"
    std::array<QString, kLogFieldCount> fields;
    bool operator==(const LogRow&) const = default;
};

// The line without its line end.
std::string_view withoutLineEnd(std::string_view line);
// Nothing for a line of fewer than 2 characters and for a continuation line (a lower-case
// letter or another code from 97 to 127 where the service starts).
std::optional<LogRow> logRowFromLine(std::string_view line);

struct PrintLayout {
    int linesPerPage = 0;
    int pages = 0;
};
// lines: the lines to print (at most kPrintLineLimit are); a page holds its height in lines less
// two (the header and a blank line). Pages are those the lines fill, at least one.
PrintLayout printLayout(int pageHeight, int lineHeight, int lines);

// The rows of the log viewer: an icon column without header, then the five fields.
class LogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit LogModel(QObject* parent = nullptr);
    void setHeaders(const std::array<QString, kLogFieldCount>& headers) { headers_ = headers; }
    // What the icon of a failure line says to a screen reader.
    void setFailureText(const QString& text) { failureText_ = text; }
    void setRows(std::vector<LogRow> rows);
    const std::vector<LogRow>& rows() const { return rows_; }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<QIcon> icons_;
    std::array<QString, kLogFieldCount> headers_;
    QString failureText_ = QStringLiteral("failure");
    std::vector<LogRow> rows_;
};

}  // namespace tolmark::manager
