#include "manager/window/tray_icon.h"

namespace tolmark::manager {

TrayIcon::TrayIcon(QWidget* window) : QObject(window), window_(window) {}

TrayIcon::~TrayIcon() = default;

void TrayIcon::update(bool wanted, const Language& language) {
    wanted = wanted && QSystemTrayIcon::isSystemTrayAvailable();
    if (wanted && icon_ == nullptr) {
        menu_ = std::make_unique<QMenu>(window_);
        log_ = menu_->addAction(QString());
        connect(log_, &QAction::triggered, this, &TrayIcon::logRequested);
        exit_ = menu_->addAction(QString());
        QFont bold = exit_->font();
        bold.setBold(true);  // the default item
        exit_->setFont(bold);
        connect(exit_, &QAction::triggered, this, &TrayIcon::exitRequested);
        icon_ = std::make_unique<QSystemTrayIcon>(window_->windowIcon());
        icon_->setContextMenu(menu_.get());
        connect(icon_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger) emit restoreRequested();
        });
        icon_->show();
    } else if (!wanted && icon_ != nullptr) {
        icon_.reset();
        menu_.reset();
    }
    if (icon_ == nullptr) return;
    icon_->setToolTip(language.title());
    log_->setText(language.text("VIEW"));
    exit_->setText(language.text("EXIT"));
}

void TrayIcon::hide() {
    if (icon_ != nullptr) icon_->hide();
}

}  // namespace tolmark::manager
