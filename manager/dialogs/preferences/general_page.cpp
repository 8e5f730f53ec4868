#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "manager/dialogs/preferences/preference_pages.h"

namespace tolmark::manager {

namespace {
constexpr std::int32_t kSaveLastAccess = 1;  // bit 0 of "UpdateEthers"
constexpr const char* kDirectoryKey = "Directory";
// The server reads this many bytes of "Directory": a longer path would put the logs into the
// directory its first bytes name.
constexpr int kDirectoryBytes = 895;
}  // namespace

GeneralPage::GeneralPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent)
    : ManagerPage(context, parent), blocks_(blocks) {
    grid_ = check("GRIDLINES");
    addProfiles_ = check("ADDPROF");
    dash_ = check("SHOWDASH");
    string_ = check("SHOWSTRING");
    update_ = check("UPDATE");

    QGroupBox* logGroup = group("PROTOCOL");
    log_ = check("LOG");
    logAll_ = check("LOGALL");
    QLabel* newLog = text("NEWLOG");
    daily_ = radio("DAILY");
    monthly_ = radio("MONTHLY");
    auto* logLayout = new QGridLayout(logGroup);
    logLayout->addWidget(log_, 0, 0);
    logLayout->addWidget(logAll_, 0, 1);
    logLayout->addWidget(newLog, 1, 0);
    auto* period = new QHBoxLayout;
    period->addWidget(daily_);
    period->addWidget(monthly_);
    logLayout->addLayout(period, 1, 1);
    connect(log_, &QCheckBox::toggled, this, &GeneralPage::updateEnabling);

    QGroupBox* tftpGroup = group("TFTPSTATUS");
    percent_ = check("PERCENT");
    (new QVBoxLayout(tftpGroup))->addWidget(percent_);

    dirLabel_ = text("DIR");
    dir_ = edit("DIR", kDirectoryBytes);
    dir_->setValidator(new Utf8LimitValidator(kDirectoryBytes, dir_));
    dirLabel_->setBuddy(dir_);
    browse_ = browseButton(dir_, "LOG_TITLE");
    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(dirLabel_);
    dirRow->addWidget(dir_, 1);
    dirRow->addWidget(browse_);

    auto* layout = new QVBoxLayout(this);
    for (QWidget* w : std::initializer_list<QWidget*>{grid_, addProfiles_, dash_, string_, update_})
        layout->addWidget(w);
    layout->addWidget(logGroup);
    layout->addWidget(tftpGroup);
    layout->addLayout(dirRow);
    layout->addStretch(1);
}

void GeneralPage::initialise() {
    const UserPreferences& p = context_.preferences;
    grid_->setChecked(p.flag(pref::kGridlines));
    addProfiles_->setChecked(p.flag(pref::kAddProfiles));
    dash_->setChecked(p.flag(pref::kShowDash));
    string_->setChecked(p.flag(pref::kShowString));
    percent_->setChecked(p.flag(pref::kPercent));
    if (const auto& g = blocks_.general) {
        update_->setChecked((g->updateEthers & kSaveLastAccess) != 0);
        // As the server reads them: no log at 0 or below, all details from 2 on, daily files
        // for every "CreateLog" but 0.
        log_->setChecked(g->log > 0);
        logAll_->setChecked(g->log >= 2);
        (g->createLog != 0 ? daily_ : monthly_)->setChecked(true);
    }
    // The log directory lives in the server's own file, which only the service's owner writes.
    const bool showDirectory = context_.rights.mayControlService && context_.serverConfig != nullptr;
    for (QWidget* w : std::initializer_list<QWidget*>{dirLabel_, dir_, browse_}) w->setVisible(showDirectory);
    if (showDirectory) {
        dir_->setText(QString::fromStdString(context_.serverConfig->readText(
            kGeneralSection, kDirectoryKey, context_.programDirectory, kMaxIniPath + 1)));
    }
    updateEnabling();
}

void GeneralPage::updateEnabling() {
    const bool server = mayChange() && blocks_.general.has_value();
    update_->setEnabled(server);
    log_->setEnabled(server);
    for (QWidget* w : std::initializer_list<QWidget*>{logAll_, daily_, monthly_})
        w->setEnabled(server && log_->isChecked());
}

void GeneralPage::apply() {
    UserPreferences& p = context_.preferences;
    p.write(pref::kGridlines, grid_->isChecked() ? 1 : 0);
    p.write(pref::kAddProfiles, addProfiles_->isChecked() ? 1 : 0);
    p.write(pref::kShowDash, dash_->isChecked() ? 1 : 0);
    p.write(pref::kShowString, string_->isChecked() ? 1 : 0);
    p.write(pref::kPercent, percent_->isChecked() ? 1 : 0);
    if (context_.rights.mayControlService && context_.serverConfig != nullptr) {
        const std::optional<std::string> value = directoryValue(dir_->text(), context_.programDirectory);
        blocks_.directoryLost = !context_.serverConfig->writeText(
            kGeneralSection, kDirectoryKey, value ? std::optional<std::string_view>(*value) : std::nullopt);
    }
    if (!mayChange() || !blocks_.general) return;  // the display values are the viewer's own
    GeneralSettings& g = *blocks_.general;
    g.updateEthers = withBit(g.updateEthers, kSaveLastAccess, update_->isChecked());
    g.log = logLevelFor(log_->isChecked(), logAll_->isChecked(), g.log);
    g.createLog = keptFlag(daily_->isChecked(), g.createLog);
    blocks_.sendGeneral = true;
}

}  // namespace tolmark::manager
