#pragma once

#include "core/config/DeviceConfig.h"

#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

#include <functional>

class CommandPort;
class ConfigHost;
class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QTextEdit;
class QWindow;
class TAbNumEdit;
class TAddChannelForm;
class TacIPEdit;

// Where a file dialog starts and what it offers.
struct FileDialogRequest {
    bool Save = false;
    QString Caption;
    QString Folder;
    QString Filter;        // "Configuration File (*.cfg *.CFG)"
    QString DefaultSuffix; // added when the chosen name has none
};

// The configuration editor. It edits the live DeviceConfig in place: every
// change of a control is written into the record at once. Each time it
// becomes the active window of the tool it takes a saved copy of the record,
// which Cancel and every other way of closing without OK put back. Created
// hidden at start-up and kept for the whole run; shown without blocking the
// main window.
class TConfigForm : public QDialog {
    Q_OBJECT
public:
    TConfigForm(CommandPort &port, ConfigHost &host, TAddChannelForm *addChannel,
                QWidget *parent = nullptr);
    ~TConfigForm() override;

    // Page indexes of PageControl.
    enum Page {
        TypePage = 0,
        ModePage = 1,
        NetworkPage = 2,
        ChannelPage = 3,
        EnhancedPage = 4,
        ProgramPage = 5,
        WebFilePage = 6,
        RemoteUpdatePage = 7,
    };
    // Sub-pages of SubPageControl.
    enum SubPage { IspSubPage = 0, IpSubPage = 1 };

    DeviceConfigRecord SavedConfig;
    int SavedChannelCount = 0;
    // Slots 1 to ChannelCount are in use.
    int ChannelCount = 0;
    bool OkPressed = false;
    bool WebMethodGuard = false;

    // Set by the main window: the folder the file dialogs start in (the
    // current directory when the dialog is made, until set), and whether a
    // configuration file has been loaded or saved in this run (until set:
    // whether this dialog loaded or saved one).
    // Asks the user for a file; returns "" when cancelled. Replaceable so
    // that the file dialogs can be answered without a person.
    std::function<QString(QWidget *parent, const FileDialogRequest &request)> ChooseFile;

    // Handlers.
    void ConfigFormActivate();
    void ConfigFormClosed();
    void OkButtonClicked();
    void CancelButtonClicked();
    void ConfigEditChanged(QObject *sender);
    void PageControlChanged(int index);
    void OpenConfigFile1Click();
    void SaveConfigFile1Click();
    void CheckBoxClick();
    void SerialNumCheckBoxClick();
    void ProgramButtonClicked();
    void SaveWebFileClicked();
    void ChannelRadioButtonClick(int index);
    // `field` is the channel field just left.
    void ChannelExit(QLineEdit *field);
    void AddChannelClicked();
    void DeleteButtonClicked();

    // Operations.
    void ApplyModeLayout(int mode);
    void ApplyTypeLayout(const QByteArray &type);
    void ApplyAddressFieldState();
    // Zero-based; -1 when no selector is ticked.
    int SelectedChannel() const;
    void SelectChannel(int index);
    void ShowChannelButtons(int count);
    void RefreshChannelPage();
    // 0 when every channel in use has a name and a URL; otherwise tells the
    // user about the first gap and returns -1.
    int CheckChannels();
    // Stores a new channel behind the last one in use; false when all 16
    // slots are in use.
    bool AddChannel(const QByteArray &name, const QByteArray &url);
    void MakeConfigFileCurrent(const QString &path);
    void BuildSummary();
    void BuildWebFilePreview();

    // What the user is shown about a configuration file that could not be
    // written, with the system's reason.
    static QString WriteFailedText(const QString &what, const QString &reason);
    // The record differs from the file last loaded or saved (or, before
    // either, from the configuration the dialog first showed).
    bool HasUnsavedEdits() const;
    // Asked before Load Configuration File replaces such edits.
    static QString UnsavedEditsQuestion();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void done(int result) override;

private:
    class PopupScope;
    class Sink;

