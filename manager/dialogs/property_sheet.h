#pragma once
// A property sheet: pages on tabs with OK, Cancel and Apply that behave alike on every page. A
// page is filled the first time it is shown; a change on it enables Apply. OK and Apply first
// check every changed page (a page whose check fails comes to the front and the sheet stays
// open), then let every changed page store its fields, then commit what they stored in one go
// (the sheets send it to the server). A commit the server refuses keeps the sheet open, with the
// pages still marked changed, so nothing is lost and Apply can be pressed again.

#include <QDialog>
#include <QDialogButtonBox>
#include <QTabWidget>

#include <vector>

#include "manager/language/language.h"

namespace tolmark::manager {

// Every label of a form layout below root becomes the buddy of its field (the first control of
// the field's row that takes the focus), so that Alt and its letter reach the field and a screen
// reader names it; a field in a group box is named with the group's title before the label.
void labelFormFields(QWidget* root);

class SheetPage : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;

    // Relabel, fill and enable the controls; called once, when the page is first shown.
    virtual void initialise() = 0;
    // Called every time the page comes to the front (after initialise the first time).
    virtual void activated() {}
    // Check the fields; on a failure show its message and return false.
    virtual bool validate() { return true; }
    // Store the fields where the sheet's commit picks them up.
    virtual void apply() = 0;

    bool initialised() const { return initialised_; }
    bool isChanged() const { return changed_; }
    void markChanged();
    void clearChanged() { changed_ = false; }
    void ensureInitialised();

signals:
    void changed();

private:
    bool initialised_ = false;
    bool changed_ = false;
};

class PropertySheet : public QDialog {
    Q_OBJECT
public:
    explicit PropertySheet(QWidget* parent = nullptr);

    void addPage(SheetPage* page, const QString& label);
    // The tab label is the language string of the key, or the page's caption without one.
    void addPage(SheetPage* page, const Language& language, const char* key, const char* caption);
    QTabWidget* tabs() const { return tabs_; }
    QDialogButtonBox* buttons() const { return buttons_; }
    SheetPage* page(int index) const { return pages_[static_cast<std::size_t>(index)]; }
    int pageCount() const { return static_cast<int>(pages_.size()); }

    // OK, Cancel and Apply in the language of the pages.
    void relabelButtons(const Language& language);
    // What OK and Apply do: true when everything was checked and taken.
    bool applyChanges();
    // Shows the first page; the sheet then runs with exec() or show().
    void prepare();

protected:
    // Sends what the applied pages stored; false keeps the sheet open.
    virtual bool commit(const std::vector<SheetPage*>& applied) = 0;

private:
    void onCurrentChanged(int index);
    void updateApplyButton();

    QTabWidget* tabs_;
    QDialogButtonBox* buttons_;
    std::vector<SheetPage*> pages_;
};

}  // namespace tolmark::manager
