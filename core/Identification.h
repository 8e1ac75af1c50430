#pragma once

#include <QByteArray>

// One part of the device identification shown in the status bar.
struct IdentPart {
    QByteArray text; // what the status bar shows
    bool store;      // the text is the device's own and is kept
};

// Takes the 5 characters that start `offset` characters after `word` in the
// device's answer (fewer when the answer ends sooner). "fffff" in any case
// means the device has no value: "FFFFF", not stored. A missing word gives
// "?????".
IdentPart ParseIdentPart(const QByteArray &reply, const char *word, int offset);
