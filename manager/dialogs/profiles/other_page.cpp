#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "manager/dialogs/profiles/profile_pages.h"

namespace tolmark::manager {

namespace {
constexpr int kOptionCodes = 254;
constexpr int kHighestCode = 255;
}  // namespace

OtherPage::OtherPage(DialogContext& context, ProfileEditState& state, QWidget* parent)
    : ProfilePage(context, state, parent) {
    option_ = combo("OPTION");
    for (unsigned code = 1; code <= kOptionCodes; ++code) {
        const OptionInfo info = optionInfo(code);
        option_->addItem(code < 128 && info.name != nullptr
                             ? QStringLiteral("%1 %2").arg(code).arg(QString::fromLatin1(info.name))
                             : QString::number(code),
                         code);
    }
    length_ = new QLineEdit(this);
    length_->setObjectName(QStringLiteral("LENGTH"));
    length_->setReadOnly(true);
    value_ = new QLineEdit(this);
    value_->setObjectName(QStringLiteral("VALUE"));
    value_->setMaxLength(255);
    value_->setValidator(new Latin1Validator(value_));
    binary_ = new QRadioButton(label("OPT_BINARY"), this);
    addresses_ = new QRadioButton(label("OPT_IPADDR"), this);
    string_ = new QRadioButton(label("STRING"), this);
    binary_->setObjectName(QStringLiteral("BINARY"));
    addresses_->setObjectName(QStringLiteral("IPADDR"));
    string_->setObjectName(QStringLiteral("STRING"));
    substitution_ = check("OTHERSUBST");
    stringNote_ = note("OTHERSTRING");
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("NOTE"));
    add_ = new QPushButton(label("OPT_ADD"), this);
    add_->setObjectName(QStringLiteral("ADD"));
    remove_ = new QPushButton(label("REMOVE"), this);
    remove_->setObjectName(QStringLiteral("REMOVE"));
    QLabel* header = text("OTHERINFO");
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("LINES"));
    list_->setAccessibleName(header->text());

    auto* grid = new QGridLayout;
    QLabel* optionLabel = text("OPTION");
    QLabel* lengthLabel = text("LENGTH");
    QLabel* valueLabel = text("VALUE");
    optionLabel->setBuddy(option_);
    lengthLabel->setBuddy(length_);
    valueLabel->setBuddy(value_);
    option_->setAccessibleName(optionLabel->text().remove(u'&'));  // a list takes no name from its buddy
    grid->addWidget(optionLabel, 0, 0);
    grid->addWidget(option_, 0, 1, 1, 3);
    grid->addWidget(lengthLabel, 1, 0);
    grid->addWidget(length_, 1, 1);
    grid->addWidget(note_, 1, 2, 1, 2);
    grid->addWidget(valueLabel, 2, 0);
    grid->addWidget(value_, 2, 1, 1, 3);
    auto* kinds = new QHBoxLayout;
    for (QRadioButton* r : {binary_, addresses_, string_}) kinds->addWidget(r);
    kinds->addStretch(1);
    grid->addLayout(kinds, 3, 1, 1, 3);
    grid->addWidget(substitution_, 4, 1, 1, 3);
    grid->addWidget(stringNote_, 5, 1, 1, 3);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(add_);
    buttons->addWidget(remove_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addLayout(buttons);
    layout->addWidget(header);
    layout->addWidget(list_, 1);

    connect(option_, &QComboBox::currentIndexChanged, this, &OtherPage::onOptionChosen);
    connect(value_, &QLineEdit::textChanged, this, &OtherPage::updateLength);
    for (QRadioButton* r : {binary_, addresses_, string_})
        connect(r, &QRadioButton::toggled, this, &OtherPage::updateLength);
    connect(add_, &QPushButton::clicked, this, &OtherPage::addLine);
    connect(remove_, &QPushButton::clicked, this, [this] {
        const int row = list_->currentRow();
        if (row < 0 || row >= static_cast<int>(lines_.size())) return;
        lines_.erase(lines_.begin() + row);
        showLines();
        markChanged();
    });
    connect(list_, &QListWidget::currentRowChanged, this, &OtherPage::onLineChosen);
}

