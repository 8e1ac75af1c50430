#pragma once

#include <QChar>
#include <QString>

// Captions carry their Alt+letter key as an '&' before the letter ("&Load");
// "&&" stands for a literal '&'.

// The caption as it reads: "&Load Configuration File" reads
// "Load Configuration File". What screen readers are told.
QString WithoutMnemonic(const QString &caption);

// The caption's Alt+letter key, in lower case; a null QChar when it has none.
QChar MnemonicOf(const QString &caption);
