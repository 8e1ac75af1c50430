#pragma once

#include <QString>

#include <exception>

class QWidget;

// The caption of every message box of the tool.
inline QString MessageCaption()
{
    return QStringLiteral("Mirto Terminal");
}

// A message with an OK button, captioned like every other message of the tool.
void ShowMessage(QWidget *parent, const QString &text);
// The same under a caption of its own; an empty caption is the usual one.
void ShowMessage(QWidget *parent, const QString &text, const QString &caption);
// A notice that does not stop what the tool is doing: the box stays up
// without a modal loop of its own, so a job under way goes on meanwhile. A
// second notice while one shows replaces its text. Object name "BusyNotice".
void ShowNotice(QWidget *parent, const QString &text);
// A Yes/No question; true for Yes. Escape and the close box count as No.
bool AskYesNo(QWidget *parent, const QString &text);

// The one place where errors from the device links reach the user: a
// critical message box with the error's text.
void ShowErrorMessage(const QString &message);
void ShowException(const std::exception &error);
