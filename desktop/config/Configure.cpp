#include "desktop/config/Configure.h"

#include "desktop/config/Addch.h"
#include "desktop/config/ConfigurePopupScope.h"
#include "core/config/ConfigFile.h"
#include "core/config/Programming.h"
#include "desktop/config/Summary.h"
#include "desktop/TypingLimit.h"
#include "desktop/fields/AbNumEdit.h"
#include "desktop/fields/AcIPEdit.h"
#include "core/DevicePorts.h"
#include "core/JobInput.h"
#include "desktop/DeviceHistory.h"
#include "desktop/ErrorDisplay.h"
#include "desktop/Mnemonic.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>
#include <utility>

namespace {

QString fromDevice(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes);
}

QByteArray toDevice(const QString &text)
{
    return text.toLatin1();
}

} // namespace

// What a programming run shows, shown over this dialog; the run is recorded
// in the device history as it ends, before the user reads its outcome.
class TConfigForm::Sink : public ProgrammingSink {
public:
    Sink(TConfigForm &form, JobInput input)
        : m_form(form), m_input(std::move(input)), m_serialBefore(form.m_host.DeviceSerialNumber()),
          m_versionBefore(form.m_host.DeviceSoftwareVersion())
    {
    }
    void ShowMessage(const QString &text, const QString &caption) override
    {
        // A run ends well with one message; every other one tells what failed.
        if (text == ProgrammingOkText())
            ::ShowMessage(&m_form, text, caption);
        else
            ShowError(&m_form, text, caption);
    }
    void AddStatus(const QString &text) override { m_form.addStatus(text); }
    void SetBusyCursor() override { m_form.m_host.SetBusyCursor(); }
    void RestoreCursor() override { m_form.m_host.RestoreCursor(); }
    // A run that sent something changed the device (a run cut off part way
    // too); one that sent nothing did not, and never ends here.
    void RunEnded(bool ok, const QString &reason) override
    {
        RecordProgramming(&m_form, m_form.m_host, m_form.m_port.Interface(), m_serialBefore, m_versionBefore,
                          m_input, ok, reason);
    }

private:
    TConfigForm &m_form;
    JobInput m_input;
    QByteArray m_serialBefore;
    QByteArray m_versionBefore;
};

TConfigForm::TConfigForm(CommandPort &port, ConfigHost &host, TAddChannelForm *addChannel,
                         QWidget *parent)
    : QDialog(parent), m_port(port), m_host(host), m_addChannel(addChannel)
{
    setObjectName(QStringLiteral("TConfigForm"));
    setWindowTitle(QStringLiteral("Configure Mirto"));
    setAccessibleName(QStringLiteral("Configure Mirto"));
    setModal(false);
    if (!m_addChannel)
        m_addChannel = new TAddChannelForm(this);
    ResetConfigRecord(SavedConfig);
    buildWindow();
    connect(qApp, &QGuiApplication::focusWindowChanged, this, &TConfigForm::focusWindowChanged);
}

TConfigForm::~TConfigForm() = default;

// ---------------------------------------------------------------------------
// Putting record values into controls

void TConfigForm::setFieldText(QLineEdit *field, const QByteArray &value)
{
    TypingLimit::SetProgramText(field, fromDevice(value));
}

void TConfigForm::setAddressText(TacIPEdit *field, const QByteArray &value)
{
    field->SetText(fromDevice(value));
}

void TConfigForm::untickAll(const QList<QAbstractButton *> &buttons)
{
    // Buttons of one group refuse to go off while one of them is on.
    for (QAbstractButton *b : buttons) {
        const bool exclusive = b->autoExclusive();
        b->setAutoExclusive(false);
        b->setChecked(false);
        b->setAutoExclusive(exclusive);
    }
}

// ---------------------------------------------------------------------------
// Refresh and layouts

