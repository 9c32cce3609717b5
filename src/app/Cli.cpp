#include "Cli.h"

#include "StationInit.h"

#include <QCoreApplication>

namespace Cli {

void print(FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

QString helpText()
{
    return QStringLiteral(
        "Usage: tarvinex [--station-dir DIR]\n"
        "       tarvinex COMMAND [ARGUMENTS]\n"
        "\n"
        "Without a command the station starts with its main window.\n"
        "\n"
        "Commands:\n"
        "  init DIR     lay out a new station folder: settings, data folders, databases\n"
        "  scan         apply the master files waiting in the receive folders now\n"
        "\n"
        "Options:\n"
        "  --station-dir DIR  the station folder (default: the folder of the program)\n"
        "  --help             show this text\n"
        "\n"
        "Exit status: 0 done, 1 failed, 2 usage or settings error.");
}

QString stationDir(const QString &option)
{
    return option.isEmpty() ? QCoreApplication::applicationDirPath() : option;
}

int init(const QStringList &arguments)
{
    if (arguments.size() != 1 || arguments.first().startsWith(u'-')) {
        print(stderr, QStringLiteral("usage: tarvinex init DIR"));
        return 2;
    }
    QString message;
    switch (StationInit::run(arguments.first(), &message)) {
    case StationInit::Result::Created:
        print(stdout, message);
        return 0;
    case StationInit::Result::Refused:
        print(stderr, message);
        return 2;
    case StationInit::Result::Failed:
        break;
    }
    print(stderr, message);
    return 1;
}

} // namespace Cli
