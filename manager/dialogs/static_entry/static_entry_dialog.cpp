#include "manager/dialogs/static_entry/static_entry_dialog.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <unordered_set>

#include "common/entry_line.h"
#include "manager/dialogs/property_sheet.h"
#include "manager/pipe/server_text.h"

namespace tolmark::manager {

namespace {

bool sameIdentity(const Identity& a, const Identity& b) {
    return a.kind == b.kind && a.length == b.length &&
           std::equal(a.bytes.begin(), a.bytes.begin() + std::min<std::size_t>(a.length, a.bytes.size()),
                      b.bytes.begin());
}

// The handle of the list's record with this identity in the server's present run; 0 when the list
// holds none. A server that restarted gave its records new handles. A list in a circle, or one
// longer than any list the server keeps, ends the search.
PipeResult<std::uint64_t> findIdentity(ManagerPipe& pipe, ClientList list, const Identity& identity) {
    constexpr std::size_t kMaxRecords = 1u << 20;
    std::unordered_set<std::uint64_t> passed;
    for (std::uint64_t handle = 0; passed.size() < kMaxRecords;) {
        const PipeResult<ListedEntry> entry = pipe.listEntry(list, handle);
        if (entry.failed()) return {PipeStatus::Failed, 0};
        const ClientRecordImage& record = entry.value.record;
        if (!entry.ok() || record.fields.identity.kind == kIdentityFree) return {PipeStatus::Done, 0};
        if (record.handle != 0 && sameIdentity(record.fields.identity, identity))
            return {PipeStatus::Done, record.handle};
        handle = record.nextHandle;
        if (handle == 0 || !passed.insert(handle).second) return {PipeStatus::Done, 0};
    }
    return {PipeStatus::Done, 0};
}

constexpr int kProfileChars = 23;
constexpr int kHostNameChars = 158;
constexpr int kRemarkChars = 31;

// A hardware address: 2 to 16 groups. The address is not read loosely: "00:0c:29:aa:bb:ccx" or a
// seventh group would otherwise be cut off and another client's address stored, and a short
// address taken for no address at all.
std::size_t macFormGroups(std::string_view text) {
    const std::size_t groups = hexGroups(text);
    return groups >= 2 && groups <= 16 ? groups : 0;
}

std::uint8_t kindOf(IdentifierChoice choice, bool circuit, bool remote) {
    switch (choice) {
        case IdentifierChoice::Mac:
            return kIdentityHardware;
        case IdentifierChoice::ClientId:
            return kIdentityClientId;
        case IdentifierChoice::RelayAgent:
            return circuit && remote ? kIdentityCircuitRemote : circuit ? kIdentityCircuit : kIdentityRemote;
    }
    return kIdentityHardware;
}

}  // namespace

EntryLineResult buildEntryLine(const EntryLineInput& input) {
    EntryLineResult result;
    std::string id = input.identifier.trimmed().toStdString();
    const bool mac = input.choice == IdentifierChoice::Mac;
    const std::size_t macGroups = mac ? macFormGroups(id) : 0;
    if (!mac && parseHardwareAddress(id)) return {"INVALID_ID", {}, {}};
    if (mac && macGroups == 0) return {"INVALID_MAC", {}, {}};
    if (input.choice == IdentifierChoice::RelayAgent)
        id.insert(0, input.circuit && input.remote ? "+" : input.circuit ? "C" : "R");
    // The kind the text reads as must be the one chosen: "C0102" typed as a client identifier
    // would otherwise become a circuit identifier, and an empty or bad value no entry at all.
    const std::optional<Identity> identity = parseIdentity(id);
    // Every group a byte: a hardware address of another length than six is written with two
    // digits per byte, "0:c:29:aa" would read as a client identifier.
    if (mac && (!identity || identity->kind != kIdentityHardware || identity->length != macGroups))
        return {"INVALID_MAC", {}, {}};
    if (!identity || identity->kind != kindOf(input.choice, input.circuit, input.remote)) return {"INVALID_ID", {}, {}};
    // The parser keeps what fits and drops the rest: an identifier typed longer than an identity
    // holds would be stored cut, for a client that never sends it so.
    const std::string_view value = std::string_view(id).substr(input.choice == IdentifierChoice::RelayAgent ? 1 : 0);
    if (!mac && identity->length != typedValueBytes(value)) return {"INVALID_ID", {}, {}};
    const FieldAddress address = readAddressField(input.address);
    if (!address.valid) return {"INVALID_IPADDR", {}, {}};
    // The line carries the identifier in hexadecimal: a text form may hold " #", which starts a
    // remark in an entry line and would cut the identifier, the address and the profile off.
    result.line = std::string(formatIdentity(*identity).c_str()) + "\t" +
                  (input.address.trimmed().isEmpty() ? std::string("0.0.0.0") : input.address.trimmed().toStdString());
    result.profile = withinUtf8(input.profile.trimmed(), kProfileChars).replace(u' ', u'_').toStdString();
    // No profile is named so ("#" would start a remark of the line, which then names none; a "]"
    // would end the header of the profile's section): the question to create it would make a
    // profile the entry does not get.
    if (!result.profile.empty() &&
        (std::string_view("#:;<=>?").find(result.profile.front()) != std::string_view::npos ||
         result.profile.find(']') != std::string::npos))
        return {"FORMAT", {}, {}};
    if (!result.profile.empty()) result.line += "\t" + result.profile;
    return result;
}

StaticEntryDialog::StaticEntryDialog(DialogContext& context, StaticMode mode, EntryListHooks hooks, QWidget* parent)
    : QDialog(parent), context_(context), mode_(mode), hooks_(std::move(hooks)) {
    setObjectName(QStringLiteral("StaticEntry"));
    setWindowTitle(context.language.text("StaticEntry"));
    buildControls();
    fetchServerState();
    enableChoices();
    if (mode_ != StaticMode::Add) {
        const std::vector<std::uint64_t> selected = hooks_.selected();
        const PipeStatus read = selected.empty() ? PipeStatus::Refused : loadEntry(selected.front());
        // An entry that cannot be read (the server gone, or restarted since the list was read)
        // would leave empty fields that name no entry: the dialog says so and closes.
        if (read != PipeStatus::Done) {
            okButton()->setEnabled(false);
            applyButton()->setEnabled(false);
            QTimer::singleShot(0, this, [this, read] {
                context_.notePipe(read);
                if (read != PipeStatus::Failed) context_.markListsChanged();
                const Language& l = context_.language;
                showMessage(this, l, read == PipeStatus::Failed ? changeFailedText(l, read) : l.text("ENTRY_GONE"));
                reject();
            });
        }
    }
}

QPushButton* StaticEntryDialog::applyButton() const { return buttons_->button(QDialogButtonBox::Apply); }
QPushButton* StaticEntryDialog::okButton() const { return buttons_->button(QDialogButtonBox::Ok); }

void StaticEntryDialog::buildControls() {
    const Language& l = context_.language;
    auto label = [&l](const char* key) { return controlLabel(l, key); };
    auto named = [](QWidget* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        return w;
    };
    auto* info1 = new QLabel(label("STATICINFO1"), this);
    auto* info2 = new QLabel(label("STATICINFO2"), this);
    auto* info3 = new QLabel(label("STATICINFO3"), this);
    for (QLabel* info : {info1, info2, info3}) info->setWordWrap(true);

    relay_ = new QRadioButton(label("RA"), this);
    circuit_ = new QCheckBox(label("RA_CIRCUIT"), this);
    remote_ = new QCheckBox(label("RA_REMOTE"), this);
    clientId_ = new QRadioButton(label("IDENTIFIER"), this);
    mac_ = new QRadioButton(label("MAC"), this);
    identifier_ = new QLineEdit(this);
    identifier_->setMaxLength(130);
    // The field is named by the identifier choice on screen above it.
    for (QRadioButton* choice : {relay_, clientId_, mac_}) {
        connect(choice, &QRadioButton::toggled, this, [this, choice](bool on) {
            if (on) identifier_->setAccessibleName(choice->text().remove(u'&'));
        });
    }
    named(relay_, "RA"), named(circuit_, "CIRCUIT"), named(remote_, "REMOTE"), named(clientId_, "IDENTIFIER");
    named(mac_, "MAC"), named(identifier_, "ID");
    circuit_->setChecked(true);
    connect(circuit_, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) onBoxUnchecked(circuit_, remote_);
    });
    connect(remote_, &QCheckBox::toggled, this, [this](bool on) {
        if (!on) onBoxUnchecked(remote_, circuit_);
    });

    auto* ipLabel = new QLabel(label("IPADDR"), this);
    address_ = new AddressEdit(this);
    named(address_, "IPADDR");
    ipLabel->setBuddy(address_);

    auto* optional = new QGroupBox(label("OPTIONAL"), this);
    auto* hostLabel = new QLabel(label("HOSTNAME"), optional);
    hostName_ = new QLineEdit(optional);
    hostName_->setMaxLength(kHostNameChars);
    hostName_->setValidator(new Utf8LimitValidator(kHostNameChars, hostName_));
    auto* profileLabel = new QLabel(label("PROFILE"), optional);
    profile_ = new QComboBox(optional);
    profile_->setEditable(true);
    profile_->lineEdit()->setMaxLength(kProfileChars);
    profile_->setValidator(new Utf8LimitValidator(kProfileChars, profile_));
    auto* remarkLabel = new QLabel(label("REMARK"), optional);
    remark_ = new QLineEdit(optional);
    remark_->setMaxLength(kRemarkChars);
    remark_->setValidator(new Utf8LimitValidator(kRemarkChars, remark_));
    named(hostName_, "HOSTNAME"), named(profile_, "PROFILE"), named(remark_, "REMARK");
    auto* form = new QFormLayout(optional);
    form->addRow(hostLabel, hostName_);
    form->addRow(profileLabel, profile_);
    form->addRow(remarkLabel, remark_);
    labelFormFields(optional);

    redundant_ = new QCheckBox(label("BACKUP"), this);
    named(redundant_, "BACKUP");
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel | QDialogButtonBox::Apply, this);
    okButton()->setText(controlLabel(l, "OK"));
    buttons_->button(QDialogButtonBox::Cancel)->setText(controlLabel(l, "Cancel"));
    applyButton()->setText(l.text("APPLY"));
    connect(okButton(), &QPushButton::clicked, this, [this] {
        if (store()) afterStored(true);
    });
    connect(applyButton(), &QPushButton::clicked, this, [this] {
        if (store()) afterStored(false);
    });
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* idGrid = new QGridLayout;
    idGrid->addWidget(relay_, 0, 0);
    idGrid->addWidget(circuit_, 0, 1);
    idGrid->addWidget(remote_, 0, 2);
    idGrid->addWidget(clientId_, 1, 0);
    idGrid->addWidget(mac_, 2, 0);
    idGrid->addWidget(identifier_, 3, 0, 1, 3);
    idGrid->addWidget(ipLabel, 4, 0);
    idGrid->addWidget(address_, 4, 1, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(info1);
    layout->addWidget(info2);
    layout->addLayout(idGrid);
    layout->addWidget(info3);
    layout->addWidget(optional);
    layout->addWidget(redundant_);
    layout->addWidget(buttons_);
    okButton()->setDefault(true);
    setMinimumWidth(460);
}