void TConfigForm::ConfigFormActivate()
{
    SavedConfig = DeviceConfig;
    SavedChannelCount = ChannelCount;
    m_haveSavedCopy = true;

    m_pageControl->setTabVisible(EnhancedPage, true);

    const bool onlyE = m_host.Settings().TypeRestriction == 'E';
    m_pageControl->setTabVisible(TypePage, !onlyE);
    if (onlyE)
        DeviceConfig.Type.set("E");
    if (DeviceConfig.Type == "E")
        m_typeE->setChecked(true);
    else if (DeviceConfig.Type == "T")
        m_typeT->setChecked(true);
    else if (DeviceConfig.Type == "TE")
        m_typeTE->setChecked(true);
    else
        untickAll({m_typeE, m_typeT, m_typeTE});

    if (const int mode = ValidMode(DeviceConfig))
        ApplyModeLayout(mode);
    else
        untickAll({m_mode1, m_mode2, m_mode3});

    setFieldText(m_ispDbUrlEdit, DeviceConfig.IspDbUrl.value());
    setFieldText(m_ispNameEdit, DeviceConfig.IspName.value());
    setFieldText(m_ispNumberEdit, DeviceConfig.IspNumber.value());
    setFieldText(m_ispUsernameEdit, DeviceConfig.IspUserName.value());
    setFieldText(m_ispPasswordEdit, DeviceConfig.IspPassword.value());

    setAddressText(m_addressEdits[0], DeviceConfig.IPAddress.value());
    setAddressText(m_addressEdits[1], DeviceConfig.Gateway.value());
    setAddressText(m_addressEdits[2], DeviceConfig.DNS1.value());
    setAddressText(m_addressEdits[3], DeviceConfig.DNS2.value());

    // Stored even when the button was on already and its handler stays quiet.
    const bool fixed = IsFixedNetwork(DeviceConfig);
    (fixed ? m_fixedIp : m_dhcp)->setChecked(true);
    DeviceConfig.Network.set(fixed ? "F" : "D");

    ApplyTypeLayout(DeviceConfig.Type.value());

    showChannelFields(SelectedChannel());

    setFieldText(m_updateUrlEdit, DeviceConfig.IspUdUrl.value());
    if (RemoteUpdateOn(DeviceConfig)) {
        m_enableUpdate->setChecked(true);
    } else {
        m_enableUpdate->setChecked(false);
        m_updateUrlLabel->setEnabled(false);
        m_updateUrlEdit->setEnabled(false);
    }

    RefreshChannelPage();
    // The count that belongs to the saved record.
    SavedChannelCount = ChannelCount;

    // A file named in the settings that failed to load is not the current
    // configuration file: the dialog does not present it as one.
    const QString file = configLoaded() ? m_host.Settings().ConfigFile : QString();
    m_configFileStaticText->setText(file.isEmpty() ? QStringLiteral(" No configuration file loaded ")
                                                   : QStringLiteral(" ") + file);

    BuildSummary();
    BuildWebFilePreview();

    OkPressed = false;
    WebMethodGuard = false;
    // The configuration the dialog first shows (the start-up file, or the
    // defaults) counts as saved: only what is edited here is at stake.
    if (!m_haveCleanCopy)
        markClean();
}

void TConfigForm::ApplyModeLayout(int mode)
{
    if (mode < 1 || mode > 3)
        return;
    QRadioButton *modeButtons[3] = {m_mode1, m_mode2, m_mode3};
    modeButtons[mode - 1]->setChecked(true);

    bool webFile = false;
    if (mode == 2) {
        webFile = WebMethodIsFile(DeviceConfig);
        (webFile ? m_useWebFile : m_useWebDB)->setChecked(true);
        (webFile ? m_useWebDB : m_useWebFile)->setChecked(false);
        // Stored even when the box was on already.
        DeviceConfig.WebMethod.set(webFile ? "F" : "D");
    }

    m_pageControl->setTabVisible(NetworkPage, mode != 1 || HasEthernet(DeviceConfig));
    m_pageControl->setTabVisible(ChannelPage, mode == 3 || (mode == 2 && webFile));
    m_pageControl->setTabVisible(WebFilePage, mode == 2 && webFile);
    m_pageControl->setTabVisible(RemoteUpdatePage, mode != 1);
    const bool web = mode == 2;
    m_webMethodGroup->setVisible(web);
    m_useWebDB->setVisible(web);
    m_useWebFile->setVisible(web);
    m_databaseUrlLabel->setVisible(web);
    m_ispDbUrlEdit->setVisible(web);
    const bool toWebFile = mode == 2 && webFile;
    m_channelGroup->setTitle(toWebFile ? QStringLiteral("Channel Settings (will be stored in Web File)")
                                       : QStringLiteral("Channel Settings"));
    m_pageControl->setTabText(ChannelPage, toWebFile ? QStringLiteral(" Web File Channels")
                                                     : QStringLiteral(" Channels"));
}

