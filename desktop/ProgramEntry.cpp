#include "desktop/ProgramEntry.h"

#include "desktop/config/Configure.h"
#include "desktop/Advanced.h"
#include "desktop/firmware/Upload.h"
#include "desktop/About.h"
#include "desktop/Commainform.h"
#include "desktop/ErrorDisplay.h"
#include "core/links/ClientSocket.h"

#include <QApplication>
#include <QProxyStyle>
#include <QHelpEvent>
#include <QScreen>
#include <QToolTip>

#include <memory>

namespace {

// Hints show almost at once and stay long enough to be read.
class HintStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_ToolTip_WakeUpDelay)
            return 10;
        if (hint == SH_ToolTip_FallAsleepDelay)
            return 50000;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// A hint stays up to 50 seconds. The style only says how soon it comes;
// how long it stays is given when it is shown.
class HintDuration : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::ToolTip || !watched->isWidgetType())
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        if (widget->toolTip().isEmpty())
            return false;
        QToolTip::showText(static_cast<QHelpEvent *>(event)->globalPos(), widget->toolTip(), widget,
                           QRect(), HintStaysMs);
        return true;
    }
    static constexpr int HintStaysMs = 50000;
};

} // namespace

int ProgramEntry(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setStyle(new HintStyle);
    HintDuration hintDuration;
    app.installEventFilter(&hintDuration);
    QApplication::setApplicationName(QStringLiteral("mirto-terminal"));
    // No display name: the platform would append it to every window title.
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/mirto-terminal.svg")));
    // Errors that the network link meets inside its own events reach the
    // user through the same display as every other link error.
    TClientSocket::DefaultErrorReporter = &ShowErrorMessage;
    try {
        // The main window comes first: closing it ends the program. The other
        // windows live as long as it does and are only shown and hidden.
        auto mainForm = std::make_unique<TMainForm>();
        auto *about = new TAboutForm(mainForm.get());
        // The add-channel dialog and the power-plug prompt are made by the
        // dialogs that open them, as their own children: when one closes, the
        // desktop hands the focus back to that dialog, not to the main
        // window (which the configure dialog would take for the user coming
        // back from another window, and refresh).
        auto *config = new TConfigForm(mainForm->Commands(), mainForm->ConfigHostPort(), nullptr,
                                       mainForm.get());
        auto *upload = new TUploadForm(mainForm->Boot(), mainForm->Settings(), nullptr, mainForm.get());
        auto *advanced = new TAdvancedForm(mainForm->ConsolePort(), mainForm.get());
        mainForm->SetDialogs(about, config, upload, advanced);
        // The desktop menu starts programs in the home folder, which is no
        // place for the tool's settings: its entry asks for the user's
        // configuration folder instead. Started by hand, the folder it is
        // started in holds them.
        if (app.arguments().contains(QStringLiteral("--config-folder")))
            mainForm->StartInConfigFolder();
        // Where the user left it; the first time at its designed size in the
        // middle of the screen.
        if (!mainForm->RestoreWindowPlacement()) {
            if (const QScreen *screen = QGuiApplication::primaryScreen())
                mainForm->move(screen->availableGeometry().center() - mainForm->rect().center());
        }
        mainForm->show();
        app.exec();
    } catch (const std::exception &error) {
        ShowException(error);
    }
    return 0;
}
