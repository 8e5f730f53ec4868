#include "manager/dialogs/profiles/profile_editor.h"

#include "manager/dialogs/profiles/profile_pages.h"
#include "manager/pipe/server_text.h"

namespace tolmark::manager {

namespace {

struct Opening {
    PipeStatus status = PipeStatus::Done;
    std::optional<GeneralSettings> general;
    std::optional<ServerStatus> status_;
    std::optional<ProfileEntry> profile;
};

struct Committed {
    PipeStatus status = PipeStatus::Done;
    std::int32_t profiles = -1;
    std::int32_t poolTotal = -1;
    bool listed = false;                // the new profile's "Profile%u" entry was written
    std::size_t stored = 0;             // the writes the server took, in order
    std::string listKey = "Profile%u";  // the new profile's entry in the list
};

// Keys named once each, in the order of their first write.
QString keyNames(std::vector<KeyWrite>::const_iterator from, std::vector<KeyWrite>::const_iterator to) {
    QStringList names;
    for (; from != to; ++from) {
        const QString name = QString::fromStdString(from->key);
        if (!names.contains(name)) names << name;
    }
    return names.join(QStringLiteral(", "));
}

}  // namespace

bool ProfilePage::validate() {
    if (mayChange()) return true;
    showMessage(this, context_.language, context_.language.text("REFUSED"));
    return false;
}

bool ProfilePage::checkAddresses(std::initializer_list<AddressEdit*> fields, bool refuseBroadcast) {
    for (AddressEdit* field : fields) {
        const FieldAddress a = readAddressField(field->text());
        if (a.valid && !(refuseBroadcast && a.address == kBroadcastAll)) continue;
        showMessage(this, context_.language, context_.language.text("INVALID_IPADDR"));
        field->setFocus();
        return false;
    }
    return true;
}

bool ProfilePage::refuseField(QLineEdit* field, const char* labelKey, const char* message) {
    // Several fields of a page are refused with the same text: it says which one, by its label
    // without the mnemonic and the colon.
    QString name = label(labelKey).remove(u'&').trimmed();
    if (name.endsWith(u':')) name.chop(1);
    showMessage(this, context_.language, context_.language.text(message) + u'\n' + name.trimmed());
    field->setFocus();
    return false;
}

void ProfilePage::writeText(const char* key, const QString& text) {
    state_.write(key, text.isEmpty() ? std::nullopt : std::optional<std::string>(text.toLatin1().toStdString()));
}

QLineEdit* ProfilePage::latinEdit(const char* objectName, int maxLength) {
    QLineEdit* field = edit(objectName, maxLength);
    field->setValidator(new Latin1Validator(field));
    return field;
}

void ProfilePage::writeAddress(const char* key, const QString& field) {
    const Ipv4 address = readAddressField(field).address;
    state_.write(key, address == 0 ? std::nullopt : std::optional<std::string>(formatIpv4(address).c_str()));
}

void ProfilePage::writeNumber(const char* key, std::int64_t value, std::int64_t defaultValue) {
    if (value == 0 || value == defaultValue) {
        state_.write(key, std::nullopt);
    } else {
        state_.write(key, std::to_string(static_cast<std::int32_t>(value)));  // as the server's "%d" reads it
    }
}

ProfileEditor::ProfileEditor(DialogContext& context, const std::string& name, QWidget* parent)
    : PropertySheet(parent), context_(context) {
    setObjectName(QStringLiteral("ProfileEditor"));
    setWindowTitle(decodeServerText(name));
    const Opening opening = context.worker.call([name](ManagerPipe& pipe) {
        Opening o;
        const auto general = pipe.getSettings();
        if (general.failed()) {
            o.status = PipeStatus::Failed;  // no server: each further request would wait in vain
            return o;
        }
        const auto status = pipe.getStatus(-1);
        const auto profile = pipe.getProfileByName(name);
        if (general.ok()) o.general = general.value;
        if (status.ok()) o.status_ = status.value;
        if (profile.ok()) o.profile = profile.value;
        o.status = general.failed() || status.failed() || profile.failed() ? PipeStatus::Failed : PipeStatus::Done;
        return o;
    });
    context.notePipe(opening.status);
    unread_ = opening.status == PipeStatus::Failed;
    if (opening.general) state_.general = *opening.general;
    if (opening.status_) state_.status = *opening.status_;
    if (opening.profile && opening.profile->use >= 1) {
        state_.record = opening.profile->profile;
    } else {
        state_.record.name = name;
        state_.record.lease = 36000;
        state_.record.selectorKind = SelectorKind::Interface;
        state_.isNew = true;
    }
    const Language& l = context.language;
    relabelButtons(l);
    addPage(new BasicPage(context, state_), l, "Basic", "Basic Profile");
    addPage(new DnsPage(context, state_), l, "DNS", "DNS");
    addPage(new NetBiosPage(context, state_), l, "NetBios", "NetBios");
    addPage(new TimePage(context, state_), l, "Time", "Time");
    addPage(new BootPage(context, state_), l, "Boot", "Boot");
    addPage(new OtherPage(context, state_), l, "Other", "Other");
    prepare();
}

bool ProfileEditor::commit(const std::vector<SheetPage*>&) {
    if (unread_) {
        state_.writes.clear();
        state_.basicApplied = false;
        showMessage(this, context_.language, changeFailedText(context_.language, PipeStatus::Failed));
        return false;
    }
    const std::string section = state_.record.name;
    const std::vector<KeyWrite> writes = state_.writes;
    const bool isNew = state_.isNew;
    const bool purge = state_.basicApplied;
    const Committed done = context_.worker.call([section, writes, isNew, purge](ManagerPipe& pipe) {
        Committed c;
        for (const KeyWrite& w : writes) {
            const auto r = pipe.writeSetting(section, w.key, w.value);
            if (!r.ok() || r.value == 0) {
                c.status = r.ok() ? PipeStatus::Refused : r.status;
                return c;
            }
            ++c.stored;
        }
        // A new profile joins the list, whatever page made it, once all its keys are there: the
        // server never loads a profile it has only in part. It takes the first number the list
        // leaves free. The server reads "Profile0", "Profile1", ... up to the first missing key,
        // so reloaded just now it counts exactly the keys in front of that one; the count of its
        // last reload would miss a profile listed since (by another manager, or by a change whose
        // reload never came), whose key the new one would take over.
        if (isNew) {
            auto counted = pipe.reloadProfiles();
            if (counted.ok() && counted.value < 0) counted.status = PipeStatus::Refused;
            if (counted.ok()) c.listKey = "Profile" + std::to_string(counted.value);
            const auto added = counted.ok() ? pipe.writeSetting(kGeneralSection, c.listKey, section)
                                            : PipeResult<std::int32_t>{counted.status, 0};
            if (!added.ok() || added.value == 0) {
                c.status = added.ok() ? PipeStatus::Refused : added.status;
                return c;
            }
            c.listed = true;
        }
        const auto reloaded = pipe.reloadProfiles();
        c.status = reloaded.status;
        if (reloaded.ok()) c.profiles = reloaded.value;
        if (reloaded.ok() && purge) {
            // Leases outside the new pool stay until the purge: one that fails is a failed change.
            const auto purged = pipe.purgeDynamic();
            c.status = purged.status;
            if (purged.ok()) c.poolTotal = purged.value;
        }
        return c;
    });
    state_.writes.clear();
    // Listed once is listed: the next OK sends the pages' keys again, but no second entry.
    if (done.listed) state_.isNew = false;
    if (done.status != PipeStatus::Done) {
        context_.notePipe(done.status);
        QString text = changeFailedText(context_.language, done.status);
        // Keys the server took stay in its configuration file: the administrator learns which,
        // and that the server goes on with what it loaded until it reads its profiles again.
        const auto taken = writes.begin() + static_cast<std::ptrdiff_t>(done.stored);
        std::vector<KeyWrite> missing(taken, writes.end());
        if (isNew && !done.listed) missing.push_back({done.listKey, std::nullopt});
        if (done.stored > 0 && !missing.empty()) {
            text += u'\n' + fillArguments(context_.language.text("PART_STORED"),
                                          {decodeServerText(section), keyNames(writes.begin(), taken),
                                           keyNames(missing.begin(), missing.end())});
        }
        showMessage(this, context_.language, text);
        return false;
    }
    state_.isNew = false;
    if (state_.basicApplied) context_.markListsChanged();
    state_.basicApplied = false;
    context_.rebuildMenus();
    return true;
}

}  // namespace tolmark::manager
