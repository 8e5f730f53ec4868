#pragma once
// The six pages of the Preferences, one class each.

#include <QListWidget>
#include <QTreeWidget>

#include "manager/dialogs/manager_page.h"
#include "manager/dialogs/preferences/preference_rules.h"
#include "manager/dialogs/preferences/preferences_dialog.h"

namespace tolmark::manager {

// Display preferences, "Save last access time", logging and the log directory.
class GeneralPage : public ManagerPage {
    Q_OBJECT
public:
    GeneralPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent = nullptr);
    void initialise() override;
    void apply() override;

private:
    void updateEnabling();

    PreferenceBlocks& blocks_;
    QCheckBox *grid_, *addProfiles_, *dash_, *string_, *update_, *log_, *logAll_, *percent_;
    QRadioButton *daily_, *monthly_;
    QLabel* dirLabel_;
    QLineEdit* dir_;
    QToolButton* browse_;
};

// Which requests the server accepts and how it answers them.
class DhcpPage : public ManagerPage {
    Q_OBJECT
public:
    DhcpPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent = nullptr);
    void initialise() override;
    void apply() override;

private:
    void updateEnabling();

    PreferenceBlocks& blocks_;
    QCheckBox *bootp_, *dhcp_, *enableRa_, *noClient_, *circuit_, *remote_, *enableId_, *enableMac_, *name2Uc_,
        *single_, *unicast_, *autoconf_, *change_, *arpTest_;
};

// Backup detection, registered-only answers, and the interfaces the server serves.
class InterfacesPage : public ManagerPage {
    Q_OBJECT
public:
    InterfacesPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent = nullptr);
    void initialise() override;
    bool validate() override;
    void apply() override;
    QListWidget* list() const { return list_; }
    // One row per interface present on the host, in the state the sheet's status copy holds.
    void showRows();
    // A click on the row: its state moves on (the last selected row stays selected).
    void cycleRow(int row);

private:
    bool enableRa() const;
    int selectedRows() const;
    void showState(QListWidgetItem* item, InterfaceState state);

    PreferenceBlocks& blocks_;
    QCheckBox *detect_, *answer_, *relaySrc_, *include_;
    QListWidget* list_;
    std::vector<QIcon> icons_;
};

// The TFTP server, its root directory, restrictions and ports.
class TftpPage : public ManagerPage {
    Q_OBJECT
public:
    TftpPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent = nullptr);
    void initialise() override;
    void apply() override;

private:
    void updateEnabling();

    PreferenceBlocks& blocks_;
    QCheckBox *enable_, *rootIp_, *rootProfile_, *bootOnly_, *bootFile_, *bootMac_, *bootIp_, *windowSize_;
    QLineEdit *port_, *dir_, *prefix_, *dataPort_, *clients_;
    QToolButton* browse_;
    std::vector<QWidget*> dependents_;
};

// Time-outs, TFTP options and multicast.
class TftpOptionsPage : public ManagerPage {
    Q_OBJECT
public:
    TftpOptionsPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent = nullptr);
    void initialise() override;
    void activated() override;
    void apply() override;

private:
    void updateEnabling();

    PreferenceBlocks& blocks_;
    QComboBox *timeout_, *retransmit_;
    QCheckBox *blockSize_, *timeOption_, *tsize_, *unix_, *mmf_, *multicast_;
    QLineEdit *mcastAddress_, *mcastPort_, *mcastTtl_;
    std::vector<QWidget*> all_;
};

// The language file.
class LanguagePage : public ManagerPage {
    Q_OBJECT
public:
    LanguagePage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent = nullptr);
    void initialise() override;
    void apply() override;
    QTreeWidget* list() const { return list_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void sizeColumns();

    PreferenceBlocks& blocks_;
    QLabel* current_;
    QTreeWidget* list_;
    QLineEdit* author_;
};

}  // namespace tolmark::manager
