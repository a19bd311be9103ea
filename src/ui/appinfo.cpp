#include "appinfo.h"

#include "quorbelversion.h"

#include <QCommandLineParser>
#include <QtGlobal>

#include <rapidjson/rapidjson.h>

#include <sndfile.h>
#ifdef QUORBEL_PULSE
#    include <pulse/version.h>
#endif

using namespace Qt::Literals::StringLiterals;

namespace AppInfo {

namespace {

constexpr auto usage = R"(Usage: quorbel [--help] [--version] [PATH]

%1

  PATH           Open this instead of the session opened last: a session folder or
                 its session.json, or a script file (.txt, .csv or .json) to import.
  -h, --help     Show this text.
  -v, --version  Show the version.

See quorbel(1) for the files and the environment, and quorbel-cli for the same
operations without the window.
)";

} // namespace

QString version()
{
    return QStringLiteral(QUORBEL_VERSION);
}

QString description()
{
    return u"Records a script's lines one take at a time and exports the best take of each."_s;
}

QStringList libraries()
{
    // sndfile says "libsndfile-1.2.0".
    QStringList names {u"Qt "_s + QString::fromLatin1(qVersion()),
        QString::fromLatin1(sf_version_string()).replace(u'-', u' ')};
#ifdef QUORBEL_PULSE
    names.append(u"libpulse "_s + QString::fromLatin1(pa_get_library_version()));
#endif
    // Compiled in: it is read from headers alone.
    names.append(u"RapidJSON "_s + QStringLiteral(RAPIDJSON_VERSION_STRING));
    return names;
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // "-reverse", one of Qt's own options, is one word, not -r -e -v -e -r -s -e.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList {u"h"_s, u"help"_s});
    const QCommandLineOption showVersion(QStringList {u"v"_s, u"version"_s});
    parser.addOptions({help, showVersion});
    const bool parsed = parser.parse(arguments);
    const QString usageText = QString::fromUtf8(usage).arg(description());
    if (parser.isSet(help))
        return {0, usageText, {}};
    if (parser.isSet(showVersion))
        return {0, u"quorbel "_s + version() + u'\n', {}};

    const QStringList paths = parser.positionalArguments();
    QString mistake = parsed ? QString() : parser.errorText();
    if (mistake.isEmpty() && paths.size() > 1)
        mistake = u"Only one PATH can be opened; %1 were given."_s.arg(paths.size());
    else if (mistake.isEmpty() && paths.size() == 1 && paths.first().isEmpty())
        mistake = u"The PATH is empty."_s;
    if (!mistake.isEmpty())
        return {2, mistake + u'\n' + usageText, {}};
    return {std::nullopt, {}, paths.value(0)};
}

} // namespace AppInfo
