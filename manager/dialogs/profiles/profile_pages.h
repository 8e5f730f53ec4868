#pragma once
// The six pages of the profile editor, one class each, on a common base that writes the keys.

#include <QListWidget>
#include <QStackedWidget>

#include "manager/dialogs/manager_page.h"
#include "manager/dialogs/profiles/profile_editor.h"
#include "manager/dialogs/profiles/profile_rules.h"

namespace tolmark::manager {

class ProfilePage : public ManagerPage {
    Q_OBJECT
public:
    ProfilePage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr)
        : ManagerPage(context, parent), state_(state) {}
    // Without the right to change the server every apply is refused.
    bool validate() override;

protected:
    // Each address field must be empty or a valid address; refuseBroadcast refuses
    // 255.255.255.255 as well. A bad one gives "Invalid IP address".
    bool checkAddresses(std::initializer_list<AddressEdit*> fields, bool refuseBroadcast = true);
    // A field refused: the message ("Invalid format" for a number not in its range) with the
    // field's label, and the focus on the field. Always false.
    bool refuseField(QLineEdit* field, const char* labelKey, const char* message = "FORMAT");
    void writeText(const char* key, const QString& text);                              // empty deletes
    void writeAddress(const char* key, const QString& field);                          // empty or 0 deletes
    void writeNumber(const char* key, std::int64_t value, std::int64_t defaultValue);  // 0 or default deletes
    void fill(AddressEdit* field, Ipv4 address) { field->setText(addressText(address)); }
    // A field for a text the profile keeps in Latin-1 (writeText stores it so).
    QLineEdit* latinEdit(const char* objectName, int maxLength);
    const Profile& record() const { return state_.record; }

    ProfileEditState& state_;
};

class BasicPage : public ProfilePage {
    Q_OBJECT
public:
    BasicPage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr);
    void initialise() override;
    bool validate() override;
    void apply() override;

private:
    void showRule(int position);
    void showRelayKind();
    void fillInterfaces();
    void onInterfaceChosen(int index);
    // The rule's keys; nothing with a message shown when the fields do not make a rule.
    std::optional<std::vector<KeyWrite>> ruleWrites();
    std::optional<std::string> classText(const char* failure);

    QComboBox* rule_;
    QWidget* valueRow_;
    QLineEdit* value_;
    QRadioButton *hex_, *string_;
    AddressEdit* relayAddress_;
    QComboBox* relayKind_;
    QComboBox* interface_;
    std::vector<Ipv4> interfaceMasks_;
    AddressEdit *from_, *until_, *mask_, *gateway_, *backup1_, *backup2_;
    QLineEdit* lease_;
    QCheckBox* infinite_;
    QString finiteLease_;  // the field before "infinite" was checked
    std::vector<KeyWrite> checkedRule_;
};

class DnsPage : public ProfilePage {
    Q_OBJECT
public:
    DnsPage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr);
    void initialise() override;
    bool validate() override;
    void apply() override;

private:
    QLineEdit *domain_, *base_;
    std::array<AddressEdit*, 4> dns_{};
    QCheckBox *send_, *accept_, *update_;
};

class NetBiosPage : public ProfilePage {
    Q_OBJECT
public:
    NetBiosPage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr);
    void initialise() override;
    bool validate() override;
    void apply() override;

private:
    AddressEdit *wins1_, *wins2_;
    QLineEdit* scope_;
    QComboBox* node_;
};

class TimePage : public ProfilePage {
    Q_OBJECT
public:
    TimePage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr);
    void initialise() override;
    bool validate() override;
    void apply() override;

private:
    QLineEdit* offset_;
    AddressEdit *time_, *ntp1_, *ntp2_;
};

class BootPage : public ProfilePage {
    Q_OBJECT
public:
    BootPage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr);
    void initialise() override;
    bool validate() override;
    void apply() override;

private:
    void updateAlternate();

    AddressEdit* next_;
    QLineEdit *name_, *file_, *size_, *vendorClass_, *file2_, *size2_, *rootPath_;
    QCheckBox *useOpt_, *alternate_;
};

class OtherPage : public ProfilePage {
    Q_OBJECT
public:
    OtherPage(DialogContext& context, ProfileEditState& state, QWidget* parent = nullptr);
    void initialise() override;
    void apply() override;
    const std::vector<std::string>& lines() const { return lines_; }
    // "A&dd": the chosen option with the value as a line; a message when the length is wrong.
    void addLine();

private:
    void onOptionChosen(int index);
    void onLineChosen(int row);
    void updateLength();
    ValueKind kind() const;
    void showLines();

    QComboBox* option_;
    QLineEdit *length_, *value_;
    QRadioButton *binary_, *addresses_, *string_;
    QCheckBox* substitution_;
    QLabel *note_, *stringNote_;
    QPushButton *add_, *remove_;
    QListWidget* list_;
    std::vector<std::string> lines_;
    // Codes whose key this page may delete: those it showed a line for or added. A key the
    // server left out of the profile (a server-owned code, no room left) is not the page's.
    std::array<bool, 256> shown_{};
};

}  // namespace tolmark::manager
