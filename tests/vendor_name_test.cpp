// SPDX-License-Identifier: Apache-2.0
// Copyright The vendor-name authors
// End-to-end tests: each case builds a tree in a fresh temporary directory, runs
// the real vendor-name there and checks its status, output, file and rewrites.

#include <fcntl.h>
#include <grp.h>
#include <sys/inotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr const char* out_dir = "device/samsung/quillmere-common";
constexpr const char* out_file = "device/samsung/quillmere-common/vendor_name";
constexpr const char* preset = "old-name-that-is-longer";  // the output file before each run
constexpr uid_t nobody = 65534;
// Permissions bind everyone but root, so the suite run as root drops to
// nobody for the runs that need them; anyone else is bound already.
const bool drop_to_nobody = geteuid() == 0;
// The tool built here, or another build of it named by an absolute path.
const char* const tool_under_test = std::getenv("VENDOR_NAME_TOOL") ? std::getenv("VENDOR_NAME_TOOL") : VENDOR_NAME_BIN;
// What the runs use: those, or copies that nobody can run (see main).
fs::path tool = tool_under_test, fault_lib = FAULT_INJECT_LIB;
fs::path suite_dir;  // holds every case's tree

struct options {
    std::vector<std::string> args = {};
    bool unprivileged = false;
    rlim_t file_limit = RLIM_INFINITY;
    mode_t umask = 022;
    std::vector<std::string> faults = {};  // settings for the preloaded fault library
    bool stderr_unread = false;  // which must not kill the tool with SIGPIPE
};

struct result {
    int status;  // exit status, or 128 + the signal that ended the tool
    std::string out, err;
    std::optional<std::string> file;  // the output file, if it is a regular file
    int rewrites;  // closes of files in the output directory opened for writing
};

// Reads fd until it has nothing more to give, and closes it.
std::string drain(int fd)
{
    std::string s;
    char buf[65536];
    for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;)
        s.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return s;
}

std::optional<std::string> slurp(const fs::path& path)
{
    if (!fs::is_regular_file(path))
        return std::nullopt;
    fs::permissions(path, fs::perms::owner_read, fs::perm_options::add);  // a case may leave it write-only
    return drain(open(path.c_str(), O_RDONLY | O_CLOEXEC));
}

// Removes path, giving every directory back to its owner first: a case may
// leave one that cannot be entered, and a failing case may not restore it.
void remove_tree(const fs::path& path)
{
    std::error_code ec;
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::recursive_directory_iterator it(path, ec), end; it != end; it.increment(ec))
        if (!it->is_symlink(ec) && it->is_directory(ec))
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path, ec);
}

class tree_test : public testing::Test {
protected:
    fs::path top, tree;

    void SetUp() override
    {
        std::string name = (suite_dir / "XXXXXX").native();
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        top = name;
        tree = top / "tree";
        fs::permissions(top, static_cast<fs::perms>(0711));  // for nobody to reach the tree
        make({std::string(out_file) + "=" + preset});
    }

    void TearDown() override
    {
        remove_tree(top);
        EXPECT_FALSE(fs::exists(top)) << "left behind: " << top;
    }

    // Applies a compact description, relative to the tree: "a/b/" makes a
    // directory, "a/f" an empty file, "a/f=text" a file holding text,
    // "a/l -> target" a symbolic link, "a/p|" a FIFO, "a/s=" a socket (as
    // ls -F marks them), "-a" removes a.
    void make(const std::vector<std::string>& entries)
    {
        for (const std::string& e : entries) {
            if (e[0] == '-') {
                fs::remove_all(tree / e.substr(1));
                continue;
            }
            const auto arrow = e.find(" -> "), equals = e.find('=');
            const fs::path p = tree / e.substr(0, std::min({arrow, equals, e.find('|')}));
            fs::create_directories(p.parent_path());
            if (arrow != std::string::npos)
                fs::create_symlink(e.substr(arrow + 4), p);
            else if (e.back() == '/')
                fs::create_directories(p);
            else if (e.back() == '|' || e.back() == '=')
                ASSERT_EQ(mknod(p.c_str(), (e.back() == '|' ? S_IFIFO : S_IFSOCK) | 0644, 0), 0) << p;
            else
                std::ofstream(p, std::ios::binary) << (equals == std::string::npos ? "" : e.substr(equals + 1));
        }
    }

