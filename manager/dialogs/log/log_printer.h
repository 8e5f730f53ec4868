#pragma once
// Printing a log file: each page starts with the header "name  --  n" at the top left, then,
// two line heights down, one file line per text line. At most 30000 lines are printed.

#include <QFont>
#include <QPrinter>
#include <QString>

#include <string>
#include <vector>

namespace tolmark::manager {

// The fixed-pitch font of the printout, 9 points.
QFont logPrintFont();

// Prints the lines (already without their line ends); returns the number of pages printed, 0
// when the job could not be started. Copies the printer cannot make itself are printed here.
int printLogLines(QPrinter& printer, const QString& fileName, const std::vector<std::string>& lines);

}  // namespace tolmark::manager
