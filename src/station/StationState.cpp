#include "StationState.h"

#include "base/Clock.h"
#include "base/Comm.h"
#include "base/StationLog.h"
#include "comm/TransferEvents.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

namespace {

// A file far beyond what the bounds allow is not ours.
constexpr qint64 MaxFileBytes = 4 * 1024 * 1024;

QString stamp(const QDateTime &time)
{
    return time.toString(Qt::ISODate);
}

// The files the station files for the host; any other saved name is kept
// aside (Filing::FileDelete).
bool isFiledName(const QString &name)
{
    return name == QLatin1String("S_HACH.dat") || name == QLatin1String("S_TANA.dat")
        || name == QLatin1String("CTRL.csv");
}

} // namespace

namespace StationState {

QString runFile(const StationLayout &layout)
{
    return layout.inStation(QStringLiteral("tarvinex-state.json"));
}

QString appliesFile(const StationLayout &layout)
{
    return layout.inStation(QStringLiteral("tarvinex-applies.json"));
}

QJsonObject read(const QString &file)
{
    QFile in(file);
    if (!in.open(QIODevice::ReadOnly) || in.size() > MaxFileBytes)
        return {};
    return QJsonDocument::fromJson(in.read(MaxFileBytes)).object();
}

// The station's own folder, which no host account writes: QSaveFile's
// renaming over the name is safe here.
bool write(const QString &file, const QJsonObject &state, QString *why)
{
    QSaveFile out(file);
    if (out.open(QIODevice::WriteOnly) && out.write(QJsonDocument(state).toJson()) >= 0
        && out.commit())
        return true;
    *why = QStringLiteral("%1 に書き込めません: %2").arg(file, out.errorString());
    return false;
}

bool recordApplies(const StationLayout &layout,
                   const QList<MasterScan::Outcome> &outcomes,
                   const QDateTime &now,
                   QString *why)
{
    const QString file = appliesFile(layout);
    QJsonObject state = read(file);
    QJsonObject applies = state.value(QLatin1String("applies")).toObject();
    bool changed = false;
    for (const MasterScan::Outcome &outcome : outcomes) {
        if (outcome.waiting)
            continue;
        QJsonObject entry { { QStringLiteral("time"), stamp(now) },
                            { QStringLiteral("terminal"), outcome.terminalId },
                            { QStringLiteral("master"), outcome.master } };
        if (outcome.applied()) {
            entry.insert(QStringLiteral("outcome"), QStringLiteral("applied"));
            entry.insert(QStringLiteral("rows"),
                         outcome.result.rowsAdded + outcome.result.rowsUpdated);
        } else {
            entry.insert(QStringLiteral("outcome"), QStringLiteral("failed"));
            entry.insert(QStringLiteral("error"), outcome.result.error);
        }
        applies.insert(outcome.terminalId + u' ' + outcome.master, entry);
        changed = true;
    }
    if (!changed)
        return true;
    state.insert(QStringLiteral("version"), Version);
    state.insert(QStringLiteral("applies"), applies);
    return write(file, state, why);
}

void appendMade(QJsonObject *state, const QStringList &lines, const QDateTime &now)
{
    QJsonArray made = state->value(QLatin1String("made")).toArray();
    for (const QString &line : lines)
        made.append(QJsonObject { { QStringLiteral("time"), stamp(now) },
                                  { QStringLiteral("text"), line } });
    while (made.size() > MaxMade)
        made.removeFirst();
    state->insert(QStringLiteral("made"), made);
}

bool recordMade(const StationLayout &layout,
                const QStringList &lines,
                const QDateTime &now,
                QString *why)
{
    if (lines.isEmpty())
        return true;
    const QString file = appliesFile(layout);
    QJsonObject state = read(file);
    state.insert(QStringLiteral("version"), Version);
    appendMade(&state, lines, now);
    return write(file, state, why);
}

} // namespace StationState

