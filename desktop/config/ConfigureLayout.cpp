#include "desktop/config/Configure.h"

#include "desktop/config/Addch.h"
#include "core/config/ConfigFile.h"
#include "core/config/Programming.h"
#include "desktop/config/Summary.h"
#include "desktop/TypingLimit.h"
#include "desktop/fields/AbNumEdit.h"
#include "desktop/fields/AcIPEdit.h"
#include "core/DevicePorts.h"
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

// How the configure dialog is put together: its pages, fields and buttons.
// What the dialog does with them lives in Configure.cpp.

namespace {

// Push buttons of these windows never take Enter: a key pressed in a field
// must not program the device or close the window. Each has its Alt+letter
// key, marked in `caption`.
QPushButton *makeButton(const char *name, const QString &caption, QWidget *parent)
{
    auto *b = new QPushButton(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAccessibleName(WithoutMnemonic(caption).trimmed());
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

QLabel *makeLabel(const char *name, const QString &caption, QWidget *parent)
{
    auto *l = new QLabel(caption, parent);
    if (name)
        l->setObjectName(QString::fromLatin1(name));
    l->setAccessibleName(caption.trimmed());
    return l;
}

QGroupBox *makeGroup(const char *name, const QString &caption, QWidget *parent)
{
    auto *g = new QGroupBox(caption, parent);
    g->setObjectName(QString::fromLatin1(name));
    g->setAccessibleName(caption.trimmed());
    return g;
}

template <class Button>
Button *makeChoice(const char *name, const QString &caption, QWidget *parent)
{
    auto *b = new Button(caption, parent);
    b->setObjectName(QString::fromLatin1(name));
    b->setAccessibleName(caption.trimmed());
    return b;
}

QTextEdit *makeTextView(const char *name, const QString &accessibleName, const QColor &textColour,
                        QWidget *parent)
{
    auto *view = new QTextEdit(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setAccessibleName(accessibleName);
    view->setReadOnly(true);
    view->setAcceptRichText(false);
    view->setLineWrapMode(QTextEdit::NoWrap);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    QFont font(QStringLiteral("Courier"));
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    view->setFont(font);
    view->document()->setDefaultFont(font);
    QPalette palette = view->palette();
    palette.setColor(QPalette::Base, QColor(0xF8, 0xF8, 0xF0));
    palette.setColor(QPalette::Text, textColour);
    view->setPalette(palette);
    view->setMinimumSize(view->fontMetrics().averageCharWidth() * 60,
                         view->fontMetrics().height() * 14);
    return view;
}

} // namespace

// ---------------------------------------------------------------------------
// Window

QLineEdit *TConfigForm::addTextField(const char *name, const QString &accessibleName, int limit)
{
    auto *field = new QLineEdit(this);
    field->setObjectName(QString::fromLatin1(name));
    field->setAccessibleName(accessibleName);
    TypingLimit::Install(field, limit);
    connect(field, &QLineEdit::textChanged, this, [this, field] { ConfigEditChanged(field); });
    return field;
}

void TConfigForm::bindChoice(QAbstractButton *button)
{
    // A button that goes off runs nothing; the one that comes on does.
    connect(button, &QAbstractButton::toggled, this, [this, button](bool on) {
        if (on)
            ConfigEditChanged(button);
    });
}

void TConfigForm::bindToggle(QAbstractButton *button)
{
    connect(button, &QAbstractButton::toggled, this, [this, button] { ConfigEditChanged(button); });
}

void TConfigForm::buildWindow()
{
    m_pageControl = new QTabWidget(this);
    m_pageControl->setObjectName(QStringLiteral("PageControl"));
    m_pageControl->setAccessibleName(QStringLiteral("Configuration pages"));
    const std::pair<QWidget *, QString> pages[] = {
        {buildTypePage(), QStringLiteral("Type")},
        {buildModePage(), QStringLiteral(" Mode")},
        {buildNetworkPage(), QStringLiteral(" Network")},
        {buildChannelPage(), QStringLiteral("Webfile Channels ")},
        {buildEnhancedPage(), QStringLiteral("Enhanced EV")},
        {buildProgramPage(), QStringLiteral(" Program")},
        {buildWebFilePage(), QStringLiteral(" Web File Save")},
        {buildRemoteUpdatePage(), QStringLiteral("Remote Update")},
    };
    for (const auto &[page, caption] : pages) {
        page->setAccessibleName(caption.trimmed());
        m_pageControl->addTab(page, caption);
    }
    m_pageControl->setCurrentIndex(ProgramPage);
    connect(m_pageControl, &QTabWidget::currentChanged, this, &TConfigForm::PageControlChanged);

    auto *current = makeGroup("CurrentConfigGroupBox", QStringLiteral(" Current Configuration File "),
                              this);
    m_configFileStaticText = makeLabel("ConfigFileStaticText",
                                       QStringLiteral(" No configuration file loaded "), current);
    m_configFileStaticText->setAccessibleName(QStringLiteral("Current configuration file"));
    m_configFileStaticText->setTextFormat(Qt::PlainText);
    auto *currentLayout = new QHBoxLayout(current);
    currentLayout->addWidget(m_configFileStaticText, 1);

    m_loadButton = makeButton("LoadConfigFileButton", QStringLiteral("&Load Configuration File"), this);
    m_saveButton = makeButton("SaveConfigFileButton", QStringLiteral("&Save Configuration File"), this);
    m_okButton = makeButton("OKButton", QStringLiteral("&OK"), this);
    m_cancelButton = makeButton("Button3", QStringLiteral("&Cancel"), this);
    connect(m_loadButton, &QPushButton::clicked, this, &TConfigForm::OpenConfigFile1Click);
    connect(m_saveButton, &QPushButton::clicked, this, &TConfigForm::SaveConfigFile1Click);
    connect(m_okButton, &QPushButton::clicked, this, &TConfigForm::OkButtonClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &TConfigForm::CancelButtonClicked);

    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_loadButton);
    buttons->addWidget(m_saveButton);
    buttons->addStretch();
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(m_pageControl, 1);
    layout->addWidget(current);
    layout->addLayout(buttons);
    // Room for every page's tab and a summary line without scrolling sideways.
    const int em = fontMetrics().averageCharWidth();
    resize(std::max(sizeHint().width(), em * 130), std::max(sizeHint().height(), em * 75));
}

QWidget *TConfigForm::buildTypePage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet6"));
    auto *group = makeGroup("TypeGroupBox", QStringLiteral("Mirto Type Selection"), page);
    m_typeE = makeChoice<QRadioButton>("TypeERadioButton", QStringLiteral("Mirto E (Ethernet)"), group);
    m_typeT = makeChoice<QRadioButton>("TypeTRadioButton",
                                       QStringLiteral("Mirto T (Telephone line)"), group);
    m_typeTE = makeChoice<QRadioButton>("TypeTERadioButton",
                                        QStringLiteral("Mirto TE (Telephone line + Ethernet)"), group);
    auto *groupLayout = new QVBoxLayout(group);
    for (QRadioButton *b : {m_typeE, m_typeT, m_typeTE}) {
        groupLayout->addWidget(b);
        bindChoice(b);
    }

    auto *note = new QFrame(page);
    note->setObjectName(QStringLiteral("TypeNotePanel"));
    note->setFrameShape(QFrame::StyledPanel);
    auto *noteLayout = new QVBoxLayout(note);
    noteLayout->addWidget(makeLabel("TypeNoteLabel", QStringLiteral("Note:"), note));
    noteLayout->addWidget(makeLabel("TypeNotStoredLabel",
                                    QStringLiteral("Type Selection will not be stored in the Mirto. "),
                                    note));
    noteLayout->addWidget(makeLabel(
        "TypeSettingsMenuLabel",
        QStringLiteral("Use the settings menu in the Mirto to change the current type of your Mirto"),
        note));

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    layout->addWidget(note);
    layout->addStretch();
    return page;
}

QWidget *TConfigForm::buildModePage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet1"));
    auto *group = makeGroup("ModeGroupBox", QStringLiteral("Mode Selection"), page);
    m_mode1 = makeChoice<QRadioButton>("Mode1RadioButton", QStringLiteral("Mode 1"), group);
    m_mode2 = makeChoice<QRadioButton>("Mode2RadioButton", QStringLiteral("Mode 2"), group);
    m_mode3 = makeChoice<QRadioButton>("Mode3RadioButton", QStringLiteral("Mode 3"), group);
    const std::pair<QRadioButton *, QString> modes[] = {
        {m_mode1, QStringLiteral("ISP and channels database from Mirto firmware")},
        {m_mode2, QStringLiteral("Fixed ISP, channels from Web File or Web Database")},
        {m_mode3, QStringLiteral("Fixed ISP, fixed channels")},
    };
    auto *groupLayout = new QGridLayout(group);
    int row = 0;
    for (const auto &[button, meaning] : modes) {
        groupLayout->addWidget(button, row, 0);
        QLabel *label = makeLabel(nullptr, meaning, group);
        label->setObjectName(button->objectName() + QStringLiteral("Label"));
        groupLayout->addWidget(label, row, 1);
        button->setAccessibleDescription(meaning);
        bindChoice(button);
        ++row;
    }
    groupLayout->setColumnStretch(1, 1);

