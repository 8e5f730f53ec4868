#include <QHBoxLayout>
#include <QShortcut>
#include <QVBoxLayout>

#include "manager/desktop/desktop_services.h"
#include "manager/dialogs/preferences/preference_pages.h"

namespace tolmark::manager {

namespace {
constexpr int kFlagsRole = Qt::UserRole + 1;  // the entry's flags as the server sent them
constexpr int kEntryRole = Qt::UserRole + 2;  // its position in the status record
constexpr int kStateRole = Qt::UserRole + 3;
}  // namespace

InterfacesPage::InterfacesPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent)
    : ManagerPage(context, parent), blocks_(blocks), icons_(loadInterfaceIcons()) {
    detect_ = check("DETECT");
    answer_ = check("ANSWER");
    relaySrc_ = check("RELAYSRC");
    QLabel* select = text("SELECT");
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("INTERFACES"));
    list_->setAccessibleName(select->text());
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    select->setBuddy(list_);
    QLabel* info = note("IFACEINFO");
    info->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    include_ = check("INCLUDE");

    auto* row = new QHBoxLayout;
    row->addWidget(list_, 1);
    row->addWidget(info, 1);
    auto* layout = new QVBoxLayout(this);
    for (QCheckBox* box : {detect_, answer_, relaySrc_}) layout->addWidget(box);
    layout->addSpacing(8);
    layout->addWidget(select);
    layout->addLayout(row, 1);
    layout->addWidget(include_);

    connect(list_, &QListWidget::itemClicked, this, [this](QListWidgetItem* item) { cycleRow(list_->row(item)); });
    // The keyboard does what the click does.
    auto* space = new QShortcut(QKeySequence(Qt::Key_Space), list_, nullptr, nullptr, Qt::WidgetShortcut);
    connect(space, &QShortcut::activated, this, [this] { cycleRow(list_->currentRow()); });
}

bool InterfacesPage::enableRa() const { return blocks_.general && blocks_.general->enableRa != 0; }

int InterfacesPage::selectedRows() const {
    int n = 0;
    for (int r = 0; r < list_->count(); ++r) n += list_->item(r)->data(kStateRole).toInt() != 0 ? 1 : 0;
    return n;
}

void InterfacesPage::showState(QListWidgetItem* item, InterfaceState state) {
    item->setData(kStateRole, static_cast<int>(state));
    item->setIcon(icons_[static_cast<std::size_t>(state)]);
    static const char* const kStateKeys[] = {"IFACE_OFF", "IFACE_ON", "IFACE_TRUSTED"};
    item->setData(Qt::AccessibleDescriptionRole, context_.language.text(kStateKeys[static_cast<int>(state)]));
}

void InterfacesPage::initialise() {
    if (const auto& g = blocks_.general) {
        detect_->setChecked(g->detect != 0);
        answer_->setChecked(g->regOnly != 0);
        relaySrc_->setChecked(g->relaySrc != 0);
        include_->setChecked(g->selectionMode != 0);
    }
    showRows();
    const bool on = mayChange() && blocks_.general && blocks_.status;
    for (QWidget* w : std::initializer_list<QWidget*>{detect_, answer_, relaySrc_, include_, list_}) w->setEnabled(on);
}

void InterfacesPage::showRows() {
    list_->clear();
    if (const auto& s = blocks_.status) {
        const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(s->interfaceCount, 0, kMaxInterfaces));
        for (std::size_t i = 0; i < count; ++i) {
            const InterfaceEntryImage& e = s->interfaces[i];
            if ((e.flags & kIfPresent) == 0) continue;
            auto* item = new QListWidgetItem(QString::fromLatin1(formatIpv4(e.address).c_str()), list_);
            item->setData(kFlagsRole, e.flags);
            item->setData(kEntryRole, static_cast<int>(i));
            showState(item, interfaceStateOf(e.flags, enableRa()));
        }
    }
}

void InterfacesPage::cycleRow(int row) {
    QListWidgetItem* item = list_->item(row);
    if (item == nullptr || !list_->isEnabled()) return;
    const auto state = static_cast<InterfaceState>(item->data(kStateRole).toInt());
    const bool last = state != InterfaceState::Off && selectedRows() == 1;
    showState(item, nextInterfaceState(state, enableRa(), last));
    markChanged();
}

bool InterfacesPage::validate() {
    if (!blocks_.general || !blocks_.status || selectedRows() > 0) return true;
    showMessage(this, context_.language, context_.language.text("NO_INTERFACE"));
    return false;
}

void InterfacesPage::apply() {
    if (!mayChange() || !blocks_.general || !blocks_.status) return;
    GeneralSettings& g = *blocks_.general;
    g.detect = detect_->isChecked() ? 1 : 0;
    g.regOnly = answer_->isChecked() ? 1 : 0;
    g.relaySrc = relaySrc_->isChecked() ? 1 : 0;
    g.selectionMode = include_->isChecked() ? 1 : 0;
    for (int r = 0; r < list_->count(); ++r) {
        const QListWidgetItem* item = list_->item(r);
        InterfaceEntryImage& e = blocks_.status->interfaces[static_cast<std::size_t>(item->data(kEntryRole).toInt())];
        e.flags = interfaceFlagsFor(e.flags, static_cast<InterfaceState>(item->data(kStateRole).toInt()), enableRa());
    }
    blocks_.sendGeneral = true;
    blocks_.sendInterfaces = true;
}

}  // namespace tolmark::manager