void TConfigForm::ApplyTypeLayout(const QByteArray &type)
{
    ApplyAddressFieldState();
    bool isp = false;
    bool ip = false;
    if (type == "E") {
        ip = true;
    } else if (type == "T") {
        isp = true;
    } else if (type == "TE") {
        isp = ip = true;
    } else {
        return;
    }
    m_subPageControl->setTabVisible(IspSubPage, isp);
    m_subPageControl->setTabVisible(IpSubPage, ip);
    m_dhcp->setVisible(ip);
    m_fixedIp->setVisible(ip);
}

void TConfigForm::ApplyAddressFieldState()
{
    const bool enable = !m_dhcp->isChecked();
    for (int i = 0; i < 4; ++i) {
        m_addressLabels[i]->setEnabled(enable);
        m_addressEdits[i]->setEnabled(enable);
    }
}

// ---------------------------------------------------------------------------
// Edits

void TConfigForm::ConfigEditChanged(QObject *sender)
{
    auto copyText = [](QLineEdit *field, auto &target) { target.set(toDevice(field->text())); };

    if (sender == m_typeE) {
        DeviceConfig.Type.set("E");
        m_pageControl->setTabVisible(NetworkPage, true);
        ApplyTypeLayout("E");
    } else if (sender == m_typeT) {
        DeviceConfig.Type.set("T");
        const int mode = ValidMode(DeviceConfig);
        m_pageControl->setTabVisible(NetworkPage, mode == 2 || mode == 3);
        ApplyTypeLayout("T");
    } else if (sender == m_typeTE) {
        DeviceConfig.Type.set("TE");
        m_pageControl->setTabVisible(NetworkPage, true);
        ApplyTypeLayout("TE");
    } else if (sender == m_mode1 || sender == m_mode2 || sender == m_mode3) {
        const int mode = sender == m_mode1 ? 1 : sender == m_mode2 ? 2 : 3;
        DeviceConfig.Mode.set(QByteArray::number(mode));
        ApplyModeLayout(mode);
    } else if (sender == m_useWebDB || sender == m_useWebFile) {
        // Switching one box from the other's handler runs the switched box's
        // handler as well; it must leave the choice alone.
        if (WebMethodGuard)
            return;
        WebMethodGuard = true;
        const bool file = sender == m_useWebFile;
        DeviceConfig.WebMethod.set(file ? "F" : "D");
        (file ? m_useWebFile : m_useWebDB)->setChecked(true);
        (file ? m_useWebDB : m_useWebFile)->setChecked(false);
        ApplyModeLayout(2);
        WebMethodGuard = false;
    } else if (sender == m_ispDbUrlEdit) {
        copyText(m_ispDbUrlEdit, DeviceConfig.IspDbUrl);
    } else if (sender == m_ispNameEdit) {
        copyText(m_ispNameEdit, DeviceConfig.IspName);
    } else if (sender == m_ispNumberEdit) {
        copyText(m_ispNumberEdit, DeviceConfig.IspNumber);
    } else if (sender == m_ispUsernameEdit) {
        copyText(m_ispUsernameEdit, DeviceConfig.IspUserName);
    } else if (sender == m_ispPasswordEdit) {
        copyText(m_ispPasswordEdit, DeviceConfig.IspPassword);
    } else if (sender == m_dhcp) {
        DeviceConfig.Network.set("D");
        ApplyAddressFieldState();
    } else if (sender == m_fixedIp) {
        DeviceConfig.Network.set("F");
        ApplyAddressFieldState();
    } else if (sender == m_addressEdits[0]) {
        DeviceConfig.IPAddress.set(toDevice(m_addressEdits[0]->Text()));
    } else if (sender == m_addressEdits[1]) {
        DeviceConfig.Gateway.set(toDevice(m_addressEdits[1]->Text()));
    } else if (sender == m_addressEdits[2]) {
        DeviceConfig.DNS1.set(toDevice(m_addressEdits[2]->Text()));
    } else if (sender == m_addressEdits[3]) {
        DeviceConfig.DNS2.set(toDevice(m_addressEdits[3]->Text()));
    } else if (sender == m_channelNameEdit || sender == m_channelUrlEdit) {
        // Only a slot in use takes text; the fields of an empty page show
        // a slot that is not in use.
        const int i = SelectedChannel();
        if (i < 0 || i >= ChannelCount)
            return;
        if (sender == m_channelNameEdit)
            copyText(m_channelNameEdit, DeviceConfig.Channels[size_t(i)].Name);
        else
            copyText(m_channelUrlEdit, DeviceConfig.Channels[size_t(i)].Url);
    } else if (sender == m_updateUrlEdit) {
        copyText(m_updateUrlEdit, DeviceConfig.IspUdUrl);
    } else if (sender == m_enableUpdate) {
        const bool on = m_enableUpdate->isChecked();
        m_updateUrlLabel->setEnabled(on);
        m_updateUrlEdit->setEnabled(on);
        DeviceConfig.IspUdEnable.set(on ? "T" : "F");
    }
}

