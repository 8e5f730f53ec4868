#include "manager/dialogs/manager_page.h"

#include <QFileDialog>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QToolButton>

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
    return l;
}

QLabel* ManagerPage::note(const char* key) {
    QLabel* l = text(key);
    l->setWordWrap(true);
    return l;
}

QBoxLayout* ManagerPage::indented(QBoxLayout* parent, std::initializer_list<QWidget*> widgets) {
    auto* box = new QVBoxLayout;
    box->setContentsMargins(
        style()->pixelMetric(QStyle::PM_IndicatorWidth) + style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing), 0, 0,
        0);
    for (QWidget* w : widgets) box->addWidget(w);
    parent->addLayout(box);
    return box;
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

void fitNumberField(QLineEdit* field, int digits) {
    const int text = field->fontMetrics().horizontalAdvance(QString(digits + 1, u'0'));
    QStyleOptionFrame option;
    option.initFrom(field);
    field->setFixedWidth(field->style()->sizeFromContents(QStyle::CT_LineEdit, &option, QSize(text, 0), field).width());
}

QString browseStartDirectory(const QString& field) {
    QString start = field;
    if (start.size() > 3 && start.endsWith(u'/')) start.chop(1);
    return start;
}

QToolButton* ManagerPage::browseButton(QLineEdit* field, const char* titleKey) {
    auto* button = new QToolButton(this);
    button->setText(QStringLiteral("..."));
    button->setObjectName(field->objectName() + QStringLiteral("_browse"));
    button->setToolTip(context_.language.text("BROWSE"));
    button->setAccessibleName(context_.language.text("BROWSE"));  // "..." says nothing
    button->setAccessibleDescription(context_.language.text(titleKey));
    connect(button, &QToolButton::clicked, this, [this, field, titleKey] {
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
