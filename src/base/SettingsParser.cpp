#include "SettingsParser.h"

#include "Comm.h"
#include "FixedWidth.h"
#include "LinkExposure.h"
#include "LookalikeKey.h"
#include "TextFile.h"

#include <QDir>

#include <array>
#include <limits>
#include <optional>

namespace Comm {

namespace {

QString fromStation(const Settings &settings, const QString &path)
{
    if (settings.stationDir.isEmpty() || QDir::isAbsolutePath(path))
        return path;
    return QDir::cleanPath(QDir(settings.stationDir).filePath(path));
}

// Only a database file is taken from the station folder.
QString databaseFrom(const Settings &settings, const QString &value)
{
    // A misspelt URI is kept as written, for the database's check to name
    // with a hint; taken as a path it would only be "missing".
    if (isServerUri(value) || !uriSchemeHint(value).isEmpty())
        return value;
    return fromStation(settings, value);
}

// A whole number from low to high.
template<typename Number>
bool readNumber(const QString &text, qint64 low, qint64 high, Number *number)
{
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < low || value > high)
        return false;
    *number = Number(value);
    return true;
}

// A count of bytes, plain or in binary units (K, M, G), as administrators
// think of free space: "512M".
bool readBytes(const QString &text, qint64 *bytes)
{
    static const QString units = QStringLiteral("KMG");
    const qsizetype unit = text.isEmpty() ? -1 : units.indexOf(text.back());
    qint64 scale = 1;
    if (unit >= 0)
        scale = qint64(1) << (10 * (unit + 1));
    qint64 count = 0;
    const qint64 high = std::numeric_limits<qint64>::max() / scale;
    if (!readNumber(unit >= 0 ? text.chopped(1) : text, 0, high, &count))
        return false;
    *bytes = count * scale;
    return true;
}

constexpr const char *YesNoValues = "yes または no";

// Letter case aside, as an administrator may write either.
bool readYesNo(const QString &text, bool *value)
{
    for (const bool answer : { true, false }) {
        if (text.compare(QLatin1String(answer ? "yes" : "no"), Qt::CaseInsensitive) == 0) {
            *value = answer;
            return true;
        }
    }
    return false;
}

// One key of the file: its name, what it accepts (for the message refusing a
// value; nullptr when any text will do) and where its value goes (false when
// the value is not accepted). A new setting is one more row.
struct Key
{
    const char *name;
    const char *accepted;
    bool (*take)(const QString &value, Settings *settings);
};

// clang-format off
const std::array<Key, 15> Keys { {
    { "DBname", nullptr, [](const QString &v, Settings *s) {
          s->DbPath = databaseFrom(*s, v);
          return true;
      } },
    // Terminal IDs and "backup/" are appended straight to the root, so it
    // ends with a separator; a root of /srv/ht means /srv/ht/.
    { "DATA", nullptr, [](const QString &v, Settings *s) {
          s->DataRoot = fromStation(*s, v);
          if (!s->DataRoot.endsWith(u'/'))
              s->DataRoot += u'/';
          return true;
      } },
    { "PORT", PortValues, [](const QString &v, Settings *s) {
          return readPort(v, &s->port);
      } },
    { "IMPORTDB", nullptr, [](const QString &v, Settings *s) {
          s->importDb = databaseFrom(*s, v);
          return true;
      } },
    { "IMPORTDIR", nullptr, [](const QString &v, Settings *s) {
          s->importDir = QDir::cleanPath(fromStation(*s, v));
          return true;
      } },
    { "UNIT", nullptr, [](const QString &v, Settings *s) {
          s->unit = v;
          return true;
      } },
    { "MAXFILE", "バイト数、1 以上の整数", [](const QString &v, Settings *s) {
          return readNumber(v, 1, std::numeric_limits<qint64>::max(), &s->maxFile);
      } },
    { "MINFREE", "バイト数、0 以上の整数（K・M・G を付けると KiB・MiB・GiB）、0 は確かめない",
      [](const QString &v, Settings *s) { return readBytes(v, &s->minFree); } },
    { "LINKKEY", nullptr, [](const QString &v, Settings *s) {
          s->linkKey = v.toUtf8();
          return true;
      } },
    { "LINKKEYFILE", nullptr, [](const QString &v, Settings *s) {
          s->linkKeyFile = fromStation(*s, v);
          return true;
      } },
    { "LISTEN", ListenValues, [](const QString &v, Settings *s) {
          return readListen(v, &s->listen);
      } },
    { "INSECURE_LISTEN", YesNoValues, [](const QString &v, Settings *s) {
          return readYesNo(v, &s->insecureListen);
      } },
    { "LINKV1", YesNoValues, [](const QString &v, Settings *s) {
          return readYesNo(v, &s->acceptV1);
      } },
    // Letter case aside, as for yes and no.
    { "NOTICES", "box または log", [](const QString &v, Settings *s) {
          const bool log = v.compare(QLatin1String("log"), Qt::CaseInsensitive) == 0;
          if (!log && v.compare(QLatin1String("box"), Qt::CaseInsensitive) != 0)
              return false;
          s->notices = log ? Settings::Notices::Log : Settings::Notices::Box;
          return true;
      } },
    { "LOGDAYS", "0〜36500 の整数、0 はすべての日を残す", [](const QString &v, Settings *s) {
          return readNumber(v, 0, 36500, &s->logDays);
      } },
} };
// clang-format on

QStringList keyNames()
{
    QStringList names;
    for (const Key &key : Keys)
        names.append(QLatin1String(key.name));
    return names;
}

// A key's last value in the file, and its line.
struct Given
{
    QString value;
    int line = 0;
};

} // namespace

bool parseSettings(const QString &text, Settings *settings, QString *error)
{
    std::array<std::optional<Given>, Keys.size()> given;
    const QStringList known = keyNames();
    const QStringList lines = TextFile::splitLines(text);
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        const qsizetype p = line.indexOf(u'=');
        if (p < 0)
            continue;
        const QString key = FixedWidth::trim(line.left(p));
        if (key.isEmpty())
            continue;
        const int number = int(i + 1);
        if (const qsizetype k = known.indexOf(key); k >= 0) {
            given[k] = Given { FixedWidth::trim(line.mid(p + 1)), number };
            continue;
        }
        const QString meant = lookalikeKey(key, known);
        if (meant.isEmpty())
            continue;
        settings->lookalikes.append({ key, meant, number });
        settings->warnings.append(
            QStringLiteral(
                "%1 行目: %2 という設定はありません（%3 のつもりですか）。この行は使われません")
                .arg(number)
                .arg(key, meant));
    }

    for (size_t k = 0; k < Keys.size(); ++k) {
        if (!given[k] || given[k]->value.isEmpty())
            continue;
        const Key &key = Keys[k];
        if (!key.take(given[k]->value, settings)) {
            *error = QStringLiteral("%1 行目: %2 の値が正しくありません: %3（%4）")
                         .arg(given[k]->line)
                         .arg(QLatin1String(key.name),
                              given[k]->value,
                              QString::fromUtf8(key.accepted));
            return false;
        }
    }

    const StationLayout layout = settings->layout();
    if (settings->importDb.isEmpty())
        settings->importDb = layout.defaultMaintenanceDatabase();
    if (settings->importDir.isEmpty())
        settings->importDir = layout.defaultImportFolder();
    return true;
}

} // namespace Comm
