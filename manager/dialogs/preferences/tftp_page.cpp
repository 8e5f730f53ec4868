#include <QFormLayout>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QVBoxLayout>

#include "manager/dialogs/preferences/preference_pages.h"

namespace tolmark::manager {

namespace {
constexpr int kDirectoryChars = 895;  // the block's root directory field, its NUL aside
constexpr int kPrefixChars = 767;

QString numberOrEmpty(std::int32_t n) { return n == 0 ? QString() : QString::number(n); }
}  // namespace

TftpPage::TftpPage(DialogContext& context, PreferenceBlocks& blocks, QWidget* parent)
    : ManagerPage(context, parent), blocks_(blocks) {
    enable_ = check("TFTP");
    port_ = edit("TFTPPORT", 5);
    port_->setAccessibleName(enable_->text());
    QLabel* dirLabel = text("TFTPDIR");
    // The block's fields hold bytes: a path of characters beyond ASCII takes more of them.
    dir_ = edit("TFTPDIR", kDirectoryChars);
    dir_->setValidator(new Utf8LimitValidator(kDirectoryChars, dir_));
    dirLabel->setBuddy(dir_);
    browse_ = browseButton(dir_, "DIR_TITLE");
    rootIp_ = check("ROOTIP");
    rootProfile_ = check("ROOTPROFILE");
    QLabel* prefixLabel = text("PREFIX");
    prefix_ = edit("PREFIX", kPrefixChars);
    prefix_->setValidator(new Utf8LimitValidator(kPrefixChars, prefix_));
    prefixLabel->setBuddy(prefix_);

    QGroupBox* operation = group("OPERATION");
    bootOnly_ = check("BOOTONLY");
    bootFile_ = check("BOOTFILE");
    bootMac_ = check("BOOTMAC");
    bootIp_ = check("BOOTIP");
    auto* opLayout = new QVBoxLayout(operation);
    for (QCheckBox* box : {bootOnly_, bootFile_, bootMac_, bootIp_}) opLayout->addWidget(box);
    // The two boot file restrictions exclude each other.
    connect(bootOnly_, &QCheckBox::clicked, this, [this](bool on) {
        if (on) bootFile_->setChecked(false);
    });
    connect(bootFile_, &QCheckBox::clicked, this, [this](bool on) {
        if (on) bootOnly_->setChecked(false);
    });

    QLabel* dataLabel = text("DATA");
    dataPort_ = edit("DATA", 5);
    dataLabel->setBuddy(dataPort_);
    QLabel* clientsLabel = text("CLIENTS");
    clients_ = edit("CLIENTS", 6);
    clientsLabel->setBuddy(clients_);
    windowSize_ = check("WSIZE");

    // Number fields as wide as their numbers, beside their labels.
    fitNumberField(port_, 5);
    fitNumberField(dataPort_, 5);
    fitNumberField(clients_, 6);
    auto* layout = new QVBoxLayout(this);
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(enable_);
    portRow->addWidget(port_);
    portRow->addStretch(1);
    layout->addLayout(portRow);
    layout->addWidget(dirLabel);
    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(dir_, 1);
    dirRow->addWidget(browse_);
    layout->addLayout(dirRow);
    layout->addWidget(rootIp_);
    layout->addWidget(rootProfile_);
    layout->addWidget(prefixLabel);
    layout->addWidget(prefix_);
    layout->addWidget(operation);
    auto* numbers = new QFormLayout;
    numbers->addRow(dataLabel, dataPort_);
    numbers->addRow(clientsLabel, clients_);
    layout->addLayout(numbers);
    layout->addWidget(windowSize_);
    layout->addStretch(1);

    dependents_ = {port_,   dirLabel,  dir_,      browse_,   rootIp_,      rootProfile_, prefixLabel,
                   prefix_, operation, dataLabel, dataPort_, clientsLabel, clients_,     windowSize_};
    connect(enable_, &QCheckBox::toggled, this, [this](bool on) {
        // The TFTP Options page follows the switch at once, applied or not.
        if (blocks_.tftp && initialised()) blocks_.tftp->enable = on ? 1 : 0;
        updateEnabling();
    });
}

void TftpPage::initialise() {
    if (const auto& t = blocks_.tftp) {
        enable_->setChecked(t->enable != 0);
        port_->setText(QString::number(t->port));
        dir_->setText(QString::fromStdString(t->directory));
        rootIp_->setChecked(t->rootIpSpecific != 0);
        rootProfile_->setChecked(t->rootProfile != 0);
        prefix_->setText(QString::fromStdString(t->prefix));
        bootOnly_->setChecked((t->mode & kTftpModeBootFileOnly) != 0);
        bootFile_->setChecked((t->mode & kTftpModeBootFileClient) != 0);
        bootMac_->setChecked((t->mode & kTftpModeKnownClient) != 0);
        bootIp_->setChecked((t->mode & kTftpModeManagedAddress) != 0);
        dataPort_->setText(numberOrEmpty(t->dataPort));
        clients_->setText(QString::number(t->clients));
        windowSize_->setChecked(t->windowSize != 0);
    }
    updateEnabling();
}

void TftpPage::updateEnabling() {
    const bool on = mayChange() && blocks_.tftp.has_value();
    enable_->setEnabled(on);
    for (QWidget* w : dependents_) w->setEnabled(on && enable_->isChecked());
}

void TftpPage::apply() {
    if (!mayChange() || !blocks_.tftp) return;
    TftpSettings& t = *blocks_.tftp;
    t.enable = enable_->isChecked() ? 1 : 0;
    blocks_.sendTftp = true;
    // Switched off, the server keeps every other TFTP value as it was.
    if (!enable_->isChecked()) return;
    t.port = tftpPortFromField(port_->text());
    t.mode = (bootOnly_->isChecked() ? kTftpModeBootFileOnly : 0) |
             (bootFile_->isChecked() ? kTftpModeBootFileClient : 0) |
             (bootMac_->isChecked() ? kTftpModeKnownClient : 0) | (bootIp_->isChecked() ? kTftpModeManagedAddress : 0);
    t.directory = dir_->text().toStdString();
    t.rootIpSpecific = rootIp_->isChecked() ? 1 : 0;
    t.rootProfile = rootProfile_->isChecked() ? 1 : 0;
    t.prefix = prefix_->text().toStdString();
    t.dataPort = dataPortFromField(dataPort_->text());
    t.clients = tftpClientsFromField(clients_->text());
    t.windowSize = windowSize_->isChecked() ? 1 : 0;
}

}  // namespace tolmark::manager