void TConfigForm::PageControlChanged(int index)
{
    if (index == ProgramPage)
        BuildSummary();
    else if (index == WebFilePage)
        BuildWebFilePreview();
}

void TConfigForm::CheckBoxClick()
{
    for (QCheckBox *box : m_featureBoxes)
        box->setChecked(true);
}

void TConfigForm::SerialNumCheckBoxClick()
{
    m_serialEdit->setEnabled(m_serialNumCheckBox->isChecked());
}

// ---------------------------------------------------------------------------
// Closing

void TConfigForm::restoreSavedCopy()
{
    // Nothing to go back to before the first refresh.
    if (!m_haveSavedCopy)
        return;
    DeviceConfig = SavedConfig;
    ChannelCount = SavedChannelCount;
}

void TConfigForm::OkButtonClicked()
{
    if (CheckChannels() != 0)
        return;
    OkPressed = true;
    accept();
}

void TConfigForm::CancelButtonClicked()
{
    restoreSavedCopy();
    OkPressed = false;
    reject();
}

void TConfigForm::ConfigFormClosed()
{
    if (!OkPressed)
        restoreSavedCopy();
}

void TConfigForm::done(int result)
{
    // Every way of closing ends here: OK, Cancel, Escape and the close box.
    ConfigFormClosed();
    QDialog::done(result);
}

// ---------------------------------------------------------------------------
// Views

bool TConfigForm::configLoaded() const
{
    return m_host.ConfigFileLoaded();
}

void TConfigForm::BuildSummary()
{
    setWindowTitle(ConfigureCaption(configLoaded()));
    RenderSummary(*m_allRichEdit->document(), SummaryParagraphs(DeviceConfig));
}

void TConfigForm::BuildWebFilePreview()
{
    RenderLines(*m_webFileRichEdit->document(), WebFileLines(DeviceConfig, ChannelCount, false));
}

// ---------------------------------------------------------------------------
// Programming

void TConfigForm::ProgramButtonClicked()
{
    PopupScope popups(*this);
    // The configuration as it is at the start is what the device gets and
    // what the device history names: the file it was loaded from when it
    // still holds it, else the configuration as programmed, marked edited.
    const ProgrammingPlan plan = ProgrammingSteps(DeviceConfig, ChannelCount);
    Sink sink(*this, ConfigJobInput(DeviceConfig, ChannelCount, m_host.DeviceSerialNumber(),
                                    configLoaded() ? m_host.Settings().ConfigFile : QString()));
    RunProgramming(m_port, plan, sink);
}

