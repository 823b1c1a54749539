// Where the profile file lives on Linux: the XDG data folder ($XDG_DATA_HOME, else
// ~/.local/share) with a "Visor" folder inside.
#include "hmd/support/profile.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Visor {

namespace {

bool IsDirectory(const char* path) {
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Like mkdir -p; new folders are private to the user, as the XDG base directories should be.
bool MakeFolders(StringBuffer& path) {
    char* text = const_cast<char*>(path.GetData());
    for (size_t i = 1; i <= path.GetSize(); ++i) {
        if (text[i] != '/' && text[i] != 0)
            continue;
        char saved = text[i];
        text[i] = 0;
        bool ok = mkdir(text, 0700) == 0 || errno == EEXIST;
        text[i] = saved;
        if (!ok)
            return false;
    }
    return IsDirectory(path.GetData());
}

} // namespace

String ProfileManager::ProfileFilePath(bool createFolder) {
    StringBuffer path;
    // The XDG rules ignore a relative XDG_DATA_HOME.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (dataHome && dataHome[0] == '/') {
        path.AppendString(dataHome);
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') {
            // Without HOME (a service, a cleared environment) the password entry still knows.
            struct passwd entry;
            struct passwd* found = nullptr;
            char buffer[4096];
            if (getpwuid_r(getuid(), &entry, buffer, sizeof(buffer), &found) != 0 || !found ||
                !found->pw_dir || found->pw_dir[0] != '/')
                return String();
            path.AppendString(found->pw_dir);
        } else {
            path.AppendString(home);
        }
        path.AppendString("/.local/share");
    }
    if (!path.AppendString("/Visor"))
        return String();
    if (createFolder && !IsDirectory(path.GetData()))
        MakeFolders(path);
    if (!path.AppendString("/Profiles.json"))
        return String();
    return path.ToString();
}

} // namespace Visor