    m_webMethodGroup = makeGroup("WebMethodRadioGroup", QStringLiteral("Web Method"), page);
    m_useWebDB = makeChoice<QCheckBox>("UseWebDBCheckBox", QStringLiteral("Use Web Database"),
                                       m_webMethodGroup);
    m_useWebFile = makeChoice<QCheckBox>("UseWebFileCheckBox", QStringLiteral("Use Web File"),
                                         m_webMethodGroup);
    bindToggle(m_useWebDB);
    bindToggle(m_useWebFile);
    m_databaseUrlLabel = makeLabel("DatabaseURLLabel", QStringLiteral("Web URL"), m_webMethodGroup);
    m_ispDbUrlEdit = addTextField("IspDbUrlEdit", QStringLiteral("Web URL"), 144);
    m_ispDbUrlEdit->setParent(m_webMethodGroup);
    m_databaseUrlLabel->setBuddy(m_ispDbUrlEdit);
    auto *webLayout = new QGridLayout(m_webMethodGroup);
    webLayout->addWidget(m_useWebDB, 0, 0, 1, 2);
    webLayout->addWidget(m_useWebFile, 1, 0, 1, 2);
    webLayout->addWidget(m_databaseUrlLabel, 2, 0);
    webLayout->addWidget(m_ispDbUrlEdit, 2, 1);
    webLayout->setColumnStretch(1, 1);

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    layout->addWidget(m_webMethodGroup);
    layout->addStretch();
    return page;
}