void TConfigForm::addStatus(const QString &text)
{
    m_host.AddStatus(text);
}

// ---------------------------------------------------------------------------
// Channels

int TConfigForm::SelectedChannel() const
{
    for (int i = 0; i < m_channelButtons.size(); ++i) {
        if (m_channelButtons[i]->isChecked())
            return i;
    }
    return -1;
}

void TConfigForm::showChannelFields(int index)
{
    if (index < 0 || index >= ConfigChannelSlots)
        return;
    setFieldText(m_channelNameEdit, DeviceConfig.Channels[size_t(index)].Name.value());
    setFieldText(m_channelUrlEdit, DeviceConfig.Channels[size_t(index)].Url.value());
}

void TConfigForm::ChannelRadioButtonClick(int index)
{
    showChannelFields(index);
    m_channelStaticText->setText(QStringLiteral(" Channel %1 ").arg(index + 1));
}

void TConfigForm::SelectChannel(int index)
{
    if (index < 0 || index >= ConfigChannelSlots)
        return;
    m_channelButtonGroup->setExclusive(false);
    for (QRadioButton *b : std::as_const(m_channelButtons))
        b->setChecked(false);
    m_channelButtonGroup->setExclusive(true);
    m_channelButtons[index]->setChecked(true);
    m_channelStaticText->setText(QStringLiteral(" Channel %1 ").arg(index + 1));
}

void TConfigForm::ShowChannelButtons(int count)
{
    for (int i = 0; i < m_channelButtons.size(); ++i)
        m_channelButtons[i]->setVisible(i < count);
}

void TConfigForm::RefreshChannelPage()
{
    ChannelCount = ChannelsInUse(DeviceConfig);
    ShowChannelButtons(ChannelCount);
    m_addButton->setEnabled(ChannelCount < ConfigChannelSlots);
    const bool any = ChannelCount > 0;
    m_deleteButton->setEnabled(any);
    m_channelNameEdit->setEnabled(any);
    m_channelUrlEdit->setEnabled(any);
    // The selection stays within the channels in use, so that Delete and
    // typing reach only a channel that is shown.
    const int selected = SelectedChannel();
    if (!any) {
        if (selected != 0)
            SelectChannel(0);
        m_channelStaticText->setText(QStringLiteral(" No Channels "));
    } else {
        SelectChannel(selected >= 0 && selected < ChannelCount ? selected : ChannelCount - 1);
    }
}

int TConfigForm::CheckChannels()
{
    addStatus(QStringLiteral("checking for empty Channel strings"));
    const ChannelGap gap = FindChannelGap(DeviceConfig, ChannelCount);
    if (!gap.IsGap())
        return 0;
    PopupScope popups(*this);
    ShowError(this, gap.Message());
    addStatus(gap.StatusLine());
    return -1;
}

void TConfigForm::ChannelExit(QLineEdit *field)
{
    if (CheckChannels() == 0)
        return;
    // Back into the channel only when it is the one at fault; otherwise the
    // user must be free to go to that channel. The focus goes to the field
    // that lacks its text, not the one just left, which may be complete.
    // The focus change that led here is still under way: take the focus back
    // once it has settled.
    const ChannelGap gap = FindChannelGap(DeviceConfig, ChannelCount);
    if (gap.Slot - 1 == SelectedChannel()) {
        QPointer<QLineEdit> target(gap.MissingName ? m_channelNameEdit : m_channelUrlEdit);
        Q_UNUSED(field);
        QTimer::singleShot(0, this, [target] {
            if (target)
                target->setFocus(Qt::OtherFocusReason);
        });
    }
}

void TConfigForm::AddChannelClicked()
{
    if (ChannelCount >= ConfigChannelSlots || !m_addChannel)
        return;
    PopupScope popups(*this);
    m_addChannel->SetNewChannelNumber(ChannelCount + 1);
    if (m_addChannel->exec() != QDialog::Accepted)
        return;
    AddChannel(m_addChannel->ChannelName(), m_addChannel->ChannelUrl());
}

