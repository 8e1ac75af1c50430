#pragma once

#include <QString>

#include <exception>

class QMessageBox;
class QWidget;

// The caption of every message box of the tool.
inline QString MessageCaption()
{
    return QStringLiteral("Mirto Terminal");
}

// Every box says with its icon what it is: a notice (information), an error
// (something failed or was refused) or a question.

// A notice with an OK button, captioned like every other message of the tool.
void ShowMessage(QWidget *parent, const QString &text);
// The same under a caption of its own; an empty caption is the usual one.
void ShowMessage(QWidget *parent, const QString &text, const QString &caption);
// Something failed or was refused: a message with the error icon and an OK
// button; an empty caption is the usual one.
void ShowError(QWidget *parent, const QString &text, const QString &caption = QString());
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

// What every box of the tool gets before it shows: Alt+letter keys on its
// buttons, and room for its whole caption in the title bar (a short message
// would otherwise make the box narrower than its title).
void PrepareMessageBox(QMessageBox &box);
// The width a title bar needs for `caption`: the text in a bold title font
// and the window menu and buttons beside it.
int TitleBarRoom(const QString &caption);
