#include <QVBoxLayout>

#include "manager/dialogs/preferences/preference_pages.h"

namespace tolmark::manager {

namespace {
constexpr std::int32_t kRelayCircuit = 0x1;
constexpr std::int32_t kRelayRemote = 0x2;
constexpr std::int32_t kRelayProfileOnly = 0x200;
}  // namespace

DhcpPage::DhcpPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent)
    : ManagerPage(context, parent), blocks_(blocks) {
    bootp_ = check("BOOTP");
    dhcp_ = check("DHCP");
    enableRa_ = check("ENABLERA");
    noClient_ = check("NOCLIENT");
    circuit_ = check("CIRCUIT");
    remote_ = check("REMOTE");
    enableId_ = check("ENABLEID");
    enableMac_ = check("ENABLEMA");
    name2Uc_ = check("NAME2UC");
    single_ = check("SINGLE");
    unicast_ = check("UNICAST");
    autoconf_ = check("AUTOCONF");
    change_ = check("CHANGE");
    arpTest_ = check("ARPTEST");

    auto* layout = new QVBoxLayout(this);
    for (QCheckBox* box : {bootp_, dhcp_, enableRa_}) layout->addWidget(box);
    indented(layout, {noClient_, circuit_, remote_});
    for (QCheckBox* box : {enableId_, enableMac_, name2Uc_, single_, unicast_, autoconf_, change_, arpTest_})
        layout->addWidget(box);
    layout->addStretch(1);
    connect(enableRa_, &QCheckBox::toggled, this, &DhcpPage::updateEnabling);
}

void DhcpPage::initialise() {
    if (const auto& g = blocks_.general) {
        bootp_->setChecked(g->bootp != 0);
        dhcp_->setChecked(g->dhcp != 0);
        enableRa_->setChecked(g->enableRa != 0);
        noClient_->setChecked((g->relayAgent & kRelayProfileOnly) != 0);
        circuit_->setChecked((g->relayAgent & kRelayCircuit) != 0);
        remote_->setChecked((g->relayAgent & kRelayRemote) != 0);
        enableId_->setChecked(g->enableId != 0);
        enableMac_->setChecked(g->enableMac != 0);
        name2Uc_->setChecked(g->name2Uc != 0);
        single_->setChecked(g->soleServer != 0);
        unicast_->setChecked(g->unicast != 0);
        autoconf_->setChecked(g->autoConfigure == 0);
        change_->setChecked(g->changeIp != 0);
        arpTest_->setChecked(g->testIp != 0);
    }
    updateEnabling();
}

void DhcpPage::updateEnabling() {
    const bool on = mayChange() && blocks_.general.has_value();
    for (QCheckBox* box : findChildren<QCheckBox*>()) box->setEnabled(on);
    circuit_->setEnabled(on && enableRa_->isChecked());
    remote_->setEnabled(on && enableRa_->isChecked());
}

void DhcpPage::apply() {
    if (!mayChange() || !blocks_.general) return;
    GeneralSettings& g = *blocks_.general;
    g.bootp = keptFlag(bootp_->isChecked(), g.bootp);
    g.enableId = keptFlag(enableId_->isChecked(), g.enableId);
    g.dhcp = dhcp_->isChecked() ? 1 : 0;
    g.enableRa = enableRa_->isChecked() ? 1 : 0;
    g.relayAgent = withBit(g.relayAgent, kRelayCircuit, circuit_->isChecked());
    g.relayAgent = withBit(g.relayAgent, kRelayRemote, remote_->isChecked());
    g.relayAgent = withBit(g.relayAgent, kRelayProfileOnly, noClient_->isChecked());
    g.enableMac = enableMac_->isChecked() ? 1 : 0;
    g.name2Uc = name2Uc_->isChecked() ? 1 : 0;
    g.soleServer = single_->isChecked() ? 1 : 0;
    g.unicast = unicast_->isChecked() ? 1 : 0;
    g.autoConfigure = autoconf_->isChecked() ? 0 : 1;
    g.changeIp = change_->isChecked() ? 1 : 0;
    g.testIp = arpTest_->isChecked() ? 1 : 0;
    blocks_.sendGeneral = true;
}

}  // namespace tolmark::manager
