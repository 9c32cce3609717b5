#include "LinkExposure.h"

#include "Comm.h"

#include <algorithm>

#include <arpa/inet.h>

namespace Comm {

namespace {

// An IPv4 or IPv6 address as inet_pton takes it (no host names, no scope):
// what it is must not depend on a name server.
bool isLoopbackAddress(const QString &text, bool *valid)
{
    const QByteArray address = text.toLatin1();
    unsigned char bytes[16] = {};
    if (::inet_pton(AF_INET, address.constData(), bytes) == 1) {
        *valid = true;
        return bytes[0] == 127;
    }
    if (::inet_pton(AF_INET6, address.constData(), bytes) == 1) {
        *valid = true;
        static constexpr unsigned char Loopback[16]
            = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1 };
        static constexpr unsigned char MappedV4[12] = { 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff };
        return std::equal(bytes, bytes + 16, Loopback)
            || (std::equal(bytes, bytes + 12, MappedV4) && bytes[12] == 127);
    }
    *valid = false;
    return false;
}

QString keyPlace(const Settings &settings)
{
    return settings.linkKeyFile.isEmpty()
        ? QStringLiteral("設定ファイル %1 の LINKKEY").arg(settings.settingsFile())
        : QStringLiteral("鍵ファイル %1 の鍵").arg(settings.linkKeyFile);
}

} // namespace

bool readListen(const QString &text, QStringList *listen)
{
    const QString word = text.trimmed().toLower();
    if (word == QLatin1String(ListenAny) || word == QLatin1String(ListenLoopback)) {
        *listen = { word };
        return true;
    }
    QStringList addresses;
    for (const QString &part : text.split(u',')) {
        const QString address = part.trimmed();
        bool valid = false;
        isLoopbackAddress(address, &valid);
        if (!valid)
            return false;
        addresses.append(address);
    }
    *listen = addresses;
    return true;
}

QStringList effectiveListen(const Settings &settings)
{
    if (!settings.listen.isEmpty())
        return settings.listen;
    return { QLatin1String(settings.linkKey.isEmpty() ? ListenLoopback : ListenAny) };
}

bool beyondLoopback(const QStringList &listen)
{
    for (const QString &entry : listen) {
        bool valid = false;
        if (entry == QLatin1String(ListenAny)
            || (entry != QLatin1String(ListenLoopback) && !isLoopbackAddress(entry, &valid)))
            return true;
    }
    return false;
}

bool checkExposure(const Settings &settings, QString *error)
{
    const QStringList listen = effectiveListen(settings);
    if (!settings.linkKey.isEmpty() || settings.insecureListen || !beyondLoopback(listen))
        return true;
    *error = QStringLiteral(
                 "設定ファイル %1: リンク鍵のないステーションは LISTEN=%2 で待ち受けません。"
                 "鍵がなければ、端末との通信はほかの機械から読むことも偽ることもできます。"
                 "リンク鍵を作る（tarvinex key new）か、承知のうえで INSECURE_LISTEN=yes "
                 "としてください")
                 .arg(settings.settingsFile(), listen.join(u','));
    return false;
}

QStringList exposureWarnings(const Settings &settings)
{
    QStringList warnings;
    const QString file = settings.settingsFile();
    if (settings.linkKey.isEmpty()) {
        const QStringList listen = effectiveListen(settings);
        if (beyondLoopback(listen))
            warnings.append(
                QStringLiteral(
                    "設定ファイル %1: INSECURE_LISTEN=yes のため、リンク鍵なしで "
                    "LISTEN=%2 から待ち受けます。端末との通信は暗号化も認証もされません。"
                    "リンク鍵を作ってください（tarvinex key new）")
                    .arg(file, listen.join(u',')));
        return warnings;
    }
    if (settings.acceptV1)
        warnings.append(QStringLiteral("設定ファイル %1: LINKV1 が yes（書かれていなければ yes）"
                                       "のため、鍵を使わない版 1 の端末も受け付けます。すべての"
                                       "端末が鍵を持ったら LINKV1=no としてください")
                            .arg(file));
    const qsizetype characters = QString::fromUtf8(settings.linkKey).toUcs4().size();
    if (characters < ShortKeyCharacters)
        warnings.append(QStringLiteral("%1は %2 文字しかありません。%3 文字より短い鍵は、"
                                       "通信を記録した者が手元で当てられます。"
                                       "tarvinex key new で新しい鍵を作ってください")
                            .arg(keyPlace(settings))
                            .arg(characters)
                            .arg(ShortKeyCharacters));
    return warnings;
}

} // namespace Comm
