#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cli_error.h"
#include "command_line.h"

namespace vxt::cli {
namespace {

// Writes everything to the descriptor; false, with errno set, on any error.
bool write_all(int fd, const std::vector<std::uint8_t>& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        done += static_cast<std::size_t>(put);
    }
    return true;
}

std::string errno_text(int error)
{
    return std::strerror(error);
}

// What path names once every symbolic link on its last component is followed;
// a path that does not exist (yet) stands for itself.
std::string follow_links(std::string path)
{
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status {};
        if (::lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode))
            return path;
        std::string link(4096, '\0');
        const ssize_t length = ::readlink(path.c_str(), link.data(), link.size());
        if (length < 0 || static_cast<std::size_t>(length) >= link.size())
            return path;  // the open or the rename reports the problem
        link.resize(static_cast<std::size_t>(length));
        if (link.front() != '/') {
            const auto slash = path.rfind('/');
            link = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + link;
        }
        path = std::move(link);
    }
    throw cli_error(errno_text(ELOOP));
}

}  // namespace

bool write_stream(std::FILE* stream, const std::vector<std::uint8_t>& bytes)
{
    const std::size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), stream);
    return written == bytes.size() && std::fflush(stream) == 0 && !std::ferror(stream);
}

void write_output(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    const std::string target = follow_links(path);
    struct stat status {};
    const bool exists = ::stat(target.c_str(), &status) == 0;
    if (!exists && errno != ENOENT)
        throw cli_error(errno_text(errno));
    if (exists && S_ISDIR(status.st_mode))
        throw cli_error(errno_text(EISDIR));

    if (exists && !S_ISREG(status.st_mode)) {
        const int fd = ::open(target.c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            throw cli_error(errno_text(errno));
        const bool written = write_all(fd, bytes);
        const int write_error = errno;
        if (::close(fd) != 0 && written)
            throw cli_error(errno_text(errno));
        if (!written)
            throw cli_error(errno_text(write_error));
        return;
    }

    // The rename would replace a file its owner made read-only; refuse as
    // writing into it would.
    if (exists && ::access(target.c_str(), W_OK) != 0)
        throw cli_error(errno_text(errno));
    const auto slash = target.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    std::string temporary = target + ".vextune-XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw cli_error("cannot create a temporary file in " + directory + ": " + errno_text(errno));

    // The new file gets the old one's permissions, or those a plain create
    // would give.
    mode_t mode = 0;
    if (exists) {
        mode = status.st_mode & 07777;
        if (::fchown(fd, status.st_uid, status.st_gid) != 0) {
            // Only the owner's group or root may keep them; the rest is ours.
        }
    } else {
        mode = ::umask(0);
        ::umask(mode);
        mode = 0666 & ~mode;
    }
    const bool written = ::fchmod(fd, mode) == 0 && write_all(fd, bytes) && ::fsync(fd) == 0;
    const int write_error = errno;
    const bool closed = ::close(fd) == 0;
    const int close_error = errno;
    if (!written || !closed) {
        ::unlink(temporary.c_str());
        throw cli_error(errno_text(written ? close_error : write_error));
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        const int rename_error = errno;
        ::unlink(temporary.c_str());
        throw cli_error(errno_text(rename_error));
    }
}

namespace {

bool to_standard_output(const std::string& output)
{
    return output.empty() || output == "-";
}

}  // namespace

bool refuse_terminal_output(const std::string& output, std::string_view usage)
{
    if (!to_standard_output(output) || !::isatty(STDOUT_FILENO))
        return false;
    diagnose("standard output is a terminal; give --output FILE or redirect the signature");
    std::cerr << usage << '\n';
    return true;
}

int write_signature(const std::string& output, const std::vector<std::uint8_t>& bytes)
{
    if (to_standard_output(output)) {
        if (write_stream(stdout, bytes))
            return exit_ok;
        diagnose(std::string("standard output: ") + std::strerror(errno));
        return exit_failure;
    }
    try {
        write_output(output, bytes);
    } catch (const cli_error& e) {
        diagnose(output + ": " + e.what());
        return exit_failure;
    }
    return exit_ok;
}

}  // namespace vxt::cli
