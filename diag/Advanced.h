#pragma once

#include <QDialog>

// Created hidden at start-up and kept for the whole run.
class TAdvancedForm : public QDialog {
    Q_OBJECT
public:
    explicit TAdvancedForm(QWidget *parent = nullptr);
};
