#pragma once
// What the dialog scenarios share: a dialog context of their own (pipe worker, texts, user
// preferences, the server's configuration file), an answerer for the message boxes the dialogs
// open modally, and the keys of an INI text.

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTextDocument>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>

#include "manager/dialogs/dialog_context.h"

namespace tolmark::manager::test {

// Presses a button of every message box that opens (OK unless another answer is queued) and
// keeps the texts it saw.
class MessageAnswerer : public QObject {
public:
    MessageAnswerer() {
        timer_.setInterval(20);
        connect(&timer_, &QTimer::timeout, this, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible()) return;
            // What the box shows: a text it would take for markup is marked.
            seen.push_back(box->textFormat() != Qt::PlainText && Qt::mightBeRichText(box->text())
                               ? QStringLiteral("<markup> ") + box->text()
                               : box->text());
            QMessageBox::StandardButton answer = QMessageBox::Ok;
            if (!answers.empty()) {
                answer = answers.front();
                answers.pop_front();
            }
            if (QAbstractButton* b = box->button(answer))
                b->click();
            else
                box->reject();
        });
        timer_.start();
    }
    // The texts seen since the last call.
    QStringList take() {
        QStringList out = seen;
        seen.clear();
        return out;
    }

    QStringList seen;
    std::deque<QMessageBox::StandardButton> answers;

private:
    QTimer timer_;
};

// Section/key -> value of an INI text (section and key as written).
inline std::map<QString, QString> iniKeys(const QString& text) {
    std::map<QString, QString> keys;
    QString section;
    for (const QString& raw : text.split(u'\n')) {
        const QString line = raw.trimmed();
        if (line.startsWith(u'[') && line.endsWith(u']')) {
            section = line.mid(1, line.size() - 2);
        } else if (const qsizetype eq = line.indexOf(u'='); eq > 0) {
            keys.emplace(section + u'/' + line.left(eq), line.mid(eq + 1));
        }
    }
    return keys;
}

// What changed from one INI text to the next: new values, and "<deleted>" for keys that went.
inline std::map<QString, QString> iniChanges(const QString& before, const QString& after) {
    const auto a = iniKeys(before), b = iniKeys(after);
    std::map<QString, QString> changes;
    for (const auto& [key, value] : b) {
        auto old = a.find(key);
        if (old == a.end() || old->second != value) changes[key] = value;
    }
    for (const auto& [key, value] : a) {
        if (!b.count(key)) changes[key] = QStringLiteral("<deleted>");
    }
    return changes;
}

}  // namespace tolmark::manager::test
