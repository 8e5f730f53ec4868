#include "manager/dialogs/log/log_printer.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>

#include "manager/dialogs/log/log_lines.h"
#include "manager/language/language.h"
#include "manager/pipe/server_text.h"

namespace tolmark::manager {

namespace {

void printPage(QPainter& painter, const QFontMetrics& metrics, int lineHeight, const QString& header,
               const std::vector<std::string>& lines, std::size_t first, std::size_t count) {
    painter.drawText(0, metrics.ascent(), header);
    for (std::size_t i = 0; i < count; ++i) {
        const std::string& line = lines[first + i];
        painter.drawText(0, static_cast<int>(i + 2) * lineHeight + metrics.ascent(), shownServerText(line));
    }
}

}  // namespace

QFont logPrintFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(9);
    return font;
}

int printLogLines(QPrinter& printer, const QString& fileName, const std::vector<std::string>& lines) {
    printer.setDocName(fileName);
    // The device makes the copies when it can; otherwise each is printed here from the lines
    // read once.
    const int copies = printer.supportsMultipleCopies() ? 1 : std::max(printer.copyCount(), 1);
    const bool collate = printer.collateCopies();
    QPainter painter;
    if (!painter.begin(&printer)) return 0;
    const QFont font = logPrintFont();
    painter.setFont(font);
    const QFontMetrics metrics(font, &printer);
    const int lineHeight = metrics.height() + metrics.leading();
    const int count = static_cast<int>(std::min<std::size_t>(lines.size(), kPrintLineLimit));
    const PrintLayout layout =
        printLayout(printer.pageLayout().paintRectPixels(printer.resolution()).height(), lineHeight, count);
    const int perPage = layout.linesPerPage;
    int printed = 0;
    auto page = [&](int p) {
        if (printed > 0) printer.newPage();
        const std::size_t first = static_cast<std::size_t>(p) * static_cast<std::size_t>(perPage);
        const std::size_t n = std::min<std::size_t>(
            static_cast<std::size_t>(perPage), static_cast<std::size_t>(count) - std::min<std::size_t>(first, count));
        printPage(painter, metrics, lineHeight,
                  fillArguments(QStringLiteral("%s  --  %u"), {fileName, QString::number(p + 1)}), lines, first, n);
        ++printed;
    };
    for (int c = 0; c < (collate ? copies : 1); ++c) {
        for (int p = 0; p < layout.pages; ++p) {
            for (int k = 0; k < (collate ? 1 : copies); ++k) page(p);
        }
    }
    painter.end();
    return printed;
}

}  // namespace tolmark::manager
