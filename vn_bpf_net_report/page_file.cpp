// The page's file: never an input, never a file that is no page of ours,
// and replaced only once the page is whole.
#include "page_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "trace_rows.h"

namespace {

// Whether the file at path begins as a page this program writes.
bool is_our_page(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char head[512];
    ssize_t n = read(fd, head, sizeof(head));
    close(fd);
    std::string_view text(head, n > 0 ? size_t(n) : 0);
    return text.substr(0, 15) == "<!DOCTYPE html>" &&
           text.find("<title>vn_bpf_net_report: packet journeys</title>") != std::string_view::npos;
}

bool write_all(int fd, const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

// Writes the page over the file at path; an error number, or 0.
int write_in_place(const std::string &path, const std::string &page)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    int error = write_all(fd, page) ? 0 : errno ? errno : EIO;
    if (close(fd) != 0 && !error)
        error = errno;
    return error;
}

} // namespace

bool same_file(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

void check_page_path(const std::string &path, const std::vector<std::string> &inputs)
{
    struct stat page;
    bool exists = stat(path.c_str(), &page) == 0;
    for (const std::string &file : inputs) {
        struct stat st;
        bool same = file == path;
        if (!same && exists)
            same = file == "-" ? fstat(0, &st) == 0 && same_file(st, page)
                               : stat(file.c_str(), &st) == 0 && same_file(st, page);
        if (same)
            throw std::invalid_argument("the page would overwrite the input " +
                                        (file == "-" ? "standard input" : shown_text(file, true)));
    }
    if (exists && S_ISDIR(page.st_mode))
        throw std::invalid_argument("is a directory");
    if (exists && S_ISREG(page.st_mode) && page.st_size > 0 && !is_our_page(path))
        throw std::invalid_argument("exists and is no page of vn_bpf_net_report: not overwritten (--html takes "
                                    "the page's own name: --html OUT.html TRACE...)");
}

// The page goes to a new file beside the target, which replaces it only
// once the page is whole, with the target's mode (a file we may not write
// stays as it is). Where no file can be made beside it, and for a target
// that is no regular file (/dev/null, a pipe), it is written in place.
int write_page(const std::string &path, const std::string &page)
{
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    int error = 0;
    char *resolved = exists ? realpath(path.c_str(), nullptr) : nullptr;
    std::string target = resolved ? resolved : path;
    free(resolved);
    std::string temp = target + ".XXXXXX";
    int fd = -1;
    if (exists && access(target.c_str(), W_OK) != 0)
        error = errno;
    else if (exists && !S_ISREG(st.st_mode))
        error = write_in_place(target, page);
    else if ((fd = mkstemp(temp.data())) < 0)
        error = write_in_place(target, page);
    else {
        mode_t mask = umask(0);
        umask(mask);
        errno = 0;
        if (fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~mask) != 0 || !write_all(fd, page))
            error = errno ? errno : EIO;
        if (close(fd) != 0 && !error)
            error = errno;
        if (!error && rename(temp.c_str(), target.c_str()) != 0)
            error = errno;
        if (error)
            unlink(temp.c_str());
    }
    return error;
}
