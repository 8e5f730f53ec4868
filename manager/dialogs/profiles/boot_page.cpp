#include <QFormLayout>
#include <QVBoxLayout>

#include "manager/dialogs/profiles/profile_pages.h"

namespace tolmark::manager {

BootPage::BootPage(DialogContext& context, ProfileEditState& state, QWidget* parent)
    : ProfilePage(context, state, parent) {
    QGroupBox* server = group("BOOTSERVER");
    next_ = address("NEXTIP");
    name_ = latinEdit("BOOTNAME", 63);
    auto* serverForm = new QFormLayout(server);
    serverForm->addRow(text("NEXTIP"), next_);
    serverForm->addRow(text("BOOTNAME"), name_);

    file_ = latinEdit("FILE", 127);
    size_ = edit("BOOTSIZE", 10);
    useOpt_ = check("USEOPT");
    alternate_ = check("ALTERNATE");
    vendorClass_ = latinEdit("VENDORCLASSID", 63);
    vendorClass_->setAccessibleName(alternate_->text());
    file2_ = latinEdit("FILE2", 127);
    size2_ = edit("BOOTSIZE2", 10);
    rootPath_ = latinEdit("ROOTPATH", kSettingValueMax);
    // The second file and size are the alternate's: named so, not like the first two.
    file2_->setAccessibleName(alternate_->text().remove(u'&') + u' ' + label("FILE").remove(u'&'));
    size2_->setAccessibleName(alternate_->text().remove(u'&') + u' ' + label("BOOTSIZE").remove(u'&'));
    auto* form = new QFormLayout;
    form->addRow(text("FILE"), file_);
    form->addRow(text("BOOTSIZE"), size_);
    form->addRow(useOpt_);
    form->addRow(alternate_, vendorClass_);
    form->addRow(new QLabel(label("FILE"), this), file2_);
    form->addRow(new QLabel(label("BOOTSIZE"), this), size2_);
    form->addRow(text("ROOTPATH"), rootPath_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(server);
    layout->addLayout(form);
    layout->addWidget(text("BOOTSUBST"));
    layout->addWidget(text("SUBST"));
    layout->addStretch(1);
    connect(alternate_, &QCheckBox::toggled, this, &BootPage::updateAlternate);
}

void BootPage::updateAlternate() {
    for (QLineEdit* field : {vendorClass_, file2_, size2_}) field->setEnabled(alternate_->isChecked());
}

void BootPage::initialise() {
    const Profile& p = record();
    auto latin = [](const std::string& s) { return QString::fromLatin1(s.c_str()); };
    auto number = [](std::int32_t n) { return n == 0 ? QString() : QString::number(n); };
    fill(next_, p.nextIp);
    name_->setText(latin(p.bootName));
    file_->setText(latin(p.bootFile));
    size_->setText(number(p.bootSize));
    useOpt_->setChecked(p.useOpt != 0);
    alternate_->setChecked(p.alternate != 0);
    vendorClass_->setText(latin(p.vendorClassId));
    file2_->setText(latin(p.bootFile2));
    size2_->setText(number(p.bootSize2));
    rootPath_->setText(latin(p.rootPath));
    updateAlternate();
    setEnabled(mayChange());
}

namespace {
// A boot file size in 512-byte blocks, as option 13 carries it in 16 bits; empty is none. Any
// other text is nothing: it would have deleted the size, or sent the clients its low 16 bits.
std::optional<std::int64_t> bootSizeOf(const QLineEdit* field) {
    if (field->text().trimmed().isEmpty()) return 0;
    const std::optional<std::int64_t> size = fieldNumber(field->text());
    if (!size || *size < 0 || *size > 0xFFFF) return std::nullopt;
    return size;
}
}  // namespace

bool BootPage::validate() {
    if (!ProfilePage::validate() || !checkAddresses({next_})) return false;
    for (QLineEdit* size : {size_, size2_}) {
        if (size == size2_ && !alternate_->isChecked()) continue;
        if (!bootSizeOf(size)) return refuseField(size, "BOOTSIZE");
    }
    return true;
}

void BootPage::apply() {
    auto sizeOf = [](const QLineEdit* field) { return bootSizeOf(field).value_or(0); };
    writeAddress("NextIP", next_->text());
    writeText("BootName", name_->text());
    writeText("BootFile", file_->text());
    writeNumber("BootSize", sizeOf(size_), 0);
    writeNumber("UseOpt", useOpt_->isChecked() ? 1 : 0, 0);
    const bool alternate = alternate_->isChecked();
    writeNumber("Alternate", alternate ? 1 : 0, 0);
    // The alternate file belongs to the vendor class; without it all three go.
    writeText("VendorClassId", alternate ? vendorClass_->text() : QString());
    writeText("BootFile2", alternate ? file2_->text() : QString());
    writeNumber("BootSize2", alternate ? sizeOf(size2_) : 0, 0);
    writeText("RootPath", rootPath_->text());
}

}  // namespace tolmark::manager
