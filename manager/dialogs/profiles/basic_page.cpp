#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

#include "manager/dialogs/profiles/profile_pages.h"

namespace tolmark::manager {

namespace {

constexpr std::uint32_t kInfiniteLease = 0xFFFFFFFFu;
constexpr std::int64_t kDefaultLease = 36000;
constexpr const char* kRuleTextKeys[kRuleCount] = {"CLASS_MAC",   "CLASS_BLOCK", "CLASS_USER",  "CLASS_VENDOR",
                                                   "CLASS_RELAY", "CLASS_IFACE", "CLASS_CLIENT"};
constexpr const char* kRelayKindKeys[3] = {"RELAY_NO", "RELAY_CIRCUIT", "RELAY_REMOTE"};

std::string dotted(Ipv4 address) { return formatIpv4(address).c_str(); }

// The lease field: seconds up to the infinite lease, 36000 when empty; nothing for any other
// text, which would otherwise become the default lease without a word.
std::optional<std::int64_t> leaseSeconds(const QString& field) {
    if (field.trimmed().isEmpty()) return kDefaultLease;
    const std::optional<std::int64_t> lease = fieldNumber(field);
    if (!lease || *lease < 0 || *lease > kInfiniteLease) return std::nullopt;
    return lease;
}

}  // namespace

BasicPage::BasicPage(DialogContext& context, ProfileEditState& state, QWidget* parent)
    : ProfilePage(context, state, parent) {
    const Language& l = context.language;
    QLabel* forLabel = text("FOR");
    rule_ = combo("FOR");
    for (const char* key : kRuleTextKeys) rule_->addItem(l.text(key));
    forLabel->setBuddy(rule_);

    // The value fields of the rules; showRule shows those of the chosen one.
    valueRow_ = new QWidget(this);
    value_ = latinEdit("VALUE", 130);
    value_->setParent(valueRow_);
    hex_ = radio("BINARY");
    string_ = radio("STRING");
    relayAddress_ = address("RELAYIP");
    relayKind_ = combo("RELAYKIND");
    for (const char* key : kRelayKindKeys) relayKind_->addItem(l.text(key));
    interface_ = combo("INTERFACE");
    interface_->setEditable(true);
    interface_->lineEdit()->setValidator(new AddressValidator(interface_));
    connect(interface_->lineEdit(), &QLineEdit::textEdited, this, &SheetPage::markChanged);
    auto* valueLayout = new QGridLayout(valueRow_);
    valueLayout->setContentsMargins(0, 0, 0, 0);
    for (QWidget* w : std::initializer_list<QWidget*>{value_, hex_, string_, relayAddress_, relayKind_, interface_})
        w->setParent(valueRow_);
    valueLayout->addWidget(relayAddress_, 0, 0);
    valueLayout->addWidget(relayKind_, 0, 1);
    valueLayout->addWidget(interface_, 0, 0, 1, 2);
    valueLayout->addWidget(value_, 1, 0, 1, 2);
    auto* radios = new QHBoxLayout;
    radios->addWidget(hex_);
    radios->addWidget(string_);
    radios->addStretch(1);
    valueLayout->addLayout(radios, 2, 0, 1, 2);

    QGroupBox* pool = group("POOL");
    from_ = address("FROM");
    until_ = address("UNTIL");
    auto* poolLayout = new QFormLayout(pool);
    poolLayout->addRow(text("FROM"), from_);
    poolLayout->addRow(text("UNTIL"), until_);

    lease_ = edit("LEASE", 10);
    infinite_ = check("INFINITE");
    mask_ = address("SUBNET");
    gateway_ = address("GATEWAY");
    backup1_ = address("BACKUP1");
    backup2_ = address("BACKUP2");
    auto* leaseRow = new QHBoxLayout;
    leaseRow->addWidget(lease_, 1);
    leaseRow->addWidget(infinite_);
    auto* form = new QFormLayout;
    form->addRow(text("LEASE"), leaseRow);
    form->addRow(text("SUBNET"), mask_);
    form->addRow(text("GATEWAY"), gateway_);
    form->addRow(text("BACKUP1"), backup1_);
    form->addRow(text("BACKUP2"), backup2_);

    auto* ruleRow = new QHBoxLayout;
    ruleRow->addWidget(forLabel);
    ruleRow->addWidget(rule_, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(ruleRow);
    layout->addWidget(valueRow_);
    layout->addWidget(pool);
    layout->addLayout(form);
    layout->addStretch(1);

    connect(rule_, &QComboBox::currentIndexChanged, this, &BasicPage::showRule);
    connect(relayKind_, &QComboBox::currentIndexChanged, this, [this] {
        if (relayKind_->currentIndex() > 0 && initialised()) hex_->setChecked(true);
        showRelayKind();
    });
    connect(interface_, &QComboBox::activated, this, &BasicPage::onInterfaceChosen);
    connect(infinite_, &QCheckBox::toggled, this, [this](bool on) {
        // Unchecked, the field shows a lease with an end again: the one it showed before, or
        // the default; the infinite value left in it would keep the lease infinite.
        const QString infinite = QString::number(kInfiniteLease);
        if (on && lease_->text().trimmed() != infinite) finiteLease_ = lease_->text();
        lease_->setText(on ? infinite
                        : lease_->text().trimmed() == infinite
                            ? (finiteLease_.isEmpty() ? QString::number(kDefaultLease) : finiteLease_)
                            : lease_->text());
        lease_->setEnabled(!on && mayChange());
    });
}

void BasicPage::fillInterfaces() {
    interface_->clear();
    interfaceMasks_.clear();
    const ServerStatus& s = state_.status;
    const Ipv4 own = record().selectorKind == SelectorKind::Interface ? record().selectorAddress : 0;
    std::vector<Ipv4> candidates;
    const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(s.interfaceCount, 0, kMaxInterfaces));
    for (std::size_t i = 0; i < count; ++i) {
        const InterfaceEntryImage& e = s.interfaces[i];
        if ((e.flags & (kIfPresent | kIfServed)) != (kIfPresent | kIfServed)) continue;
        candidates.push_back(e.address);
        interfaceMasks_.push_back(e.mask);
    }
    // Interfaces another profile uses are not offered; this profile's own is.
    const std::vector<bool> used = context_.worker.call([candidates, own](ManagerPipe& pipe) {
        std::vector<bool> u;
        for (Ipv4 a : candidates) {
            if (a == own) {
                u.push_back(false);
                continue;
            }
            const PipeResult<bool> inUse = pipe.checkAddressProfile(a);
            if (inUse.failed()) {
                u.resize(candidates.size(), false);  // no server: each further request would wait in vain
                break;
            }
            u.push_back(inUse.value);
        }
        return u;
    });
    std::vector<Ipv4> masks;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        if (used[i]) continue;
        interface_->addItem(QString::fromLatin1(formatIpv4(candidates[i]).c_str()));
        masks.push_back(interfaceMasks_[i]);
    }
    interfaceMasks_ = masks;
    const int at = interface_->findText(addressText(own));
    if (at >= 0) {
        interface_->setCurrentIndex(at);
    } else {
        interface_->setCurrentIndex(-1);
        interface_->setEditText(addressText(own));
    }
}

