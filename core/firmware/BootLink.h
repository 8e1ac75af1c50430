#pragma once

#include "core/firmware/BootProtocol.h"

#include <QList>
#include <QString>

#include <functional>

class BootPort;

// The serial link handed over to the boot loader conversation: claimed when
// an update starts, read byte by byte while the conversation listens, and
// given back once it no longer does. UpdateSession drives it, for the update
// dialog and the command line alike.
class BootLink {
public:
    BootLink(BootPort &port, BootProtocol &protocol) : m_port(port), m_protocol(protocol) {}

    // Takes the link for the update: from now on the port's received data
    // goes to `onData` (with the count waiting; -1 when the device went
    // away). False when another job holds the link (the user has been told).
    bool Claim(std::function<void(int count)> onData);
    // Gives the link back to the terminal once the conversation no longer
    // listens; what the device says next is ordinary text.
    void ReleaseWhenDone();
    // Gives the link back whatever the conversation is doing.
    void Release();

    // What one arrival gave the conversation.
    struct Taken {
        QList<BootEvent> Events;
        // The line could not be read: the update is over, for this reason.
        QString Error;
    };
    // Reads up to `count` waiting bytes, one at a time and only while the
    // conversation takes them: what it leaves (after the finish byte, while
    // it waits after a failed reload, once it no longer listens) stays in the
    // port for the terminal. A read error ends the conversation as a lost
    // link does; its events are part of the result.
    Taken Take(int count);

private:
    BootPort &m_port;
    BootProtocol &m_protocol;
};
