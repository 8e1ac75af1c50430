#pragma once

#include <QDialog>

// Created hidden at start-up and kept for the whole run.
class TAddChannelForm : public QDialog {
    Q_OBJECT
public:
    explicit TAddChannelForm(QWidget *parent = nullptr);
};