void StaticEntryDialog::fetchServerState() {
    struct State {
        PipeResult<GeneralSettings> general;
        std::vector<std::string> profiles;
    };
    const State state = context_.worker.call([](ManagerPipe& pipe) {
        State s;
        s.general = pipe.getSettings();
        if (s.general.failed()) return s;  // no server: each further request would wait in vain
        for (std::int32_t i = 0; i < 4096; ++i) {
            const auto p = pipe.getProfile(i);
            if (!p.ok()) break;
            s.profiles.push_back(p.value.profile.name);
        }
        return s;
    });
    context_.notePipe(state.general.status);
    if (state.general.ok()) general_ = state.general.value;
    profiles_ = state.profiles;
    for (const std::string& name : profiles_) profile_->addItem(decodeServerText(name));
    profile_->setCurrentIndex(profiles_.empty() ? -1 : 0);
    const bool may = context_.rights.mayChange;
    okButton()->setEnabled(may);
    applyButton()->setEnabled(may);
    // The first identifier choice the server accepts.
    (general_.enableMac != 0 ? mac_ : general_.enableId != 0 ? clientId_ : relay_)->setChecked(true);
}

void StaticEntryDialog::enableChoices() {
    const bool fixedKind = mode_ == StaticMode::Copy || mode_ == StaticMode::Move;
    const bool ra = general_.enableRa != 0 && (!fixedKind || relay_->isChecked());
    relay_->setEnabled(ra);
    circuit_->setEnabled(ra);
    remote_->setEnabled(ra);
    clientId_->setEnabled(general_.enableId != 0 && (!fixedKind || clientId_->isChecked()));
    mac_->setEnabled(general_.enableMac != 0 && (!fixedKind || mac_->isChecked()));
    identifier_->setEnabled(!fixedKind);
}

