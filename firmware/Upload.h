#pragma once

#include <QDialog>

// Created hidden at start-up and kept for the whole run.
class TUploadForm : public QDialog {
    Q_OBJECT
public:
    explicit TUploadForm(QWidget *parent = nullptr);
};
