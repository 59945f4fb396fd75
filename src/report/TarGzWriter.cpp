#include "report/TarGzWriter.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace sp {

namespace {

constexpr size_t kBlock = 512;

// width - 1 octal digits, zero-padded, then the terminating zero the format
// asks for. A value too large for the field keeps its low digits only; the
// report's members stay far below 8 GiB.
void Octal(char* field, size_t width, uint64_t value) {
    field[width - 1] = '\0';
    for (size_t i = width - 1; i-- > 0; value >>= 3)
        field[i] = static_cast<char>('0' + (value & 7));
}

std::array<char, kBlock> Header(std::string_view name, uint64_t size, std::time_t mtime) {
    std::array<char, kBlock> h{};
    std::memcpy(h.data(), name.data(), name.size());
    Octal(h.data() + 100, 8, 0600);
    Octal(h.data() + 108, 8, 0);
    Octal(h.data() + 116, 8, 0);
    Octal(h.data() + 124, 12, size);
    Octal(h.data() + 136, 12, static_cast<uint64_t>(std::max<std::time_t>(mtime, 0)));
    h[156] = '0';
    std::memcpy(h.data() + 257, "ustar", 6);
    std::memcpy(h.data() + 263, "00", 2);
    // The checksum is taken with its own field as blanks.
    std::memset(h.data() + 148, ' ', 8);
    unsigned sum = 0;
    for (char c : h)
        sum += static_cast<unsigned char>(c);
    Octal(h.data() + 148, 7, sum);
    h[155] = ' ';
    return h;
}

} // namespace

struct TarGzWriter::Stream {
    z_stream z{};
    bool live = false;
    ~Stream() {
        if (live)
            deflateEnd(&z);
    }
};

TarGzWriter::TarGzWriter() = default;

TarGzWriter::~TarGzWriter() {
    Discard();
}

void TarGzWriter::Discard() {
    stream_.reset();
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
        if (!partial_.empty())
            ::unlink(partial_.c_str());
    }
}

// Gives the unnamed file its name, replacing a file of that name.
bool TarGzWriter::Link(std::string& error) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd_);
    if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, output_.c_str(), AT_SYMLINK_FOLLOW) == 0)
        return true;
    if (errno == EEXIST) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string named =
                output_.string() + ".new" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
            if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, named.c_str(), AT_SYMLINK_FOLLOW) == 0) {
                if (::rename(named.c_str(), output_.c_str()) == 0)
                    return true;
                ::unlink(named.c_str());
                break;
            }
            if (errno != EEXIST)
                break;
        }
    }
    error = "cannot write " + output_.string() + ": " + std::strerror(errno);
    return false;
}

bool TarGzWriter::Open(const std::filesystem::path& output, std::string& error) {
    Discard();
    output_ = output;
    // A file without a name until Commit links it: a process killed half-way
    // leaves nothing behind. Where the file system cannot, a named partial
    // file is removed on failure instead.
    const std::filesystem::path folder = output.has_parent_path() ? output.parent_path() : ".";
    fd_ = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    partial_.clear();
    if (fd_ < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
        std::string pattern = output.string() + ".XXXXXX";
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        partial_ = pattern;
    }
    if (fd_ < 0) {
        error = "cannot write " + output.string() + ": " + std::strerror(errno);
        return false;
    }
    stream_ = std::make_unique<Stream>();
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream_->z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        error = "cannot start the compression";
        Discard();
        return false;
    }
    stream_->live = true;
    return true;
}

bool TarGzWriter::Deflate(const void* data, size_t size, bool finish, std::string& error) {
    z_stream& z = stream_->z;
    const auto* in = static_cast<const Bytef*>(data);
    std::array<Bytef, 64 * 1024> out;
    // zlib counts its input in 32-bit units; feed it in pieces.
    do {
        const size_t piece = std::min<size_t>(size, 1u << 30);
        z.next_in = const_cast<Bytef*>(in);
        z.avail_in = static_cast<uInt>(piece);
        in += piece;
        size -= piece;
        const int flush = finish && size == 0 ? Z_FINISH : Z_NO_FLUSH;
        int rc = Z_OK;
        do {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = deflate(&z, flush);
            if (rc == Z_STREAM_ERROR) {
                error = "compression failed";
                return false;
            }
            const size_t have = out.size() - z.avail_out;
            for (size_t done = 0; done < have;) {
                const ssize_t n = ::write(fd_, out.data() + done, have - done);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0) {
                    error = "cannot write " + output_.string() + ": " + std::strerror(n < 0 ? errno : ENOSPC);
                    return false;
                }
                done += static_cast<size_t>(n);
            }
        } while (z.avail_out == 0 || (flush == Z_FINISH && rc != Z_STREAM_END));
    } while (size > 0);
    return true;
}

bool TarGzWriter::Add(std::string_view name, std::string_view content, std::time_t mtime,
                      std::string& error) {
    if (fd_ < 0) {
        error = "the archive is not open";
        return false;
    }
    if (name.empty() || name.size() > 100) {
        error = "a member's name must be 1 to 100 bytes: " + std::string(name);
        return false;
    }
    // Unpacked, a member must land inside the folder it is unpacked in.
    for (size_t pos = 0; pos <= name.size();) {
        const size_t slash = std::min(name.find('/', pos), name.size());
        const std::string_view part = name.substr(pos, slash - pos);
        if (part.empty() || part == "." || part == "..") {
            error = "a member's name must be a relative path without . or ..: " + std::string(name);
            return false;
        }
        pos = slash + 1;
    }
    const auto header = Header(name, content.size(), mtime);
    static const std::array<char, kBlock> zeros{};
    const size_t pad = (kBlock - content.size() % kBlock) % kBlock;
    return Deflate(header.data(), header.size(), false, error) &&
           Deflate(content.data(), content.size(), false, error) && Deflate(zeros.data(), pad, false, error);
}

bool TarGzWriter::Commit(std::string& error) {
    if (fd_ < 0) {
        error = "the archive is not open";
        return false;
    }
    // Two zero blocks end a tar archive.
    static const std::array<char, 2 * kBlock> end{};
    if (!Deflate(end.data(), end.size(), true, error))
        return false;
    stream_.reset();
    if (::fsync(fd_) != 0) {
        error = "cannot write " + output_.string() + ": " + std::strerror(errno);
        return false;
    }
    bool ok = true;
    if (partial_.empty()) {
        ok = Link(error);
    } else if (::rename(partial_.c_str(), output_.c_str()) != 0) {
        error = "cannot write " + output_.string() + ": " + std::strerror(errno);
        ok = false;
    } else {
        partial_.clear();
    }
    Discard();
    return ok;
}

} // namespace sp
