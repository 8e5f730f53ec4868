#include "manager/window/view_panel.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <unordered_set>

#include "manager/desktop/desktop_services.h"

namespace tolmark::manager {

namespace {
constexpr int kDefaultColumnPercent[kColumnCount] = {24, 14, 18, 24, 20};
constexpr const char* kViewButtonKeys[kViewCount] = {"VIEW_STATIC", "VIEW_DYNAMIC", "VIEW_IGNORED", nullptr};
}  // namespace

ViewPanel::ViewPanel(UserPreferences& preferences, QWidget* parent) : QWidget(parent), preferences_(preferences) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    topBar_ = new QStatusBar(this);
    topBar_->setSizeGripEnabled(false);
    topText_ = new QLabel(topBar_);
    // A screen reader reads the text itself, as a sighted user does; what it is goes to the
    // description.
    topText_->setAccessibleDescription(QStringLiteral("Counts"));
    modeText_ = new QLabel(topBar_);
    modeText_->setAccessibleDescription(QStringLiteral("Mode"));
    topBar_->addWidget(topText_, 1);
    topBar_->addPermanentWidget(modeText_);
    layout->addWidget(topBar_);

    list_ = new QTreeView(this);
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);
    list_->setAllColumnsShowFocus(true);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    list_->setTextElideMode(Qt::ElideRight);
    list_->header()->setSectionsClickable(true);
    list_->header()->setStretchLastSection(true);  // no blank strip right of the last column
    list_->header()->setSectionsMovable(false);
    connect(list_->header(), &QHeaderView::sectionClicked, this, &ViewPanel::sortRequested);
    connect(list_->header(), &QHeaderView::sectionResized, this, [this](int column, int, int size) {
        if (columnsSet_ && column >= 0 && column < kColumnCount) columnWidths_[static_cast<std::size_t>(column)] = size;
    });
    connect(list_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { emit contextMenuRequested(list_->viewport()->mapToGlobal(at)); });
    layout->addWidget(list_, 1);

    auto* row = new QHBoxLayout;
    row->setContentsMargins(6, 4, 6, 4);
    newButton_ = new QPushButton(this);
    newButton_->setObjectName(QStringLiteral("New"));
    connect(newButton_, &QPushButton::clicked, this, &ViewPanel::newRequested);
    row->addWidget(newButton_);
    tftpIdle_ = renderSvg(QStringLiteral(":/icons/tftp-idle.svg"), QSize(32, 20));
    tftpActive_ = renderSvg(QStringLiteral(":/icons/tftp-active.svg"), QSize(32, 20));
    tftpIndicator_ = new QLabel(this);
    tftpIndicator_->setAccessibleDescription(QStringLiteral("TFTP"));
    row->addWidget(tftpIndicator_);
    row->addStretch(1);
    viewButtons_ = new QButtonGroup(this);
    viewButtons_->setExclusive(true);
    // Left to right: TFTP, Static, Dynamic, Ignored.
    for (View v : {View::Tftp, View::Static, View::Dynamic, View::Ignored}) {
        auto* b = new QToolButton(this);
        b->setCheckable(true);
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setMinimumWidth(fontMetrics().averageCharWidth() * 12);
        viewButtons_->addButton(b, static_cast<int>(v));
        row->addWidget(b);
    }
    connect(viewButtons_, &QButtonGroup::idClicked, this, &ViewPanel::viewChosen);
    layout->addLayout(row);
}

void ViewPanel::showModel(EntryListModel* model) {
    if (list_->model() == model) return;
    list_->setModel(model);
    applyColumnWidths();
}

void ViewPanel::retranslate(const Language& language) {
    for (int v = 0; v < kViewCount; ++v) {
        QAbstractButton* b = viewButtons_->button(v);
        b->setText(kViewButtonKeys[v] != nullptr ? language.text(kViewButtonKeys[v]) : QStringLiteral("TFTP"));
    }
    newButton_->setText(language.text("ADD"));
    nameList();
}

// A screen reader names the list by the view it shows, as its checked view button says.
void ViewPanel::nameList() {
    if (const QAbstractButton* b = viewButtons_->checkedButton()) list_->setAccessibleName(b->text());
}

void ViewPanel::setTopText(const QString& counts, const QString& mode) {
    topText_->setText(counts);
    modeText_->setText(mode);
    modeText_->setVisible(!mode.isEmpty());
}

