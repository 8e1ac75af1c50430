#pragma once

#include <QDialog>

// Created hidden at start-up and kept for the whole run.
class TConfigForm : public QDialog {
    Q_OBJECT
public:
    explicit TConfigForm(QWidget *parent = nullptr);
};