bool TConfigForm::AddChannel(const QByteArray &name, const QByteArray &url)
{
    if (ChannelCount < 0 || ChannelCount >= ConfigChannelSlots)
        return false;
    const int k = ChannelCount;
    DeviceConfig.Channels[size_t(k)].Name.set(name);
    DeviceConfig.Channels[size_t(k)].Url.set(url);
    ++ChannelCount;
    SelectChannel(k);
    showChannelFields(k);
    m_deleteButton->setEnabled(true);
    m_channelNameEdit->setEnabled(true);
    m_channelUrlEdit->setEnabled(true);
    m_addButton->setEnabled(ChannelCount < ConfigChannelSlots);
    ShowChannelButtons(ChannelCount);
    return true;
}

void TConfigForm::DeleteButtonClicked()
{
    int i = SelectedChannel();
    if (i < 0 || i >= ChannelCount)
        return;
    {
        PopupScope popups(*this);
        // Escape and the close box answer No as well.
        if (!AskYesNo(this, QStringLiteral("Delete Channel %1 ?").arg(i + 1)))
            return;
    }
    auto &slots = DeviceConfig.Channels;
    for (int n = i; n + 1 < ChannelCount; ++n)
        slots[size_t(n)] = slots[size_t(n + 1)];
    slots[size_t(ChannelCount - 1)].Name.clear();
    slots[size_t(ChannelCount - 1)].Url.clear();
    --ChannelCount;
    ShowChannelButtons(ChannelCount);
    if (i == ChannelCount && ChannelCount > 0)
        --i;
    SelectChannel(i);
    showChannelFields(i);
    m_deleteButton->setEnabled(true);
    m_addButton->setEnabled(true);
    if (ChannelCount == 0) {
        m_deleteButton->setEnabled(false);
        m_channelNameEdit->setEnabled(false);
        m_channelUrlEdit->setEnabled(false);
        m_channelStaticText->setText(QStringLiteral(" No Channels "));
    }
}

// ---------------------------------------------------------------------------
// Activation and leaving the channel fields

bool TConfigForm::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::FocusOut
        && (watched == m_channelNameEdit || watched == m_channelUrlEdit)) {
        const auto reason = static_cast<QFocusEvent *>(event)->reason();
        // Only a move to another control of this window leaves the field: a
        // popup, another window or a switch to another program does not.
        const bool withinWindow = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason
                                  || reason == Qt::MouseFocusReason
                                  || reason == Qt::ShortcutFocusReason;
        // Cancel throws the edits away and Delete may remove the channel at
        // fault; both must stay reachable.
        const QWidget *next = QApplication::focusWidget();
        const bool toDiscard = next == m_cancelButton || next == m_deleteButton;
        // Moving between the name and the URL of the channel is how a gap
        // gets filled: no check stands in the way.
        const bool toOtherField = next == m_channelNameEdit || next == m_channelUrlEdit;
        if (withinWindow && !toDiscard && !toOtherField && m_popupDepth == 0 && isVisible())
            ChannelExit(static_cast<QLineEdit *>(watched));
    }
    return QDialog::eventFilter(watched, event);
}

void TConfigForm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (event->spontaneous())
        return;
    ConfigFormActivate();
    m_refreshedOnShow = true;
}

void TConfigForm::hideEvent(QHideEvent *event)
{
    QDialog::hideEvent(event);
    if (!event->spontaneous())
        m_refreshedOnShow = false;
}

void TConfigForm::focusWindowChanged(QWindow *window)
{
    // No window of the tool has the focus: another program has it.
    if (!window || window->type() == Qt::Popup || window->type() == Qt::ToolTip)
        return;
    const QWindow *mine = windowHandle();
    const bool fromOwnPopup = m_lastWasOwnPopup;
    const QWindow *previous = m_lastToolWindow;
    m_lastToolWindow = window;
    m_lastWasOwnPopup = window != mine && m_popupDepth > 0;
    if (window != mine)
        return;
    const bool refreshed = std::exchange(m_refreshedOnShow, false);
    if (refreshed || previous == mine || fromOwnPopup || !isVisible())
        return;
    ConfigFormActivate();
}