StationRecorder::StationRecorder(const StationLayout &layout,
                                 CommServer &server,
                                 TransferEvents &events,
                                 const Clock &clock,
                                 StationLog &log,
                                 Cli::Process process,
                                 QObject *parent)
    : QObject(parent)
    , m_file(StationState::runFile(layout))
    , m_layout(layout)
    , m_server(server)
    , m_clock(clock)
    , m_log(log)
{
    m_state = { { QStringLiteral("version"), StationState::Version },
                { QStringLiteral("process"), Cli::processName(process) },
                { QStringLiteral("pid"), QCoreApplication::applicationPid() },
                { QStringLiteral("started"), stamp(clock.now()) },
                { QStringLiteral("listening"), false },
                { QStringLiteral("terminals"), QJsonObject() },
                { QStringLiteral("filed"), QJsonArray() },
                { QStringLiteral("errors"), QJsonArray() } };
    // What an earlier run made on the server is still worth seeing.
    m_state.insert(QStringLiteral("made"),
                   StationState::read(m_file).value(QLatin1String("made")).toArray());
    StationState::appendMade(&m_state, {}, clock.now());
    // After the transfer events' own handler, so a filing failure is known.
    connect(&server, &CommServer::TransferStatus, this, &StationRecorder::onTransfer);
    connect(&events, &TransferEvents::filingFailed, this, [this](const QString &reason) {
        m_filingFailure = reason;
    });
    connect(&server, &CommServer::SessionEnded, this, &StationRecorder::onSessionEnded);
    connect(&server, &CommServer::ListenStarted, this, [this] {
        m_state.insert(QStringLiteral("listening"), true);
        m_state.insert(QStringLiteral("port"), int(m_server.serverPort()));
        m_state.insert(QStringLiteral("link"), m_server.linkState());
        save();
    });
    connect(&server, &CommServer::ListenStopped, this, [this] {
        m_state.insert(QStringLiteral("listening"), false);
        save();
    });
    connect(&server, &CommServer::ListenFailed, this, &StationRecorder::noteError);
    save();
}

void StationRecorder::noteError(const QString &text)
{
    QJsonArray errors = m_state.value(QLatin1String("errors")).toArray();
    errors.append(QJsonObject { { QStringLiteral("time"), stamp(m_clock.now()) },
                                { QStringLiteral("text"), text } });
    while (errors.size() > StationState::MaxErrors)
        errors.removeFirst();
    m_state.insert(QStringLiteral("errors"), errors);
    save();
}

void StationRecorder::noteMade(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    StationState::appendMade(&m_state, lines, m_clock.now());
    save();
}

void StationRecorder::onTransfer(Link::TransferKind kind, const QString &fileName, int terminal)
{
    if (kind == Link::TransferKind::SaveFailed) {
        m_failureNow[terminal] = QStringLiteral("%1 not saved").arg(fileName);
        return;
    }
    if (kind != Link::TransferKind::Saved)
        return;
    const QDateTime now = m_clock.now();
    QString where = isFiledName(fileName) ? QStringLiteral("filed") : QStringLiteral("kept");
    if (!m_filingFailure.isEmpty()) {
        where = QStringLiteral("unfiled");
        m_failureNow[terminal] = m_filingFailure;
        noteError(QStringLiteral("端末 %1 %2: %3").arg(terminal).arg(fileName, m_filingFailure));
        m_filingFailure.clear();
    } else {
        ++m_filesNow[terminal];
    }
    // Today's files only: a station running for weeks keeps a small file.
    QJsonArray filed;
    for (const QJsonValue &entry : m_state.value(QLatin1String("filed")).toArray())
        if (QDateTime::fromString(entry[QLatin1String("time")].toString(), Qt::ISODate).date()
            == now.date())
            filed.append(entry);
    filed.append(QJsonObject { { QStringLiteral("time"), stamp(now) },
                               { QStringLiteral("terminal"), Comm::terminalId(terminal) },
                               { QStringLiteral("name"), fileName },
                               { QStringLiteral("where"), where } });
    while (filed.size() > StationState::MaxFiledToday)
        filed.removeFirst();
    m_state.insert(QStringLiteral("filed"), filed);
    save();
}

void StationRecorder::onSessionEnded(int terminal, bool goodbye, const QString &note)
{
    const QString failure = m_failureNow.take(terminal);
    QJsonObject terminals = m_state.value(QLatin1String("terminals")).toObject();
    terminals.insert(
        Comm::terminalId(terminal),
        QJsonObject {
            { QStringLiteral("time"), stamp(m_clock.now()) },
            { QStringLiteral("files"), m_filesNow.take(terminal) },
            { QStringLiteral("outcome"),
              goodbye && failure.isEmpty() ? QStringLiteral("ok") : QStringLiteral("failed") },
            { QStringLiteral("note"), failure.isEmpty() ? note : failure } });
    m_state.insert(QStringLiteral("terminals"), terminals);
    if (!goodbye)
        noteError(note);
    else
        save();
}

void StationRecorder::recordScan(const QList<MasterScan::Outcome> &outcomes)
{
    QString why;
    if (!StationState::recordApplies(m_layout, outcomes, m_clock.now(), &why))
        writeFailed(why);
    for (const MasterScan::Outcome &outcome : outcomes)
        if (!outcome.waiting && !outcome.applied())
            noteError(outcome.result.error);
}

void StationRecorder::save()
{
    QString why;
    if (StationState::write(m_file, m_state, &why))
        m_writeFailed = false;
    else
        writeFailed(why);
}

void StationRecorder::writeFailed(const QString &why)
{
    if (!m_writeFailed)
        m_log.write(why);
    m_writeFailed = true;
}
