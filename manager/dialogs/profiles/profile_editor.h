#pragma once
// The profile editor: a sheet of six pages over one profile record, titled with its name. The
// pages check their fields, then store their keys as writes of the profile's section; the sheet
// sends the writes (WriteSetting), adds a new profile to the "Profile%u" list, and asks the server
// to reload its profiles (and, after the Basic page, to drop dynamic entries outside the pools).

#include <optional>
#include <string>
#include <vector>

#include "common/settings_blocks.h"
#include "config/profiles.h"
#include "manager/dialogs/dialog_context.h"
#include "manager/dialogs/property_sheet.h"

namespace tolmark::manager {

// One configuration value of the profile's section: no value deletes the key.
struct KeyWrite {
    std::string key;
    std::optional<std::string> value;
    bool operator==(const KeyWrite&) const = default;
};

struct ProfileEditState {
    Profile record;
    bool isNew = false;
    GeneralSettings general;
    ServerStatus status;
    bool basicApplied = false;
    std::vector<KeyWrite> writes;

    void write(const std::string& key, std::optional<std::string> value) { writes.push_back({key, std::move(value)}); }
};

class ProfileEditor : public PropertySheet {
    Q_OBJECT
public:
    // Fetches the general settings, the status record and the profile by name; a name the server
    // does not know starts a new profile (lease 36000, rule "Interface IP Address").
    ProfileEditor(DialogContext& context, const std::string& name, QWidget* parent = nullptr);
    const ProfileEditState& state() const { return state_; }

protected:
    bool commit(const std::vector<SheetPage*>& applied) override;

private:
    DialogContext& context_;
    ProfileEditState state_;
    // The server could not be asked for the profile when the editor opened: the pages show no
    // profile's values, and applying them would write those over the profile's own keys (and
    // list an existing profile a second time as a new one), so nothing is applied.
    bool unread_ = false;
};

}  // namespace tolmark::manager
