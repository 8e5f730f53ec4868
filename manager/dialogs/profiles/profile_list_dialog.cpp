#include "manager/dialogs/profiles/profile_list_dialog.h"

#include <algorithm>

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLineEdit>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "manager/dialogs/profiles/profile_rules.h"
#include "manager/pipe/server_text.h"

namespace tolmark::manager {

namespace {

constexpr const char* kRuleTextKeys[kRuleCount] = {nullptr,       "CLASS_BLOCK", "CLASS_USER",  "CLASS_VENDOR",
                                                   "CLASS_RELAY", "CLASS_IFACE", "CLASS_CLIENT"};
constexpr int kTypeColumnPercent = 33;

// The name typed in place takes no more bytes than the server keeps of a profile name, as the
// Add dialog's field does: a longer one would be cut.
class NameDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QWidget* createEditor(QWidget* parent, const QStyleOptionViewItem& option,
                          const QModelIndex& index) const override {
        QWidget* editor = QStyledItemDelegate::createEditor(parent, option, index);
        if (auto* field = qobject_cast<QLineEdit*>(editor)) {
            field->setMaxLength(kRenameChars);
            field->setValidator(new Utf8LimitValidator(kRenameChars, field));
        }
        return editor;
    }
};

// The width a cell of the list asks for to show a text whole, as the style lays the text out.
int cellWidth(const QTreeWidget* list, const QString& text) {
    QStyleOptionViewItem option;
    option.initFrom(list);
    option.font = list->font();
    option.fontMetrics = list->fontMetrics();
    option.text = text;
    option.features = QStyleOptionViewItem::HasDisplay;
    option.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    return list->style()->sizeFromContents(QStyle::CT_ItemViewItem, &option, QSize(), list).width();
}

struct ProfileRead {
    PipeStatus status = PipeStatus::Done;
    std::optional<GeneralSettings> general;
    std::vector<Profile> profiles;
};

ProfileRead readProfiles(ManagerPipe& pipe) {
    ProfileRead r;
    const auto general = pipe.getSettings();
    r.status = general.status;
    if (general.ok()) r.general = general.value;
    if (general.failed()) return r;  // no server: each further request would wait in vain
    for (std::int32_t i = 0; i < 4096; ++i) {
        auto p = pipe.getProfile(i);
        if (p.failed()) r.status = p.status;  // a list cut short is not the server's list
        if (!p.ok()) break;
        r.profiles.push_back(std::move(p.value.profile));
    }
    return r;
}

}  // namespace

