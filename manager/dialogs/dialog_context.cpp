#include "manager/dialogs/dialog_context.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPointer>

#include <algorithm>
#include <vector>

#include "common/text_forms.h"

namespace tolmark::manager {

void showWaiting(bool waiting) {
    static std::vector<QPointer<QAbstractButton>> disabled;
    if (waiting) {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        QWidget* front = QApplication::activeModalWidget();
        if (front == nullptr) return;
        for (QDialogButtonBox* box : front->findChildren<QDialogButtonBox*>()) {
            for (QAbstractButton* b : box->buttons()) {
                const QDialogButtonBox::ButtonRole role = box->buttonRole(b);
                if ((role == QDialogButtonBox::AcceptRole || role == QDialogButtonBox::ApplyRole) && b->isEnabled()) {
                    b->setEnabled(false);
                    disabled.emplace_back(b);
                }
            }
        }
        return;
    }
    QApplication::restoreOverrideCursor();
    for (const QPointer<QAbstractButton>& b : disabled) {
        if (b) b->setEnabled(true);
    }
    disabled.clear();
}

QString controlLabel(const Language& language, const char* key) { return language.controlText(key); }

void showMessage(QWidget* parent, const Language& language, const QString& text) {
    QMessageBox box(QMessageBox::Warning, language.title(), text, QMessageBox::Ok, parent);
    // A message may carry a name from the server ("Profile %s ..."): never read as markup.
    box.setTextFormat(Qt::PlainText);
    box.button(QMessageBox::Ok)->setText(language.controlText("OK"));
    box.setObjectName(QStringLiteral("ManagerMessage"));
    box.exec();
}

QString changeFailedText(const Language& language, PipeStatus status) {
    return status == PipeStatus::Failed ? language.text("ERROR_PIPE").trimmed() : language.text("REFUSED");
}

std::optional<std::int64_t> fieldNumber(const QString& text) {
    const QString t = text.trimmed();
    if (t.isEmpty() || t.size() > 12) return std::nullopt;
    bool ok = false;
    const qlonglong n = t.toLongLong(&ok, 10);
    if (!ok) return std::nullopt;
    return n;
}

FieldAddress readAddressField(const QString& text) {
    const std::string s = text.trimmed().toStdString();
    if (s.empty()) return {true, 0};
    const ParsedIpv4 parsed = parseIpv4(s);
    if (!parsed.ok || parsed.end != s.size()) return {};
    return {true, parsed.address};
}

QString addressText(Ipv4 address) {
    return address == 0 ? QString() : QString::fromLatin1(formatIpv4(address).c_str());
}

std::size_t hexGroups(std::string_view text) {
    // One separator throughout: the first one found.
    const std::size_t at = text.find_first_of(":-");
    const char separator[] = {at == std::string_view::npos ? ':' : text[at], '\0'};
    return hexBytesJoined(text, separator).value_or(0);
}

std::size_t typedValueBytes(std::string_view value) {
    if (value.starts_with('"')) return value.size() - 1;
    if (value.starts_with("0x")) value.remove_prefix(2);
    return (value.size() + 1) / 2;
}

QString withinUtf8(const QString& text, int bytes) {
    qsizetype used = 0, end = 0;
    while (end < text.size()) {
        // A surrogate pair is one character of four bytes.
        const qsizetype width = text[end].isHighSurrogate() && end + 1 < text.size() ? 2 : 1;
        const qsizetype size = QStringView(text).mid(end, width).toUtf8().size();
        if (used + size > bytes) break;
        used += size;
        end += width;
    }
    return text.left(end);
}

QValidator::State Utf8LimitValidator::validate(QString& input, int&) const {
    return input.toUtf8().size() <= bytes_ ? Acceptable : Invalid;
}

QValidator::State Latin1Validator::validate(QString& input, int&) const {
    return std::all_of(input.begin(), input.end(), [](QChar c) { return c.unicode() <= 0xFF; }) ? Acceptable : Invalid;
}

}  // namespace tolmark::manager
