#pragma once
// The manager's per-user display values: integers and texts under section "Dorvane" of the
// current user's registry stand-in file. A value equal to its default is deleted, not written.

#include <cstdint>
#include <string>

#include "config/config_store.h"

namespace tolmark::manager {

struct PreferenceKey {
    const char* name;
    std::int32_t defaultValue;
};

namespace pref {
inline constexpr PreferenceKey kView{"View", 1};
inline constexpr PreferenceKey kRemarks{"Remarks", 0};
inline constexpr PreferenceKey kExcluded{"Excluded", 0};
inline constexpr PreferenceKey kViewIp{"ViewIP", 0};
inline constexpr PreferenceKey kViewOld{"ViewOld", 0};
inline constexpr PreferenceKey kRefresh{"Refresh", 1};
inline constexpr PreferenceKey kAddProfiles{"AddProfiles", 1};
inline constexpr PreferenceKey kShowDash{"ShowDash", 0};
inline constexpr PreferenceKey kShowString{"ShowString", 0};
inline constexpr PreferenceKey kGridlines{"Gridlines", 0};
inline constexpr PreferenceKey kPercent{"Percent", 1};
inline constexpr PreferenceKey kTrayIcon{"TrayIcon", 1};
// No saved position: the window opens at 0, 0.
inline constexpr std::int32_t kNoPosition = INT32_MIN;  // 0x80000000
inline constexpr PreferenceKey kLeft{"left", kNoPosition};
inline constexpr PreferenceKey kTop{"top", kNoPosition};
inline constexpr PreferenceKey kWidth{"width", 600};
inline constexpr PreferenceKey kHeight{"height", 330};
inline constexpr const char* kLanguage = "Language";
}  // namespace pref

class UserPreferences {
public:
    // registryFile: the current user's registry stand-in (platform::userRegistryFile()).
    explicit UserPreferences(std::string registryFile) : store_(std::move(registryFile)) {}

    std::int32_t read(const PreferenceKey& key) const {
        return store_.readInt(kGeneralSection, key.name, key.defaultValue);
    }
    bool write(const PreferenceKey& key, std::int32_t value) {
        return store_.writeInt(kGeneralSection, key.name, value, key.defaultValue);
    }
    bool flag(const PreferenceKey& key) const { return read(key) != 0; }

    // "col%u": the saved width of column i, or -1 when none is saved.
    std::int32_t columnWidth(int column) const;
    bool writeColumnWidth(int column, std::int32_t width);

    std::string language() const { return store_.readText(kGeneralSection, pref::kLanguage, "", 256); }
    bool writeLanguage(const std::string& file) {
        return file.empty() ? store_.writeText(kGeneralSection, pref::kLanguage, std::nullopt)
                            : store_.writeText(kGeneralSection, pref::kLanguage, file);
    }

private:
    ConfigStore store_;
};

}  // namespace tolmark::manager
