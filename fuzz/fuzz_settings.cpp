// The settings file is typed by hand on a shop's PC. Whatever it holds, the
// parser either refuses it with a message or gives settings whose folder
// paths can be appended to, and reading the same text twice agrees.
#include "base/Comm.h"
#include "base/TextFile.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text
        = TextFile::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
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
    if (settings.importDir.isEmpty() || !settings.importDir.endsWith(u'/'))
        abort();
    if (settings.importDb.isEmpty() || settings.port == 0)
        abort();
    for (auto it = settings.values.cbegin(); it != settings.values.cend(); ++it) {
        if (it.key().isEmpty() || it.key().contains(u'=') || it.key().contains(u'\n'))
            abort();
    }

    Comm::Settings again;
    again.stationDir = settings.stationDir;
    QString againError;
    if (!Comm::parseSettings(text, &again, &againError) || again.values != settings.values
        || again.DataRoot != settings.DataRoot || again.importDir != settings.importDir
        || again.importDb != settings.importDb || again.port != settings.port)
        abort();
    return 0;
}