void ViewPanel::showView(View view, bool gridlines) {
    if (QAbstractButton* b = viewButtons_->button(static_cast<int>(view))) b->setChecked(true);
    nameList();
    // "Gridlines" draws cell borders, never in the TFTP view.
    const bool grid = gridlines && view != View::Tftp;
    list_->setStyleSheet(grid ? QStringLiteral("QTreeView::item { border-right: 1px solid palette(midlight);"
                                               " border-bottom: 1px solid palette(midlight); }")
                              : QString());
}

void ViewPanel::showTftpState(int activeTransfers, const QString& tip, bool tftpView) {
    const bool on = activeTransfers >= 0;
    tftpIndicator_->setVisible(on);
    tftpIndicator_->setPixmap(activeTransfers > 0 ? tftpActive_ : tftpIdle_);
    tftpIndicator_->setToolTip(tip);
    tftpIndicator_->setAccessibleName(tip);  // the picture's meaning, as its tool tip shows it
    QAbstractButton* button = viewButtons_->button(static_cast<int>(View::Tftp));
    button->setVisible(on);
    if (on && tftpView) button->setChecked(true);
}

std::vector<int> ViewPanel::selectedRows() const {
    std::vector<int> rows;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows()) rows.push_back(i.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::uint64_t> ViewPanel::selectedHandles() const {
    std::vector<std::uint64_t> handles;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows())
        handles.push_back(i.data(kHandleRole).toULongLong());
    return handles;
}

std::uint64_t ViewPanel::currentHandle() const {
    const QModelIndex current = list_->currentIndex();
    return current.isValid() ? current.data(kHandleRole).toULongLong() : 0;
}

void ViewPanel::selectHandles(const std::vector<std::uint64_t>& handles, std::uint64_t current) {
    QAbstractItemModel* model = list_->model();
    QItemSelectionModel* selection = list_->selectionModel();
    if (model == nullptr || selection == nullptr) return;
    const std::unordered_set<std::uint64_t> wanted(handles.begin(), handles.end());
    std::vector<int> rows;
    int currentRow = -1;
    for (int r = 0; r < model->rowCount(); ++r) {
        const std::uint64_t h = model->index(r, 0).data(kHandleRole).toULongLong();
        if (wanted.count(h) != 0) rows.push_back(r);
        if (current != 0 && h == current) currentRow = r;
    }
    if (rows != selectedRows()) {
        QItemSelection chosen;
        for (int r : rows) chosen.select(model->index(r, 0), model->index(r, kColumnCount - 1));
        selection->select(chosen, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
    if (currentRow >= 0 && list_->currentIndex().row() != currentRow)
        selection->setCurrentIndex(model->index(currentRow, 0), QItemSelectionModel::NoUpdate);
}

void ViewPanel::setupColumns(const std::vector<EntryListModel*>& views) {
    if (columnsSet_) return;
    const int w = list_->viewport()->width() - style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    // Each view's headings measured as the list's header lays them out, with room for the sort
    // arrow that the header shows once a list has been sorted.
    std::array<int, kColumnCount> headings{};
    QHeaderView probe(Qt::Horizontal, list_);  // hidden, in the list's font and style
    probe.setSortIndicatorShown(true);
    for (EntryListModel* view : views) {
        probe.setModel(view);
        for (int c = 0; c < kColumnCount; ++c)
            headings[static_cast<std::size_t>(c)] =
                std::max(headings[static_cast<std::size_t>(c)], probe.sectionSizeHint(c));
    }
    for (int c = 0; c < kColumnCount; ++c) {
        int width = preferences_.columnWidth(c);
        if (width < 0) width = std::max(w * kDefaultColumnPercent[c] / 100, headings[static_cast<std::size_t>(c)]);
        if (width >= w) width = w / 3;
        columnWidths_[static_cast<std::size_t>(c)] = std::max(width, 20);
    }
    columnsSet_ = true;
    applyColumnWidths();
}

void ViewPanel::applyColumnWidths() {
    if (!columnsSet_) return;
    const std::array<int, kColumnCount> widths = columnWidths_;
    for (int c = 0; c < kColumnCount; ++c) list_->header()->resizeSection(c, widths[static_cast<std::size_t>(c)]);
}

void ViewPanel::saveColumns() {
    if (!columnsSet_) return;
    for (int c = 0; c < kColumnCount; ++c) preferences_.writeColumnWidth(c, list_->header()->sectionSize(c));
}

}  // namespace tolmark::manager
