#include <QFormLayout>
#include <QHeaderView>
#include <QVBoxLayout>

#include "manager/dialogs/preferences/preference_pages.h"

namespace tolmark::manager {

namespace {
constexpr int kAuthorRole = Qt::UserRole + 1;
}

LanguagePage::LanguagePage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent)
    : ManagerPage(context, parent), blocks_(blocks) {
    QLabel* currentLabel = text("LANGUAGE");
    current_ = new QLabel(this);
    current_->setObjectName(QStringLiteral("CURRENT"));
    QLabel* availableLabel = text("AVAILABLE");
    list_ = new QTreeWidget(this);
    list_->setObjectName(QStringLiteral("LANGUAGES"));
    list_->setRootIsDecorated(false);
    list_->setColumnCount(3);
    list_->header()->setStretchLastSection(true);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setHeaderLabels({context.language.text("MODULE"), context.language.text("LANGUAGE"),
                            fillArguments(context.language.text("VERSION"), {QString()}).trimmed()});
    availableLabel->setBuddy(list_);
    list_->setAccessibleName(availableLabel->text().remove(u'&'));  // a list takes no name from its buddy
    QLabel* authorLabel = text("TRANSLATION");
    author_ = new QLineEdit(this);
    author_->setObjectName(QStringLiteral("TRANSLATION"));
    author_->setReadOnly(true);
    authorLabel->setBuddy(author_);

    auto* top = new QFormLayout;
    top->addRow(currentLabel, current_);
    auto* bottom = new QFormLayout;
    bottom->addRow(authorLabel, author_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(availableLabel);
    layout->addWidget(list_, 1);
    layout->addLayout(bottom);

    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        author_->setText(item != nullptr ? item->data(0, kAuthorRole).toString() : QString());
        markChanged();
    });
}

void LanguagePage::initialise() {
    current_->setText(context_.language.languageName());
    // The row of the language in use: its file, or the built-in English texts.
    const std::string& path = context_.language.filePath();
    const QString inUse =
        path.empty() ? QStringLiteral("English") : QString::fromStdString(path.substr(path.find_last_of('/') + 1));
    for (const LanguageEntry& entry : listLanguages(context_.programDirectory, QStringLiteral(TOLMARK_VERSION))) {
        auto* item = new QTreeWidgetItem(list_, {entry.module, entry.language, entry.version});
        item->setData(0, kAuthorRole, entry.author);
        if (entry.module == inUse) list_->setCurrentItem(item);
    }
    sizeColumns();
}

// Module 36 and language 44 per cent of the list's width; the version takes the rest, so the list
// never scrolls sideways.
void LanguagePage::sizeColumns() {
    const int w = list_->viewport()->width();
    list_->header()->resizeSection(0, w * 36 / 100);
    list_->header()->resizeSection(1, w * 44 / 100);
}

void LanguagePage::resizeEvent(QResizeEvent* event) {
    ManagerPage::resizeEvent(event);
    sizeColumns();
}

void LanguagePage::apply() {
    const QTreeWidgetItem* item = list_->currentItem();
    if (item == nullptr) return;
    context_.preferences.writeLanguage(item->text(0).toStdString());
    context_.language.load(context_.preferences.language(), context_.germanUser);
    blocks_.languageChanged = true;
}

}  // namespace tolmark::manager
