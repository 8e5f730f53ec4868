#pragma once
// The Preferences: a sheet of six pages over the manager's copies of the server's general
// settings block, status record (the interface list), TFTP settings block and multicast settings
// block, fetched when the sheet opens. The pages store their fields into these copies; the sheet
// then sends each block that a page changed, in the order general, interfaces, TFTP, multicast;
// of the settings blocks only the fields changed on the pages, the rest as the server holds them.

#include <optional>

#include "common/settings_blocks.h"
#include "manager/dialogs/dialog_context.h"
#include "manager/dialogs/property_sheet.h"

namespace tolmark::manager {

class InterfacesPage;

struct PreferenceBlocks {
    std::optional<GeneralSettings> general;
    std::optional<ServerStatus> status;
    std::optional<TftpSettings> tftp;
    std::optional<MulticastSettings> multicast;
    // The blocks as read when the sheet opened, or as last sent: what the pages changed differs.
    std::optional<GeneralSettings> generalRead;
    std::optional<ServerStatus> statusRead;  // its interface table
    std::optional<TftpSettings> tftpRead;
    std::optional<MulticastSettings> multicastRead;
    bool sendGeneral = false;
    bool sendInterfaces = false;
    bool sendTftp = false;
    bool sendMulticast = false;
    bool languageChanged = false;
    // The log directory, which the manager writes into the server's file itself, was not stored.
    bool directoryLost = false;

    static PreferenceBlocks fetch(ManagerPipe& pipe);
};

class PreferencesDialog : public PropertySheet {
    Q_OBJECT
public:
    PreferencesDialog(DialogContext& context, QWidget* parent = nullptr);
    const PreferenceBlocks& blocks() const { return blocks_; }

protected:
    bool commit(const std::vector<SheetPage*>& applied) override;

private:
    DialogContext& context_;
    PreferenceBlocks blocks_;
    InterfacesPage* interfaces_ = nullptr;
};

}  // namespace tolmark::manager
