#pragma once

#include <QDialog>

// Created hidden at start-up and kept for the whole run.
class TRemoveForm : public QDialog {
    Q_OBJECT
public:
    explicit TRemoveForm(QWidget *parent = nullptr);
};