QWidget *TConfigForm::buildNetworkPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet2"));
    auto *group = makeGroup("NetworkGroupBox", QStringLiteral("Network Settings"), page);
    m_dhcp = makeChoice<QRadioButton>("DHCPRadioButton", QStringLiteral("DHCP"), group);
    m_fixedIp = makeChoice<QRadioButton>("IPAddressRadioButton", QStringLiteral("Fixed IP Address"),
                                         group);
    bindChoice(m_dhcp);
    bindChoice(m_fixedIp);
    auto *groupLayout = new QHBoxLayout(group);
    groupLayout->addWidget(m_dhcp);
    groupLayout->addWidget(m_fixedIp);
    groupLayout->addStretch();

    m_subPageControl = new QTabWidget(page);
    m_subPageControl->setObjectName(QStringLiteral("SubPageControl"));
    m_subPageControl->setAccessibleName(QStringLiteral("Network sub-pages"));

    auto *isp = new QWidget;
    isp->setObjectName(QStringLiteral("TabSheet7"));
    isp->setAccessibleName(QStringLiteral("ISP settings"));
    m_ispNameEdit = addTextField("IspNameEdit", QStringLiteral("Name"), 11);
    m_ispNumberEdit = addTextField("IspNumberEdit", QStringLiteral("Number"), 24);
    m_ispUsernameEdit = addTextField("IspUsernameEdit", QStringLiteral("Username"), 34);
    m_ispPasswordEdit = addTextField("IspPasswordEdit", QStringLiteral("Password"), 24);
    auto *ispLayout = new QGridLayout(isp);
    const std::pair<QLineEdit *, QString> ispFields[] = {
        {m_ispNameEdit, QStringLiteral("Name")},
        {m_ispNumberEdit, QStringLiteral("Number")},
        {m_ispUsernameEdit, QStringLiteral("Username")},
        {m_ispPasswordEdit, QStringLiteral("Password")},
    };
    int row = 0;
    for (const auto &[field, caption] : ispFields) {
        field->setParent(isp);
        QLabel *label = makeLabel(nullptr, caption, isp);
        label->setObjectName(field->objectName() + QStringLiteral("Label"));
        label->setBuddy(field);
        ispLayout->addWidget(label, row, 0);
        ispLayout->addWidget(field, row, 1);
        ++row;
    }
    ispLayout->setColumnStretch(1, 1);
    ispLayout->setRowStretch(row, 1);

    auto *ip = new QWidget;
    ip->setObjectName(QStringLiteral("TabSheet8"));
    ip->setAccessibleName(QStringLiteral("IP settings"));
    auto *ipLayout = new QGridLayout(ip);
    const char *labelNames[4] = {"IPLabel", "GWLabel", "DNS1Label", "DNS2Label"};
    const QString labelTexts[4] = {QStringLiteral("IP address"), QStringLiteral("Gateway"),
                                   QStringLiteral("DNS 1"), QStringLiteral("DNS 2")};
    const char *editNames[4] = {"IPacIPEdit", "GWacIPEdit", "DNS1acIPEdit", "DNS2acIPEdit"};
    for (int i = 0; i < 4; ++i) {
        m_addressLabels[i] = makeLabel(labelNames[i], labelTexts[i], ip);
        auto *edit = new TacIPEdit(ip);
        edit->setObjectName(QString::fromLatin1(editNames[i]));
        edit->setAccessibleName(labelTexts[i]);
        m_addressEdits[i] = edit;
        m_addressLabels[i]->setBuddy(edit);
        connect(edit, &TacIPEdit::OnChange, this, [this, edit] { ConfigEditChanged(edit); });
        ipLayout->addWidget(m_addressLabels[i], i, 0);
        ipLayout->addWidget(edit, i, 1, Qt::AlignLeft);
    }
    ipLayout->setColumnStretch(1, 1);
    ipLayout->setRowStretch(4, 1);

    m_subPageControl->addTab(isp, QStringLiteral("ISP settings"));
    m_subPageControl->addTab(ip, QStringLiteral("IP settings"));
    m_subPageControl->setCurrentIndex(IpSubPage);

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    layout->addWidget(m_subPageControl, 1);
    return page;
}

