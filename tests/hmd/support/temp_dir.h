// A fresh folder under the system's temporary folder for one test, removed with its contents.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <ftw.h>
#include <unistd.h>

namespace visor_test {

class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/visor_support_XXXXXX";
        if (mkdtemp(&pattern[0]))
            Path = pattern;
    }
    ~TempDir() {
        if (!Path.empty())
            nftw(Path.c_str(), Remove, 16, FTW_DEPTH | FTW_PHYS);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return Path; }
    std::string file(const std::string& name) const { return Path + "/" + name; }

    // Writes bytes to name (creating it); false on failure.
    bool write(const std::string& name, const std::string& bytes) const {
        std::ofstream out(file(name), std::ios::binary);
        return bool(out.write(bytes.data(), std::streamsize(bytes.size())).flush());
    }
    std::string read(const std::string& name) const {
        std::ostringstream bytes;
        bytes << std::ifstream(file(name), std::ios::binary).rdbuf();
        return bytes.str();
    }

private:
    static int Remove(const char* path, const struct stat*, int, struct FTW*) {
        return ::remove(path);
    }
    std::string Path;
};

} // namespace visor_test
