#include <QFormLayout>
#include <QVBoxLayout>

#include <cstdint>

#include "manager/dialogs/profiles/profile_pages.h"

namespace tolmark::manager {

DnsPage::DnsPage(DialogContext& context, ProfileEditState& state, QWidget* parent)
    : ProfilePage(context, state, parent) {
    QLabel* domainLabel = text("Domain");
    domain_ = latinEdit("DNSNAME", kSettingValueMax);
    domainLabel->setBuddy(domain_);
    QGroupBox* servers = group("DNSADDRS");
    auto* serverLayout = new QFormLayout(servers);
    static const char* const kKeys[4] = {"DNS1", "DNS2", "DNS3", "DNS4"};
    for (std::size_t i = 0; i < dns_.size(); ++i) {
        dns_[i] = address(kKeys[i]);
        serverLayout->addRow(text(kKeys[i]), dns_[i]);
    }
    QGroupBox* names = group("DNSNAME");
    send_ = check("SENDNAME");
    accept_ = check("ACCEPTNAME");
    QLabel* create = note("DNSCREATE");
    QLabel* baseLabel = text("BASENAME");
    base_ = latinEdit("BASENAME", 63);
    baseLabel->setBuddy(base_);
    update_ = check("DNSUPDATE");
    auto* nameLayout = new QVBoxLayout(names);
    nameLayout->addWidget(send_);
    nameLayout->addWidget(accept_);
    nameLayout->addWidget(create);
    auto* baseForm = new QFormLayout;
    baseForm->addRow(baseLabel, base_);
    nameLayout->addLayout(baseForm);
    nameLayout->addWidget(update_);

    auto* top = new QFormLayout;
    top->addRow(domainLabel, domain_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(servers);
    layout->addWidget(names);
    layout->addStretch(1);
}

void DnsPage::initialise() {
    const Profile& p = record();
    domain_->setText(QString::fromLatin1(p.dnsName.c_str()));
    for (std::size_t i = 0; i < dns_.size(); ++i) fill(dns_[i], p.dns[i]);
    send_->setChecked(p.dnsSend != 0);
    accept_->setChecked(p.dnsAccept != 0);
    base_->setText(QString::fromLatin1(p.dnsBase.c_str()));
    update_->setChecked(p.dnsUpdate != 0);
    setEnabled(mayChange());
}

bool DnsPage::validate() { return ProfilePage::validate() && checkAddresses({dns_[0], dns_[1], dns_[2], dns_[3]}); }

void DnsPage::apply() {
    writeText("DNSName", domain_->text());
    static const char* const kKeys[4] = {"DNS1IP", "DNS2IP", "DNS3IP", "DNS4IP"};
    for (std::size_t i = 0; i < dns_.size(); ++i) writeAddress(kKeys[i], dns_[i]->text());
    writeNumber("DNSSend", send_->isChecked() ? 1 : 0, 0);
    writeNumber("DNSAccept", accept_->isChecked() ? 1 : 0, 0);
    writeText("DNSbase", base_->text());
    // Its default is 1: off is written as 0.
    state_.write("DNSUpdate", update_->isChecked() ? std::nullopt : std::optional<std::string>("0"));
}

NetBiosPage::NetBiosPage(DialogContext& context, ProfileEditState& state, QWidget* parent)
    : ProfilePage(context, state, parent) {
    wins1_ = address("WINS1");
    wins2_ = address("WINS2");
    scope_ = latinEdit("SCOPE", 19);
    node_ = combo("NODE");
    for (const char* n : {"*", "Broadcast-Node", "P-Node", "M-Node", "Hybrid-Node"})
        node_->addItem(QString::fromLatin1(n));
    auto* form = new QFormLayout(this);
    form->addRow(text("WINS1"), wins1_);
    form->addRow(text("WINS2"), wins2_);
    form->addRow(text("SCOPE"), scope_);
    form->addRow(text("NODE"), node_);
}

void NetBiosPage::initialise() {
    const Profile& p = record();
    fill(wins1_, p.wins[0]);
    fill(wins2_, p.wins[1]);
    scope_->setText(QString::fromLatin1(p.scopeId.c_str()));
    node_->setCurrentIndex(p.nodeType >= 1 && p.nodeType <= 4 ? p.nodeType : 0);
    setEnabled(mayChange());
}

bool NetBiosPage::validate() { return ProfilePage::validate() && checkAddresses({wins1_, wins2_}); }

void NetBiosPage::apply() {
    writeAddress("WINS1IP", wins1_->text());
    writeAddress("WINS2IP", wins2_->text());
    writeText("ScopeID", scope_->text());
    writeNumber("NodeType", node_->currentIndex(), 0);
}

TimePage::TimePage(DialogContext& context, ProfileEditState& state, QWidget* parent)
    : ProfilePage(context, state, parent) {
    offset_ = edit("OFFSET", 11);
    time_ = address("TIMESERVER");
    ntp1_ = address("NTPSERVER");
    ntp2_ = address("NTPSERVER2");
    auto* form = new QFormLayout(this);
    form->addRow(text("OFFSET"), offset_);
    form->addRow(text("TIMESERVER"), time_);
    form->addRow(text("NTPSERVER"), ntp1_);
    form->addRow(QString(), ntp2_);
    ntp2_->setAccessibleName(label("NTPSERVER").remove(u'&') + QStringLiteral(" 2"));
}

void TimePage::initialise() {
    const Profile& p = record();
    offset_->setText(QString::number(p.offset));
    fill(time_, p.time[0]);
    fill(ntp1_, p.ntp[0]);
    fill(ntp2_, p.ntp[1]);
    setEnabled(mayChange());
}

namespace {
// Seconds east of UTC, as the server's "%d" reads them; empty is none. Any other text is nothing:
// taken for 0, it deleted the offset the profile had.
std::optional<std::int64_t> offsetSeconds(const QString& field) {
    if (field.trimmed().isEmpty()) return 0;
    const std::optional<std::int64_t> offset = fieldNumber(field);
    if (!offset || *offset < INT32_MIN || *offset > INT32_MAX) return std::nullopt;
    return offset;
}
}  // namespace

bool TimePage::validate() {
    if (!ProfilePage::validate() || !checkAddresses({time_, ntp1_, ntp2_})) return false;
    if (offsetSeconds(offset_->text())) return true;
    return refuseField(offset_, "OFFSET");
}

void TimePage::apply() {
    writeNumber("Offset", offsetSeconds(offset_->text()).value_or(0), 0);
    writeAddress("TIME1IP", time_->text());
    writeAddress("NTP1IP", ntp1_->text());
    writeAddress("NTP2IP", ntp2_->text());
}

}  // namespace tolmark::manager
