#pragma once
// The middle of the main window: the status bar with the counts at the top, the list that shows
// one view at a time, and the row below it with the "New..." button, the TFTP indicator and the
// four view buttons. Column widths are shared by all views and saved at exit.

#include <QButtonGroup>
#include <QLabel>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeView>
#include <QWidget>

#include <array>

#include "manager/desktop/preferences.h"
#include "manager/language/language.h"
#include "manager/lists/list_models.h"

namespace tolmark::manager {

class ViewPanel : public QWidget {
    Q_OBJECT
public:
    ViewPanel(UserPreferences& preferences, QWidget* parent);

    QTreeView* list() const { return list_; }
    QPushButton* newButton() const { return newButton_; }
    QButtonGroup* viewButtons() const { return viewButtons_; }
    QString topText() const { return topText_->text(); }
    QString modeText() const { return modeText_->text(); }

    void showModel(EntryListModel* model);
    void retranslate(const Language& language);
    // The counts, and the view-mode words at the right for a user who may not change anything.
    void setTopText(const QString& counts, const QString& mode);
    // The view's button checked; grid lines in the client views when the user wants them.
    void showView(View view, bool gridlines);
    // The TFTP indicator and button: active, idle, or hidden with the TFTP server off.
    void showTftpState(int activeTransfers, const QString& tip, bool tftpView);
    // The selected rows in list order.
    std::vector<int> selectedRows() const;
    // The record handles of the selected rows and of the current row (0 without one).
    std::vector<std::uint64_t> selectedHandles() const;
    std::uint64_t currentHandle() const;
    // Selects the rows of these handles and makes the row of current the current one, where the
    // selection is not that already; a handle no row has any more is dropped.
    void selectHandles(const std::vector<std::uint64_t>& handles, std::uint64_t current);

    // The first time the window is shown: each column its saved width, or its share of the list
    // but no less than the widest heading the views give it.
    void setupColumns(const std::vector<EntryListModel*>& views);
    void saveColumns();

signals:
    void viewChosen(int view);
    void newRequested();
    void sortRequested(int column);
    void contextMenuRequested(const QPoint& globalPosition);

private:
    void applyColumnWidths();
    void nameList();

    UserPreferences& preferences_;
    QStatusBar* topBar_;
    QLabel* topText_;
    QLabel* modeText_;
    QTreeView* list_;
    QPushButton* newButton_;
    QLabel* tftpIndicator_;
    QPixmap tftpIdle_, tftpActive_;
    QButtonGroup* viewButtons_;
    bool columnsSet_ = false;
    std::array<int, kColumnCount> columnWidths_{};
};

}  // namespace tolmark::manager