ProfileListDialog::ProfileListDialog(DialogContext& context, QWidget* parent) : QDialog(parent), context_(context) {
    setObjectName(QStringLiteral("Profiles"));
    const Language& l = context.language;
    setWindowTitle(l.text("PROFILES"));
    list_ = new QTreeWidget(this);
    list_->setItemDelegateForColumn(0, new NameDelegate(list_));
    list_->setObjectName(QStringLiteral("PROFILELIST"));
    list_->setAccessibleName(l.text("PROFILES"));
    list_->setRootIsDecorated(false);
    list_->setColumnCount(3);
    list_->setHeaderLabels({l.text("PROFILE"), l.text("TYPE"), QString()});
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    // The list is wide enough for its type column to show the longest rule name whole
    // ("Schnittstellen-IP-Adresse" in German).
    int widestType = 0;
    for (const char* key : kRuleTextKeys) {
        if (key != nullptr) widestType = std::max(widestType, cellWidth(list_, l.text(key)));
    }
    list_->setMinimumWidth((widestType * 100 + kTypeColumnPercent - 1) / kTypeColumnPercent + 1 +
                           2 * list_->frameWidth());
    auto button = [this, &l](const char* key) {
        auto* b = new QPushButton(controlLabel(l, key), this);
        b->setObjectName(QString::fromLatin1(key));
        return b;
    };
    add_ = button("ADD");
    rename_ = button("RENAME");
    edit_ = button("EDIT");
    remove_ = button("REMOVE");
    auto* box = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    box->button(QDialogButtonBox::Ok)->setText(controlLabel(l, "OK"));
    box->button(QDialogButtonBox::Cancel)->setText(controlLabel(l, "CANCEL"));
    connect(box, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* side = new QVBoxLayout;
    for (QPushButton* b : {add_, rename_, edit_, remove_}) side->addWidget(b);
    side->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addWidget(list_, 1);
    row->addLayout(side);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row, 1);
    layout->addWidget(box);
    resize(560, 320);

    connect(add_, &QPushButton::clicked, this, &ProfileListDialog::askForNewProfile);
    // A change of an item's flags is told as a change of the item: it is no rename, and the
    // handler's own change of the flags would call the handler again, without end.
    auto setEditable = [this](QTreeWidgetItem* item, bool on) {
        filling_ = true;
        item->setFlags(on ? item->flags() | Qt::ItemIsEditable : item->flags() & ~Qt::ItemIsEditable);
        filling_ = false;
    };
    connect(rename_, &QPushButton::clicked, this, [this, setEditable] {
        if (QTreeWidgetItem* item = list_->currentItem()) {
            setEditable(item, true);
            list_->editItem(item, 0);
        }
    });
    connect(edit_, &QPushButton::clicked, this, &ProfileListDialog::editSelected);
    connect(remove_, &QPushButton::clicked, this, &ProfileListDialog::removeSelected);
    // A double click (or Enter) opens the editor for every user, as the profile items of the
    // Options menu do; a viewer's editor refuses every change.
    connect(list_, &QTreeWidget::itemActivated, this, &ProfileListDialog::editSelected);
    connect(list_, &QTreeWidget::currentItemChanged, this, &ProfileListDialog::updateButtons);
    connect(list_, &QTreeWidget::itemChanged, this, [this, setEditable](QTreeWidgetItem* item, int column) {
        if (filling_ || column != 0) return;
        setEditable(item, false);
        renameRow(list_->indexOfTopLevelItem(item), item->text(0));
    });
    refill(0);
}

std::string ProfileListDialog::rowName(int row) const {
    return row >= 0 && static_cast<std::size_t>(row) < profiles_.size() ? profiles_[static_cast<std::size_t>(row)].name
                                                                        : std::string();
}

void ProfileListDialog::refill(int select) {
    const ProfileRead read = context_.worker.call([](ManagerPipe& pipe) { return readProfiles(pipe); });
    context_.notePipe(read.status);
    // A server that went away leaves the list as it was last read: it still holds those
    // profiles, and an empty list would say it holds none.
    if (read.status == PipeStatus::Failed && !profiles_.empty()) {
        if (select >= 0 && select < list_->topLevelItemCount()) list_->setCurrentItem(list_->topLevelItem(select));
        return;
    }
    if (read.general) general_ = *read.general;
    profiles_ = read.profiles;
    const bool dash = context_.preferences.flag(pref::kShowDash);
    filling_ = true;
    list_->clear();
    for (const Profile& p : profiles_) {
        const char* typeKey = kRuleTextKeys[static_cast<int>(ruleOf(p.selectorKind))];
        new QTreeWidgetItem(list_,
                            {decodeServerText(p.name), typeKey != nullptr ? context_.language.text(typeKey) : QString(),
                             ruleValueText(p, dash)});
    }
    filling_ = false;
    const int rows = list_->topLevelItemCount();
    if (rows > 0) list_->setCurrentItem(list_->topLevelItem(select >= 0 && select < rows ? select : rows - 1));
    sizeColumns();
    updateButtons();
}

// Profile 32, type 33 and value 35 per cent of the list's width.
void ProfileListDialog::sizeColumns() {
    // The list's own width: its viewport follows only once the list is shown.
    const int w = std::max(list_->width() - 2 * list_->frameWidth(), 300);
    list_->header()->resizeSection(0, w * 32 / 100);
    list_->header()->resizeSection(1, w * kTypeColumnPercent / 100);
    list_->header()->resizeSection(2, w * 35 / 100);
}

