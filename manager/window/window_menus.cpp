#include "manager/window/window_menus.h"

#include "manager/pipe/server_text.h"

namespace tolmark::manager {

namespace {
constexpr const char* kViewMenuKeys[kViewCount] = {"STATIC", "DYNAMIC", "IGNORED", "TFTP"};
}

WindowMenus::WindowMenus(QMenuBar* bar, bool mayControlService, QObject* parent) : QObject(parent) {
    file_ = bar->addMenu(QString());
    service_ = file_->addMenu(QString());
    add(service_, &actions_.start, TextSection::Menu, "START");
    add(service_, &actions_.stop, TextSection::Menu, "STOP");
    add(file_, &actions_.log, TextSection::Menu, "LOG");
    file_->addSeparator();
    add(file_, &actions_.exit, TextSection::Menu, "EXIT");
    service_->menuAction()->setVisible(mayControlService);

    options_ = bar->addMenu(QString());
    add(options_, &actions_.preferences, TextSection::Menu, "MENU");
    add(options_, &actions_.addStatic, TextSection::Menu, "ADDSTATIC");
    add(options_, &actions_.profiles, TextSection::Menu, "MODIFY");
    profileSeparator_ = options_->addSeparator();

    window_ = bar->addMenu(QString());
    for (int v = 0; v < kViewCount; ++v) {
        add(window_, &actions_.views[static_cast<std::size_t>(v)], TextSection::Menu, kViewMenuKeys[v])
            ->setCheckable(true);
    }
    window_->addSeparator();
    add(window_, &actions_.names, TextSection::Menu, "NAMES")->setCheckable(true);
    add(window_, &actions_.remarks, TextSection::Menu, "REMARKS")->setCheckable(true);
    add(window_, &actions_.refresh, TextSection::Menu, "REFRESH")->setCheckable(true);

    help_ = bar->addMenu(QString());
    add(help_, &actions_.contents, TextSection::Menu, "CONTENTS");
    help_->addSeparator();
    add(help_, &actions_.about, TextSection::Menu, "ABOUT");

    contextMenu_ = new QMenu(bar->window());
    add(nullptr, &actions_.modify, TextSection::Strings, "MODIFY");
    add(nullptr, &actions_.copy, TextSection::Strings, "COPY");
    add(nullptr, &actions_.move, TextSection::Strings, "MOVE");
    add(nullptr, &actions_.remove, TextSection::Strings, "REMOVE");
}

QAction* WindowMenus::add(QMenu* menu, QAction** slot, TextSection section, const char* key) {
    auto* a = new QAction(this);
    if (menu != nullptr) menu->addAction(a);
    *slot = a;
    labels_.push_back({a, section, key});
    return a;
}

void WindowMenus::retranslate(const Language& language) {
    file_->setTitle(language.menuText("FILE"));
    service_->setTitle(language.menuText("SERVICE"));
    options_->setTitle(language.menuText("OPTIONS"));
    window_->setTitle(language.menuText("WINDOW"));
    help_->setTitle(language.menuText("HELP"));
    for (const Labelled& l : labels_)
        l.action->setText(l.section == TextSection::Menu ? language.menuText(l.key) : language.text(l.key));
}

void WindowMenus::setProfiles(const std::vector<std::string>& names, bool show) {
    for (QAction* a : profileItems_) delete a;
    profileItems_.clear();
    profileSeparator_->setVisible(show && !names.empty());
    if (!show) return;
    for (std::size_t index = 0; index < names.size(); ++index) {
        // A name is shown whole: an "&" in it is no mnemonic.
        QAction* a = options_->addAction(decodeServerText(names[index]).replace(u'&', QStringLiteral("&&")));
        connect(a, &QAction::triggered, this, [this, index] { emit profileChosen(static_cast<int>(index)); });
        profileItems_.push_back(a);
    }
}

void WindowMenus::fillContextMenu(View view, bool mayChange) {
    contextMenu_->clear();
    if (!mayChange || view == View::Tftp) return;
    contextMenu_->addAction(view == View::Static    ? actions_.modify
                            : view == View::Dynamic ? actions_.copy
                                                    : actions_.move);
    contextMenu_->addAction(actions_.remove);
}

}  // namespace tolmark::manager
