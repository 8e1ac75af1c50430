#pragma once

#include <QString>
#include <stdexcept>

// The serial port's one error type: it carries the text the user is shown.
class SerialPortError : public std::runtime_error {
public:
    explicit SerialPortError(const QString &message)
        : std::runtime_error(message.toLocal8Bit().toStdString()), m_message(message) {}
    QString message() const { return m_message; }

private:
    QString m_message;
};
