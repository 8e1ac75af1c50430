#pragma once

#include <QByteArray>
#include <QDialog>

class QKeyEvent;
class QLineEdit;
class QPushButton;

// Asks for the name and URL of a new channel. Created hidden at start-up and
// kept for the whole run, so its fields keep their text from one use to the
// next. The configure dialog runs it modally and stores what it accepted.
class TAddChannelForm : public QDialog {
    Q_OBJECT
public:
    explicit TAddChannelForm(QWidget *parent = nullptr);

    static constexpr int NameLimit = 12;
    static constexpr int UrlLimit = 144;

    // The number the new channel will get; the caption shows it.
    void SetNewChannelNumber(int number) { m_newNumber = number; }
    int NewChannelNumber() const { return m_newNumber; }

    // The fields' texts as device bytes.
    QByteArray ChannelName() const;
    QByteArray ChannelUrl() const;

    QLineEdit *NameEdit() const { return m_nameEdit; }
    QLineEdit *UrlEdit() const { return m_urlEdit; }

    void AddChannelFormActivate();
    // Accepts the dialog when both fields hold text; otherwise tells the user
    // and stays open.
    void OKButtonClicked();
    void CancelClicked();
    // Every key press of the dialog passes here first; true when it was used.
    bool FormKeyPress(const QKeyEvent *event);

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLineEdit *m_nameEdit = nullptr;
    QLineEdit *m_urlEdit = nullptr;
    QPushButton *m_okButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    int m_newNumber = 1;
};