QWidget *TConfigForm::buildChannelPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet3"));
    m_channelGroup = makeGroup("ChannelSettingsGroupBox", QStringLiteral("Channel Settings"), page);

    auto *numbers = makeGroup("ChannelNumberGroupBox", QStringLiteral("Channel Number"), m_channelGroup);
    auto *numbersLayout = new QGridLayout(numbers);
    m_channelButtonGroup = new QButtonGroup(this);
    m_channelButtonGroup->setExclusive(true);
    for (int i = 0; i < ConfigChannelSlots; ++i) {
        auto *b = new QRadioButton(QString::number(i + 1), numbers);
        b->setObjectName(QStringLiteral("RadioButton%1").arg(i));
        b->setAccessibleName(QStringLiteral("Channel %1").arg(i + 1));
        m_channelButtonGroup->addButton(b, i);
        m_channelButtons.append(b);
        numbersLayout->addWidget(b, i / 8, i % 8);
        connect(b, &QRadioButton::toggled, this, [this, i](bool on) {
            if (on)
                ChannelRadioButtonClick(i);
        });
    }

    m_channelStaticText = makeLabel("ChannelStaticText", QStringLiteral(" Channel 1 "), m_channelGroup);
    m_channelStaticText->setAccessibleName(QStringLiteral("Selected channel"));
    m_channelNameEdit = addTextField("ChannelNameEdit", QStringLiteral("Name"), 12);
    m_channelUrlEdit = addTextField("ChannelUrlEdit", QStringLiteral("URL"), 144);
    m_channelNameEdit->setParent(m_channelGroup);
    m_channelUrlEdit->setParent(m_channelGroup);
    m_channelNameEdit->installEventFilter(this);
    m_channelUrlEdit->installEventFilter(this);
    QLabel *nameLabel = makeLabel("ChannelNameLabel", QStringLiteral("Name"), m_channelGroup);
    QLabel *urlLabel = makeLabel("ChannelUrlLabel", QStringLiteral("URL"), m_channelGroup);
    nameLabel->setBuddy(m_channelNameEdit);
    urlLabel->setBuddy(m_channelUrlEdit);

    m_addButton = makeButton("AddButton", QStringLiteral("&Add a Channel"), m_channelGroup);
    m_deleteButton = makeButton("DeleteButton", QStringLiteral("&Delete this Channel"), m_channelGroup);
    connect(m_addButton, &QPushButton::clicked, this, &TConfigForm::AddChannelClicked);
    connect(m_deleteButton, &QPushButton::clicked, this, &TConfigForm::DeleteButtonClicked);

    auto *fields = new QGridLayout;
    fields->addWidget(m_channelStaticText, 0, 0, 1, 2);
    fields->addWidget(nameLabel, 1, 0);
    fields->addWidget(m_channelNameEdit, 1, 1);
    fields->addWidget(urlLabel, 2, 0);
    fields->addWidget(m_channelUrlEdit, 2, 1);
    fields->setColumnStretch(1, 1);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_addButton);
    buttons->addWidget(m_deleteButton);
    buttons->addStretch();
    auto *groupLayout = new QVBoxLayout(m_channelGroup);
    groupLayout->addWidget(numbers);
    groupLayout->addLayout(fields);
    groupLayout->addLayout(buttons);
    groupLayout->addStretch();

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(m_channelGroup);
    m_channelButtons.first()->setChecked(true);
    return page;
}

