#pragma once
// The notification-area icon: shown while the user wants it and the desktop has a tray, with a
// menu of View log and Exit (the default item); a click on it brings the window back.

#include <QMenu>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "manager/language/language.h"

namespace tolmark::manager {

class TrayIcon : public QObject {
    Q_OBJECT
public:
    explicit TrayIcon(QWidget* window);
    ~TrayIcon() override;

    // Adds the icon when wanted and none is shown, removes it when not wanted.
    void update(bool wanted, const Language& language);
    bool isShown() const { return icon_ != nullptr && icon_->isVisible(); }
    void hide();

signals:
    void restoreRequested();
    void logRequested();
    void exitRequested();

private:
    QWidget* window_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
    QAction* log_ = nullptr;
    QAction* exit_ = nullptr;
};

}  // namespace tolmark::manager