    // Runs the tool at the top of the tree, as the suite's own user or,
    // when unprivileged and the suite runs as root, as nobody.
    result run(const options& opt = {})
    {
        const bool as_nobody = opt.unprivileged && drop_to_nobody;
        for (const auto& e : fs::recursive_directory_iterator(top, fs::directory_options::skip_permission_denied))
            EXPECT_TRUE(!as_nobody || lchown(e.path().c_str(), nobody, nobody) == 0) << e.path();
        // Opens and closes alternate, so the kernel cannot merge the closes.
        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(watch, (tree / out_dir).c_str(), IN_OPEN | IN_CLOSE_WRITE);
        // Pipes, not files: a file size limit must not silence the tool.
        int out[2], err[2];
        EXPECT_EQ(pipe2(out, O_CLOEXEC) | pipe2(err, O_CLOEXEC), 0);
        fcntl(err[0], F_SETPIPE_SZ, 1 << 20);  // room for a sanitizer report
        if (opt.stderr_unread)
            close(std::exchange(err[0], -1));
        // Standard input with something to read: a read would move its offset.
        const int in = memfd_create("stdin", MFD_CLOEXEC);
        EXPECT_EQ(pwrite(in, "y\n", 2, 0), 2);

        std::vector<char*> argv{const_cast<char*>(tool.c_str())};
        for (const std::string& a : opt.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        const rlimit limit{opt.file_limit, opt.file_limit};
        const pid_t pid = fork();
        if (pid == 0) {
            umask(opt.umask);
            if (!opt.faults.empty())
                setenv("LD_PRELOAD", fault_lib.c_str(), 1);
            for (const std::string& v : opt.faults)
                putenv(const_cast<char*>(v.c_str()));
            if (dup2(in, 0) < 0 || dup2(out[1], 1) < 0 || dup2(err[1], 2) < 0
                || chdir(tree.c_str()) != 0 || setrlimit(RLIMIT_FSIZE, &limit) != 0
                || (as_nobody
                    && (setgroups(0, nullptr) != 0 || setgid(nobody) != 0 || setuid(nobody) != 0)))
                _exit(126);
            alarm(20);  // a tool that hangs fails its case, not the suite
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]), close(err[1]);
        int wstatus = 0;
        EXPECT_EQ(waitpid(pid, &wstatus, 0), pid);
        EXPECT_EQ(drain(in), "y\n") << "the tool read its standard input";

        result r{WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus), drain(out[0]), drain(err[0]),
                 slurp(tree / out_file), 0};
        const std::string events = drain(watch);
        for (std::size_t i = 0; i < events.size(); i += sizeof(inotify_event)) {
            inotify_event ev;
            std::memcpy(&ev, events.data() + i, sizeof ev);
            r.rewrites += (ev.mask & IN_CLOSE_WRITE) != 0;
            i += ev.len;
        }
        return r;
    }
};

// Each case: a tree, how the tool is run, and all that the run must show.
struct tree_case {
    std::string name;
    std::vector<std::string> entries;
    std::optional<std::string> file;  // the output file afterwards
    int rewrites;
    const char* err = "";  // the whole of standard error; nonempty means status 1
    std::vector<std::string> faults = {};  // settings for the preloaded fault library
    bool unprivileged_only = false;  // needs permission checks, which bind root not
    std::vector<std::pair<std::string, fs::perms>> modes = {};
    options opt = {};
};

const std::string blobs = "vendor/tidewater/blobs/";
const char* const hostile = "vendor/qcom/x \t\x7f\n\x1b[2J'\\\xff~\x1f\r\x80\x0b";