void BasicPage::initialise() {
    const Profile& p = record();
    const RuleChoice rule = ruleOf(p.selectorKind);
    rule_->setCurrentIndex(static_cast<int>(rule));
    showRule(static_cast<int>(rule));
    fill(from_, p.baseIp);
    fill(until_, poolLast(p));
    const auto lease = static_cast<std::uint32_t>(p.lease);
    lease_->setText(QString::number(lease));
    infinite_->setChecked(lease == kInfiniteLease);
    fill(mask_, p.subnetMask);
    fill(gateway_, p.gateway[0]);
    fill(backup1_, p.gateway[1]);
    fill(backup2_, p.gateway[2]);
    if (!mayChange()) {
        for (QWidget* w : findChildren<QWidget*>()) {
            if (qobject_cast<QLineEdit*>(w) || qobject_cast<QAbstractButton*>(w) || qobject_cast<QComboBox*>(w))
                w->setEnabled(false);
        }
    }
}

// Shows the chosen rule's fields, filled from the record only when it is the record's own rule.
void BasicPage::showRule(int position) {
    const auto rule = static_cast<RuleChoice>(position);
    const Profile& p = record();
    const bool own = ruleOf(p.selectorKind) == rule;
    const bool dash = context_.preferences.flag(pref::kShowDash);
    value_->clear();
    relayAddress_->clear();
    hex_->setChecked(true);
    for (QWidget* w : std::initializer_list<QWidget*>{value_, hex_, string_, relayAddress_, relayKind_, interface_})
        w->hide();
    // The value fields have no label of their own: they are named by the rule they hold.
    for (QWidget* w : std::initializer_list<QWidget*>{value_, relayAddress_, relayKind_, interface_})
        w->setAccessibleName(rule_->itemText(position));
    switch (rule) {
        case RuleChoice::StaticEntries:
            break;
        case RuleChoice::MacRange:
            value_->show();
            if (own) value_->setText(macRangeText(p.selectorValue, dash));
            break;
        case RuleChoice::UserClass:
        case RuleChoice::VendorClass:
        case RuleChoice::ClientIdRange:
            value_->show();
            if (rule != RuleChoice::ClientIdRange) {
                hex_->show();
                string_->show();
            }
            if (own) {
                QString text = rule == RuleChoice::ClientIdRange ? hexText(p.selectorValue)
                                                                 : storedValueText(p.selectorValue, p.selectorForm);
                if (text.startsWith(u'"')) {
                    string_->setChecked(true);
                    text.remove(0, 1);
                }
                value_->setText(text);
            }
            break;
        case RuleChoice::RelayAddress:
            relayAddress_->show();
            if (own) fill(relayAddress_, p.selectorAddress);
            relayKind_->setCurrentIndex(own ? static_cast<int>(p.relaySelectorType) : 0);
            if (own && p.relaySelectorType != RelaySelectorType::None) {
                QString text = storedValueText(p.selectorValue, p.selectorForm);
                if (text.startsWith(u'"')) {
                    string_->setChecked(true);
                    text.remove(0, 1);
                }
                value_->setText(text);
            }
            showRelayKind();
            break;
        case RuleChoice::InterfaceAddress:
            interface_->show();
            if (interface_->count() == 0 && interface_->currentText().isEmpty()) fillInterfaces();
            break;
    }
}

