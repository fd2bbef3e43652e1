// vendor-name: record the vendor of a source tree.
//
// Run from the root of a source tree. Walks every directory below "vendor",
// reduces each to its vendor name (the first-level directory under "vendor"
// that it is or lies in), passes over the vendors in `excluded`, and writes
// each remaining name, in walk order, to
// "device/samsung/quillmere-common/vendor_name" as bare bytes, so that the
// file ends up holding the last one. Reads no arguments, environment or input.
//
// Exit status: 0 on success, which prints nothing; 1 when the walk fails or
// the output file cannot be written, with one line on standard error.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view root = "vendor";
constexpr std::size_t prefix_length = root.size() + 1;  // "vendor/"
constexpr std::array<std::string_view, 7> excluded = {
    "qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora",
};
constexpr const char* output_path = "device/samsung/quillmere-common/vendor_name";

constexpr std::size_t batch_size = 32768;  // bytes of entries per read

// A directory being read: its descriptor and the batch of entries that
// getdents64 returned last, of which those before pos are done. Reading
// with getdents64 spares the status query and flag checks that fdopendir
// makes for every directory.
struct open_dir {
    int fd;
    std::unique_ptr<char[]> batch;
    std::size_t pos, end;
};

// Quotes a path for a message, escaping quotes, backslashes and every byte
// outside printable ASCII, so that a file name cannot forge a line or send
// escape sequences to the terminal.
std::string quote(std::string_view path)
{
    static constexpr char hex[] = "0123456789abcdef";
    std::string q = "'";
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\'' || c == '\\') {
            q += '\\';
            q += ch;
        } else if (c >= 0x20 && c < 0x7f) {
            q += ch;
        } else if (c == '\n') {
            q += "\\n";
        } else if (c == '\t') {
            q += "\\t";
        } else {
            q += "\\x";
            q += hex[c >> 4];
            q += hex[c & 0xf];
        }
    }
    return q + "'";
}

// The error for a failed system call on path; errno must still hold its reason.
std::system_error failure(const char* what, std::string_view path)
{
    const int err = errno;
    return {std::error_code(err, std::generic_category()), std::string(what) + ' ' + quote(path)};
}

// Opens the directory name relative to dirfd for reading. Links are followed
// only for the root: the walk never goes through a link below it.
open_dir open_directory(int dirfd, const char* name, const std::string& path, bool follow)
{
    std::unique_ptr<char[]> batch(new char[batch_size]);
    const int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0)
        throw failure("cannot open directory", path);
    return {fd, std::move(batch), 0, 0};
}

// The next entry of dir, "." and ".." included, or nullptr at its end.
const dirent64* next_entry(open_dir& dir, const std::string& path)
{
    if (dir.pos == dir.end) {
        const ssize_t n = getdents64(dir.fd, dir.batch.get(), batch_size);
        if (n < 0)
            throw failure("cannot read directory", path);
        if (n == 0)
            return nullptr;
        dir.pos = 0;
        dir.end = static_cast<std::size_t>(n);
    }
    const auto* ent = reinterpret_cast<const dirent64*>(dir.batch.get() + dir.pos);
    dir.pos += ent->d_reclen;
    return ent;
}

enum entry_kind { other, linked_directory, directory };

// Classifies an entry of the directory open as dirfd. The type that the
// directory reading reported is trusted unless it is a link or unknown; then
// the entry's status decides, and a link counts by its target. A name that
// no longer resolves (a dangling link) is no directory; any other failed
// status query fails the walk.
entry_kind classify(int dirfd, const dirent64& ent, const std::string& path)
{
    if (ent.d_type != DT_UNKNOWN && ent.d_type != DT_LNK)
        return ent.d_type == DT_DIR ? directory : other;
    struct stat st {};
    if (ent.d_type == DT_UNKNOWN && fstatat(dirfd, ent.d_name, &st, AT_SYMLINK_NOFOLLOW) == 0
        && !S_ISLNK(st.st_mode))
        return S_ISDIR(st.st_mode) ? directory : other;
    if (fstatat(dirfd, ent.d_name, &st, 0) == 0)
        return S_ISDIR(st.st_mode) ? linked_directory : other;
    if (errno == ENOENT || errno == ENOTDIR)
        return other;
    throw failure("cannot stat", path);
}

bool is_dot_or_dot_dot(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

// Lists every directory below root, depth first, each before what lies
// below it, in the order the directory reading returns them. Links to
// directories are listed but not entered. Throws std::system_error naming
// the path when a directory cannot be opened or read or an entry's status
// cannot be queried; no partial list is returned.
std::vector<std::string> get_directories(const std::string& root_path)
{
    std::vector<std::string> dirs;
    std::string path = root_path;  // the entry at hand, or the directory on top
    std::vector<open_dir> open_dirs;  // one per level: a deep tree costs no stack
    try {
        open_dirs.push_back(open_directory(AT_FDCWD, root_path.c_str(), path, true));
        while (!open_dirs.empty()) {
            open_dir& dir = open_dirs.back();
            const dirent64* ent = next_entry(dir, path);
            if (ent == nullptr) {
                close(dir.fd);
                open_dirs.pop_back();
                path.resize(std::min(path.size(), path.rfind('/')));  // back to the parent
                continue;
            }
            if (is_dot_or_dot_dot(ent->d_name))
                continue;
            const std::size_t parent_length = path.size();
            path += '/';
            path += ent->d_name;
            const entry_kind kind = classify(dir.fd, *ent, path);
            if (kind != other)
                dirs.push_back(path);
            if (kind == directory)
                open_dirs.push_back(open_directory(dir.fd, ent->d_name, path, false));
            else
                path.resize(parent_length);
        }
    } catch (...) {
        for (const open_dir& dir : open_dirs)
            close(dir.fd);
        throw;
    }
    return dirs;
}

// Replaces the content of the output file with name, following links and
// creating the file with the default permissions if it is missing.
void write_output(std::string_view name)
{
    // O_NONBLOCK: a FIFO planted at the output path fails instead of hanging.
    const int fd = open(output_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NONBLOCK, 0666);
    if (fd < 0)
        throw failure("cannot open", output_path);
    while (!name.empty()) {
        const ssize_t n = write(fd, name.data(), name.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const std::system_error error = failure("cannot write", output_path);
            close(fd);
            throw error;
        }
        name.remove_prefix(static_cast<std::size_t>(n));
    }
    if (close(fd) != 0)
        throw failure("cannot write", output_path);
}

}  // namespace

int main()
{
    // Past a file size limit, write must fail with EFBIG, not kill the tool.
    std::signal(SIGXFSZ, SIG_IGN);
    try {
        const std::vector<std::string> dirs = get_directories(std::string(root));
        for (const std::string& dir : dirs) {
            std::string_view name(dir);
            name.remove_prefix(prefix_length);
            name = name.substr(0, name.find('/'));
            if (std::find(excluded.begin(), excluded.end(), name) == excluded.end())
                write_output(name);
        }
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "vendor-name: %s\n", e.what());
        return 1;
    } catch (const std::bad_alloc&) {
        std::fputs("vendor-name: out of memory\n", stderr);
        return 1;
    }
    return 0;
}