const std::vector<tree_case> cases = [] {
    std::string deep = "vendor/deep/";  // and below it, 399 more
    for (int i = 1; i < 400; ++i)
        deep += "d/";
    std::vector<tree_case> v = {
        // Selection.
        {"empty_vendor", {"vendor/"}, preset, 0},
        {"only_excluded", {"vendor/qcom/opensource/audio/", "vendor/nxp/", "vendor/samsung/", "vendor/gapps/x/",
                           "vendor/google/", "vendor/gms/", "vendor/codeaurora/"}, preset, 0},
        {"exact_match_only", {"vendor/qcom-extra/", "vendor/qcom/", "vendor/gms/"}, "qcom-extra", 1},
        {"case_sensitive", {"vendor/Google/"}, "Google", 1},
        // The output file may be write-only, in a directory that is not writable.
        {"every_level_rewrites",
         {"vendor/tidewater/a/b/", "vendor/tidewater/c/", "vendor/tidewater/a/notes", "vendor/qcom/x/"}, "tidewater",
         4, "", {}, false, {{out_file, fs::perms::owner_write}, {out_dir, fs::perms::owner_read | fs::perms::owner_exec}}},
        {"only_directories_listed", {"vendor/notes", "vendor/p|", "vendor/s=", "vendor/null -> /dev/null", "vendor/qcom/"},
         preset, 0},
        {"odd_bytes_written_as_they_are", {"vendor/tide w\xc3\xa4ter\n\x1b/x/"}, "tide w\xc3\xa4ter\n\x1b", 2},
        {"hidden_directory", {"vendor/.x/"}, ".x", 1},
        {"deep_chain", {deep}, "deep", 400},
        {"arguments_ignored", {"vendor/tidewater/"}, "tidewater", 1, "", {}, false, {}, {{"--help", "vendor"}}},
        // Links.
        {"link_to_directory_not_entered", {"target/a/b/", "vendor/l -> ../target"}, "l", 1},
        {"dangling_link_ignored", {"vendor/dl -> missing", "vendor/qcom/"}, preset, 0},
        {"link_to_file_ignored", {"notes", "vendor/l -> ../notes", "vendor/m -> ../notes/x"}, preset, 0},
        {"root_is_link", {"real/tidewater/x/", "vendor -> real"}, "tidewater", 2},
        {"output_through_link", {"vendor/tidewater/", "-" + std::string(out_file), std::string(out_file) + " -> target", std::string(out_dir) + "/target"}, "tidewater", 1},
        // Walk failures leave the output file alone.
        {"no_vendor", {}, preset, 0, "cannot open directory 'vendor': No such file or directory"},
        {"vendor_is_file", {"vendor"}, preset, 0, "cannot open directory 'vendor': Not a directory"},
        {"message_not_read", {}, preset, 0, "cannot open directory 'vendor': No such file or directory", {}, false, {},
         {{}, false, RLIM_INFINITY, 022, {}, true}},
        {"unreadable_below_excluded", {"vendor/tidewater/", "vendor/qcom/private/"}, preset, 0,
         "cannot open directory 'vendor/qcom/private': Permission denied", {}, true,
         {{"vendor/qcom/private", fs::perms::none}}},
        {"hostile_name_escaped", {hostile + std::string("/")}, preset, 0,
         "cannot open directory 'vendor/qcom/x \\t\\x7f\\n\\x1b[2J\\'\\\\\\xff~\\x1f\\x0d\\x80\\x0b': Permission denied",
         {}, true, {{hostile, fs::perms::none}}},
        // Failures inside tidewater come after it is listed, whatever the reading order.
        {"symlink_loop", {"vendor/tidewater/loop -> loop"}, preset, 0,
         "cannot stat 'vendor/tidewater/loop': Too many levels of symbolic links"},
        {"link_into_unsearchable", {"secret/inner/", "vendor/tidewater/l -> ../../secret/inner"}, preset, 0,
         "cannot stat 'vendor/tidewater/l': Permission denied", {}, true, {{"secret", fs::perms::owner_read}}},
        {"removed_before_entered", {"vendor/tidewater/gone/"}, preset, 0,
         "cannot open directory 'vendor/tidewater/gone': No such file or directory", {"VENDOR_NAME_FAULT_GONE=gone"}},
        {"out_of_memory", {"vendor/tidewater/"}, preset, 0, "out of memory", {"VENDOR_NAME_FAULT_NO_MEMORY=1"}},
        {"out_of_memory_opening_a_directory", {"vendor/tidewater/"}, preset, 0, "out of memory", {"VENDOR_NAME_FAULT_NO_MEMORY=4096"}},
        {"out_of_memory_throwing", {}, preset, 0, "out of memory", {"VENDOR_NAME_FAULT_NO_THROW_MEMORY=1"}},
        // Output failures are reported, and nothing more is written.
        {"output_directory_missing", {"vendor/tidewater/", "-device"}, std::nullopt, 0,
         "cannot open 'device/samsung/quillmere-common/vendor_name': No such file or directory"},
        {"output_is_directory", {"vendor/tidewater/", "-" + std::string(out_file), std::string(out_file) + "/"},
         std::nullopt, 0, "cannot open 'device/samsung/quillmere-common/vendor_name': Is a directory"},
        {"output_read_only", {"vendor/tidewater/"}, preset, 0,
         "cannot open 'device/samsung/quillmere-common/vendor_name': Permission denied", {}, true,
         {{out_file, fs::perms::owner_read}}},
        // Unprivileged, so that a faulty tool cannot harm /dev/full.
        {"output_disk_full", {"vendor/tidewater/a/", "-" + std::string(out_file), std::string(out_file) + " -> /dev/full"},
         std::nullopt, 0, "cannot write 'device/samsung/quillmere-common/vendor_name': No space left on device", {}, true},
        {"output_file_size_limit", {"vendor/tidewater/a/b/"}, "", 1,
         "cannot write 'device/samsung/quillmere-common/vendor_name': File too large", {}, false, {}, {{}, false, 0}},
        {"output_close_fails", {"vendor/tidewater/"}, "tidewater", 1,
         "cannot write 'device/samsung/quillmere-common/vendor_name': Input/output error", {"VENDOR_NAME_FAULT_CLOSE_EIO=1"}},
        // The output's reader gone: no signal, no second try, no reason hidden by the close.
        {"output_write_fails_then_close", {"vendor/tidewater/"}, "", 1,
         "cannot write 'device/samsung/quillmere-common/vendor_name': Broken pipe",
         {"VENDOR_NAME_FAULT_WRITE_EPIPE=1", "VENDOR_NAME_FAULT_CLOSE_EIO=1"}},
    };
    // Reading on just after each kind of entry fails, before or after the walk has been down sub.
    for (const char* after : {"link", "file", "dangling", "fifo"})
        v.push_back({std::string("read_error_after_") + after,
                     {blobs + "sub/x/", blobs + "link -> sub", blobs + "file", blobs + "dangling -> none", blobs + "fifo|"},
                     preset, 0, "cannot read directory 'vendor/tidewater/blobs': Input/output error",
                     {std::string("VENDOR_NAME_FAULT_EIO_AFTER=") + after}});
    return v;
}();

