#include "manager/dialogs/address_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>

namespace tolmark::manager {

namespace {
constexpr int kMaxAddressText = 15;
constexpr int kMaxPasteBytes = 16;
}  // namespace

bool AddressValidator::acceptable(const QString& text) {
    if (text.size() > kMaxAddressText) return false;
    int dots = 0;
    int part = 0;
    int digits = 0;
    for (QChar c : text) {
        if (c == u'.') {
            if (++dots > 3) return false;
            part = 0;
            digits = 0;
        } else if (c.isDigit() && c.unicode() < 128) {
            part = part * 10 + (c.unicode() - u'0');
            if (++digits > 3 || part > 255) return false;
        } else {
            return false;
        }
    }
    return true;
}

QValidator::State AddressValidator::validate(QString& input, int&) const {
    return acceptable(input) ? Acceptable : Invalid;
}

AddressEdit::AddressEdit(QWidget* parent) : QLineEdit(parent) {
    setValidator(new AddressValidator(this));
    setMaxLength(kMaxAddressText);
}

void AddressEdit::typeText(const QString& text) {
    const QByteArray bytes = text.toLatin1();
    if (bytes.size() > kMaxPasteBytes) return;
    for (char c : bytes) {
        if ((c < '0' || c > '9') && c != '.') continue;
        QString next = this->text();
        int at = cursorPosition();
        if (hasSelectedText()) {
            at = selectionStart();
            next.remove(at, selectedText().size());
        }
        next.insert(at, QLatin1Char(c));
        if (!AddressValidator::acceptable(next)) continue;
        setText(next);
        setCursorPosition(at + 1);
        emit textEdited(next);
    }
}

void AddressEdit::keyPressEvent(QKeyEvent* event) {
    if (event == QKeySequence::Paste) {
        typeText(QApplication::clipboard()->text());
        return;
    }
    QLineEdit::keyPressEvent(event);
}

}  // namespace tolmark::manager
