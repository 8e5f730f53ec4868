#pragma once
// An edit field for one dotted IPv4 address. It takes digits and dots only and refuses a key
// that would make the text longer than 15 characters, add a fourth dot, or make a part that is
// not a number up to 255. A paste takes clipboard text of at most 16 bytes and types its digits
// and dots one by one, under the same rules.

#include <QLineEdit>
#include <QValidator>

namespace tolmark::manager {

// The key rule as a validator, so that typing, pasting and setText all obey it.
class AddressValidator : public QValidator {
    Q_OBJECT
public:
    using QValidator::QValidator;
    State validate(QString& input, int& position) const override;
    static bool acceptable(const QString& text);
};

class AddressEdit : public QLineEdit {
    Q_OBJECT
public:
    explicit AddressEdit(QWidget* parent = nullptr);
    // Types the characters of a pasted text that are digits or dots, each under the key rule.
    void typeText(const QString& text);

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace tolmark::manager
