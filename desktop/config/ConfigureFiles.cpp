#include "desktop/config/Configure.h"

#include "core/DevicePorts.h"
#include "core/config/ConfigFile.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/config/ConfigurePopupScope.h"
#include "desktop/config/Summary.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>

// The dialog's files: loading and saving configuration files, and the web
// file.

QString TConfigForm::chooseFile(const FileDialogRequest &request)
{
    QString path;
    if (ChooseFile) {
        path = ChooseFile(this, request);
    } else {
        QFileDialog dialog(this, request.Caption, request.Folder, request.Filter);
        dialog.setObjectName(QStringLiteral("ConfigFileDialog"));
        dialog.setAcceptMode(request.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
        dialog.setFileMode(request.Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
        // The tool asks its own overwrite question.
        dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
        dialog.setDefaultSuffix(request.DefaultSuffix);
        if (dialog.exec() == QDialog::Accepted)
            path = dialog.selectedFiles().value(0);
    }
    if (request.Save && !path.isEmpty() && QFileInfo(path).suffix().isEmpty()
        && !request.DefaultSuffix.isEmpty())
        path += QLatin1Char('.') + request.DefaultSuffix;
    return path;
}

bool TConfigForm::askOverwrite(const QString &path)
{
    if (!QFileInfo::exists(path))
        return true;
    return AskYesNo(this, QStringLiteral("Overwrite existing File?"));
}

QString TConfigForm::WriteFailedText(const QString &what, const QString &reason)
{
    return what + QStringLiteral("\n") + reason;
}

bool TConfigForm::HasUnsavedEdits() const
{
    return m_haveCleanCopy && (DeviceConfig != m_cleanConfig || ChannelCount != m_cleanChannelCount);
}

void TConfigForm::markClean()
{
    m_cleanConfig = DeviceConfig;
    m_cleanChannelCount = ChannelCount;
    m_haveCleanCopy = true;
}

QString TConfigForm::UnsavedEditsQuestion()
{
    return QStringLiteral("The configuration has changes that are not saved in a file. Load another "
                          "configuration file and lose them?");
}

void TConfigForm::OpenConfigFile1Click()
{
    PopupScope popups(*this);
    // Edits not saved in a file are not dropped without asking.
    if (HasUnsavedEdits() && !AskYesNo(this, UnsavedEditsQuestion()))
        return;
    const QString path = chooseFile({false, QStringLiteral("Load Configuration File"), m_host.StartDirectory(),
                                     QStringLiteral("Configuration File (*.cfg *.CFG)"),
                                     QStringLiteral("cfg")});
    if (path.isEmpty())
        return;
    // A file that is no configuration file is refused with the reason; the
    // fields and the current file stay as they were.
    QString reason;
    if (ReadConfigFile(path, DeviceConfig, [this](const QString &t) { addStatus(t); }, &reason)
        == -1) {
        ShowError(this, ConfigFileErrorText(path, reason));
        return;
    }
    MakeConfigFileCurrent(path);
    SelectChannel(0);
    RefreshChannelPage();
    // The loaded record is the one Cancel returns to from now on.
    ConfigFormActivate();
    markClean();
}

void TConfigForm::SaveConfigFile1Click()
{
    if (CheckChannels() != 0)
        return;
    PopupScope popups(*this);
    const QString path = chooseFile({true, QStringLiteral("Save Configuration File"), m_host.StartDirectory(),
                                     QStringLiteral("Configuration File (*.cfg *.CFG)"),
                                     QStringLiteral("cfg")});
    if (path.isEmpty() || !askOverwrite(path))
        return;
    QString reason;
    if (WriteConfigFile(path, DeviceConfig, ChannelCount, m_host.DeviceSerialNumber(),
                        [this](const QString &t) { addStatus(t); }, &reason)
        != 0) {
        ShowError(this, WriteFailedText(QStringLiteral("Unable to create config file ") + path, reason));
        return;
    }
    MakeConfigFileCurrent(path);
    markClean();
}

void TConfigForm::MakeConfigFileCurrent(const QString &path)
{
    m_host.ConfigFileIsCurrent(path);
    m_configFileStaticText->setText(QStringLiteral(" ") + path);
    setWindowTitle(ConfigureCaption(configLoaded()));
}

void TConfigForm::SaveWebFileClicked()
{
    if (CheckChannels() != 0)
        return;
    PopupScope popups(*this);
    const QString path = chooseFile({true, QStringLiteral("Save Web File"), m_host.StartDirectory(),
                                     QStringLiteral("Web File (*.txt *.TXT)"), QStringLiteral("TXT")});
    if (path.isEmpty() || !askOverwrite(path))
        return;
    QString reason;
    if (WriteWebFile(path, DeviceConfig, ChannelCount, [this](const QString &t) { addStatus(t); },
                     &reason)
        != 0)
        ShowError(this, WriteFailedText(QStringLiteral("Unable to create web file ") + path, reason));
}

