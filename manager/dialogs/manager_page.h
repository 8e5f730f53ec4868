#pragma once
// The base of the manager's sheet pages: builds labelled controls whose texts come from the
// language file ("Control" section, else the built-in English text),
// names each control by its language key (for accessibility tools and tests), and reports every
// user change to the sheet: check boxes and radios when toggled, edit fields only when their
// text is edited, lists only when their selection changes.

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include "manager/dialogs/address_edit.h"
#include "manager/dialogs/dialog_context.h"
#include "manager/dialogs/property_sheet.h"

namespace tolmark::manager {

class ManagerPage : public SheetPage {
    Q_OBJECT
public:
    explicit ManagerPage(DialogContext& context, QWidget* parent = nullptr) : SheetPage(parent), context_(context) {}

protected:
    QString label(const char* key) const { return controlLabel(context_.language, key); }
    QCheckBox* check(const char* key);
    QRadioButton* radio(const char* key);
    QLabel* text(const char* key);  // one line, as a label beside its field
    QLabel* note(const char* key);  // an explanation that wraps
    // The widgets below a check box, indented under its text.
    QBoxLayout* indented(QBoxLayout* parent, std::initializer_list<QWidget*> widgets);
    QGroupBox* group(const char* key);
    // A buddy label and its field; maxLength 0 leaves the length open.
    QLineEdit* edit(const char* objectName, int maxLength = 0);
    AddressEdit* address(const char* objectName);
    QComboBox* combo(const char* objectName);
    // The "..." button of a directory field: a folder browser titled with the language string.
    QToolButton* browseButton(QLineEdit* field, const char* titleKey);
    bool mayChange() const { return context_.rights.mayChange; }

    DialogContext& context_;
};

// A field for numbers of up to digits digits: as wide as they need, no wider.
void fitNumberField(QLineEdit* field, int digits);

// Folder browser start: a path longer than 3 characters loses its trailing separator first.
QString browseStartDirectory(const QString& field);

}  // namespace tolmark::manager