void StaticEntryDialog::onBoxUnchecked(QCheckBox* box, QCheckBox* other) {
    // Copy and Move keep the kind of the entry; elsewhere one of the two stays checked.
    if (mode_ == StaticMode::Copy || mode_ == StaticMode::Move) {
        box->setChecked(true);
    } else {
        other->setChecked(true);
    }
}

ClientList StaticEntryDialog::sourceList() const {
    switch (mode_) {
        case StaticMode::Copy:
            return ClientList::Dynamic;
        case StaticMode::Move:
            return ClientList::Ignored;
        default:
            return ClientList::Static;
    }
}

PipeStatus StaticEntryDialog::loadEntry(std::uint64_t handle) {
    const ClientList list = sourceList();
    const std::optional<Identity> shown = hooks_.identityOf(handle);
    const PipeResult<ListedEntry> entry = context_.worker.call([list, handle, shown](ManagerPipe& pipe) {
        PipeResult<ListedEntry> at = pipe.listEntry(list, handle);
        const bool same = at.ok() && at.value.record.fields.identity.kind != kIdentityFree &&
                          (!shown || sameIdentity(at.value.record.fields.identity, *shown));
        if (at.failed() || same || !shown) return at;
        // The handle names no entry or another one: the server restarted since the list was read.
        const PipeResult<std::uint64_t> found = findIdentity(pipe, list, *shown);
        if (!found.ok()) return PipeResult<ListedEntry>{found.status, {}};
        if (found.value == 0) return PipeResult<ListedEntry>{PipeStatus::Refused, {}};
        return pipe.listEntry(list, found.value);
    });
    if (!entry.ok()) return entry.status;
    if (entry.value.record.fields.identity.kind == kIdentityFree) return PipeStatus::Refused;
    handle_ = handle;
    entry_ = entry.value.record.fields;
    const Identity& id = entry_.identity;
    switch (id.kind) {
        case kIdentityCircuit:
        case kIdentityRemote:
        case kIdentityCircuitRemote:
            relay_->setChecked(true);
            circuit_->setChecked((id.kind & kIdentityCircuit) != 0);
            remote_->setChecked((id.kind & kIdentityRemote) != 0);
            break;
        case kIdentityClientId:
            clientId_->setChecked(true);
            break;
        default:
            mac_->setChecked(true);
            break;
    }
    QString text = QString::fromLatin1(
        formatIdentity(id, context_.preferences.flag(pref::kShowDash), context_.preferences.flag(pref::kShowString))
            .c_str());
    if (id.kind >= kIdentityCircuit && id.kind <= kIdentityCircuitRemote) text.remove(0, 1);  // the boxes say it
    identifier_->setText(text);
    address_->setText(mode_ == StaticMode::Move ? QString() : addressText(entry_.address));
    if (mode_ == StaticMode::Modify) {
        hostName_->setText(decodeServerText(entry_.hostName));
        remark_->setText(decodeServerText(entry_.remark));
    }
    if (mode_ == StaticMode::Move) {
        profile_->setCurrentIndex(profiles_.empty() ? -1 : 0);
    } else {
        profile_->setCurrentText(decodeServerText(entry_.profile));
    }
    enableChoices();
    return PipeStatus::Done;
}