// Every case runs as the suite's user (unless permissions must bind),
// unprivileged, and unprivileged where no entry types are reported.
struct tree_run { tree_case c; bool unprivileged, unknown_types; };

void PrintTo(const tree_run& r, std::ostream* os) { *os << r.c.name; }

class tree_cases : public tree_test, public testing::WithParamInterface<tree_run> {};

TEST_P(tree_cases, run)
{
    const auto& [c, unprivileged, unknown_types] = GetParam();
    make(c.entries);
    for (const auto& [path, mode] : c.modes)
        fs::permissions(tree / path, mode);
    options opt = c.opt;
    opt.unprivileged = unprivileged;
    opt.faults = c.faults;
    const fs::path marker = tree / ".types-hidden";  // made by the fault library
    if (unknown_types)
        opt.faults.push_back("VENDOR_NAME_FAULT_UNKNOWN_TYPE=" + marker.native());
    const result r = run(opt);
    EXPECT_TRUE(!unknown_types || !fs::is_directory(tree / "vendor") || fs::exists(marker)) << "no type was hidden";

    const std::string err = *c.err ? std::string("vendor-name: ") + c.err + "\n" : "";
    EXPECT_EQ(r.status, err.empty() ? 0 : 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.opt.stderr_unread ? "" : err);
    EXPECT_EQ(r.file, c.file);
    EXPECT_EQ(r.rewrites, c.rewrites);
}

std::vector<tree_run> runs(bool unprivileged, bool unknown_types)
{
    std::vector<tree_run> v;
    for (const tree_case& c : cases)
        // A sanitizer links its own allocator into the tool, where out_of_memory* cases cannot fail it.
        if ((unprivileged || !c.unprivileged_only) && !(VENDOR_NAME_SANITIZED && c.name.rfind("out_of_memory", 0) == 0))
            v.push_back({c, unprivileged, unknown_types});
    return v;
}

