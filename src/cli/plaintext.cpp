#include "cli/plaintext.h"

#include <QRegularExpression>

namespace {

QString decodeEntity(const QString &entity)
{
    if (entity.startsWith(QLatin1Char('#'))) {
        const bool hex = entity.size() > 1 &&
                         (entity.at(1) == QLatin1Char('x') || entity.at(1) == QLatin1Char('X'));
        bool ok = false;
        const uint code = entity.mid(hex ? 2 : 1).toUInt(&ok, hex ? 16 : 10);
        if (ok && code > 0 && code <= 0x10FFFF && (code < 0xD800 || code > 0xDFFF)) {
            const char32_t character = code;
            return QString::fromUcs4(&character, 1);
        }
        return QString();
    }
    static const struct
    {
        const char *name;
        char16_t character;
    } named[] = {{"lt", u'<'},   {"gt", u'>'},    {"amp", u'&'},
                 {"quot", u'"'}, {"apos", u'\''}, {"nbsp", u' '}};
    for (const auto &entry : named) {
        if (entity == QLatin1String(entry.name))
            return QString(QChar(entry.character));
    }
    return QString();
}

} // namespace

QString plainText(const QString &html)
{
    static const QRegularExpression lineBreak(QStringLiteral("<br\\s*/?>"),
                                              QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression tag(QStringLiteral("<[^>]*>"));
    static const QRegularExpression entity(QStringLiteral("&(#[0-9]+|#[xX][0-9a-fA-F]+|[a-z]+);"));

    QString text = html;
    text.replace(lineBreak, QStringLiteral("\n"));
    text.remove(tag);

    QString result;
    qsizetype done = 0;
    auto matches = entity.globalMatch(text);
    while (matches.hasNext()) {
        const QRegularExpressionMatch match = matches.next();
        const QString decoded = decodeEntity(match.captured(1));
        // An unknown entity stays as written.
        if (decoded.isNull())
            continue;
        result += QStringView(text).mid(done, match.capturedStart() - done);
        result += decoded;
        done = match.capturedEnd();
    }
    result += QStringView(text).mid(done);
    return result;
}