bool StaticEntryDialog::ensureProfile(const std::string& profile) {
    const std::string name = profile.empty() ? std::string(kDefaultProfileName) : profile;
    // The server has the profile: asked before the question, and again after the editor.
    const auto lookUp = [this, &name] {
        return context_.worker.call([name](ManagerPipe& pipe) { return pipe.getProfileByName(name); });
    };
    const PipeResult<ProfileEntry> known = lookUp();
    if (known.failed()) {
        // Told here as a failed add is: OK and Apply would otherwise seem to do nothing.
        context_.notePipe(known.status);
        showMessage(this, context_.language, changeFailedText(context_.language, known.status));
        return false;
    }
    if (known.ok() && known.value.use >= 1) return true;
    const QString question = fillArguments(context_.language.text("CREATE"), {QString::fromStdString(name)});
    QMessageBox ask(QMessageBox::Question, context_.language.title(), question, QMessageBox::Ok | QMessageBox::Cancel,
                    this);
    ask.setObjectName(QStringLiteral("CreateProfile"));
    ask.setTextFormat(Qt::PlainText);  // the typed name is no markup
    ask.button(QMessageBox::Ok)->setText(context_.language.controlText("OK"));
    ask.button(QMessageBox::Cancel)->setText(context_.language.controlText("CANCEL"));
    if (ask.exec() != QMessageBox::Ok) return false;
    context_.openProfileEditor(name, this);
    context_.rebuildMenus();
    // The editor may have been cancelled or its Basic page not taken: an entry naming a profile
    // the server does not have would be served by none. It is stored once the profile exists.
    const PipeResult<ProfileEntry> made = lookUp();
    context_.notePipe(made.status);
    return made.ok() && made.value.use >= 1;
}

