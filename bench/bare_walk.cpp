// bare-walk: the least that vendor-name's walk can cost. Run from the root of
// a tree, it walks "vendor" with std::filesystem::recursive_directory_iterator,
// the iterator the tool walks with, and does nothing else: it asks no entry's
// type and keeps no path. The benchmark builds it with the tool's compiler and
// flags, so that the two differ only in what the tool does besides walking.
//
// Exit status: 0 when the walk completes; 1 when it fails, with the reason on
// standard error.

#include <cstdio>
#include <filesystem>
#include <system_error>

int main()
{
    std::error_code ec;
    std::filesystem::recursive_directory_iterator it("vendor", ec);
    for (const std::filesystem::recursive_directory_iterator end; !ec && it != end;)
        it.increment(ec);
    if (ec) {
        std::fprintf(stderr, "bare-walk: %s\n", ec.message().c_str());
        return 1;
    }
    return 0;
}
