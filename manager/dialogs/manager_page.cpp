#include "manager/dialogs/manager_page.h"

#include <QFileDialog>

namespace tolmark::manager {

QCheckBox* ManagerPage::check(const char* key, const char* english) {
    auto* box = new QCheckBox(label(key, english), this);
    box->setObjectName(QString::fromLatin1(key));
    connect(box, &QCheckBox::toggled, this, &SheetPage::markChanged);
    return box;
}

QRadioButton* ManagerPage::radio(const char* key, const char* english) {
    auto* button = new QRadioButton(label(key, english), this);
    button->setObjectName(QString::fromLatin1(key));
    connect(button, &QRadioButton::toggled, this, &SheetPage::markChanged);
    return button;
}

QLabel* ManagerPage::text(const char* key, const char* english) {
    auto* l = new QLabel(label(key, english), this);
    l->setObjectName(QString::fromLatin1(key) + QStringLiteral("_label"));
    l->setWordWrap(true);
    return l;
}

QGroupBox* ManagerPage::group(const char* key, const char* english) {
    auto* g = new QGroupBox(label(key, english), this);
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

QPushButton* ManagerPage::browseButton(QLineEdit* field, const char* titleKey, const char* englishTitle) {
    auto* button = new QPushButton(QStringLiteral("..."), this);
    button->setObjectName(field->objectName() + QStringLiteral("_browse"));
    button->setAccessibleName(textOr(context_.language, titleKey, QString::fromUtf8(englishTitle)));
    connect(button, &QPushButton::clicked, this, [this, field, titleKey, englishTitle] {
        const QString title = textOr(context_.language, titleKey, QString::fromUtf8(englishTitle));
        const QString chosen = QFileDialog::getExistingDirectory(this, title, browseStartDirectory(field->text()),
                                                                 QFileDialog::ShowDirsOnly);
        if (chosen.isEmpty()) return;
        field->setText(chosen.endsWith(u'/') ? chosen : chosen + u'/');
        markChanged();
    });
    return button;
}

}  // namespace tolmark::manager
