#include "manager/desktop/preferences.h"

namespace tolmark::manager {
namespace {

std::string columnKey(int column) { return "col" + std::to_string(column); }

}  // namespace

std::int32_t UserPreferences::columnWidth(int column) const {
    return store_.readInt(kGeneralSection, columnKey(column), -1);
}

bool UserPreferences::writeColumnWidth(int column, std::int32_t width) {
    return store_.writeInt(kGeneralSection, columnKey(column), width, -1);
}

}  // namespace tolmark::manager