void ProfileListDialog::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    sizeColumns();
}

void ProfileListDialog::updateButtons() {
    const bool may = context_.rights.mayChange;
    const bool profilesOn = general_.profiles != 0;
    const bool selected = list_->currentItem() != nullptr;
    add_->setEnabled(may && profilesOn);
    remove_->setEnabled(may && profilesOn && selected && list_->topLevelItemCount() > 1);
    rename_->setEnabled(may && selected);
    edit_->setEnabled(may && selected);
}

void ProfileListDialog::askForNewProfile() {
    QInputDialog ask(this);
    ask.setObjectName(QStringLiteral("ProfileName"));
    ask.setWindowTitle(context_.language.text("PROFILENAME"));
    ask.setLabelText(context_.language.text("NEWPROFILE"));
    ask.setOkButtonText(controlLabel(context_.language, "OK"));
    ask.setCancelButtonText(controlLabel(context_.language, "CANCEL"));
    ask.setTextValue(QString());
    if (auto* field = ask.findChild<QLineEdit*>()) {
        field->setMaxLength(kAddNameChars);
        field->setValidator(new Utf8LimitValidator(kAddNameChars, field));
    }
    if (ask.exec() != QDialog::Accepted) return;
    addProfile(ask.textValue());
}

bool ProfileListDialog::addProfile(const QString& typed) {
    const QString name = cleanProfileName(typed.trimmed(), kAddNameChars);
    if (!context_.rights.mayChange || !acceptableProfileName(name)) return false;
    context_.openProfileEditor(name.toStdString(), this);
    refill(-1);
    context_.rebuildMenus();
    return true;
}

bool ProfileListDialog::renameRow(int row, const QString& typed) {
    const std::string from = rowName(row);
    const QString oldName = decodeServerText(from);
    const QString name = cleanProfileName(typed.trimmed(), kRenameChars);
    const bool exists = std::any_of(profiles_.begin(), profiles_.end(), [&name](const Profile& p) {
        return profileNameEquals(p.name, name.toStdString());
    });
    auto keepOld = [this, row, &oldName] {
        filling_ = true;
        if (QTreeWidgetItem* item = list_->topLevelItem(row)) item->setText(0, oldName);
        filling_ = false;
    };
    if (from.empty() || !acceptableProfileName(name) || exists) {
        keepOld();
        return false;
    }
    const std::string to = name.toStdString();
    struct Outcome {
        std::int32_t renamed = 0;
        PipeStatus reloaded = PipeStatus::Failed;
    };
    const Outcome done = context_.worker.call([row, from, to](ManagerPipe& pipe) {
        Outcome o{.renamed = pipe.renameProfile(row, from, to)};
        if (o.renamed > 0) o.reloaded = pipe.reloadProfiles().status;
        return o;
    });
    if (done.renamed <= 0) {
        keepOld();
        showMessage(this, context_.language, context_.language.text("RENAME_FAILED"));
        return false;
    }
    // The configuration and the leases carry the new name from here on, whether or not the
    // server then took its profiles anew; until it does, it still serves the profile by the old
    // name, and the administrator is told so.
    profiles_[static_cast<std::size_t>(row)].name = to;
    filling_ = true;
    list_->topLevelItem(row)->setText(0, name);
    filling_ = false;
    context_.markListsChanged();
    context_.rebuildMenus();
    if (done.reloaded != PipeStatus::Done) {
        context_.notePipe(done.reloaded);
        showMessage(this, context_.language, changeFailedText(context_.language, done.reloaded));
        return false;
    }
    return true;
}

