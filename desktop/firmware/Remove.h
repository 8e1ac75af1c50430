#pragma once

#include <QDialog>

// Asks the user to power-cycle the device so that its boot loader starts.
// Created hidden at start-up and kept for the whole run; the update dialog
// shows it modally and closes it when the boot loader announces itself.
class TRemoveForm : public QDialog {
    Q_OBJECT
public:
    explicit TRemoveForm(QWidget *parent = nullptr);

public Q_SLOTS:
    void CloseButtonClick();
};
