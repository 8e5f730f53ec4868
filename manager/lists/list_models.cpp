#include "manager/lists/list_models.h"

#include <algorithm>
#include <unordered_map>

#include "manager/pipe/server_text.h"

namespace tolmark::manager {

EntryListModel::EntryListModel(View view, const std::vector<QIcon>* icons, QObject* parent)
    : QAbstractTableModel(parent), view_(view), icons_(icons) {}

void EntryListModel::setHeaders(const std::array<QString, kColumnCount>& headers) {
    if (headers == headers_) return;
    headers_ = headers;
    emit headerDataChanged(Qt::Horizontal, 0, kColumnCount - 1);
}

void EntryListModel::applyRows(const std::vector<EntryRow>& rows) {
    const std::size_t kept = std::min(rows.size(), rows_.size());
    for (std::size_t i = 0; i < kept; ++i) {
        if (rows_[i] == rows[i]) continue;
        int first = kColumnCount, last = -1;
        for (int c = 0; c < kColumnCount; ++c) {
            const bool differs = rows_[i].texts[c] != rows[i].texts[c] ||
                                 (c == 0 && (rows_[i].icon != rows[i].icon || rows_[i].handle != rows[i].handle));
            if (differs) first = std::min(first, c), last = std::max(last, c);
        }
        rows_[i] = rows[i];
        const int r = static_cast<int>(i);
        emit dataChanged(index(r, first), index(r, last));
    }
    if (rows.size() > rows_.size()) {
        beginInsertRows({}, static_cast<int>(rows_.size()), static_cast<int>(rows.size()) - 1);
        rows_.insert(rows_.end(), rows.begin() + static_cast<std::ptrdiff_t>(rows_.size()), rows.end());
        endInsertRows();
    } else if (rows.size() < rows_.size()) {
        beginRemoveRows({}, static_cast<int>(rows.size()), static_cast<int>(rows_.size()) - 1);
        rows_.resize(rows.size());
        endRemoveRows();
    }
}

void EntryListModel::reorder(const std::vector<std::uint64_t>& handles) {
    std::unordered_map<std::uint64_t, std::size_t> rank;
    for (std::size_t i = 0; i < handles.size(); ++i) rank.emplace(handles[i], i);
    std::vector<std::size_t> order(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto rankOf = [&](std::size_t row) {
        auto it = rank.find(rows_[row].handle);
        return it == rank.end() ? handles.size() : it->second;
    };
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return rankOf(a) < rankOf(b); });

    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    std::vector<int> newPosition(rows_.size());
    std::vector<EntryRow> sorted;
    sorted.reserve(rows_.size());
    for (std::size_t i = 0; i < order.size(); ++i) {
        newPosition[order[i]] = static_cast<int>(i);
        sorted.push_back(std::move(rows_[order[i]]));
    }
    const QModelIndexList before = persistentIndexList();
    QModelIndexList after;
    after.reserve(before.size());
    for (const QModelIndex& i : before) after.append(index(newPosition[static_cast<std::size_t>(i.row())], i.column()));
    rows_ = std::move(sorted);
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void EntryListModel::removeRowAt(int row) {
    if (row < 0 || row >= rowCount()) return;
    beginRemoveRows({}, row, row);
    rows_.erase(rows_.begin() + row);
    endRemoveRows();
}

int EntryListModel::rowOfHandle(std::uint64_t handle) const {
    for (std::size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].handle == handle) return static_cast<int>(i);
    }
    return -1;
}

void EntryListModel::replaceRow(int row, const EntryRow& replacement) {
    if (row < 0 || row >= rowCount()) return;
    std::vector<EntryRow> rows = rows_;
    rows[static_cast<std::size_t>(row)] = replacement;
    applyRows(rows);
}

std::vector<std::uint64_t> EntryListModel::handles() const {
    std::vector<std::uint64_t> out;
    out.reserve(rows_.size());
    for (const EntryRow& r : rows_) out.push_back(r.handle);
    return out;
}

int EntryListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int EntryListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant EntryListModel::data(const QModelIndex& index, int role) const {
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid)) return {};
    const EntryRow& r = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
        case Qt::DisplayRole:
            return r.texts[static_cast<std::size_t>(index.column())];
        case Qt::ToolTipRole:
            return plainToolTip(r.texts[static_cast<std::size_t>(index.column())]);
        case Qt::DecorationRole:
            if (index.column() == 0 && icons_ && r.icon >= 0 && static_cast<std::size_t>(r.icon) < icons_->size())
                return (*icons_)[static_cast<std::size_t>(r.icon)];
            return {};
        case kHandleRole:
            return QVariant::fromValue<qulonglong>(r.handle);
        case kIconIndexRole:
            return r.icon;
    }
    return {};
}

QVariant EntryListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= kColumnCount) return {};
    return headers_[static_cast<std::size_t>(section)];
}

}  // namespace tolmark::manager
