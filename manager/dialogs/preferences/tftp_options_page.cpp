#include <QFormLayout>
#include <QVBoxLayout>

#include "manager/dialogs/preferences/preference_pages.h"

namespace tolmark::manager {

namespace {
constexpr std::int32_t kBlockSizeOption = 1;
constexpr std::int32_t kTimeoutOption = 2;
constexpr std::int32_t kTsizeOption = 4;
constexpr std::int32_t kMmfShared = 2;  // bit 1 of "TFTPmmf"
constexpr int kTimeouts = 20;
constexpr int kRetransmits = 10;

// The list position of a stored count 1..n; a value outside shows its nearest end.
int positionOf(std::int32_t value, int n) { return std::clamp(value, 1, n) - 1; }
}  // namespace

TftpOptionsPage::TftpOptionsPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent)
    : ManagerPage(context, parent), blocks_(blocks) {
    QLabel* timeoutLabel = text("TIMEOUT");
    timeout_ = combo("TIMEOUT");
    timeoutLabel->setBuddy(timeout_);
    QLabel* retransmitLabel = text("RETRANSMIT");
    retransmit_ = combo("RETRANSMIT");
    retransmitLabel->setBuddy(retransmit_);
    blockSize_ = check("BSIZEOPT");
    timeOption_ = check("TIMEOPT");
    tsize_ = check("TSIZEOPT");
    unix_ = check("UNIX");
    mmf_ = check("MMF");

    QGroupBox* multicastGroup = group("MULTICAST");
    multicast_ = check("MCAST");
    QLabel* addressLabel = text("MCASTIP");
    mcastAddress_ = edit("MCASTIP", 15);
    QLabel* portLabel = text("MCASTPORT");
    mcastPort_ = edit("MCASTPORT", 5);
    QLabel* ttlLabel = text("MCASTTTL");
    mcastTtl_ = edit("MCASTTTL", 3);
    fitNumberField(mcastAddress_, 15);
    fitNumberField(mcastPort_, 5);
    fitNumberField(mcastTtl_, 3);
    auto* mcastLayout = new QFormLayout(multicastGroup);
    mcastLayout->addRow(multicast_);
    mcastLayout->addRow(addressLabel, mcastAddress_);
    mcastLayout->addRow(portLabel, mcastPort_);
    mcastLayout->addRow(ttlLabel, mcastTtl_);

    auto* form = new QFormLayout;
    form->addRow(timeoutLabel, timeout_);
    form->addRow(retransmitLabel, retransmit_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    for (QCheckBox* box : {blockSize_, timeOption_, tsize_, unix_, mmf_}) layout->addWidget(box);
    layout->addWidget(multicastGroup);
    layout->addStretch(1);

    for (int i = 1; i <= kTimeouts; ++i) timeout_->addItem(QString::number(i));
    for (int i = 1; i <= kRetransmits; ++i) retransmit_->addItem(QString::number(i));
    all_ = {timeoutLabel, timeout_, retransmitLabel, retransmit_, blockSize_,
            timeOption_,  tsize_,   unix_,           mmf_,        multicastGroup};
    connect(multicast_, &QCheckBox::toggled, this, &TftpOptionsPage::updateEnabling);
}

void TftpOptionsPage::initialise() {
    if (const auto& t = blocks_.tftp) {
        timeout_->setCurrentIndex(positionOf(t->timeout, kTimeouts));
        retransmit_->setCurrentIndex(positionOf(t->retransmit, kRetransmits));
        blockSize_->setChecked((t->options & kBlockSizeOption) != 0);
        timeOption_->setChecked((t->options & kTimeoutOption) != 0);
        tsize_->setChecked((t->options & kTsizeOption) != 0);
        unix_->setChecked(t->unixStyle != 0);
        mmf_->setChecked((t->mmf & kMmfShared) != 0);
    }
    if (const auto& m = blocks_.multicast) {
        multicast_->setChecked(m->multicast != 0);
        mcastAddress_->setText(QString::fromLatin1(formatIpv4(m->address).c_str()));
        mcastPort_->setText(QString::number(m->port));
        mcastTtl_->setText(QString::number(m->ttl));
    }
}

void TftpOptionsPage::activated() { updateEnabling(); }

// Everything here works only while the TFTP server is on; the copy follows the TFTP page's switch.
void TftpOptionsPage::updateEnabling() {
    const bool on = mayChange() && blocks_.tftp && blocks_.multicast && blocks_.tftp->enable != 0;
    for (QWidget* w : all_) w->setEnabled(on);
    for (QWidget* w : std::initializer_list<QWidget*>{mcastAddress_, mcastPort_, mcastTtl_})
        w->setEnabled(on && multicast_->isChecked());
}

void TftpOptionsPage::apply() {
    if (!mayChange() || !blocks_.tftp || !blocks_.multicast) return;
    TftpSettings& t = *blocks_.tftp;
    t.timeout = timeout_->currentIndex() + 1;
    t.retransmit = retransmit_->currentIndex() + 1;
    t.options = (blockSize_->isChecked() ? kBlockSizeOption : 0) | (timeOption_->isChecked() ? kTimeoutOption : 0) |
                (tsize_->isChecked() ? kTsizeOption : 0);
    t.unixStyle = unix_->isChecked() ? 1 : 0;
    t.mmf = withBit(t.mmf, kMmfShared, mmf_->isChecked());
    MulticastSettings& m = *blocks_.multicast;
    m.multicast = multicast_->isChecked() ? 1 : 0;
    m.address = multicastAddressFromField(mcastAddress_->text());
    m.port = multicastPortFromField(mcastPort_->text());
    m.ttl = multicastTtlFromField(mcastTtl_->text());
    blocks_.sendTftp = true;
    blocks_.sendMulticast = true;
}

}  // namespace tolmark::manager
