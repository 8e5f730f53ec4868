#pragma once
// Texts that reach the manager as bytes: host names and classes that clients sent, names and
// remarks from the client files, paths clients asked for, and log lines. The server keeps them
// as it got them, in no promised code page: the manager itself sends UTF-8, a Windows client
// or an old file may bring Latin-1. Bytes that are UTF-8 are read as UTF-8, all others as
// Latin-1, where every byte is a letter, so that "Müller" reads as "Müller" either way and no
// byte turns into a replacement character that a Modify would store back.

#include <QString>

#include <string_view>

namespace tolmark::manager {

// The text the bytes hold. A UTF-8 sequence cut off at the very end (a name cut to its field's
// size by the byte) is dropped rather than turning the whole name into Latin-1.
QString decodeServerText(std::string_view bytes);

// The same for showing in a list cell or a log row: a control character (a newline would break
// the row into lines, an escape would reach a screen reader) is written as "\xNN", the form the
// server's log writes it in, and a line or paragraph separator as "\uNNNN".
QString shownServerText(std::string_view bytes);

// A tool tip that shows the text as written. Qt takes a tip that may be markup for markup (a
// client named "<h1>pc" would set the tip in a heading), so every tip is markup holding the text
// escaped, with its blanks kept.
QString plainToolTip(const QString& text);

}  // namespace tolmark::manager