bool ProfileListDialog::removeSelected() {
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    if (row < 0 || list_->topLevelItemCount() < 2 || !context_.rights.mayChange) return false;
    const std::string name = rowName(row);
    const PipeResult<ProfileEntry> entry =
        context_.worker.call([name](ManagerPipe& pipe) { return pipe.getProfileByName(name); });
    if (entry.ok() && entry.value.use >= 2) {
        showMessage(this, context_.language,
                    fillArguments(context_.language.text("USED_PROFILE"), {decodeServerText(name)}));
        return false;
    }
    if (!entry.ok()) {
        context_.notePipe(entry.status);
        if (entry.failed()) showMessage(this, context_.language, changeFailedText(context_.language, entry.status));
        return false;
    }
    // Write the list again without the profile and without gaps, delete the key after its end,
    // and only then delete the section: a removal that stops partway never leaves the list naming
    // a section that is gone (the server would load it as an empty profile). The server answers a
    // write with 0 only when it did not store it (deleting a key that is not there is no
    // refusal). The list written is the server's as it stands, not the one this dialog read: a
    // profile another manager added meanwhile stays.
    struct Removal {
        PipeStatus status = PipeStatus::Done;
        bool listInPart = false;  // some keys of the list changed, not all
    };
    const Removal removal = context_.worker.call([name](ManagerPipe& pipe) {
        // The server reads its list afresh first: a profile listed since its last reload (by
        // another manager, or by a change whose reload never came) is then written back with the
        // others, not left behind the list's new end, where the server stops reading.
        const PipeResult<std::int32_t> reread = pipe.reloadProfiles();
        if (!reread.ok()) return Removal{reread.status};
        const ProfileRead now = readProfiles(pipe);
        if (now.status != PipeStatus::Done) return Removal{now.status};
        std::vector<std::string> rest;
        std::size_t at = now.profiles.size();
        for (const Profile& p : now.profiles) {
            if (at == now.profiles.size() && profileNameEquals(p.name, name)) {
                at = rest.size();
            } else {
                rest.push_back(p.name);
            }
        }
        if (at == now.profiles.size()) return Removal{PipeStatus::Refused};  // removed meanwhile
        for (std::size_t i = 0; i <= rest.size(); ++i) {
            const std::string key = "Profile" + std::to_string(i);
            const auto w = i < rest.size() ? pipe.writeSetting(kGeneralSection, key, rest[i])
                                           : pipe.writeSetting(kGeneralSection, key, std::nullopt);
            // The keys before the profile's own are written as they were.
            if (!w.ok() || w.value == 0) return Removal{w.ok() ? PipeStatus::Refused : w.status, i > at};
        }
        const std::int32_t deleted = pipe.renameProfile(static_cast<std::int32_t>(at), name, "");
        // The list no longer names the profile: the server takes it as its file now stands,
        // even when the section itself stayed.
        const PipeStatus reloaded = pipe.reloadProfiles().status;
        if (deleted <= 0) return Removal{deleted == -2 ? PipeStatus::Failed : PipeStatus::Refused};
        return Removal{reloaded};
    });
    const PipeStatus status = removal.status;
    const bool done = status == PipeStatus::Done;
    if (!done) {
        context_.notePipe(status);
        QString text = changeFailedText(context_.language, status);
        if (removal.listInPart) text += u'\n' + context_.language.text("LIST_PART");
        showMessage(this, context_.language, text);
    }
    refill(std::min(row, list_->topLevelItemCount() - 2));
    // A removal not done leaves the profile chosen: another one selected in its place would be
    // the one a second press of Remove takes away.
    if (!done) {
        for (int i = 0; i < list_->topLevelItemCount(); ++i) {
            if (rowName(i) == name) list_->setCurrentItem(list_->topLevelItem(i));
        }
    }
    context_.rebuildMenus();
    return done;
}

void ProfileListDialog::editSelected() {
    const int row = list_->indexOfTopLevelItem(list_->currentItem());
    if (row < 0) return;
    context_.openProfileEditor(rowName(row), this);
    refill(-1);
}

}  // namespace tolmark::manager