QWidget *TConfigForm::buildEnhancedPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet10"));
    auto *features = makeGroup("FeaturesGroupBox", QStringLiteral(" Advanced Features (always ON)"), page);
    const QString captions[5] = {
        QStringLiteral("Unattended operation"), QStringLiteral("Watchdog application"),
        QStringLiteral("Auto configure"), QStringLiteral("Auto recover (network)"),
        QStringLiteral("Auto recover (stream)")};
    auto *featuresLayout = new QVBoxLayout(features);
    for (int i = 0; i < 5; ++i) {
        auto *box = new QCheckBox(captions[i], features);
        box->setObjectName(QStringLiteral("CheckBox%1").arg(i + 1));
        box->setAccessibleName(captions[i]);
        box->setChecked(true);
        m_featureBoxes[i] = box;
        featuresLayout->addWidget(box);
        connect(box, &QCheckBox::clicked, this, &TConfigForm::CheckBoxClick);
    }

    auto *serial = makeGroup("SerialGroupBox", QStringLiteral(" Progam Serial Number (5 hex-digits)"), page);
    QLabel *serialLabel = makeLabel("SerialNumberLabel", QStringLiteral("Serial Number"), serial);
    m_serialEdit = new TAbNumEdit(serial);
    m_serialEdit->setObjectName(QStringLiteral("SerialAbNumEdit"));
    m_serialEdit->setAccessibleName(QStringLiteral("Serial Number"));
    m_serialEdit->setToolTip(QStringLiteral("Enter your 5-digit Serialnumber here"));
    m_serialEdit->setMaximumWidth(m_serialEdit->fontMetrics().averageCharWidth() * 10);
    serialLabel->setBuddy(m_serialEdit);
    connect(m_serialEdit, &TAbNumEdit::OnChange, this, [this] { ConfigEditChanged(m_serialEdit); });
    m_serialNumCheckBox = makeChoice<QCheckBox>("SerialNumCheckBox",
                                                QStringLiteral("Program serial number"), serial);
    connect(m_serialNumCheckBox, &QCheckBox::toggled, this, &TConfigForm::SerialNumCheckBoxClick);
    auto *serialLayout = new QHBoxLayout(serial);
    serialLayout->addWidget(serialLabel);
    serialLayout->addWidget(m_serialEdit);
    serialLayout->addWidget(m_serialNumCheckBox);
    serialLayout->addStretch();

    auto *layout = new QVBoxLayout(page);
    layout->addWidget(features);
    layout->addWidget(serial);
    layout->addStretch();
    return page;
}

