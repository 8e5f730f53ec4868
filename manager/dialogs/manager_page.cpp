#include "manager/dialogs/manager_page.h"

#include <QFileDialog>

namespace tolmark::manager {

QCheckBox* ManagerPage::check(const char* key) {
    auto* box = new QCheckBox(label(key), this);
    box->setObjectName(QString::fromLatin1(key));
    connect(box, &QCheckBox::toggled, this, &SheetPage::markChanged);
    return box;
}

QRadioButton* ManagerPage::radio(const char* key) {
    auto* button = new QRadioButton(label(key), this);
    button->setObjectName(QString::fromLatin1(key));
    connect(button, &QRadioButton::toggled, this, &SheetPage::markChanged);
    return button;
}

QLabel* ManagerPage::text(const char* key) {
    auto* l = new QLabel(label(key), this);
    l->setObjectName(QString::fromLatin1(key) + QStringLiteral("_label"));
    l->setWordWrap(true);
    return l;
}

QGroupBox* ManagerPage::group(const char* key) {
    auto* g = new QGroupBox(label(key), this);
    g->setObjectName(QString::fromLatin1(key));
    return g;
}

QLineEdit* ManagerPage::edit(const char* objectName, int maxLength) {
    auto* field = new QLineEdit(this);
    field->setObjectName(QString::fromLatin1(objectName));
    if (maxLength > 0) field->setMaxLength(maxLength);
    connect(field, &QLineEdit::textEdited, this, &SheetPage::markChanged);
    return field;
}

AddressEdit* ManagerPage::address(const char* objectName) {
    auto* field = new AddressEdit(this);
    field->setObjectName(QString::fromLatin1(objectName));
    connect(field, &QLineEdit::textEdited, this, &SheetPage::markChanged);
    return field;
}

QComboBox* ManagerPage::combo(const char* objectName) {
    auto* list = new QComboBox(this);
    list->setObjectName(QString::fromLatin1(objectName));
    connect(list, &QComboBox::currentIndexChanged, this, &SheetPage::markChanged);
    return list;
}

QString browseStartDirectory(const QString& field) {
    QString start = field;
    if (start.size() > 3 && start.endsWith(u'/')) start.chop(1);
    return start;
}

QPushButton* ManagerPage::browseButton(QLineEdit* field, const char* titleKey) {
    auto* button = new QPushButton(QStringLiteral("..."), this);
    button->setObjectName(field->objectName() + QStringLiteral("_browse"));
    button->setAccessibleName(context_.language.text("BROWSE"));
    button->setAccessibleDescription(context_.language.text(titleKey));
    connect(button, &QPushButton::clicked, this, [this, field, titleKey] {
        const QString title = context_.language.text(titleKey);
        const QString chosen = QFileDialog::getExistingDirectory(this, title, browseStartDirectory(field->text()),
                                                                 QFileDialog::ShowDirsOnly);
        if (chosen.isEmpty()) return;
        field->setText(chosen.endsWith(u'/') ? chosen : chosen + u'/');
        markChanged();
    });
    return button;
}

}  // namespace tolmark::manager
