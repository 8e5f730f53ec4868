#pragma once
// The main window's menus and their commands as named actions: File (Service, View log, Exit),
// Options (Preferences, Add static entries, Manage Profiles, one item per profile), Window (the
// four views, Resolve Addresses, Show Remarks, Auto Refresh), Help (Contents, About), and the
// list's context menu (Modify, Copy to static, Move to static, Remove). Labels come from the
// language file; the window connects the actions to what they do.

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QObject>

#include <array>
#include <string>
#include <vector>

#include "manager/language/language.h"
#include "manager/lists/entry_rows.h"

namespace tolmark::manager {

struct WindowActions {
    QAction* start = nullptr;
    QAction* stop = nullptr;
    QAction* log = nullptr;
    QAction* exit = nullptr;
    QAction* preferences = nullptr;
    QAction* addStatic = nullptr;
    QAction* profiles = nullptr;
    std::array<QAction*, kViewCount> views{};  // by view number: Static, Dynamic, Ignored, TFTP
    QAction* names = nullptr;
    QAction* remarks = nullptr;
    QAction* refresh = nullptr;
    QAction* contents = nullptr;
    QAction* about = nullptr;
    // The context menu's commands.
    QAction* modify = nullptr;
    QAction* copy = nullptr;
    QAction* move = nullptr;
    QAction* remove = nullptr;
};

class WindowMenus : public QObject {
    Q_OBJECT
public:
    // The Service submenu exists only for a user who may control the service.
    WindowMenus(QMenuBar* bar, bool mayControlService, QObject* parent);

    const WindowActions& actions() const { return actions_; }
    QMenu* contextMenu() const { return contextMenu_; }

    // Every label again from the language file.
    void retranslate(const Language& language);
    // The profile items of the Options menu after a separator; none when show is false.
    void setProfiles(const std::vector<std::string>& names, bool show);
    // The context menu of a view: its own command and Remove, nothing for a viewer or in TFTP.
    void fillContextMenu(View view, bool mayChange);

signals:
    // A profile item of the Options menu, by its index in the server's list.
    void profileChosen(int index);

private:
    struct Labelled {
        QAction* action;
        TextSection section;
        const char* key;
    };
    QAction* add(QMenu* menu, QAction** slot, TextSection section, const char* key);

    WindowActions actions_;
    std::vector<Labelled> labels_;
    QMenu *file_, *service_, *options_, *window_, *help_;
    QMenu* contextMenu_;
    QAction* profileSeparator_;
    std::vector<QAction*> profileItems_;
};

}  // namespace tolmark::manager