namespace {
// A text left as it was shown goes back as the bytes it came in (a Latin-1 name from a file
// stays Latin-1); a typed one goes as UTF-8, cut to the field.
std::string keptOrTyped(const QString& field, const std::string& stored, int bytes) {
    if (field == decodeServerText(stored)) return stored;
    return withinUtf8(field, bytes).toStdString();
}
}  // namespace

std::optional<ClientFields> StaticEntryDialog::buildRecord() {
    EntryLineInput input;
    input.choice = relay_->isChecked()      ? IdentifierChoice::RelayAgent
                   : clientId_->isChecked() ? IdentifierChoice::ClientId
                                            : IdentifierChoice::Mac;
    input.circuit = circuit_->isChecked();
    input.remote = remote_->isChecked();
    input.identifier = identifier_->text();
    input.address = address_->text();
    input.profile = profile_->currentText();
    const EntryLineResult built = buildEntryLine(input);
    if (built.error != nullptr) {
        showMessage(this, context_.language, context_.language.text(built.error));
        return std::nullopt;
    }
    // A profile the server has goes back by its name as stored: one named in Latin-1 stays so.
    std::string profile = built.profile;
    for (const std::string& name : profiles_) {
        if (!profile.empty() && decodeServerText(name).toStdString() == profile) profile = name;
    }
    profile_->setCurrentText(decodeServerText(profile));
    if (!ensureProfile(profile)) return std::nullopt;
    std::optional<ClientFields> fields = parseEntryLine(built.line, false);
    if (!fields) return std::nullopt;
    if (!profile.empty()) fields->profile = profile;
    fields->hostName = keptOrTyped(hostName_->text(), entry_.hostName, kHostNameChars);
    fields->remark = keptOrTyped(remark_->text(), entry_.remark, kRemarkChars);
    // A copied client keeps the time of its last request, a modified entry its own.
    fields->lastAccess = mode_ == StaticMode::Copy || mode_ == StaticMode::Modify ? entry_.lastAccess : 0;
    fields->expiry = 0;
    return fields;
}

