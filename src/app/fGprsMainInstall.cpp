// The installation actions of the wizard's "Далее" and the About page's links.

#include "app/fGprsMain.h"

#include "dialogs/TfrmMsg.h"
#include "platform/base/CommandLine.h"
#include "platform/base/MachineRoot.h"
#include "platform/system/Shell.h"

#include <QCheckBox>
#include <QMessageBox>

#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace sp {
namespace {

constexpr const char* kShortcutName = "Zentora Skyportal";

// The design's texts carry %s where the values go, in order.
QString Format(const char* text, std::initializer_list<QString> values) {
    QString out = QString::fromUtf8(text);
    for (const QString& value : values) {
        const qsizetype at = out.indexOf(QStringLiteral("%s"));
        if (at < 0)
            break;
        out.replace(at, 2, value);
    }
    return out;
}

// Copies through a temporary file beside the target, so a failed copy leaves
// no half-written program and a running copy is replaced, not overwritten.
bool CopyProgram(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    const std::filesystem::path tmp = to.parent_path() / ("." + to.filename().string() + ".copy");
    std::filesystem::remove(tmp, ec);
    if (!std::filesystem::copy_file(from, tmp, std::filesystem::copy_options::overwrite_existing, ec) || ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    std::filesystem::rename(tmp, to, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        return false;
    }
    return true;
}

} // namespace

bool TfrmGprsMain::RunInstallActions() {
    const std::filesystem::path program = ProgramFile();
    std::filesystem::path target = program;
    if (chbCopy->isChecked()) {
        const std::filesystem::path folder = WindowsPathToHost(kCopyFolder);
        std::error_code ec;
        if (!std::filesystem::is_directory(folder, ec)) {
            std::filesystem::create_directories(folder, ec);
            if (!std::filesystem::is_directory(folder, ec)) {
                ShowMsg(Format("Ошибка: невозможно создать каталог %s", {QString::fromUtf8(kCopyFolder)}),
                        MsgKind::Error, {MsgButton::Ok});
                return false;
            }
        }
        const std::filesystem::path copy = folder / program.filename();
        if (!CopyProgram(program, copy)) {
            QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle),
                            Format("Ошибка: невозможно скопировать файл %s в каталог %s",
                                   {QString::fromStdString(FProgramFile), QString::fromUtf8(kCopyFolder)}),
                            QMessageBox::Ok, this);
            box.exec();
            return false;
        }
        target = copy;
    }
    const bool nt = ReadMachineVersion().nt;
    if (chbDesktop->isChecked())
        CreateShortcut(target.string(), "", kApplicationTitle,
                       nt ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_DESKTOPDIRECTORY);
    if (chbAutorun->isChecked())
        CreateShortcut(target.string(), "/auto", kApplicationTitle, nt ? CSIDL_COMMON_STARTUP : CSIDL_STARTUP);
    return true;
}

void TfrmGprsMain::CreateShortcut(const std::string& target, const std::string& args,
                                  const std::string& description, int folder) {
    TShellLink link;
    link.name = kShortcutName;
    link.target = target;
    link.arguments = args;
    link.description = description;
    link.workingDirectory = std::filesystem::path(target).parent_path();
    link.icon = "skyportal";
    // A shortcut that cannot be saved is simply missing.
    (void)SaveShellLink(link, SpecialFolderPath(folder));
}

void TfrmGprsMain::lblWWWClick() {
    (void)ShellExecuteOpen(std::string("http://") + kOperatorHost);
}

void TfrmGprsMain::lblMailClick() {
    (void)ShellExecuteOpen(std::string("mailto:") + kSupportMail);
}

} // namespace sp
