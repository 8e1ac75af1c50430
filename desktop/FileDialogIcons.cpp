#include "desktop/FileDialogIcons.h"

#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>

namespace {

class NameOnlyIcons : public QFileIconProvider {
public:
    QIcon icon(IconType type) const override { return QFileIconProvider::icon(type); }
    QIcon icon(const QFileInfo &info) const override
    {
        if (info.isRoot())
            return QFileIconProvider::icon(Drive);
        return QFileIconProvider::icon(info.isDir() ? Folder : File);
    }
    QString type(const QFileInfo &info) const override
    {
        if (info.isDir())
            return QStringLiteral("Folder");
        const QString suffix = info.suffix();
        return suffix.isEmpty() ? QStringLiteral("File") : suffix.toUpper() + QStringLiteral(" File");
    }
};

} // namespace

void ReadNoContents(QFileDialog &dialog)
{
    // The dialog keeps the provider only by its address: it lives as long
    // as the dialog.
    auto *icons = new NameOnlyIcons;
    QObject::connect(&dialog, &QObject::destroyed, [icons] { delete icons; });
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setIconProvider(icons);
}
