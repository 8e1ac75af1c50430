#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class CommandPort;

// One command of a command file and where it stands in the file.
struct CommandFileLine {
    int LineNumber = 0;
    QByteArray Text; // without its line end
};

// A text file of command lines for the device, one command a line, read and
// checked as SendableText says (a byte-order mark at the start skipped,
// lines whose first character is '#' and empty lines skipped). Returns an
// empty text, else what is wrong with the file, with its line number and
// character (nothing of it is to be sent then).
QString ParseCommandFile(const QByteArray &content, QList<CommandFileLine> &lines);
QString ReadCommandFile(const QString &path, QList<CommandFileLine> &lines);

// Sends a command file's lines one at a time, each after the prompt of the
// one before, as one job that holds the link: nothing else reaches the
// device meanwhile. A line that gets no prompt ends the run; so does Stop
// (after the line under way). Used by the main window and by mirto-cli.
class CommandFileRun {
public:
    enum class End { Completed, NoPrompt, LinkClosed, Stopped, Refused };
    struct Outcome {
        End Ending = End::Completed;
        int Sent = 0;
        int WithoutPrompt = 0;
        int Total = 0;
        // The line that ended the run (no prompt, link gone).
        CommandFileLine Failed;
        // One line for the user: what was sent and how the run ended.
        QString Summary() const;
        bool Ok() const { return Ending == End::Completed; }
    };

    // Called before each line goes out: `index` counts from 0 of `total`.
    std::function<void(int index, int total, const CommandFileLine &line)> Progress;
    // Called after each line with whether its prompt came.
    std::function<void(const CommandFileLine &line, bool prompted)> Answered;

    // Runs `lines` through `port`, opening the link when it is closed.
    // `name` is the job's name for the busy notice of others.
    Outcome Run(CommandPort &port, const QList<CommandFileLine> &lines,
                const QString &name = QStringLiteral("a command file"));
    // Asks a running run to end before its next line.
    void Stop() { m_stop = true; }
    bool Running() const { return m_running; }

private:
    bool m_stop = false;
    bool m_running = false;
};
