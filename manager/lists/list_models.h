#pragma once
// One table model per view of the main window. Rows are replaced in place: a refresh changes
// only the cells whose text, icon or record handle differ, inserts rows at the end and removes
// surplus rows from the end, so selections survive and nothing flickers. Models hold the full
// texts; the view elides.

#include <QAbstractTableModel>
#include <QIcon>

#include <array>
#include <optional>
#include <vector>

#include "manager/lists/entry_rows.h"
#include "manager/pipe/manager_pipe.h"

namespace tolmark::manager {

inline constexpr int kHandleRole = Qt::UserRole + 1;
inline constexpr int kIconIndexRole = Qt::UserRole + 2;

class EntryListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    EntryListModel(View view, const std::vector<QIcon>* icons, QObject* parent = nullptr);

    View view() const { return view_; }
    // The language keys of the five column headers (the fifth has none).
    virtual std::array<const char*, kColumnCount> headerKeys() const = 0;
    void setHeaders(const std::array<QString, kColumnCount>& headers);

    // Rewrites the rows in place.
    void applyRows(const std::vector<EntryRow>& rows);
    // Puts the rows into the order of these handles; rows whose handle is not listed keep their
    // relative order after the listed ones.
    void reorder(const std::vector<std::uint64_t>& handles);
    void removeRowAt(int row);
    // The row of a record handle, or -1.
    int rowOfHandle(std::uint64_t handle) const;
    // Rewrites one row in place (cells whose text differs).
    void replaceRow(int row, const EntryRow& replacement);

    const EntryRow& row(int r) const { return rows_[static_cast<std::size_t>(r)]; }
    std::vector<std::uint64_t> handles() const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    View view_;
    const std::vector<QIcon>* icons_;
    std::array<QString, kColumnCount> headers_;
    std::vector<EntryRow> rows_;
};

using RowBuilder = std::optional<EntryRow> (*)(const ClientRecordImage&, const RowOptions&);

// The client views: each knows its list and which records it shows.
class ClientListModel : public EntryListModel {
    Q_OBJECT
public:
    using EntryListModel::EntryListModel;
    virtual ClientList list() const = 0;
    // Pure, so the pipe worker can build rows with it.
    virtual RowBuilder rowBuilder() const = 0;
};

class StaticModel : public ClientListModel {
    Q_OBJECT
public:
    explicit StaticModel(const std::vector<QIcon>* icons, QObject* parent = nullptr)
        : ClientListModel(View::Static, icons, parent) {}
    std::array<const char*, kColumnCount> headerKeys() const override {
        return {"MAC", "PROFILE", "IPADDR", "LAST", nullptr};
    }
    ClientList list() const override { return ClientList::Static; }
    RowBuilder rowBuilder() const override { return staticRow; }
};

class DynamicModel : public ClientListModel {
    Q_OBJECT
public:
    explicit DynamicModel(const std::vector<QIcon>* icons, QObject* parent = nullptr)
        : ClientListModel(View::Dynamic, icons, parent) {}
    std::array<const char*, kColumnCount> headerKeys() const override {
        return {"MAC", "PROFILE", "IPADDR", "LEASED", nullptr};
    }
    ClientList list() const override { return ClientList::Dynamic; }
    RowBuilder rowBuilder() const override { return dynamicRow; }
};

class IgnoredModel : public ClientListModel {
    Q_OBJECT
public:
    explicit IgnoredModel(const std::vector<QIcon>* icons, QObject* parent = nullptr)
        : ClientListModel(View::Ignored, icons, parent) {}
    std::array<const char*, kColumnCount> headerKeys() const override {
        return {"MAC", "CLASS", "IFACE", "OBSERVED", nullptr};
    }
    ClientList list() const override { return ClientList::Ignored; }
    RowBuilder rowBuilder() const override { return ignoredRow; }
};

class TransferModel : public EntryListModel {
    Q_OBJECT
public:
    explicit TransferModel(const std::vector<QIcon>* icons, QObject* parent = nullptr)
        : EntryListModel(View::Tftp, icons, parent) {}
    std::array<const char*, kColumnCount> headerKeys() const override {
        return {"STATUS", "OPER", "IPADDR", "FILE", nullptr};
    }
};

}  // namespace tolmark::manager
