// A fresh directory under the system's temporary folder for one test,
// removed with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

class TempDir {
  public:
    // A name of six random letters; one that exists already is passed over.
    TempDir() {
        std::error_code error;
        const std::filesystem::path base = std::filesystem::temp_directory_path(error);
        if (error) return;
        std::random_device seed;
        std::mt19937 random(seed());
        std::uniform_int_distribution<int> letter(0, 25);
        for (int attempt = 0; attempt < 100; ++attempt) {
            std::string name = "quellon-";
            for (int i = 0; i < 6; ++i) name.push_back(static_cast<char>('a' + letter(random)));
            const std::filesystem::path candidate = base / name;
            if (std::filesystem::create_directory(candidate, error)) {
                path_ = candidate.string();
                return;
            }
            if (error) return;
        }
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
