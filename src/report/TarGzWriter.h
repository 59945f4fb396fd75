#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace sp {

// Writes a .tar.gz: POSIX ustar members in one gzip stream. The archive gets
// its name only in Commit, so a failure or a killed process never leaves half
// an archive; the file is its owner's alone (0600), as it holds the machine's
// settings.
class TarGzWriter {
public:
    TarGzWriter();
    ~TarGzWriter(); // without Commit the partial file is removed
    TarGzWriter(const TarGzWriter&) = delete;
    TarGzWriter& operator=(const TarGzWriter&) = delete;

    // False with a reason (the folder cannot be written, ...).
    [[nodiscard]] bool Open(const std::filesystem::path& output, std::string& error);
    // A regular file, mode 0600: the owner's alone once unpacked. Names are
    // relative, '/'-separated, without "." or "..", at most 100 bytes.
    [[nodiscard]] bool Add(std::string_view name, std::string_view content, std::time_t mtime,
                           std::string& error);
    // Ends the archive and the stream and gives the file its name.
    [[nodiscard]] bool Commit(std::string& error);

private:
    bool Deflate(const void* data, size_t size, bool finish, std::string& error);
    bool Link(std::string& error);
    void Discard();

    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::filesystem::path output_;
    std::filesystem::path partial_; // a named partial file, where the folder takes no unnamed one
    int fd_ = -1;
};

} // namespace sp