bool StaticEntryDialog::store() {
    if (!context_.rights.mayChange) return false;
    const std::optional<ClientFields> fields = buildRecord();
    if (!fields) return false;
    const bool redundant = redundant_->isChecked();
    const std::uint64_t handle = handle_;
    const StaticMode mode = mode_;
    const ClientList source = sourceList();
    const Identity shown = entry_.identity;
    struct Stored {
        PipeResult<std::int32_t> result;
        bool gone = false;       // the list no longer holds the entry shown
        bool rehandled = false;  // it does (Modify, Move), under another handle: the server restarted
        // Move: the ignored entry was not removed (refused, or the server went away), so the
        // server still ignores the client; its row and the counter stay as they are.
        PipeStatus removal = PipeStatus::Done;
    };
    const Stored stored = context_.worker.call([&fields, redundant, handle, mode, source, shown](ManagerPipe& pipe) {
        // A handle names a record only in the server's present run: after a restart it may name
        // another entry, which a change or a removal by it would hit instead of the one shown.
        auto stillShown = [&pipe, handle, source, shown] {
            const PipeResult<ListedEntry> now = pipe.listEntry(source, handle);
            if (now.failed()) return PipeResult<bool>{PipeStatus::Failed, false};
            return PipeResult<bool>{PipeStatus::Done,
                                    now.ok() && sameIdentity(now.value.record.fields.identity, shown)};
        };
        Stored s;
        std::uint64_t target = handle;
        if (mode == StaticMode::Modify) {
            const PipeResult<bool> same = stillShown();
            s.result.status = same.status;
            if (!same.ok()) return s;
            if (!same.value) {
                // The server restarted since the entry was read: the entry is changed under its
                // handle of this run, and gone only when the list no longer holds it.
                const PipeResult<std::uint64_t> found = findIdentity(pipe, source, shown);
                s.result.status = found.status;
                if (!found.ok()) return s;
                s.gone = found.value == 0;
                s.rehandled = !s.gone;
                if (s.gone) return s;
                target = found.value;
            }
        }
        s.result = mode == StaticMode::Modify ? pipe.updateClient(target, *fields, redundant)
                                              : pipe.addClient(*fields, redundant);
        if (s.result.ok() && s.result.value > 0 && mode == StaticMode::Move) {
            const PipeResult<bool> same = stillShown();
            // After a restart the ignored entry is looked for under its handle of this run.
            const PipeResult<std::uint64_t> found = !same.ok()   ? PipeResult<std::uint64_t>{same.status, 0}
                                                    : same.value ? PipeResult<std::uint64_t>{PipeStatus::Done, handle}
                                                                 : findIdentity(pipe, source, shown);
            if (!found.ok()) {
                s.removal = found.status;
            } else if (found.value != 0) {
                s.removal = pipe.removeClient(ClientList::Ignored, found.value);
                s.rehandled = found.value != handle;
            }
        }
        return s;
    });
    const PipeResult<std::int32_t>& result = stored.result;
    if (stored.gone || !result.ok() || result.value <= 0) {
        const Language& l = context_.language;
        const QString text = stored.gone       ? l.text("ENTRY_GONE")
                             : result.failed() ? l.text("ERROR_PIPE").trimmed()
                             : result.ok()     ? l.text("DUPLICATE")
                                               : l.text("REFUSED");
        if (stored.gone) context_.markListsChanged();
        showMessage(this, l, text);
        return false;
    }
    switch (mode_) {
        case StaticMode::Add:
            hooks_.entryAdded();
            break;
        case StaticMode::Modify:
            hooks_.rowChanged(handle_, *fields);
            // The rows carry the handles of the server's last run: they are read anew.
            if (stored.rehandled) context_.markListsChanged();
            break;
        case StaticMode::Move:
            if (stored.removal == PipeStatus::Done) {
                hooks_.rowRemoved(handle_);
                if (stored.rehandled) context_.markListsChanged();
                break;
            }
            // The static entry stands; the dialog goes on as after a move, and the list is read
            // again so that both lists show what the server holds.
            moved_.push_back(handle_);
            context_.notePipe(stored.removal);
            context_.markListsChanged();
            showMessage(this, context_.language, context_.language.text("MOVE_KEPT"));
            break;
        case StaticMode::Copy:
            break;
    }
    return true;
}

