#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdio>

struct CliResult;

// Everything mirto-cli prints goes through here: lines of text and JSON
// objects are written whole, beside other threads' lines.

void CliWriteLine(FILE *stream, const QString &line);
// A line on standard error.
void CliWarn(const QString &line);
// One JSON object on standard output, one line (JSON Lines).
void CliWriteObject(const QJsonObject &object);

// The lines of a message, trimmed; the blank lines that part a message
// box's paragraphs are dropped.
QStringList CliMessageLines(const QString &text);
// Each line of `text` on `stream`, each with `prefix`.
void CliWriteMessage(FILE *stream, const QString &prefix, const QString &text);

// A device's result as an object: what the job learnt (serial number,
// version, answers, steps...), the device's label, whether it succeeded and,
// when it failed, the reason word and what happened. --json prints it and
// the journal keeps it.
QJsonObject CliResultObject(const QString &device, const CliResult &result);

// One progress line per device. On a terminal the lines are a block at the
// bottom, redrawn in place, and a line of text goes above the block; elsewhere
// a plain line per device at every tenth; with --json an object per device at
// every tenth. Each device's line is shown by the thread that runs it. Once
// the devices have ended, their results.
class CliOutput {
public:
    enum class Mode { Terminal, Plain, Json };
    CliOutput(Mode mode, QStringList labels);

    // Page `value` of `maximum` (both counted from 0) of device `index`.
    void Progress(qsizetype index, quint32 value, quint32 maximum);
    // Text from device `index`, above the progress lines.
    void Say(qsizetype index, const QString &line);
    // One result per device, in the order the devices were named: an object
    // each with --json, otherwise a line for each failure (on standard
    // error) and, with several devices, each success.
    void Results(const QList<CliResult> &results);

private:
    QString prefix(qsizetype index) const;
    void eraseBlock();
    void drawBlock();
    void writeResultText(qsizetype index, const CliResult &result);

    Mode m_mode;
    QStringList m_labels;
    QStringList m_rows;
    QList<quint32> m_lastTenth;
    int m_drawn = 0;
};
