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
    bootp_ = check("BOOTP", "Accept BOOTP requests");
    dhcp_ = check("DHCP", "Accept DHCP requests");
    enableRa_ = check("ENABLERA", "Accept Relay Agent Information (Option 82)");
    noClient_ = check("NOCLIENT", "for Profile selection only");
    circuit_ = check("CIRCUIT", "Accept Circuit Identifier");
    remote_ = check("REMOTE", "Accept Remote Identifier");
    enableId_ = check("ENABLEID", "Accept Client Identifier (Option 61)");
    enableMac_ = check("ENABLEMA", "Accept MAC Addresses");
    name2Uc_ = check("NAME2UC", "Accept Client Hostname as User Class Identifier");
    single_ = check("SINGLE", "Sole Server environment (Respond to all init-reboot requests)");
    unicast_ = check("UNICAST", "Send replies as unicast messages (if broadcast flag is not set)");
    autoconf_ = check("AUTOCONF", "Disable Client Auto-Configuration (Option 116)");
    change_ = check("CHANGE", "Vary dynamic IP address of clients");
    arpTest_ = check("ARPTEST", "Check that a selected dynamic IP address is not in use");

    auto* layout = new QVBoxLayout(this);
    for (QCheckBox* box : {bootp_, dhcp_, enableRa_}) layout->addWidget(box);
    for (QCheckBox* box : {noClient_, circuit_, remote_}) {
        box->setContentsMargins(24, 0, 0, 0);
        layout->addWidget(box);
    }
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
