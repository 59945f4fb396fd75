#include "app/BundledTool.h"

#include "platform/base/CommandLine.h"

#include <QFileInfo>
#include <QStandardPaths>
#include <QStringList>

namespace sp {

QString BundledToolPath(const char* override, const char* name) {
    const QString env = qEnvironmentVariable(override);
    if (!env.isEmpty())
        return env;
    const QStringList folders{QFileInfo(QString::fromStdString(ProgramFile())).absolutePath(),
                              QStringLiteral(SKYPORTAL_BUILD_BIN_DIR),
                              QStringLiteral(SKYPORTAL_INSTALL_BIN_DIR)};
    for (const QString& folder : folders) {
        const QFileInfo f(folder + QLatin1Char('/') + QLatin1String(name));
        if (f.isFile() && f.isExecutable())
            return f.filePath();
    }
    return QStandardPaths::findExecutable(QLatin1String(name));
}

} // namespace sp
