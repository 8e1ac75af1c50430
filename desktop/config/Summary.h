#pragma once

// The two text views of a configuration: the settings summary shown before
// programming, and the web file that carries the channel list for a device
// that fetches its channels from the web. Values are plain text throughout;
// nothing in a name or URL is ever read as markup.

#include "core/config/DeviceConfig.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

class QTextDocument;

struct SummaryParagraph {
    enum class Kind {
        Heading, // red, bulleted
        Detail,  // blue
        Blank,   // an empty paragraph
    };

    Kind kind = Kind::Blank;
    QString Text;

    bool operator==(const SummaryParagraph &) const = default;
};

// Section by section what `config` holds and what its mode and type make of
// it. Lists every named slot of the 16, also those behind the channels in use.
QList<SummaryParagraph> SummaryParagraphs(const DeviceConfigRecord &config);

// The configure dialog's window caption: whether a configuration file has
// been loaded or saved in this run.
QString ConfigureCaption(bool configLoaded);

// Replaces the document's contents with the paragraphs, each value inserted
// as plain text, all left-aligned.
void RenderSummary(QTextDocument &document, const QList<SummaryParagraph> &paragraphs);

// The web file's lines (without line ends) for the named slots among the
// first `channelCount`: chN name="name" and chN url=URL. With `quoted` false,
// the names lose their quotes, as the preview shows them.
QStringList WebFileLines(const DeviceConfigRecord &config, int channelCount, bool quoted = true);

// The file's bytes: the quoted lines, each ending in CR LF; empty when no
// channel is in use.
QByteArray WebFileBytes(const DeviceConfigRecord &config, int channelCount);

// Replaces the document's contents with `lines`, one paragraph each, as
// plain text.
void RenderLines(QTextDocument &document, const QStringList &lines);

// Writes the web file to `path`, replacing an existing file only once the
// new one is complete. 0 on success; -1 when the file could not be written,
// the old one kept and `reason` (when given) set to the system's reason.
// Tells `status` as it goes.
int WriteWebFile(const QString &path, const DeviceConfigRecord &config, int channelCount,
                 const StatusSink &status, QString *reason = nullptr);