ValueKind OtherPage::kind() const {
    return string_->isChecked()      ? ValueKind::String
           : addresses_->isChecked() ? ValueKind::Addresses
                                     : ValueKind::Binary;
}

void OtherPage::initialise() {
    lines_ = optionLinesOf(record());
    for (const std::string& line : lines_) {
        if (const auto parts = splitOptionLine(line); parts && parts->code <= kHighestCode) shown_[parts->code] = true;
    }
    showLines();
    string_->setChecked(true);
    substitution_->setChecked(record().substitution != 0);
    option_->setCurrentIndex(-1);
    onOptionChosen(-1);
    if (!mayChange()) setEnabled(false);
}

void OtherPage::showLines() {
    list_->clear();
    for (const std::string& line : lines_) list_->addItem(QString::fromLatin1(line.c_str()));
}

void OtherPage::onOptionChosen(int index) {
    const unsigned code = index >= 0 ? option_->itemData(index).toUInt() : 0;
    bool open = index >= 0;
    note_->clear();
    if (index >= 0 && (isImplementedOption(code) || isUnavailableOption(code))) {
        // These have fields elsewhere in the editor, or the server sets them itself.
        note_->setText(context_.language.text(isImplementedOption(code) ? "IMPL_OPTION" : "EXCL_OPTION"));
        const QSignalBlocker quiet(option_);
        option_->setCurrentIndex(-1);
        open = false;
    } else if (index >= 0) {
        (optionInfo(code).addresses ? addresses_ : string_)->setChecked(true);
    }
    value_->setEnabled(open);
    add_->setEnabled(open);
}

void OtherPage::updateLength() {
    length_->setText(QString::number(optionValueLength(kind(), value_->text())));
    const bool text = kind() == ValueKind::String;
    substitution_->setVisible(text);
    stringNote_->setVisible(text);
}

void OtherPage::addLine() {
    const int index = option_->currentIndex();
    if (index < 0) return;
    const unsigned code = option_->itemData(index).toUInt();
    const OptionAdd added = buildOptionLine(code, kind(), value_->text());
    if (added.error != nullptr) {
        showMessage(this, context_.language, context_.language.text(added.error));
        return;
    }
    if (!added.line) return;
    std::vector<std::string> lines = lines_;
    putOptionLine(lines, code, *added.line);
    if (!optionLinesFit(lines)) {
        showMessage(this, context_.language, context_.language.text("OPT_NOROOM"));
        return;
    }
    lines_ = std::move(lines);
    if (code <= kHighestCode) shown_[code] = true;
    showLines();
    markChanged();
}

void OtherPage::onLineChosen(int row) {
    if (row < 0 || row >= static_cast<int>(lines_.size())) return;
    const std::optional<OptionLineParts> parts = splitOptionLine(lines_[static_cast<std::size_t>(row)]);
    if (!parts) return;
    {
        const QSignalBlocker quiet(option_);
        option_->setCurrentIndex(option_->findData(parts->code));
    }
    value_->setEnabled(true);
    add_->setEnabled(true);
    note_->clear();
    (parts->kind == ValueKind::String      ? string_
     : parts->kind == ValueKind::Addresses ? addresses_
                                           : binary_)
        ->setChecked(true);
    value_->setText(parts->value);
}

void OtherPage::apply() {
    std::array<bool, kHighestCode + 1> hasLine{};
    for (const std::string& line : lines_) {
        const std::optional<OptionLineParts> parts = splitOptionLine(line);
        if (!parts || parts->code > kHighestCode) continue;
        hasLine[parts->code] = true;
        state_.write("Opt" + std::to_string(parts->code), line);
    }
    // Only a line taken off the list deletes its key.
    for (unsigned code = 0; code <= kHighestCode; ++code) {
        if (shown_[code] && !hasLine[code]) state_.write("Opt" + std::to_string(code), std::nullopt);
    }
    writeNumber("Substitution", substitution_->isChecked() ? 1 : 0, 0);
}

}  // namespace tolmark::manager
