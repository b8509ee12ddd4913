#include "appcore/applocations.h"

#include "base/format.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <cctype>
#include <unistd.h>

namespace kestrel {

std::string ProgramDirectory()
{
    std::string dir;
    if (QCoreApplication::instance())
        dir = QCoreApplication::applicationDirPath().toStdString();
    else {
        char buf[4096];
        ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
        if (n > 0) {
            dir.assign(buf, static_cast<size_t>(n));
            dir = dir.substr(0, dir.rfind('/'));
        }
    }
    if (dir.empty() || (dir.back() != '/' && dir.back() != ':' && dir.back() != '\\'))
        dir += '/';
    return dir;
}

std::string ConfigFileFromArguments(const std::vector<std::string> &args, const std::string &programDirectory)
{
    for (const auto &a : args) {
        if (a.size() >= 3 && (a[0] == '-' || a[0] == '/') &&
            std::toupper(static_cast<unsigned char>(a[1])) == 'I' && a[2] == ':')
            // The path is kept as typed: file names on this system are case-sensitive.
            return a.substr(3);
    }
    return programDirectory + "gsm.ini";
}

TAppLocations ResolveAppLocations(const std::vector<std::string> &args, const std::string &programDirectory,
                                  const std::function<bool(const std::string &dir)> &writable)
{
    TAppLocations result;
    result.ConfigFile = ConfigFileFromArguments(args, programDirectory);
    result.LogDirectory = programDirectory;
    if (writable ? writable(programDirectory) : access(programDirectory.c_str(), W_OK) == 0)
        return result;
    auto userDir = [](QStandardPaths::StandardLocation where) {
        QString dir = QStandardPaths::writableLocation(where);
        // The folders of the settings (the PIN), the logs and the store are the user's alone.
        if (!QDir(dir).exists() && QDir().mkpath(dir))
            QFile::setPermissions(dir, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        std::string d = dir.toStdString();
        return d.empty() || d.back() == '/' ? d : d + "/";
    };
    const bool configGiven = result.ConfigFile != programDirectory + "gsm.ini";
    if (!configGiven)
        result.ConfigFile = userDir(QStandardPaths::AppConfigLocation) + "gsm.ini";
    result.LogDirectory = userDir(QStandardPaths::AppDataLocation);
    result.Notice =
        Format("The program's directory %s is not writable: settings are kept in %s and logs in %s",
               programDirectory.c_str(), result.ConfigFile.c_str(), result.LogDirectory.c_str());
    return result;
}

} // namespace kestrel