std::optional<std::uint64_t> StaticEntryDialog::nextHandle() const {
    const std::vector<std::uint64_t> selected = hooks_.selected();
    if (mode_ == StaticMode::Move) {
        // The moved row is gone from the list: the first selected row left is the next.
        for (std::uint64_t h : selected) {
            if (h != handle_ && std::find(moved_.begin(), moved_.end(), h) == moved_.end() &&
                std::find(skipped_.begin(), skipped_.end(), h) == skipped_.end())
                return h;
        }
        return std::nullopt;
    }
    auto at = std::find(selected.begin(), selected.end(), handle_);
    if (at == selected.end() || ++at == selected.end()) return std::nullopt;
    return *at;
}

void StaticEntryDialog::afterStored(bool closeAfter) {
    redundant_->setChecked(false);
    if (mode_ == StaticMode::Add) {
        for (QLineEdit* field : {identifier_, static_cast<QLineEdit*>(address_), hostName_, remark_}) field->clear();
        okButton()->setDefault(true);
        if (closeAfter) accept();
        return;
    }
    if (closeAfter || !loadNext()) accept();
}

QString StaticEntryDialog::rowName(std::uint64_t handle) const {
    const std::optional<Identity> id = hooks_.identityOf(handle);
    if (!id) return QString::number(handle);
    return QString::fromLatin1(
        formatIdentity(*id, context_.preferences.flag(pref::kShowDash), context_.preferences.flag(pref::kShowString))
            .c_str());
}

bool StaticEntryDialog::loadNext() {
    QStringList gone, notReached;
    std::optional<std::uint64_t> next = nextHandle();
    for (; next; next = nextHandle()) {
        if (mode_ != StaticMode::Modify) {
            hostName_->clear();
            remark_->clear();
        }
        // Once the server is gone the rows after are not asked for, only named.
        const PipeStatus read = notReached.isEmpty() ? loadEntry(*next) : PipeStatus::Failed;
        if (read == PipeStatus::Done) break;
        (read == PipeStatus::Failed ? notReached : gone) << rowName(*next);
        skipped_.push_back(*next);
        if (mode_ != StaticMode::Move) handle_ = *next;
    }
    const Language& l = context_.language;
    if (!gone.isEmpty()) {
        context_.markListsChanged();
        showMessage(this, l, fillArguments(l.text("ROWS_GONE"), {gone.join(u'\n')}));
    }
    if (!notReached.isEmpty()) {
        context_.notePipe(PipeStatus::Failed);
        showMessage(this, l,
                    changeFailedText(l, PipeStatus::Failed) + u'\n' +
                        fillArguments(l.text("ROWS_NOT_CHANGED"), {notReached.join(u'\n')}));
    }
    return next.has_value();
}

}  // namespace tolmark::manager
