#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class StationLog;

// Everything the station says to or asks of the operator goes through this
// interface: the windows show message boxes, the windowless station writes
// to standard output, and tests answer it themselves.
class Operator
{
public:
    virtual ~Operator() = default;

    // A modal message with an OK button and no icon. It may return before the
    // operator has acknowledged it (the windows leave the box open and go
    // on), so a caller never waits on it: a terminal is not kept waiting.
    virtual void message(const QString &text) = 0;
    // The same with the information icon and a caption of its own.
    virtual void information(const QString &caption, const QString &text) = 0;
    // Lets the operator pick one of items; the index picked, or -1 when the
    // operator declined.
    virtual int choose(const QString &caption, const QString &prompt, const QStringList &items) = 0;
    // What only informs (a file received, where it was filed, an import
    // done), told as message() (no caption) or information() (a caption)
    // unless the station is set to keep such notices off the screen. A
    // failure is never a notice.
    virtual void notice(const QString &caption, const QString &text);
};

// Writes every text shown to the operator to the station log, then passes it on.
class LoggedOperator : public Operator
{
public:
    LoggedOperator(Operator &inner, StationLog &log);

    void message(const QString &text) override;
    void information(const QString &caption, const QString &text) override;
    int choose(const QString &caption, const QString &prompt, const QStringList &items) override;
    void notice(const QString &caption, const QString &text) override;

private:
    Operator &m_inner;
    StationLog &m_log;
};

// For a station nobody watches (NOTICES=log): its notices go to the status
// line, one line each, instead of a box, so that no pile of boxes waits for a
// hand; everything else passes on. Without a status line yet, notices pass on
// too.
class QuietNotices : public Operator
{
public:
    QuietNotices(Operator &inner, bool quiet);

    void setStatusLine(std::function<void(const QString &)> statusLine);

    void message(const QString &text) override { m_inner.message(text); }
    void information(const QString &caption, const QString &text) override
    {
        m_inner.information(caption, text);
    }
    int choose(const QString &caption, const QString &prompt, const QStringList &items) override
    {
        return m_inner.choose(caption, prompt, items);
    }
    void notice(const QString &caption, const QString &text) override;

private:
    Operator &m_inner;
    bool m_quiet;
    std::function<void(const QString &)> m_statusLine;
};

// For the station without windows, behind a LoggedOperator whose log prints
// every line on standard output: it shows nothing itself, counts each text as
// acknowledged at once, and of a choice takes the first item offered: the only
// one is the unit the settings name.
class ConsoleOperator : public Operator
{
public:
    void message(const QString &) override { }
    void information(const QString &, const QString &) override { }
    int choose(const QString &caption, const QString &prompt, const QStringList &items) override;
};