    void buildWindow();
    QWidget *buildTypePage();
    QWidget *buildModePage();
    QWidget *buildNetworkPage();
    QWidget *buildChannelPage();
    QWidget *buildEnhancedPage();
    QWidget *buildProgramPage();
    QWidget *buildWebFilePage();
    QWidget *buildRemoteUpdatePage();
    QLineEdit *addTextField(const char *name, const QString &accessibleName, int limit);
    void bindChoice(QAbstractButton *button);
    void bindToggle(QAbstractButton *button);
    void setFieldText(QLineEdit *field, const QByteArray &value);
    void setAddressText(TacIPEdit *field, const QByteArray &value);
    void untickAll(const QList<QAbstractButton *> &buttons);
    void showChannelFields(int index);
    void restoreSavedCopy();
    void focusWindowChanged(QWindow *window);
    QString chooseFile(const FileDialogRequest &request);
    bool askOverwrite(const QString &path);
    void addStatus(const QString &text);
    bool configLoaded() const;
    // The record as it is now is what the current file holds.
    void markClean();

    CommandPort &m_port;
    ConfigHost &m_host;
    QPointer<TAddChannelForm> m_addChannel;

    QTabWidget *m_pageControl = nullptr;
    QTabWidget *m_subPageControl = nullptr;
    QRadioButton *m_typeE = nullptr;
    QRadioButton *m_typeT = nullptr;
    QRadioButton *m_typeTE = nullptr;
    QRadioButton *m_mode1 = nullptr;
    QRadioButton *m_mode2 = nullptr;
    QRadioButton *m_mode3 = nullptr;
    QGroupBox *m_webMethodGroup = nullptr;
    QCheckBox *m_useWebDB = nullptr;
    QCheckBox *m_useWebFile = nullptr;
    QLabel *m_databaseUrlLabel = nullptr;
    QLineEdit *m_ispDbUrlEdit = nullptr;
    QRadioButton *m_dhcp = nullptr;
    QRadioButton *m_fixedIp = nullptr;
    QLineEdit *m_ispNameEdit = nullptr;
    QLineEdit *m_ispNumberEdit = nullptr;
    QLineEdit *m_ispUsernameEdit = nullptr;
    QLineEdit *m_ispPasswordEdit = nullptr;
    QLabel *m_addressLabels[4] = {};
    TacIPEdit *m_addressEdits[4] = {};
    QGroupBox *m_channelGroup = nullptr;
    QList<QRadioButton *> m_channelButtons;
    QButtonGroup *m_channelButtonGroup = nullptr;
    QLabel *m_channelStaticText = nullptr;
    QLineEdit *m_channelNameEdit = nullptr;
    QLineEdit *m_channelUrlEdit = nullptr;
    QPushButton *m_addButton = nullptr;
    QPushButton *m_deleteButton = nullptr;
    QCheckBox *m_featureBoxes[5] = {};
    TAbNumEdit *m_serialEdit = nullptr;
    QCheckBox *m_serialNumCheckBox = nullptr;
    QTextEdit *m_allRichEdit = nullptr;
    QPushButton *m_programButton = nullptr;
    QTextEdit *m_webFileRichEdit = nullptr;
    QPushButton *m_saveWebFileButton = nullptr;
    QCheckBox *m_enableUpdate = nullptr;
    QLabel *m_updateUrlLabel = nullptr;
    QLineEdit *m_updateUrlEdit = nullptr;
    QLabel *m_configFileStaticText = nullptr;
    QPushButton *m_loadButton = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPushButton *m_okButton = nullptr;
    QPushButton *m_cancelButton = nullptr;

    // How the dialog came to be active: the tool window that had the focus
    // last, and whether that was one of this dialog's own popups (message
    // boxes, file dialogs, the add-channel dialog, whatever a programming run
    // shows).
    QPointer<QWindow> m_lastToolWindow;
    bool m_lastWasOwnPopup = false;
    int m_popupDepth = 0;
    bool m_haveSavedCopy = false;
    DeviceConfigRecord m_cleanConfig;
    int m_cleanChannelCount = 0;
    bool m_haveCleanCopy = false;
    // Opening refreshed already; the activation that follows must not again.
    bool m_refreshedOnShow = false;
};
