#pragma once

#include <QString>

#include <exception>

// The one place where errors from the device links reach the user: a
// critical message box with the error's text.
void ShowErrorMessage(const QString &message);
void ShowException(const std::exception &error);