void BasicPage::showRelayKind() {
    if (static_cast<RuleChoice>(rule_->currentIndex()) != RuleChoice::RelayAddress) return;
    // The identifier kinds exist only while the server accepts relay agent information.
    const bool ra = state_.general.enableRa != 0;
    relayKind_->setVisible(ra);
    const bool withId = ra && relayKind_->currentIndex() > 0;
    for (QWidget* w : std::initializer_list<QWidget*>{value_, hex_, string_}) w->setVisible(withId);
    // Beside the relay address the identifier field is named by its kind: named by the rule as
    // well, the two fields would sound alike to a screen reader.
    value_->setAccessibleName(withId ? relayKind_->currentText() : rule_->currentText());
}

void BasicPage::onInterfaceChosen(int index) {
    markChanged();
    // A profile without a subnet mask takes the mask of the interface it is for.
    if (index >= 0 && static_cast<std::size_t>(index) < interfaceMasks_.size() &&
        readAddressField(mask_->text()).address == 0)
        fill(mask_, interfaceMasks_[static_cast<std::size_t>(index)]);
}

std::optional<std::string> BasicPage::classText(const char* failure) {
    std::string text = value_->text().toLatin1().toStdString();
    if (string_->isChecked()) text.insert(0, "\"");
    // A class holds 63 bytes: a longer one would be kept cut, and match no client.
    const std::size_t length = parseCountedValue(text, 64).length;
    if (length == 0 || length != typedValueBytes(text)) {
        showMessage(this, context_.language, context_.language.text(failure));
        return std::nullopt;
    }
    return text;
}

