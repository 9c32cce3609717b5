// The settings file is typed by hand on a shop's PC. Whatever it holds, the
// parser either refuses it with a message or gives settings whose folder
// paths follow the layout's rule, and reading the same text twice agrees.
#include "base/Comm.h"
#include "base/Cp932.h"
#include "base/SettingsParser.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text
        = Cp932::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    Comm::Settings settings;
    settings.stationDir = QStringLiteral("/srv/station");
    QString error;
    if (!Comm::parseSettings(text, &settings, &error)) {
        if (error.isEmpty())
            abort(); // a refusal the operator would not understand
        return 0;
    }
    if (!settings.DataRoot.isEmpty() && !settings.DataRoot.endsWith(u'/'))
        abort();
    if (settings.importDir.isEmpty()
        || (settings.importDir.endsWith(u'/') && settings.importDir != QLatin1String("/")))
        abort();
    if (settings.importDb.isEmpty() || settings.port == 0 || settings.maxFile <= 0)
        abort();
    for (const Comm::Lookalike &lookalike : std::as_const(settings.lookalikes)) {
        if (lookalike.written.isEmpty() || lookalike.written.contains(u'=')
            || lookalike.written.contains(u'\n') || lookalike.line <= 0)
            abort();
    }
    if (settings.warnings.size() != settings.lookalikes.size())
        abort();

    Comm::Settings again;
    again.stationDir = settings.stationDir;
    QString againError;
    if (!Comm::parseSettings(text, &again, &againError) || again.warnings != settings.warnings
        || again.DataRoot != settings.DataRoot || again.importDir != settings.importDir
        || again.importDb != settings.importDb || again.port != settings.port
        || again.maxFile != settings.maxFile || again.linkKey != settings.linkKey
        || again.linkKeyFile != settings.linkKeyFile || again.unit != settings.unit)
        abort();
    return 0;
}
