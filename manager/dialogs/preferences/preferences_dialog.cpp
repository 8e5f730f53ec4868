#include "manager/dialogs/preferences/preferences_dialog.h"

#include "manager/dialogs/preferences/preference_pages.h"
#include "manager/dialogs/preferences/preference_rules.h"

namespace tolmark::manager {

PreferenceBlocks PreferenceBlocks::fetch(ManagerPipe& pipe) {
    PreferenceBlocks b;
    PipeResult<GeneralSettings> general = pipe.getSettings();
    // A server that does not answer is asked nothing more: each further request would wait out
    // the time-out again.
    if (general.failed()) return b;
    if (general.ok()) b.general = general.value;
    PipeResult<ServerStatus> status = pipe.getStatus(-1);
    if (status.ok()) b.status = status.value;
    PipeResult<TftpSettings> tftp = pipe.getTftpSettings();
    if (tftp.ok()) b.tftp = std::move(tftp.value);
    PipeResult<MulticastSettings> multicast = pipe.getMulticast();
    if (multicast.ok()) b.multicast = multicast.value;
    b.generalRead = b.general;
    b.statusRead = b.status;
    b.tftpRead = b.tftp;
    b.multicastRead = b.multicast;
    return b;
}

PreferencesDialog::PreferencesDialog(DialogContext& context, QWidget* parent)
    : PropertySheet(parent), context_(context) {
    setObjectName(QStringLiteral("Preferences"));
    const Language& l = context.language;
    setWindowTitle(l.text("PREFERENCES"));
    blocks_ = context.worker.call([](ManagerPipe& pipe) { return PreferenceBlocks::fetch(pipe); });
    // A page whose block could not be fetched shows its controls disabled and sends nothing.
    if (!blocks_.general || !blocks_.status || !blocks_.tftp || !blocks_.multicast)
        context.notePipe(PipeStatus::Failed);
    relabelButtons(l);
    addPage(new GeneralPage(context, blocks_), l, "General", "General");
    interfaces_ = new InterfacesPage(context, blocks_);
    addPage(interfaces_, l, "Interface", "Interfaces");
    addPage(new DhcpPage(context, blocks_), l, "DHCP", "DHCP");
    addPage(new TftpPage(context, blocks_), l, "TFTP", "TFTP");
    addPage(new TftpOptionsPage(context, blocks_), l, "Options", "TFTP Options");
    addPage(new LanguagePage(context, blocks_), l, "Language", "Language");
    prepare();
}

bool PreferencesDialog::commit(const std::vector<SheetPage*>&) {
    struct Sent {
        PipeStatus status = PipeStatus::Done;
        // The interface table as the server held it when the page's changes, made over it,
        // would have left no interface served; nothing was sent.
        std::optional<ServerStatus> servesNone;
    };
    const PreferenceBlocks& b = blocks_;
    // Each block once, in this order; the first one the server does not take stops the rest.
    const Sent sent = context_.worker.call([b](ManagerPipe& pipe) {
        Sent s;
        // The interface table is read before anything is sent: another manager may have turned
        // off the interfaces this page left on, and the two changes together would leave the
        // server deaf with neither administrator told.
        std::optional<ServerStatus> interfaces;
        if (b.sendInterfaces && b.status && b.statusRead) {
            PipeResult<ServerStatus> current = pipe.getStatus(-1);
            if (!current.ok()) return Sent{.status = current.status, .servesNone = std::nullopt};
            interfaces = interfacesToSend(*b.status, *b.statusRead, current.value);
            if (!servesAnInterface(*interfaces)) return Sent{.status = PipeStatus::Done, .servesNone = current.value};
        }
        if (b.sendGeneral && b.general) {
            const PipeResult<GeneralSettings> current = pipe.getSettings();
            s.status = current.ok() ? pipe.setSettings(generalToSend(*b.general, *b.generalRead, current.value))
                                    : current.status;
        }
        if (s.status == PipeStatus::Done && interfaces) s.status = pipe.setInterfaces(*interfaces);
        if (s.status == PipeStatus::Done && b.sendTftp && b.tftp) {
            const PipeResult<TftpSettings> current = pipe.getTftpSettings();
            s.status =
                current.ok() ? pipe.setTftpSettings(tftpToSend(*b.tftp, *b.tftpRead, current.value)) : current.status;
        }
        if (s.status == PipeStatus::Done && b.sendMulticast && b.multicast) {
            const PipeResult<MulticastSettings> current = pipe.getMulticast();
            s.status = current.ok() ? pipe.setMulticast(multicastToSend(*b.multicast, *b.multicastRead, current.value))
                                    : current.status;
        }
        return s;
    });
    // Display values and the language changed already: the main window shows them either way.
    context_.rebuildMenus();
    blocks_.languageChanged = false;
    if (sent.servesNone) {
        // The page shows the table as the server holds it, with this page's changes made over
        // it, and the administrator chooses again.
        blocks_.status = interfacesToSend(*blocks_.status, *blocks_.statusRead, *sent.servesNone);
        blocks_.statusRead = sent.servesNone;
        interfaces_->showRows();
        tabs()->setCurrentWidget(interfaces_);
        showMessage(this, context_.language, context_.language.text("NO_INTERFACE_LEFT"));
        return false;
    }
    if (sent.status != PipeStatus::Done) {
        context_.notePipe(sent.status);
        showMessage(this, context_.language, changeFailedText(context_.language, sent.status));
        return false;
    }
    blocks_.sendGeneral = blocks_.sendInterfaces = blocks_.sendTftp = blocks_.sendMulticast = false;
    blocks_.generalRead = blocks_.general;
    blocks_.statusRead = blocks_.status;
    blocks_.tftpRead = blocks_.tftp;
    blocks_.multicastRead = blocks_.multicast;
    if (blocks_.directoryLost) {
        showMessage(this, context_.language, context_.language.text("DIR_FAILED"));
        return false;
    }
    return true;
}

}  // namespace tolmark::manager
