// SPDX-License-Identifier: Apache-2.0
// Copyright The vendor-name authors
// vendor-name: record the vendor of a source tree.
//
// Run from the root of a source tree. Walks every directory below "vendor",
// reduces each to its vendor name (the first-level directory under "vendor"
// that it is or lies in), passes over the vendors in `excluded`, and writes
// each remaining name, in walk order, to
// "device/samsung/quillmere-common/vendor_name" as bare bytes, so that the
// file ends up holding the last one. Reads no arguments, environment or input.
//
// Exit status: 0 on success, which prints nothing; 1 when the walk fails,
// the output file cannot be written or memory runs out, with one line on
// standard error.

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::string_view root = "vendor";
constexpr std::size_t prefix_length = root.size() + 1;  // "vendor/"
constexpr std::array<std::string_view, 7> excluded = {
    "qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora",
};
constexpr const char* output_path = "device/samsung/quillmere-common/vendor_name";

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

// Ends the run when memory runs out. As the new handler it also acts inside
// library code that may not let std::bad_alloc out; as the terminate handler,
// when a throw finds no memory for its exception.
[[noreturn]] void out_of_memory()
{
    std::fputs("vendor-name: out of memory\n", stderr);
    std::_Exit(1);
}

// The error "<what> '<path>': <reason>". A system call short of memory
// (opendir's buffer, say) ends the run here, as operator new does, since
// throwing would need memory too.
std::system_error failure(const char* what, std::string_view path, std::error_code ec)
{
    if (ec == std::errc::not_enough_memory)
        out_of_memory();
    return {ec, std::string(what) + ' ' + quote(path)};
}

// Lists every directory below root_path, depth first, each before what lies
// below it, in the order the directory reading returns them. Links to
// directories are listed but not entered. Throws std::system_error naming
// the path when a directory cannot be opened or read or an entry's status
// cannot be queried; no partial list is returned.
std::vector<std::string> get_directories(const std::string& root_path)
{
    std::vector<std::string> dirs;
    std::error_code ec;
    fs::recursive_directory_iterator it(root_path, ec);
    if (ec)
        throw failure("cannot open directory", root_path, ec);
    std::string at_hand;  // the entry's path, for a step that fails after it
    for (const fs::recursive_directory_iterator end; it != end;) {
        const fs::directory_entry& entry = *it;
        // The reported type unless it is a link or unknown, else the status
        // through the link; a name that no longer resolves is no directory.
        const bool is_directory = entry.is_directory(ec);
        if (ec && ec != std::errc::no_such_file_or_directory && ec != std::errc::not_a_directory)
            throw failure("cannot stat", entry.path().native(), ec);
        if (is_directory)
            dirs.push_back(entry.path().native());
        // The step enters a real directory, so a failure is opening that;
        // otherwise it is reading on in the directory that holds the entry.
        const bool enters = is_directory && !entry.is_symlink(ec);
        at_hand = entry.path().native();
        it.increment(ec);
        if (ec && enters)
            throw failure("cannot open directory", at_hand, ec);
        if (ec)
            throw failure("cannot read directory", std::string_view(at_hand).substr(0, at_hand.rfind('/')), ec);
    }
    return dirs;
}

// Replaces the content of the output file with name, following links and
// creating the file with the default permissions if it is missing.
void write_output(std::string_view name)
{
    std::ofstream out;
    // Unbuffered: the name goes out in one write, and a failed one leaves
    // nothing behind for the stream to try again as it is destroyed.
    out.rdbuf()->pubsetbuf(nullptr, 0);
    out.open(output_path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw failure("cannot open", output_path, {errno, std::generic_category()});
    // A failed write or close leaves its reason in errno.
    out.write(name.data(), static_cast<std::streamsize>(name.size()));
    if (out.flush())
        out.close();
    if (!out)
        throw failure("cannot write", output_path, {errno, std::generic_category()});
}

}  // namespace

int main()
{
    // A write past a file size limit, or into a pipe nobody reads, must fail
    // with its reason instead of killing the tool.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::set_new_handler(out_of_memory);
    // Every exception the tool throws is caught below, so only a throw
    // that cannot allocate its exception reaches std::terminate.
    std::set_terminate(out_of_memory);
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
    }
    return 0;
}