QWidget *TConfigForm::buildProgramPage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet4"));
    auto *group = makeGroup("AllSettingsGroupBox",
                            QStringLiteral("All Settings  (Click 'Program' to store in Mirto) "), page);
    m_allRichEdit = makeTextView("AllRichEdit", QStringLiteral("All settings"), Qt::blue, group);
    m_programButton = makeButton("Button2", QStringLiteral("&Program"), group);
    m_programButton->setToolTip(QStringLiteral("Click to program all settings into Mirto"));
    connect(m_programButton, &QPushButton::clicked, this, &TConfigForm::ProgramButtonClicked);
    auto *groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(m_allRichEdit, 1);
    groupLayout->addWidget(m_programButton, 0, Qt::AlignRight);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    return page;
}

QWidget *TConfigForm::buildWebFilePage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet5"));
    auto *group = makeGroup("WebFileGroupBox", QStringLiteral("Contents of  Web File"), page);
    m_webFileRichEdit = makeTextView("WebFileRichEdit", QStringLiteral("Contents of Web File"),
                                     Qt::black, group);
    m_saveWebFileButton = makeButton("Button1", QStringLiteral("Save &Web File"), group);
    connect(m_saveWebFileButton, &QPushButton::clicked, this, &TConfigForm::SaveWebFileClicked);
    auto *groupLayout = new QVBoxLayout(group);
    groupLayout->addWidget(m_webFileRichEdit, 1);
    groupLayout->addWidget(m_saveWebFileButton, 0, Qt::AlignRight);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    return page;
}

QWidget *TConfigForm::buildRemoteUpdatePage()
{
    auto *page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet9"));
    auto *group = makeGroup("PropertiesGroupBox", QStringLiteral(" Properties "), page);
    m_enableUpdate = makeChoice<QCheckBox>("EnableUpdateCheckBox", QStringLiteral("Enable"), group);
    m_enableUpdate->setAccessibleName(QStringLiteral("Enable remote update"));
    bindToggle(m_enableUpdate);
    m_updateUrlLabel = makeLabel("UpdateURLlabel", QStringLiteral("Update URL"), group);
    m_updateUrlEdit = addTextField("UpdateURLEdit", QStringLiteral("Update URL"), 144);
    m_updateUrlEdit->setParent(group);
    m_updateUrlLabel->setBuddy(m_updateUrlEdit);
    auto *groupLayout = new QGridLayout(group);
    groupLayout->addWidget(m_enableUpdate, 0, 0, 1, 2);
    groupLayout->addWidget(m_updateUrlLabel, 1, 0);
    groupLayout->addWidget(m_updateUrlEdit, 1, 1);
    groupLayout->setColumnStretch(1, 1);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    layout->addStretch();
    return page;
}