const auto case_name = [](const testing::TestParamInfo<tree_run>& p) { return p.param.c.name; };

INSTANTIATE_TEST_SUITE_P(as_invoker, tree_cases, testing::ValuesIn(runs(false, false)), case_name);
INSTANTIATE_TEST_SUITE_P(unprivileged, tree_cases, testing::ValuesIn(runs(true, false)), case_name);
INSTANTIATE_TEST_SUITE_P(unknown_types, tree_cases, testing::ValuesIn(runs(true, true)), case_name);

TEST_F(tree_test, last_surviving_vendor_in_reading_order_wins)
{
    // Every excluded vendor, and near misses of each: cut short, run on,
    // preceded, its last byte changed, its first in upper case, a space after.
    std::vector<std::string> near;
    for (const std::string x : {"qcom", "nxp", "samsung", "gapps", "google", "gms", "codeaurora"}) {
        const std::string cut = x.substr(0, x.size() - 1);
        near.insert(near.end(), {cut, x + "-extra", "x" + x, cut + "_", static_cast<char>(x[0] - 'a' + 'A') + x.substr(1), x + " "});
        make({"vendor/" + x + "/y/"});
    }
    for (const std::string& n : near)
        make({"vendor/" + n + "/sub/f"});
    // The directory's own reading order decides; nothing is sorted.
    std::string expected;
    for (const fs::directory_entry& e : fs::directory_iterator(tree / "vendor"))
        if (std::find(near.begin(), near.end(), e.path().filename()) != near.end())
            expected = e.path().filename();
    const result r = run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.file, expected);
    EXPECT_EQ(r.rewrites, 2 * static_cast<int>(near.size()));
}

TEST_F(tree_test, new_output_file_gets_default_permissions_less_umask)
{
    make({"vendor/tidewater/", "-" + std::string(out_file)});
    EXPECT_EQ(run({{}, false, RLIM_INFINITY, 005}).file, "tidewater");  // umask 005
    EXPECT_EQ(fs::status(tree / out_file).permissions(), static_cast<fs::perms>(0662));
}

}  // namespace

int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    // TMPDIR as the kernel resolves it, not by ".." out of a home that nobody
    // may search. Run as root, the suite runs copies there that nobody can
    // reach; where the trees or the copies cannot go, one line says so.
    const fs::path given = fs::path(testing::TempDir()).parent_path();
    std::error_code ec;
    const fs::path real = fs::canonical(given, ec), tmp = ec ? given : real;
    std::string dir = (tmp / "vendor-name-test.XXXXXX").native();
    int error = mkdtemp(dir.data()) != nullptr ? 0 : errno;
    suite_dir = dir;
    // However the suite ends, even by an interrupt to its process group, a
    // child in a session of its own sees the pipe close and removes the lot.
    int alive[2];
    if (error == 0 && pipe2(alive, O_CLOEXEC) == 0 && fork() == 0) {
        setsid();
        close(alive[1]);
        drain(alive[0]);
        remove_tree(dir);
        _exit(0);
    }
    const char* what = error != 0 ? "cannot make a directory in" : "user 65534 cannot run programs from";
    if (error == 0 && drop_to_nobody) {
        tool = suite_dir / "vendor-name";
        fault_lib = suite_dir / "fault_inject.so";
        fs::permissions(dir, static_cast<fs::perms>(0711));
        for (const auto& [from, to] : {std::pair{tool_under_test, tool}, {FAULT_INJECT_LIB, fault_lib}}) {
            fs::copy_file(from, to);
            fs::permissions(to, static_cast<fs::perms>(0755));
        }
        const pid_t pid = fork();
        if (pid == 0)
            _exit(setgroups(0, nullptr) || setgid(nobody) || setuid(nobody) || access(tool.c_str(), X_OK) ? errno : 0);
        int wstatus = 0;
        waitpid(pid, &wstatus, 0);
        error = WEXITSTATUS(wstatus);
    }
    if (error != 0)
        std::fprintf(stderr, "vendor_name_test: %s %s: %s; set TMPDIR to a directory that will do\n", what,
                     tmp.c_str(), std::strerror(error));
    const int status = error != 0 ? 1 : RUN_ALL_TESTS();
    remove_tree(dir);
    return status;
}
