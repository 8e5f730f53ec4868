#include "manager/dialogs/property_sheet.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace tolmark::manager {

namespace {

// The first control of a layout that takes the focus.
QWidget* firstFocusable(QLayoutItem* item) {
    if (item == nullptr) return nullptr;
    if (QWidget* w = item->widget()) return w->focusPolicy() & Qt::TabFocus ? w : nullptr;
    if (QLayout* inner = item->layout()) {
        for (int i = 0; i < inner->count(); ++i) {
            if (QWidget* w = firstFocusable(inner->itemAt(i))) return w;
        }
    }
    return nullptr;
}

}  // namespace

void labelFormFields(QWidget* root) {
    for (QFormLayout* form : root->findChildren<QFormLayout*>()) {
        auto* group = qobject_cast<QGroupBox*>(form->parentWidget());
        for (int row = 0; row < form->rowCount(); ++row) {
            auto* label = qobject_cast<QLabel*>(form->itemAt(row, QFormLayout::LabelRole)
                                                    ? form->itemAt(row, QFormLayout::LabelRole)->widget()
                                                    : nullptr);
            QWidget* field = firstFocusable(form->itemAt(row, QFormLayout::FieldRole));
            if (label == nullptr || field == nullptr || label->text().isEmpty()) continue;
            if (label->buddy() == nullptr) label->setBuddy(field);
            // A list takes no name from its buddy, and "1." or "From:" alone says little: within
            // a group the field is named with the group's title before the label.
            if (field->accessibleName().isEmpty() && (group != nullptr || qobject_cast<QLineEdit*>(field) == nullptr))
                field->setAccessibleName(
                    QString((group != nullptr ? group->title() + u' ' : QString()) + label->text()).remove(u'&'));
        }
    }
}

void SheetPage::markChanged() {
    if (!initialised_) return;  // filling the controls is no change
    changed_ = true;
    emit changed();
}

void SheetPage::ensureInitialised() {
    if (initialised_) return;
    labelFormFields(this);
    initialise();
    initialised_ = true;
}

PropertySheet::PropertySheet(QWidget* parent) : QDialog(parent) {
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    tabs_ = new QTabWidget(this);
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_, 1);
    layout->addWidget(buttons_);
    connect(tabs_, &QTabWidget::currentChanged, this, &PropertySheet::onCurrentChanged);
    connect(buttons_->button(QDialogButtonBox::Ok), &QPushButton::clicked, this, [this] {
        if (applyChanges()) accept();
    });
    connect(buttons_->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, &PropertySheet::applyChanges);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(false);
}

void PropertySheet::addPage(SheetPage* page, const QString& label) {
    pages_.push_back(page);
    tabs_->addTab(page, label);
    connect(page, &SheetPage::changed, this, &PropertySheet::updateApplyButton);
}

void PropertySheet::addPage(SheetPage* page, const Language& language, const char* key, const char* caption) {
    const QString text = language.text(key);
    addPage(page, text.isEmpty() ? QString::fromLatin1(caption) : text);
}

void PropertySheet::relabelButtons(const Language& language) {
    buttons_->button(QDialogButtonBox::Ok)->setText(language.controlText("OK"));
    buttons_->button(QDialogButtonBox::Cancel)->setText(language.controlText("CANCEL"));
    buttons_->button(QDialogButtonBox::Apply)->setText(language.text("APPLY"));
}

void PropertySheet::prepare() {
    if (!pages_.empty()) onCurrentChanged(tabs_->currentIndex());
}

void PropertySheet::onCurrentChanged(int index) {
    if (index < 0 || index >= pageCount()) return;
    SheetPage* p = page(index);
    p->ensureInitialised();
    p->activated();
}

void PropertySheet::updateApplyButton() {
    const bool any = std::any_of(pages_.begin(), pages_.end(), [](SheetPage* p) { return p->isChanged(); });
    buttons_->button(QDialogButtonBox::Apply)->setEnabled(any);
}

bool PropertySheet::applyChanges() {
    std::vector<SheetPage*> changed;
    for (SheetPage* p : pages_) {
        if (p->initialised() && p->isChanged()) changed.push_back(p);
    }
    for (SheetPage* p : changed) {
        if (!p->validate()) {
            tabs_->setCurrentWidget(p);
            return false;
        }
    }
    for (SheetPage* p : changed) p->apply();
    if (!changed.empty() && !commit(changed)) return false;
    for (SheetPage* p : changed) p->clearChanged();
    updateApplyButton();
    return true;
}

}  // namespace tolmark::manager
