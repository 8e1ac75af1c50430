#include "cli/CliReport.h"

#include "cli/CliOutput.h"
#include "core/JunitReport.h"

#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace {

QString cannotWrite(const QString &path, const QString &why)
{
    return QStringLiteral("The JUnit report %1 cannot be written: %2").arg(path, why);
}

} // namespace

bool CheckJunitPath(const QString &path, QString &problem)
{
    const QFileInfo file(path);
    const QFileInfo folder(file.absolutePath());
    int code = 0;
    if (file.isDir())
        code = EISDIR;
    else if (!folder.exists())
        code = ENOENT;
    else if (!folder.isDir())
        code = ENOTDIR;
    else if (!folder.isWritable())
        code = EACCES;
    if (code == 0)
        return true;
    problem = cannotWrite(path, QString::fromLocal8Bit(std::strerror(code)));
    return false;
}

bool WriteJunitReport(const QString &path, CliRequest::Command command, const QStringList &labels,
                      const QList<CliResult> &results, const QDateTime &started, qint64 elapsedMs, QString &problem)
{
    const QString word = CliCommandName(command);
    JunitReport report(QStringLiteral("mirto-cli ") + word);
    for (qsizetype i = 0; i < results.size(); ++i)
        report.Add(JunitCaseFromResult(CliResultObject(labels.at(i), results.at(i)), word,
                                       double(results.at(i).elapsedMs) / 1000.0));
    report.SetStarted(started);
    report.SetSeconds(double(elapsedMs) / 1000.0);
    const QString why = report.Write(path);
    if (why.isEmpty())
        return true;
    problem = cannotWrite(path, why);
    return false;
}
