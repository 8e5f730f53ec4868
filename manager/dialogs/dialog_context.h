#pragma once
// What every dialog of the manager needs from the program: the pipe worker, the texts, the
// user's preferences and rights, and a few calls back into the main window. Tests fill the calls
// with their own recorders; the main window fills them with its own members.

#include <QString>
#include <QValidator>
#include <QWidget>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "config/config_store.h"
#include "manager/desktop/desktop_services.h"
#include "manager/desktop/preferences.h"
#include "manager/language/language.h"
#include "manager/pipe/manager_pipe.h"
#include "manager/pipe/pipe_worker.h"

namespace tolmark::manager {

struct DialogContext {
    PipeWorker& worker;
    Language& language;
    UserPreferences& preferences;
    ManagerRights rights;
    std::string programDirectory;  // with a final "/"
    // The server's configuration file, for the one value the manager writes itself ("Directory",
    // the log directory); nullptr when the manager may not control the service.
    ConfigStore* serverConfig = nullptr;
    bool germanUser = false;

    // A settings, status or profile request that failed at the pipe shows so in the main window.
    std::function<void(PipeStatus)> notePipe = [](PipeStatus) {};
    // Menus, labels and status texts of the main window are built again (preferences, language,
    // profile names changed).
    std::function<void()> rebuildMenus = [] {};
    // The main window reads its lists again at the next tick (pending bit 0).
    std::function<void()> markListsChanged = [] {};
    // The profile editor on this name (a new profile when the server does not know it).
    std::function<void(const std::string&, QWidget*)> openProfileEditor = [](const std::string&, QWidget*) {};
};

// Shows that the program waits for the server: a busy cursor, and the OK and Apply buttons of the
// dialog in front disabled until the answer is there (the pipe worker's wait indicator).
void showWaiting(bool waiting);

// The text of a dialog control: the language file's "Control" value for the key, else the
// built-in English text.
QString controlLabel(const Language& language, const char* key);

// A message box captioned with the display title; returns when the user has closed it.
void showMessage(QWidget* parent, const Language& language, const QString& text);
// The message for a change the server did not take: the pipe failure text when it could not be
// reached, else the refusal text.
QString changeFailedText(const Language& language, PipeStatus status);

// The decimal number of a field, or nothing when it is empty or not wholly a number.
std::optional<std::int64_t> fieldNumber(const QString& text);

// Dotted address of a field: nothing for an empty text, 0 never comes from a non-empty one
// unless typed as 0.0.0.0; an unreadable text or trailing characters give no value at all.
struct FieldAddress {
    bool valid = false;
    Ipv4 address = 0;
};
FieldAddress readAddressField(const QString& text);
QString addressText(Ipv4 address);  // empty for 0

// Hexadecimal bytes written as a hardware address or a MAC range writes them: groups of one or
// two digits with one separator, ":" or "-", throughout. The number of groups, 0 for any other
// text (the parsers skip what they cannot read, and would store something else than typed).
std::size_t hexGroups(std::string_view text);
// The number of bytes the text form of a counted value stands for: its characters after a double
// quote, else its hexadecimal digits (after an optional "0x"), two to a byte. A parsed value
// shorter than that was cut to the room it has.
std::size_t typedValueBytes(std::string_view value);

// The server keeps names and texts in fields of a fixed number of bytes, and the manager sends
// them as UTF-8, where a character may take up to four. The text cut to whole characters whose
// UTF-8 form takes at most bytes.
QString withinUtf8(const QString& text, int bytes);

// A field that takes no more characters than its UTF-8 form fits into bytes.
class Utf8LimitValidator : public QValidator {
public:
    Utf8LimitValidator(int bytes, QObject* parent) : QValidator(parent), bytes_(bytes) {}
    State validate(QString& input, int&) const override;

private:
    int bytes_;
};

// A field whose text the server keeps and sends to clients in Latin-1 (a profile's boot file,
// domain, class and option texts): a character beyond it cannot be typed, rather than be
// stored as "?".
class Latin1Validator : public QValidator {
public:
    explicit Latin1Validator(QObject* parent) : QValidator(parent) {}
    State validate(QString& input, int&) const override;
};

}  // namespace tolmark::manager
