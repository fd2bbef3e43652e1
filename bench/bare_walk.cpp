// SPDX-License-Identifier: Apache-2.0
// Copyright The vendor-name authors
// bare-walk: the least that vendor-name's walk can cost, the benchmark's floor for it.
// Run from the root of a tree, it walks "vendor" with the iterator the tool walks with
// and does nothing else: it asks no entry's type and keeps no path. Exit status: 0 when
// the walk completes; 1 when it fails, with the reason on standard error.

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
