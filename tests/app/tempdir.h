// A fresh directory under the system's temporary folder for one test,
// removed with everything in it when the object goes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class TempDir {
  public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "quellon-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        if (made != nullptr) path_ = made;
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

    // Writes content to name inside the directory and returns its path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::string file = File(name);
        std::ofstream out(file, std::ios::binary);
        out << content;
        return file;
    }

  private:
    std::string path_;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The last `bytes` bytes of a file (all of a shorter one), for a failure
// report.
inline std::string TailOfFile(const std::string& path, size_t bytes) {
    std::string text = ReadWholeFile(path);
    return text.substr(text.size() > bytes ? text.size() - bytes : 0);
}
