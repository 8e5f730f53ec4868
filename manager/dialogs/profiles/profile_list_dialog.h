#pragma once
// The profile list ("Configuration profiles"): one row per profile in the server's order with
// its rule and the rule's value, and Add, Rename, Edit and Remove.

#include <QDialog>
#include <QPushButton>
#include <QTreeWidget>

#include <string>
#include <vector>

#include "config/profiles.h"
#include "manager/dialogs/dialog_context.h"

namespace tolmark::manager {

class ProfileListDialog : public QDialog {
    Q_OBJECT
public:
    ProfileListDialog(DialogContext& context, QWidget* parent = nullptr);

    QTreeWidget* list() const { return list_; }
    // Fills the list from the server; the row of that index is selected (-1: the last row).
    void refill(int select = -1);
    // Add with a name already asked for; the editor opens on it. False when the name is refused.
    bool addProfile(const QString& typed);
    // The row's profile gets the new name; a message when the server refuses.
    bool renameRow(int row, const QString& typed);
    // Removes the selected row's profile unless a static entry names it.
    bool removeSelected();
    void editSelected();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void sizeColumns();
    void updateButtons();
    void askForNewProfile();
    // The profile's name as the server keeps it (the list shows it decoded).
    std::string rowName(int row) const;

    DialogContext& context_;
    GeneralSettings general_;
    std::vector<Profile> profiles_;
    QTreeWidget* list_;
    QPushButton *add_, *rename_, *edit_, *remove_;
    bool filling_ = false;
};

}  // namespace tolmark::manager
