#include "manager/pipe/server_text.h"

#include <QStringDecoder>

#include <cstdio>

namespace tolmark::manager {

QString decodeServerText(std::string_view bytes) {
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    // Not stateless: a sequence cut off at the end stays in the decoder instead of being an error.
    QStringDecoder utf8(QStringDecoder::Utf8);
    QString text = utf8(view);
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(view);
}

QString shownServerText(std::string_view bytes) {
    const QString text = decodeServerText(bytes);
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const unsigned u = c.unicode();
        char escaped[8];
        if (c.category() == QChar::Other_Control) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
        } else if (u == 0x2028 || u == 0x2029) {
            std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
        } else {
            shown += c;
            continue;
        }
        shown += QLatin1String(escaped);
    }
    return shown;
}

QString plainToolTip(const QString& text) {
    if (text.isEmpty()) return {};
    return QStringLiteral("<p style=\"white-space:pre-wrap\">") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

}  // namespace tolmark::manager