std::optional<std::vector<KeyWrite>> BasicPage::ruleWrites() {
    // The new rule's keys go first and the other rule keys are deleted after them: a change that
    // stops partway leaves the profile with its old rule or its new one (the server reads the
    // first rule key present), never without one, which would make it a profile of static
    // entries only.
    std::vector<KeyWrite> writes;
    auto put = [&writes](const char* key, std::string value) { writes.push_back({key, std::move(value)}); };
    auto refuse = [this](const char* message) {
        showMessage(this, context_.language, context_.language.text(message));
        return std::nullopt;
    };
    switch (static_cast<RuleChoice>(rule_->currentIndex())) {
        case RuleChoice::StaticEntries:
            break;
        case RuleChoice::MacRange: {
            // Read as typed, every group a byte: the list parser skips what it cannot read, and
            // "02 00 5e" would have become the range 02.
            const std::string typed = value_->text().trimmed().toLatin1().toStdString();
            const CountedValue bytes = parseByteList(typed, 64);
            if (bytes.length == 0 || bytes.length != hexGroups(typed)) return refuse("FORMAT");
            put("MacClass", macRangeText(bytes, false).toStdString());
            break;
        }
        case RuleChoice::UserClass:
        case RuleChoice::VendorClass: {
            const auto text = classText("INVALID_ID");
            if (!text) return std::nullopt;
            put(static_cast<RuleChoice>(rule_->currentIndex()) == RuleChoice::UserClass ? "UserClass" : "VendorClass",
                *text);
            break;
        }
        case RuleChoice::RelayAddress: {
            // While the server takes no relay agent information the identifier is not shown, but
            // a stored one stays: the list still holds its kind and the field its text.
            const int kind = relayKind_->currentIndex();
            std::optional<std::string> id;
            if (kind > 0 && !value_->text().isEmpty()) {
                id = classText("INVALID_ID");
                if (!id) return std::nullopt;
            }
            const FieldAddress relay = readAddressField(relayAddress_->text());
            if (!relay.valid || (relay.address == 0 && !id)) return refuse("INVALID_IPADDR");
            CheckSelectorRequest query{relay.address, id ? static_cast<std::uint32_t>(kind) : 0u, record().name, {}};
            if (id) {
                const CountedValue v = parseCountedValue(*id, 64);
                query.value.assign(reinterpret_cast<const char*>(v.bytes.data()), v.length);
            }
            const PipeResult<bool> used =
                context_.worker.call([query](ManagerPipe& pipe) { return pipe.checkProfileSelector(query); });
            if (used.ok() && used.value) return refuse("USED_RELAY");
            // The identifier before the address: the address makes it a relay rule.
            if (id) put(kind == 1 ? "CircuitID" : "RemoteID", *id);
            put("RelayIP", dotted(relay.address));
            break;
        }
        case RuleChoice::InterfaceAddress: {
            const FieldAddress typed = readAddressField(interface_->currentText());
            if (!typed.valid || typed.address == 0) return refuse("INVALID_IPADDR");
            const bool listed = interface_->findText(interface_->currentText().trimmed()) >= 0;
            const bool current =
                record().selectorKind == SelectorKind::Interface && record().selectorAddress == typed.address;
            if (!listed && !current) return refuse("INVALID_IPADDR");
            put("InterfaceIP", dotted(typed.address));
            break;
        }
        case RuleChoice::ClientIdRange: {
            const std::string typed = value_->text().toLatin1().toStdString();
            const CountedValue bytes = parseCountedValue(typed, 64);
            if (bytes.length == 0 || bytes.length != typedValueBytes(typed)) return refuse("FORMAT");
            put("CidClass", hexText(bytes).toStdString());
            break;
        }
    }
    for (const char* key : kRuleKeys) {
        if (std::none_of(writes.begin(), writes.end(), [key](const KeyWrite& w) { return w.key == key; }))
            writes.push_back({key, std::nullopt});
    }
    return writes;
}

bool BasicPage::validate() {
    if (!ProfilePage::validate()) return false;
    std::optional<std::vector<KeyWrite>> rule = ruleWrites();
    if (!rule) return false;
    if (!checkAddresses({from_, until_, gateway_, backup1_, backup2_}) || !checkAddresses({mask_}, false)) return false;
    if (!isSubnetMask(readAddressField(mask_->text()).address)) {
        showMessage(this, context_.language, context_.language.text("INVALID_MASK"));
        mask_->setFocus();
        return false;
    }
    // The server reads "Range" as a 32-bit number: a larger pool (a typo in "Until") would be
    // one of a single address.
    const Pool pool = poolFrom(readAddressField(from_->text()).address, readAddressField(until_->text()).address);
    if (pool.range > INT32_MAX) return refuseField(until_, "UNTIL", "INVALID_IPADDR");
    if (!leaseSeconds(lease_->text())) return refuseField(lease_, "LEASE");
    checkedRule_ = std::move(*rule);
    return true;
}

void BasicPage::apply() {
    for (KeyWrite& w : checkedRule_) state_.write(w.key, std::move(w.value));
    checkedRule_.clear();
    const Pool pool = poolFrom(readAddressField(from_->text()).address, readAddressField(until_->text()).address);
    if (pool.range > 0) {
        // One key at a time: a change that stops between the two leaves a pool within the old
        // one (the size first, for a pool that does not grow) or within the new one (the start
        // first), never one that reaches beyond both.
        const bool grows = pool.range > record().range;
        if (!grows) state_.write("Range", std::to_string(pool.range));
        state_.write("BaseIP", dotted(pool.base));
        if (grows) state_.write("Range", std::to_string(pool.range));
    } else {
        state_.write("BaseIP", std::nullopt);
        state_.write("Range", std::nullopt);
    }
    const std::int64_t seconds = leaseSeconds(lease_->text()).value_or(kDefaultLease);
    // 0 is a lease of its own (BOOTP only); only the default is deleted. "%d" as the server reads it.
    state_.write("Lease", seconds == kDefaultLease
                              ? std::nullopt
                              : std::optional<std::string>(std::to_string(static_cast<std::int32_t>(seconds))));
    writeAddress("SubnetMask", mask_->text());
    writeAddress("GatewayIP", gateway_->text());
    writeAddress("Gateway2IP", backup1_->text());
    writeAddress("Gateway3IP", backup2_->text());
    state_.basicApplied = true;
}

}  // namespace tolmark::manager
