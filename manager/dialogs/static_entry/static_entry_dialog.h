#pragma once
// The "Static entry" dialog in its four modes: add a new entry, modify a static entry, copy a
// dynamic client to a static entry, move an ignored client to a static entry. The entry is
// built as a line of the static entry file and parsed with the server's own parser; the server
// then checks for duplicates and stores it.

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QRadioButton>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/client_record.h"
#include "manager/dialogs/address_edit.h"
#include "manager/dialogs/dialog_context.h"

namespace tolmark::manager {

enum class StaticMode { Add, Modify, Copy, Move };

// What the dialog asks of the main window's list.
struct EntryListHooks {
    // Record handles of the selected rows, in list order.
    std::function<std::vector<std::uint64_t>()> selected = [] { return std::vector<std::uint64_t>{}; };
    // The identity the row of a handle shows, if the list knows it.
    std::function<std::optional<Identity>(std::uint64_t)> identityOf = [](std::uint64_t) {
        return std::optional<Identity>{};
    };
    std::function<void(std::uint64_t, const ClientFields&)> rowChanged = [](std::uint64_t, const ClientFields&) {};
    // Move: the ignored row goes from the list and its counter goes down by one.
    std::function<void(std::uint64_t)> rowRemoved = [](std::uint64_t) {};
    // Add: the Static view, when shown, is read again and scrolled to its end.
    std::function<void()> entryAdded = [] {};
};

// Identifier choice of the dialog.
enum class IdentifierChoice { RelayAgent, ClientId, Mac };

// The first two steps of building the line, as a pure function: the identifier with its prefix,
// the address, and the profile field with blanks made "_". A failure names its message key.
struct EntryLineInput {
    IdentifierChoice choice = IdentifierChoice::Mac;
    bool circuit = true;
    bool remote = false;
    QString identifier;
    QString address;
    QString profile;
};
struct EntryLineResult {
    const char* error = nullptr;  // "INVALID_ID", "INVALID_MAC", "INVALID_IPADDR"
    std::string line;
    std::string profile;  // as stored: blanks made "_", empty for none
};
EntryLineResult buildEntryLine(const EntryLineInput& input);

class StaticEntryDialog : public QDialog {
    Q_OBJECT
public:
    StaticEntryDialog(DialogContext& context, StaticMode mode, EntryListHooks hooks, QWidget* parent = nullptr);

    StaticMode mode() const { return mode_; }
    std::uint64_t currentHandle() const { return handle_; }
    // What OK and Apply do: true when the entry was stored.
    bool store();
    QPushButton* applyButton() const;
    QPushButton* okButton() const;

private:
    void buildControls();
    void fetchServerState();
    // The entry of the row's handle into the fields; Refused when the server no longer has it. A
    // server that restarted since the list was read gave its records new handles: the entry is
    // then found by the row's identity.
    PipeStatus loadEntry(std::uint64_t handle);
    // Apply after a stored entry: the next row that the server still has into the fields; rows it
    // no longer has, or that the server went away before, are named. False when none is left.
    bool loadNext();
    QString rowName(std::uint64_t handle) const;
    // After a stored entry: the next row to work on, or none (the dialog closes).
    std::optional<std::uint64_t> nextHandle() const;
    void afterStored(bool closeAfter);
    void onBoxUnchecked(QCheckBox* box, QCheckBox* other);
    void enableChoices();
    std::optional<ClientFields> buildRecord();
    bool ensureProfile(const std::string& profile);
    ClientList sourceList() const;

    DialogContext& context_;
    const StaticMode mode_;
    EntryListHooks hooks_;
    GeneralSettings general_;
    std::uint64_t handle_ = 0;
    ClientFields entry_;  // the entry being modified, copied or moved
    // Move: entries stored as static whose ignored row stayed (the server kept it); Apply goes on
    // with the rows after them, not back to them.
    std::vector<std::uint64_t> moved_;
    std::vector<std::uint64_t> skipped_;  // rows passed over: the server no longer has them
    std::vector<std::string> profiles_;

    QRadioButton *relay_, *clientId_, *mac_;
    QCheckBox *circuit_, *remote_, *redundant_;
    QLineEdit *identifier_, *hostName_, *remark_;
    AddressEdit* address_;
    QComboBox* profile_;
    QDialogButtonBox* buttons_;
};

}  // namespace tolmark::manager
